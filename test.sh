#!/usr/bin/env bash
# Installs what is missing, builds km7 and runs the tests.
#
#   ./test.sh          the normal build (build/) and every test in it but
#                      the Debian package's
#   ./test.sh --full   that, then:
#     build-asan/      AddressSanitizer + UndefinedBehaviorSanitizer: every test
#                      but the package's
#     build-tsan/      ThreadSanitizer: the threaded tests (label "threaded")
#     build-fuzz/      clang + libFuzzer: a short run of each fuzz target
#     build-release/   the optimised Release build of the programs and the
#                      simulated module, built only: the optimiser finds
#                      warnings the other builds do not
#     the Debian package, built by scripts/make-deb.sh, checked, and installed,
#                      removed and purged by piuparts in a clean chroot (label
#                      "package" in build/; needs root)
#
# Every build treats warnings as errors. ccache is used when it is installed
# (it only caches, the builds are the same without it). Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")"

full=0
case "${1:-}" in
  "") ;;
  --full) full=1 ;;
  -h|--help) sed -n '2,20s/^# \{0,1\}//p' "$0"; exit 0 ;;
  *) echo "test.sh: unknown option '$1' (use --full or nothing)" >&2; exit 2 ;;
esac

# How long each step took, printed at the end.
times=()
last=$SECONDS
took() {
  times+=("$1 $((SECONDS - last)) s")
  last=$SECONDS
}

if [ $full = 1 ]; then ./scripts/install-deps.sh --full; else ./scripts/install-deps.sh; fi
took "install"

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1
status=0
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # The test programs use a precompiled header, which ccache caches only so.
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi

build() {  # dir, extra cmake args... [-- targets...]
  local dir=$1; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ "${1:-}" = "--" ] && shift && targets=(--target "$@")
  cmake -S . -B "$dir" -G Ninja -DKM7_WERROR=ON "${launcher[@]}" "${args[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs" "${targets[@]}"
}

echo "== normal build"
# Build type Check: neither optimised nor with debug information, which
# halves the compile time. ./run.sh configures build/ the same way, so the
# two share one build. The sanitizer builds of --full keep debug information for
# their reports, and its Release build lets the optimiser look for warnings.
# The benchmarks are built (not run) by --full only: a newcomer's run needs
# them least.
bench=OFF
[ $full = 1 ] && bench=ON
build build -DCMAKE_BUILD_TYPE=Check -DKM7_BENCH=$bench
took "normal build"
# The Debian package test makes a Release build of its own: --full only.
# Three tests per core: most of them wait on servers, timers and km7 itself.
ctest --test-dir build -j $((jobs * 3)) --timeout 600 -LE package || status=1
took "normal tests"

if [ $full = 1 ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DKM7_SANITIZE=address -DKM7_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
    ctest --test-dir build-asan -j "$jobs" --timeout 900 -LE package || status=1
  took "ASan + UBSan"

  echo "== ThreadSanitizer (threaded tests)"
  build build-tsan -DCMAKE_BUILD_TYPE=Debug -DKM7_SANITIZE=thread -DKM7_BENCH=OFF -- km7_threaded_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan -j "$jobs" -L threaded --timeout 900 || status=1
  took "TSan"

  if [ -d fuzz ]; then
    echo "== fuzz targets (short run)"
    build build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DKM7_FUZZ=ON -DKM7_TESTS=OFF -DKM7_BENCH=OFF -- km7_fuzzers
    ctest --test-dir build-fuzz -L fuzz -j "$jobs" --timeout 600 || status=1
    took "fuzz"
  fi

  echo "== Release build (programs and simulated module, no tests)"
  build build-release -DCMAKE_BUILD_TYPE=Release -DKM7_TESTS=OFF -DKM7_BENCH=OFF || status=1
  took "Release build"

  echo "== Debian package (built from a clean Release build, checked, and piuparts)"
  ctest --test-dir build -L package --timeout 3600 || status=1
  took "Debian package"
fi

echo "== times: total $SECONDS s"
printf '   %s\n' "${times[@]}"

exit $status
