#!/usr/bin/env bash
# Installs what is missing, builds km7 and starts it.
# With no driver library for a real module on the system, km7 starts with the
# simulated module from sim/ instead, so there are live readings at once.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh --runtime

# The build type is the one build/ has (test.sh makes it Debug), so that the
# two scripts do not rebuild everything for each other.
cmake -S . -B build -G Ninja >/dev/null
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

echo "km7: no driver library for a real module found; starting with the simulated module (build/sim, settings in build/sim-demo)."
export LD_LIBRARY_PATH="$PWD/build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
# The demonstration keeps its settings apart from the user's own, and on its
# first run remembers the simulated module so that readings show at once.
demo="$PWD/build/sim-demo"
mkdir -p "$demo/config" "$demo/data"
if [ ! -e "$demo/config/km7.INI" ]; then
  printf '[MyORVKM7Ap]\r\nORVKM7Device_Computer Room=ORV-KM7 Sensor\r\n' > "$demo/config/km7.INI"
fi
export XDG_CONFIG_HOME="$demo/config" XDG_DATA_HOME="$demo/data"
exec ./build/km7 "$@"
