#!/usr/bin/env bash
# The desktop program raises its soft limit of open files to the hard one at start (a desktop
# session's 1,024 would starve the connections of a few hundred servers): started under
# prlimit --nofile=512:4096 on a private Xvfb display, it must run with 4096.
#   check_desktop_descriptor_limit.sh PROGRAM
set -euo pipefail
program=$1
work=$(mktemp -d)
xvfb="" pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "check_desktop_descriptor_limit: $*" >&2
  [ -f "$work/program.log" ] && sed 's/^/  program: /' "$work/program.log" >&2
  exit 1
}
# A copy of the program keeps its files beside itself; the settings keep the first-run
# dialog away and the refresh off.
cp "$program" "$work/tallyvane"
printf '[Settings]\r\nAutoRefresh=0\r\n' >"$work/tallyvane.ini"
: >"$work/servers.ini"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb prlimit --nofile=512:4096 \
  "$work/tallyvane" >"$work/program.log" 2>&1 &
pid=$!
soft=""
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || fail "the program ended"
  # Once it runs its own code (prlimit has been replaced by it).
  if [ "$(readlink "/proc/$pid/exe")" = "$work/tallyvane" ]; then
    sleep 1
    soft=$(awk '/^Max open files/ {print $4}' "/proc/$pid/limits")
    break
  fi
  sleep 0.1
done
[ "$soft" = 4096 ] || fail "the soft limit of open files is ${soft:-unknown}, not the hard limit 4096"
echo "check_desktop_descriptor_limit: the program raised its soft limit from 512 to 4096"
