#!/usr/bin/env bash
# Installs what is missing, builds km7 and starts it.
# With no driver library for a real module on the system, km7 starts with the
# simulated module from sim/ instead, so there are live readings at once.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh --runtime

# build/ is configured exactly as ./test.sh configures it (build type Check,
# warnings as errors, ccache when installed), so that the two scripts share
# one build: whichever runs second compiles only what changed. The
# benchmarks stay as build/ has them (test.sh --full turns them on).
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi
bench=()
grep -q '^KM7_BENCH:' build/CMakeCache.txt 2>/dev/null || bench=(-DKM7_BENCH=OFF)
cmake -S . -B build -G Ninja -DKM7_WERROR=ON "${launcher[@]}" -DCMAKE_BUILD_TYPE=Check "${bench[@]}" >/dev/null
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
