#!/usr/bin/env bash
# The demo: Tallyvane watching five simulated SQL Servers.
#   - PROD-SQL01        a lively server with blocking chains, watched with a sysadmin login
#   - REPORT-SQL02      the same workload seen through a login that is not sysadmin
#   - DR-SQL03          a server that refuses connections (its errors fill the error log)
#   - ARCHIVE-SQL04     a registered server that is switched off
#   - AUDIT-SQL05       the lively workload seen through a login without VIEW SERVER STATE: it
#                       sees only its own session, and is shown as such, never as calm
# Installs what is missing, builds the program and tdssim in build/, prepares demo-run/ (the
# program keeps servers.ini and its settings beside itself) and starts the program. tdssim
# stops when the program ends. Without a display the demo runs on a virtual one, saves
# demo-run/screenshot.png after DEMO_SECONDS (default 20) and stops.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target tallyvane tdssim -j"$(nproc)"

run="$root/demo-run"
mkdir -p "$run"
cp -f build/ui/tallyvane "$run/tallyvane"
cp -f ui/sounds/chord.wav "$run/chord.wav"

pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# Three simulated servers on free ports; the third refuses connections.
simout="$run/tdssim.out"
: >"$simout"
build/sim/tdssim --port 0 --scenario demo --instances 3 --control 0 --log "$run/tdssim-clients.log" \
  >"$simout" 2>"$run/tdssim.err" &
pids+=($!)
for _ in $(seq 100); do
  [ "$(grep -c '^listening on' "$simout")" -ge 3 ] && break
  kill -0 "${pids[0]}" 2>/dev/null || { cat "$run/tdssim.err" >&2; exit 1; }
  sleep 0.1
done
mapfile -t ports < <(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$simout")
control=$(sed -n 's/^control on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$simout")
[ "${#ports[@]}" -ge 3 ] || { echo "tdssim did not start" >&2; exit 1; }
exec 3<>"/dev/tcp/127.0.0.1/$control"
echo "fault 2 refuse yes" >&3
read -r reply <&3
exec 3>&-
echo "tdssim: servers on ports ${ports[*]} (control $control): $reply"

server() { # name enabled port user password
  printf '[%s]\r\nEnabled=%s\r\nConnectionString=Provider=SQLOLEDB.1;Data Source=127.0.0.1,%s;User ID=%s;Password=%s;Persist Security Info=True\r\nTimeout=5\r\n\r\n' "$@"
}
{
  server PROD-SQL01 1 "${ports[0]}" sa Sim-Admin-1
  server REPORT-SQL02 1 "${ports[1]}" viewer Sim-View-1
  server DR-SQL03 1 "${ports[2]}" sa Sim-Admin-1
  server ARCHIVE-SQL04 0 "${ports[0]}" sa Sim-Admin-1
  server AUDIT-SQL05 1 "${ports[1]}" blind Sim-Blind-1
} >"$run/servers.ini"
printf '[Settings]\r\nAutoRefresh=1\r\nAutoRefreshInterval=5\r\nShowInSystemTray=1\r\nIgnoreSelfBlocks=0\r\nIgnoreNotWarningBlocks=0\r\nAutoHideOnMinimize=1\r\nWarningTimeout=3000\r\nPlaySoundOnWarning=1\r\nWarningSoundPath=chord.wav\r\nShowBaloonOnWarning=1\r\nWarnOnlyOnce=1\r\n' \
  >"$run/tallyvane.ini"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting Tallyvane from $run (close its window to end the demo)"
  "$run/tallyvane"
  exit 0
fi

# No display: a virtual one with a window manager and a notification area.
echo "No display found: running on a virtual display (Xvfb) for ${DEMO_SECONDS:-20} seconds"
exec 4< <(exec Xvfb -displayfd 1 -screen 0 1400x900x24 -nolisten tcp 2>"$run/xvfb.log")
pids+=($!)
read -r display <&4
export DISPLAY=":$display"
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype request --height 24 --SetDockType true >/dev/null 2>&1 &
pids+=($!)
sleep 1
"$run/tallyvane" >"$run/tallyvane.log" 2>&1 &
pids+=($!)
sleep "${DEMO_SECONDS:-20}"
import -window root "$run/screenshot.png"
echo "Screenshot: $run/screenshot.png"
