#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need, when missing.
#   scripts/install-deps.sh            everything
#   scripts/install-deps.sh --package  only what building the Debian packages needs
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev
  qt6-base-dev qt6-multimedia-dev libqt6sql6-sqlite
  unixodbc unixodbc-dev tdsodbc
  libssl-dev openssl
)
if [ "${1:-}" != "--package" ]; then
  packages+=(
    sqlite3 libgtest-dev libgmock-dev libbenchmark-dev
    freetds-bin python3-tds
    xvfb xauth openbox trayer xdotool imagemagick x11-utils
    pulseaudio pulseaudio-utils
    libclang-rt-14-dev clang-format
    prometheus lintian libseccomp-dev
  )
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}" ||
    { "${sudo_cmd[@]}" apt-get update -q && "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"; }
fi
# The program reaches SQL Server through the ODBC driver registered as "FreeTDS"; the package
# registers it unless its installer was told not to, so make sure.
if ! odbcinst -q -d -n FreeTDS >/dev/null 2>&1; then
  "${sudo_cmd[@]}" odbcinst -i -d -f /usr/share/tdsodbc/odbcinst.ini >/dev/null
fi
