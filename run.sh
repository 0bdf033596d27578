#!/usr/bin/env bash
# Installs what is missing, builds km7 and starts it.
# With no driver library for a real module on the system, km7 starts with the
# simulated module from sim/ instead, so there are live readings at once.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh --runtime

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target km7 km7sim

# Does the loader find a real driver library (its cache, or LD_LIBRARY_PATH)?
real_driver_found() {
  ldconfig -p 2>/dev/null | grep -q 'libftd2xx\.so ' && return 0
  local dirs d
  IFS=: read -ra dirs <<< "${LD_LIBRARY_PATH:-}"
  for d in "${dirs[@]}"; do
    [ -n "$d" ] && [ -e "$d/libftd2xx.so" ] && return 0
  done
  return 1
}

if real_driver_found; then
  exec ./build/km7 "$@"
fi

echo "km7: no driver library for a real module found; starting with the simulated module (build/sim)."
export LD_LIBRARY_PATH="$PWD/build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
exec ./build/km7 "$@"
