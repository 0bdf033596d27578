#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing km7 need.
# Does nothing when they are all present; otherwise needs root (apt-get).
#   install-deps.sh             the normal build and its tests
#   install-deps.sh --full      also the fuzz build (clang) and the package check
#   install-deps.sh --runtime   only what building and running km7 needs
#   install-deps.sh --package   only what building the Debian package needs
#                               (build dependencies and packaging tools)
#
# No service is stopped or disabled. While it installs, no package may start
# its service (the test servers exim4, mosquitto, prometheus, tinyproxy,
# danted): the tests start servers of their own on loopback ports.
# The mail server exim4 is left out when another one (such as postfix) is
# installed, since installing it would remove that one; its tests skip.
set -euo pipefail

mode=${1:-}
case "$mode" in
  ""|--full|--runtime|--package) ;;
  *) echo "install-deps.sh: unknown option '$mode' (use --full, --runtime, --package or nothing)" >&2; exit 2 ;;
esac
policy_rc_d=${KM7_POLICY_RC_D:-/usr/sbin/policy-rc.d}

build_packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libssl-dev uuid-dev
                libmicrohttpd-dev libmosquitto-dev nlohmann-json3-dev libsystemd-dev libcurl4-openssl-dev)
packaging_tools=(dpkg-dev lintian piuparts debootstrap desktop-file-utils man-db systemd binutils)
packages=(
  "${build_packages[@]}"
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  fonts-liberation2
  xvfb xauth imagemagick
  python3 python3-aiosmtpd
  gss-ntlmssp
  microsocks tinyproxy dante-server
  exim4-daemon-heavy
  curl time
  locales
  mosquitto mosquitto-clients prometheus
  systemd binutils
  desktop-file-utils man-db
)
case "$mode" in
  --full) packages+=(clang libclang-rt-14-dev "${packaging_tools[@]}") ;;
  --runtime) packages=("${build_packages[@]}" libgtest-dev libgmock-dev googletest libbenchmark-dev fonts-liberation2) ;;
  --package) packages=("${build_packages[@]}" "${packaging_tools[@]}") ;;
esac

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Another mail server than exim: installing exim4 would remove it.
other_mta() {
  dpkg-query -W -f='${Package} ${Status} ${Provides}\n' 2>/dev/null |
    awk '/install ok installed/ && /mail-transport-agent/ && $1 !~ /^exim4/ {print $1; exit}'
}

# The tests check that numbers keep their decimal point under a comma locale.
ensure_test_locale() {
  case "$mode" in --runtime|--package) return 0 ;; esac
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
  ensure_test_locale
  exit 0
fi

mta=$(other_mta)
if [ -n "$mta" ] && ! installed exim4-daemon-heavy; then
  keep=()
  for p in "${missing[@]}"; do [ "$p" = exim4-daemon-heavy ] || keep+=("$p"); done
  missing=("${keep[@]}")
  echo "install-deps.sh: $mta is installed, so exim4 is not (the tests that need it are skipped)"
  if [ ${#missing[@]} -eq 0 ]; then
    ensure_test_locale
    exit 0
  fi
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# The servers among these packages would start as they are installed; the
# tests run their own on ports of their own. So while this script installs,
# the package manager is told not to start any service (policy-rc.d,
# exit 101), unless a policy of the machine's own is already in place: that
# one is left as it is. Nothing that runs is ever stopped or disabled.
policy=""
if [ ! -e "$policy_rc_d" ]; then
  policy=$policy_rc_d
  printf '#!/bin/sh\n# install-deps.sh: no service starts while it installs.\nexit 101\n' |
    $SUDO tee "$policy" >/dev/null
  $SUDO chmod 0755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
if [ -n "$policy" ]; then
  $SUDO rm -f "$policy"
  trap - EXIT
fi
ensure_test_locale
