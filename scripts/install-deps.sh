#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing km7 need.
# Does nothing when they are all present; otherwise needs root (apt-get).
#   install-deps.sh             the normal build and its tests
#   install-deps.sh --full      also the fuzz build (clang) and the package check
#   install-deps.sh --runtime   only what building and running km7 needs
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev libssl-dev uuid-dev libcurl4-openssl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  fonts-liberation2
  xvfb xauth imagemagick
  python3 python3-aiosmtpd
  gss-ntlmssp
  microsocks tinyproxy dante-server
  exim4-daemon-heavy
  curl time
  locales
  libmicrohttpd-dev libmosquitto-dev nlohmann-json3-dev mosquitto mosquitto-clients prometheus
  libsystemd-dev systemd binutils
  desktop-file-utils man-db
)
if [ "${1:-}" = "--full" ]; then
  packages+=(clang libclang-rt-14-dev dpkg-dev lintian)
fi
if [ "${1:-}" = "--runtime" ]; then
  packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libssl-dev uuid-dev
            libgtest-dev libgmock-dev googletest libbenchmark-dev fonts-liberation2
            libmicrohttpd-dev libmosquitto-dev nlohmann-json3-dev libsystemd-dev libcurl4-openssl-dev)
fi

# The tests check that numbers keep their decimal point under a comma locale.
ensure_test_locale() {
  [ "${1:-}" = "--runtime" ] && return 0
  if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo localedef -i de_DE -c -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1 || true
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  ensure_test_locale "${1:-}"
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# Services that packages start on install are not ours to keep running.
for svc in tinyproxy danted exim4 mosquitto prometheus; do
  $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true
done
# Without systemd, exim4's init script may have started the mail server on
# port 25; the tests run their own exim on free ports.
if [ -x /etc/init.d/exim4 ]; then
  $SUDO /etc/init.d/exim4 stop >/dev/null 2>&1 || true
  $SUDO update-rc.d exim4 disable >/dev/null 2>&1 || true
fi
# Likewise the MQTT broker and the monitoring server: the tests start their own.
for svc in mosquitto prometheus; do
  if [ -x /etc/init.d/$svc ]; then
    $SUDO /etc/init.d/$svc stop >/dev/null 2>&1 || true
    $SUDO update-rc.d $svc disable >/dev/null 2>&1 || true
  fi
done
ensure_test_locale "${1:-}"
