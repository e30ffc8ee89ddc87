#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh put into dist/.
#   scripts/check-packages.sh --contents [dist]   what they hold, their metadata, lintian
#   scripts/check-packages.sh --install [dist] TDSSIM
#       as root (or with sudo): installs both with apt, starts the installed program on a
#       private Xvfb display until its window shows, runs the installed exporter --once against
#       tdssim, purges both and checks that nothing of them is left in /usr, /lib or /etc.
# Exit status 77: there are no packages to check.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
dist=${2:-dist}
fail() {
  echo "check-packages: $*" >&2
  exit 1
}
shopt -s nullglob
desktop=("$dist"/tallyvane_*.deb)
exporter=("$dist"/tallyvane-exporter_*.deb)
if [ ${#desktop[@]} -ne 1 ] || [ ${#exporter[@]} -ne 1 ]; then
  echo "check-packages: no packages in $dist/ (scripts/package.sh builds them)" >&2
  exit 77
fi
desktop=${desktop[0]}
exporter=${exporter[0]}
version=$(sed -n 's/^project(Tallyvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

check_contents() {
  local deb list
  for deb in "$desktop" "$exporter"; do
    echo "== $(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"
    dpkg-deb --field "$deb" Package Version Installed-Size Depends
  done

  list=$(dpkg-deb --contents "$desktop" | awk '{print $6}')
  for file in ./usr/bin/tallyvane ./usr/share/tallyvane/sounds/chord.wav \
    ./usr/share/icons/hicolor/48x48/apps/tallyvane.png \
    ./usr/share/icons/hicolor/256x256/apps/tallyvane.png \
    ./usr/share/applications/tallyvane.desktop ./usr/share/metainfo/tallyvane.metainfo.xml \
    ./usr/share/man/man1/tallyvane.1.gz ./usr/share/doc/tallyvane/copyright \
    ./usr/share/doc/tallyvane/changelog.gz ./usr/share/doc/tallyvane/README.md.gz; do
    grep -qxF "$file" <<<"$list" || fail "tallyvane lacks $file"
  done
  if grep -qE 'exporter|systemd|/etc/' <<<"$list"; then
    fail "tallyvane holds fleet files: $(grep -E 'exporter|systemd|/etc/' <<<"$list" | tr '\n' ' ')"
  fi

  list=$(dpkg-deb --contents "$exporter" | awk '{print $1, $6}')
  for file in ./usr/bin/tallyvane-exporter ./lib/systemd/system/tallyvane-exporter.service \
    ./usr/share/tallyvane/prometheus/tallyvane.rules.yml \
    ./usr/share/man/man1/tallyvane-exporter.1.gz ./usr/share/doc/tallyvane-exporter/copyright \
    ./usr/share/doc/tallyvane-exporter/changelog.gz; do
    grep -qE " ${file//./\\.}\$" <<<"$list" || fail "tallyvane-exporter lacks $file"
  done
  # The server list holds passwords: root's alone, kept by dpkg as the administrator edits it.
  grep -qxF 'drwx------ ./etc/tallyvane/' <<<"$list" || fail "/etc/tallyvane is not 0700: $list"
  for file in servers.ini tallyvane.ini; do
    grep -qxF -- "-rw------- ./etc/tallyvane/$file" <<<"$list" || fail "/etc/tallyvane/$file is not 0600"
  done
  [ "$(dpkg-deb --info "$exporter" conffiles)" = $'/etc/tallyvane/servers.ini\n/etc/tallyvane/tallyvane.ini' ] ||
    fail "conffiles: $(dpkg-deb --info "$exporter" conffiles)"
  dpkg-deb --fsys-tarfile "$exporter" | tar -xO ./lib/systemd/system/tallyvane-exporter.service |
    grep -q '^ExecStart=/usr/bin/tallyvane-exporter ' || fail "the unit does not start /usr/bin/tallyvane-exporter"

  local pkg field
  for pkg in "$desktop" "$exporter"; do
    [ "$(dpkg-deb --field "$pkg" Version)" = "$version" ] || fail "$pkg: version is not $version"
    field=$(dpkg-deb --field "$pkg" Depends)
    # dpkg-shlibdeps: the C++ and Qt libraries; declared: the ODBC pieces loaded at run time.
    for dep in libc6 libstdc++6 libqt6core6 libodbc2 unixodbc tdsodbc; do
      grep -qE "(^|, )${dep//+/\\+}( |,|\$)" <<<"$field" || fail "$(basename "$pkg") does not depend on $dep: $field"
    done
  done
  grep -q 'libqt6sql6-sqlite' <<<"$(dpkg-deb --field "$desktop" Depends)" ||
    fail "tallyvane does not depend on Qt's SQLite driver (the history)"

  command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh)"
  echo "== lintian"
  lintian --fail-on error,warning --info "$desktop" "$exporter" || fail "lintian reports an error or a warning"
  echo "check-packages: contents, metadata and lintian are as expected"
}

check_install() {
  local tdssim=${1:-}
  [ -x "$tdssim" ] || fail "--install needs the path of tdssim"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  # Globals: the EXIT trap reads them after this function has returned.
  xvfb="" program="" sim="" installed=""
  work=$(mktemp -d)
  cleanup() {
    [ -n "$program" ] && kill "$program" 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
    # A check that failed half-way leaves the machine as it found it.
    if [ -n "$installed" ]; then
      DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -q tallyvane tallyvane-exporter >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
  }
  trap cleanup EXIT
  for pkg in tallyvane tallyvane-exporter; do
    if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q installed; then
      fail "$pkg is installed already: this check installs and purges it, so it stops here"
    fi
  done
  # What of ours is on the machine before, to compare with what is left after the purge.
  leftovers() { find /usr /lib /etc -xdev -path '*tallyvane*' 2>/dev/null | sort; }
  leftovers >"$work/before"

  echo "== apt-get install"
  installed=1
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q \
    "$(realpath "$desktop")" "$(realpath "$exporter")" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get install failed"; }
  dpkg -L tallyvane tallyvane-exporter >"$work/listed"

  # The installed program answers without a display.
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/tallyvane --version |
    grep -qx "tallyvane $version" || fail "tallyvane --version"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/tallyvane --help |
    grep -q '^Usage: tallyvane' || fail "tallyvane --help"
  [ "$(stat -c %a /etc/tallyvane)" = 700 ] || fail "/etc/tallyvane is not 0700 once installed"

  # The installed program shows its window. Its files go to the configuration folder, not
  # beside it, although root may write /usr/bin; a settings file there keeps the first-run
  # dialog away.
  mkdir -p "$work/home/.config/Tallyvane"
  printf '[Settings]\r\nAutoRefresh=0\r\n' >"$work/home/.config/Tallyvane/tallyvane.ini"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  local display=":$(cat "$work/display")" title=""
  HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" DISPLAY="$display" \
    /usr/bin/tallyvane >"$work/program.log" 2>&1 &
  program=$!
  for _ in $(seq 300); do
    title=$(DISPLAY="$display" xwininfo -root -tree 2>/dev/null | grep -o '"[^"]*Tallyvane ver\.[^"]*"') && break
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$title" ] || { cat "$work/program.log" >&2; fail "the installed program showed no window"; }
  echo "check-packages: the installed program shows its window $title"
  kill "$program"
  wait "$program" 2>/dev/null || true
  program=""
  kill "$xvfb"
  xvfb=""
  local written=(/usr/bin/*.ini /usr/bin/*.sqlite)
  [ ${#written[@]} -eq 0 ] || fail "the installed program wrote into /usr/bin: ${written[*]}"
  [ -f "$work/home/.config/Tallyvane/tallyvane-history.sqlite" ] ||
    fail "the installed program keeps no history in ~/.config/Tallyvane"

  # The installed exporter against tdssim: every server up gives 0, one refused gives 3.
  "$tdssim" --port 0 --scenario demo >"$work/sim.out" 2>"$work/sim.err" &
  sim=$!
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out" | head -1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/sim.err" >&2; fail "tdssim did not start"; }
  local conn="Provider=SQLOLEDB.1;Data Source=127.0.0.1,$port;User ID=sa;Password=Sim-Admin-1;Persist Security Info=True"
  printf '[SIM]\r\nConnectionString=%s\r\nTimeout=5\r\n' "$conn" >"$work/servers.ini"
  printf '[Settings]\r\nWarningTimeout=1000\r\n' >"$work/tallyvane.ini"
  /usr/bin/tallyvane-exporter --once --servers "$work/servers.ini" --settings "$work/tallyvane.ini" \
    >"$work/metrics" 2>"$work/exporter.log" || { cat "$work/exporter.log" >&2; fail "the installed exporter --once failed"; }
  grep -qx 'tallyvane_up{server="SIM"} 1' "$work/metrics" || fail "no figures of SIM: $(cat "$work/metrics")"
  grep -q '^tallyvane_blocked_sessions{server="SIM"} [1-9]' "$work/metrics" || fail "no blocking seen on SIM"
  echo "check-packages: the installed exporter reads tdssim: $(grep '^tallyvane_blocked_sessions' "$work/metrics")"
  printf '[DOWN]\r\nConnectionString=Provider=SQLOLEDB.1;Data Source=127.0.0.1,1;User ID=sa;Password=x\r\nTimeout=2\r\n' \
    >>"$work/servers.ini"
  local status=0
  /usr/bin/tallyvane-exporter --once --servers "$work/servers.ini" --settings "$work/tallyvane.ini" \
    >"$work/metrics" 2>"$work/exporter.log" || status=$?
  [ "$status" -eq 3 ] || fail "--once with a server down exits $status, not 3"
  grep -qx 'tallyvane_up{server="SIM"} 1' "$work/metrics" || fail "--once with a server down printed no metrics"
  # The example configuration the package installs is one the exporter takes.
  "${sudo_cmd[@]}" /usr/bin/tallyvane-exporter --once --servers /etc/tallyvane/servers.ini \
    --settings /etc/tallyvane/tallyvane.ini >/dev/null 2>"$work/exporter.log" ||
    { cat "$work/exporter.log" >&2; fail "the example configuration in /etc/tallyvane is refused"; }
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify --man=no /lib/systemd/system/tallyvane-exporter.service ||
      fail "systemd-analyze verify finds fault with the installed unit"
  fi
  kill "$sim"
  sim=""

  echo "== apt-get purge"
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -q tallyvane tallyvane-exporter \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get purge failed"; }
  installed=""
  if dpkg -L tallyvane >/dev/null 2>&1 || dpkg -L tallyvane-exporter >/dev/null 2>&1; then
    fail "dpkg still lists the packages after the purge"
  fi
  while read -r path; do
    case "$path" in
    *tallyvane*) [ ! -e "$path" ] || fail "left after the purge: $path" ;;
    *) [ -d "$path" ] || [ ! -e "$path" ] || fail "left after the purge: $path" ;;
    esac
  done <"$work/listed"
  leftovers >"$work/after"
  diff "$work/before" "$work/after" >&2 || fail "the purge left files behind (above)"
  echo "check-packages: installed, ran and purged without leftovers"
}

case "$mode" in
--contents) check_contents ;;
--install) check_install "${3:-}" ;;
*)
  echo "usage: scripts/check-packages.sh --contents [dist] | --install [dist] TDSSIM" >&2
  exit 2
  ;;
esac
