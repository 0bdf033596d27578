#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing km7 need.
# Does nothing when they are all present; otherwise needs root (apt-get).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev libssl-dev uuid-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  fonts-liberation2
  clang libclang-rt-14-dev
  xvfb xauth imagemagick
  python3 python3-aiosmtpd
  gss-ntlmssp
  microsocks tinyproxy dante-server
  curl
)
if [ "${1:-}" = "--runtime" ]; then
  packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libssl-dev uuid-dev
            libgtest-dev libgmock-dev googletest libbenchmark-dev fonts-liberation2)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# Services that packages start on install are not ours to keep running.
for svc in tinyproxy danted; do
  $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true
done
