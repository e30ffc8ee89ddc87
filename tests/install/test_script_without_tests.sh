#!/usr/bin/env bash
# A build folder configured as the install recipes do (tests off): scripts/test.sh run over it
# must fail and say why, never pass without running a test.
#   test_script_without_tests.sh SOURCE_DIR SCRATCH_BUILD_DIR
set -euo pipefail
source=$1
build=$2
rm -rf "$build"
cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTALLYVANE_BUILD_TESTS=OFF -DTALLYVANE_BUILD_BENCH=OFF >"$build.log" 2>&1 ||
  { cat "$build.log"; exit 1; }
status=0
"$source/scripts/test.sh" --rerun "$build" >"$build.out" 2>&1 || status=$?
cat "$build.out"
rm -rf "$build"
if [ "$status" -eq 0 ]; then
  echo "FAIL: test.sh passed over a build folder without tests"
  exit 1
fi
grep -q "holds no tests" "$build.out" || { echo "FAIL: test.sh did not say why"; exit 1; }
echo "test.sh refuses a build folder without tests (exit $status)"
