#!/usr/bin/env bash
# The README's `cmake --install` path from this checkout: a Release build of the program (or
# the build folder given, when it is configured already), its desktop component installed
# into a temporary prefix, and the installed program must start and show its main window (on a
# private Xvfb display), keeping its files in the user's configuration folder, not in bin/.
#   scripts/check-install.sh [build folder]     (default: build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
work=$(mktemp -d)
xvfb=""
program=""
cleanup() {
  [ -n "$program" ] && kill "$program" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The README's commands, the prefix aside.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYVANE_BUILD_TESTS=OFF
fi
cmake --build "$build" --target tallyvane -j"$(nproc)"
cmake --install "$build" --prefix "$work/prefix" --component desktop

# A settings file in its configuration folder keeps the first-run dialog away; a home of its
# own keeps the window layout out of the user's.
mkdir -p "$work/home/.config/Tallyvane"
printf '[Settings]\r\nAutoRefresh=0\r\n' > "$work/home/.config/Tallyvane/tallyvane.ini"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(cat "$work/display")"
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" DISPLAY="$display" \
  "$work/prefix/bin/tallyvane" >"$work/program.log" 2>&1 &
program=$!
for _ in $(seq 300); do
  if title=$(DISPLAY="$display" xwininfo -root -tree 2>/dev/null | grep -o '"[^"]*Tallyvane ver\.[^"]*"'); then
    echo "check-install: the installed program shows its window $title"
    kill "$program"
    wait "$program" 2>/dev/null || true
    program=""
    if [ -n "$(ls "$work/prefix/bin")" ] && [ "$(ls "$work/prefix/bin")" != tallyvane ]; then
      echo "check-install: the installed program wrote into its bin folder: $(ls "$work/prefix/bin")" >&2
      exit 1
    fi
    exit 0
  fi
  kill -0 "$program" 2>/dev/null || break
  sleep 0.1
done
echo "check-install: the installed program showed no window" >&2
cat "$work/program.log" >&2
exit 1
