#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test with CTest.
#   scripts/test.sh              release build with debug info, in build/; then the Debian
#                                packages (scripts/package.sh, build-package/ and dist/), their
#                                contents and the README's `cmake --install` path
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build, in build-asan/
#   scripts/test.sh --rerun [BUILD]  the tests of an existing build folder again (default build/),
#                                without installing, configuring or building
#   scripts/test.sh --windows    as without options, and builds Qt for MinGW first when there is
#                                none (scripts/build-qt-mingw.sh, once) so the Windows leg runs
# The Windows leg runs when Qt for MinGW is there; TALLYVANE_REQUIRE_WINDOWS=1 fails the run
# when it is not.
# The tests are always configured on, and a run in which CTest finds no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests() {
  ctest --test-dir "$1" --output-on-failure -j"$(nproc)" --timeout 600 --no-tests=error "${@:2}" || {
    status=$?
    if [ ! -f "$1/CTestTestfile.cmake" ] || ! grep -q '^TALLYVANE_BUILD_TESTS:BOOL=ON' "$1/CMakeCache.txt" 2>/dev/null; then
      echo "test.sh: $1 holds no tests (configured with -DTALLYVANE_BUILD_TESTS=OFF?)" >&2
    fi
    exit "$status"
  }
}

if [ "${1:-}" = "--rerun" ]; then
  run_tests "${2:-build}"
  exit 0
fi

want_windows=0
if [ "${1:-}" = "--windows" ]; then
  want_windows=1
  shift
fi
scripts/install-deps.sh
build=build
extra=()
# ccache, when the machine has it, makes a run after a small change quick.
if command -v ccache >/dev/null; then
  extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  extra+=(-DTALLYVANE_SANITIZE=ON -DTALLYVANE_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
fi
# A folder that an install recipe configured without tests gets them back.
cmake -S . -B "$build" -G Ninja -DTALLYVANE_BUILD_TESTS=ON "${extra[@]}"
cmake --build "$build" -j"$(nproc)"
if [ "${1:-}" = "--sanitize" ]; then
  run_tests "$build" -LE package
  exit 0
fi
# The packages first, so that the test of their contents checks these.
scripts/package.sh build-package
run_tests "$build"
scripts/check-install.sh build-package
# The Windows build under Wine (scripts/test-windows.sh). Without Qt for MinGW it cannot run:
# a banner says so and the run goes on, unless TALLYVANE_REQUIRE_WINDOWS=1 (CI) makes that a
# failure. --windows builds Qt for MinGW first when there is none. (TALLYVANE_SKIP_WINDOWS=1,
# which once allowed the leg to be left out, is what happens by default now.)
windows=()
if [ "${TALLYVANE_REQUIRE_WINDOWS:-}" != 1 ]; then windows+=(--optional); fi
if [ "$want_windows" = 1 ]; then windows+=(--build-qt); fi
scripts/test-windows.sh "${windows[@]}" "$build"
