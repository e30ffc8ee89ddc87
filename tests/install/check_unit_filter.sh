#!/usr/bin/env bash
# The exporter under the system call filter of its systemd unit, on a machine where systemd does
# not run units: unit_filter_launcher builds the filter from the unit's own SystemCallFilter=
# lines and runs the exporter under it against tdssim. The exporter must serve the figures of a
# server it polls (its connection threads lower their priority) after raising its descriptor
# limit, and the same unit forbidding setpriority must kill it (the filter really applies).
#   check_unit_filter.sh LAUNCHER EXPORTER TDSSIM UNIT SETS
# SETS: systemd's set tables (tests/install/systemd-syscall-sets.txt); the installed systemd's
# own, from systemd-analyze, are preferred when it is there.
set -euo pipefail
launcher=$1 exporter=$2 tdssim=$3 unit=$4 sets=$5
work=$(mktemp -d)
sim="" served=""
cleanup() {
  [ -n "$served" ] && kill "$served" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "check_unit_filter: $*" >&2
  [ -f "$work/exporter.log" ] && sed 's/^/  exporter: /' "$work/exporter.log" >&2
  exit 1
}

if command -v systemd-analyze >/dev/null && systemd-analyze syscall-filter >"$work/sets.txt" 2>/dev/null &&
  grep -q '^@default' "$work/sets.txt"; then
  sets=$work/sets.txt
  echo "check_unit_filter: the sets of $(systemd-analyze --version | head -1)"
else
  echo "check_unit_filter: the sets of $sets"
fi

"$tdssim" --port 0 --scenario demo >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "tdssim did not start: $(cat "$work/sim.err")"
printf '[SIM]\r\nConnectionString=Provider=SQLOLEDB.1;Data Source=127.0.0.1,%s;User ID=sa;Password=Sim-Admin-1;Persist Security Info=True\r\nTimeout=5\r\n' \
  "$port" >"$work/servers.ini"
printf '[Settings]\r\nAutoRefreshInterval=1\r\nWarningTimeout=1000\r\n' >"$work/tallyvane.ini"
args=(--servers "$work/servers.ini" --settings "$work/tallyvane.ini")

# GET /metrics over bash's own sockets; the page, or nothing.
scrape() {
  local page
  exec 3<>"/dev/tcp/127.0.0.1/$1" || return 0
  printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3
  page=$(timeout 10 cat <&3) || true
  exec 3<&-
  printf '%s' "$page"
}

# A soft descriptor limit below the hard one: the exporter raises it under the filter.
prlimit --nofile=512:4096 "$launcher" "$unit" "$sets" -- "$exporter" "${args[@]}" --listen 127.0.0.1:0 \
  2>"$work/exporter.log" &
served=$!
listen=""
for _ in $(seq 200); do
  listen=$(sed -n 's|^Serving http://127.0.0.1:\([0-9]*\)/metrics$|\1|p' "$work/exporter.log")
  [ -n "$listen" ] && break
  kill -0 "$served" 2>/dev/null || break
  sleep 0.1
done
[ -n "$listen" ] || fail "the exporter under the unit's filter did not serve"
page=""
for _ in $(seq 60); do
  kill -0 "$served" 2>/dev/null || break
  page=$(scrape "$listen")
  grep -q '^tallyvane_up{server="SIM"} 1' <<<"$page" && break
  sleep 0.5
done
if ! kill -0 "$served" 2>/dev/null; then
  status=0
  wait "$served" || status=$?
  served=""
  fail "the exporter died under the unit's filter (exit status $status; 159 is SIGSYS)"
fi
grep -q '^tallyvane_up{server="SIM"} 1' <<<"$page" || fail "no figures of SIM under the filter: $page"
grep -q '^tallyvane_blocked_sessions{server="SIM"} ' <<<"$page" || fail "no blocking figures: $page"
grep -q 'a limit of 4,096 open files (raised from 512)' "$work/exporter.log" || fail "the exporter did not raise its descriptor limit to 4096"
grep -q 'Max open files *4096 *4096' "/proc/$served/limits" 2>/dev/null ||
  [ ! -r "/proc/$served/limits" ] || fail "the soft limit is not 4096: $(grep 'open files' "/proc/$served/limits")"
kill -TERM "$served"
status=0
wait "$served" || status=$?
served=""
[ "$status" -eq 0 ] || fail "the exporter under the filter stopped with status $status"
echo "check_unit_filter: the exporter serves the figures of SIM under the unit's system call filter"

# The same unit with setpriority forbidden: the connection threads' first call kills it.
sed '/^\[Install\]/i SystemCallFilter=~setpriority' "$unit" >"$work/forbidding.service"
: >"$work/exporter.log"
status=0
timeout 60 "$launcher" "$work/forbidding.service" "$sets" -- "$exporter" "${args[@]}" \
  --listen 127.0.0.1:0 2>"$work/exporter.log" || status=$?
[ "$status" -eq 159 ] || fail "with setpriority forbidden the exporter ended with status $status, not SIGSYS (159)"
echo "check_unit_filter: forbidding setpriority kills it with SIGSYS, as the filter should"
