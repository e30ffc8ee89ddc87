#!/usr/bin/env bash
# The Windows programs under Wine: builds the zip (scripts/build-windows.sh), unpacks it into
# a fresh Wine prefix's reach and runs tests/windows/test_windows.py against tdssim on the
# Linux side: the exporter's --once figures, and the desktop program on a virtual display
# until its main window shows and it polls a server (screenshot in build-win64/artifacts/).
#   scripts/test-windows.sh [--build-qt] [--optional] [LINUX_BUILD]
#     LINUX_BUILD   tdssim from there (default build/)
#     --build-qt    builds Qt for MinGW first when there is none (scripts/build-qt-mingw.sh)
#     --optional    without Qt for MinGW: a banner saying the tests did not run, and success
# Without Qt for MinGW and without --optional: exit status 3.
set -euo pipefail
cd "$(dirname "$0")/.."
build_qt=0
optional=0
while [ $# -gt 0 ]; do
  case $1 in
    --build-qt) build_qt=1 ;;
    --optional) optional=1 ;;
    -*)
      echo "test-windows: unknown option $1" >&2
      exit 2
      ;;
    *) break ;;
  esac
  shift
done
linux_build=${1:-build}
build=${TALLYVANE_WIN_BUILD:-build-win64}

# Qt for MinGW first: without it nothing below can run.
if ! scripts/find-qt-mingw.sh >/dev/null 2>&1; then
  if [ "$build_qt" = 1 ]; then
    scripts/build-qt-mingw.sh
  elif [ "$optional" = 1 ]; then
    echo "##########################################################################" >&2
    echo "# WINDOWS TESTS NOT RUN: no Qt for MinGW. scripts/test.sh --windows builds" >&2
    echo "# it once (scripts/build-qt-mingw.sh, about 35 minutes); see README, Windows." >&2
    echo "##########################################################################" >&2
    exit 0
  else
    scripts/find-qt-mingw.sh >/dev/null || exit $? # says why
  fi
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
need=()
for p in wine wine64 xvfb xdotool imagemagick python3 unzip; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" ||
    { "${sudo_cmd[@]}" apt-get update -q &&
      "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${need[@]}"; }
fi

started=$(date +%s)
status=0
scripts/build-windows.sh || status=$?
[ "$status" -eq 0 ] || exit "$status"
built=$(date +%s)
if [ ! -x "$linux_build/sim/tdssim" ]; then
  cmake -S . -B "$linux_build" -G Ninja >/dev/null
  cmake --build "$linux_build" --target tdssim
fi
zip=$(ls -t dist/tallyvane-*-win64.zip | head -1)

# A display of our own for the desktop program.
mkdir -p "$build"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$build/xvfb-display" 2>"$build/xvfb.log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$build/xvfb-display" ] && break; sleep 0.1; done
display=":$(cat "$build/xvfb-display")"

status=0
python3 tests/windows/test_windows.py --zip "$zip" --tdssim "$linux_build/sim/tdssim" \
  --work "$build/wine-test" --display "$display" --artifacts "$build/artifacts" \
  --files-check "$build/tests/windows/windows-files-check.exe" || status=$?
echo "Windows: build $((built - started)) s, Wine tests $(($(date +%s) - built)) s"
exit "$status"
