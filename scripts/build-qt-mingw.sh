#!/usr/bin/env bash
# Builds Qt 6.4.2 for 64-bit Windows (qtbase: Core, Gui, Widgets, Network, Sql, Test) with
# Debian's MinGW-w64, from Debian's own qt6-base source package, once, into
#   ${XDG_CACHE_HOME:-~/.cache}/tallyvane/qt6-mingw-6.4.2
# where scripts/build-windows.sh finds it. About 35 minutes on 2 cores; about 90 MB kept.
#   scripts/build-qt-mingw.sh          build it unless it is there already
#   TALLYVANE_QT_JOBS=N                parallel jobs (default: every core)
# An interrupted build resumes where it stopped. Installs what it needs with apt-get, and adds
# deb-src entries for Debian's archive when apt has none (apt-get source needs them).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
version=6.4.2
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tallyvane
prefix=$cache/qt6-mingw-$version
work=$cache/qt6-mingw-$version.work
mingw=x86_64-w64-mingw32
jobs=${TALLYVANE_QT_JOBS:-$(nproc)}

if [ -f "$prefix/.complete" ] && [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  echo "Qt for MinGW is ready: $prefix"
  exit 0
fi
started=$(date +%s)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
need=()
# The host's Qt (qt6-base-dev, qt6-base-dev-tools) gives moc, rcc, uic and syncqt of the same
# version; tcl makes SQLite's amalgamation.
for p in g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 build-essential cmake ninja-build \
  perl dpkg-dev patch tcl xz-utils qt6-base-dev qt6-base-dev-tools; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}" ||
    { "${sudo_cmd[@]}" apt-get update -q && "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}"; }
fi
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
case $host_version in
  $version+*) ;;
  *)
    echo "build-qt-mingw: the host's qt6-base-dev-tools is $host_version; Qt for MinGW $version" >&2
    echo "  needs moc, rcc and uic of the same version (Debian 12 has them)." >&2
    exit 1
    ;;
esac

# apt-get source needs deb-src entries. Added beside the system's own lists, as a copy of the
# deb entries of Debian's archive, in the format the system uses.
if ! apt-get source --print-uris qt6-base >/dev/null 2>&1; then
  lists=/etc/apt/sources.list.d
  if [ -f "$lists/debian.sources" ]; then
    echo "Adding deb-src entries: $lists/tallyvane-deb-src.sources"
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      "$lists/debian.sources" | "${sudo_cmd[@]}" tee "$lists/tallyvane-deb-src.sources" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    echo "Adding deb-src entries: $lists/tallyvane-deb-src.list"
    sed -n 's/^\s*deb\s/deb-src /p' /etc/apt/sources.list |
      "${sudo_cmd[@]}" tee "$lists/tallyvane-deb-src.list" >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -q
fi

mkdir -p "$work"
cd "$work"
# The sources: Debian's qtbase (its patches applied by dpkg-source) and SQLite, which Debian's
# qtbase leaves out of its copy of Qt's sources.
if [ ! -f sources.fetched ]; then
  rm -rf qt6-base* qt6-base_* sqlite3*
  apt-get source -q qt6-base sqlite3
  touch sources.fetched
fi
qtsrc=$(find . -maxdepth 1 -type d -name 'qt6-base-*' | head -1)
sqlitesrc=$(find . -maxdepth 1 -type d -name 'sqlite3-*' | head -1)
if ! grep -q "QT_REPO_MODULE_VERSION \"$version\"" "$qtsrc/.cmake.conf"; then
  echo "build-qt-mingw: Debian's qt6-base is not Qt $version ($qtsrc)" >&2
  exit 1
fi
if [ ! -f "$qtsrc/.tallyvane-patched" ]; then
  for p in "$repo"/scripts/patches/qt6-base-*.patch; do
    patch -d "$qtsrc" -p1 --forward <"$p"
  done
  touch "$qtsrc/.tallyvane-patched"
fi

# SQLite for the SQLite plugin, linked statically.
if [ ! -f "$prefix/deps/lib/libsqlite3.a" ]; then
  (cd "$sqlitesrc" && { [ -f sqlite3.c ] || { ./configure -q && make -s sqlite3.c; }; } &&
    "$mingw-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c \
      -o sqlite3-mingw.o)
  mkdir -p "$prefix/deps/lib" "$prefix/deps/include"
  cp "$sqlitesrc/sqlite3.h" "$sqlitesrc/sqlite3ext.h" "$prefix/deps/include/"
  rm -f "$prefix/deps/lib/libsqlite3.a"
  "$mingw-ar" rcs "$prefix/deps/lib/libsqlite3.a" "$sqlitesrc/sqlite3-mingw.o"
fi

# qtbase: no OpenGL, Vulkan, Direct2D, D-Bus or tablet events (Debian's sources lack wintab.h);
# TLS through Schannel; the ODBC and SQLite drivers only; Qt's own copies of the image and
# font libraries, so that nothing else of MinGW's is needed.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S "$qtsrc" -B build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DTALLYVANE_QT_MINGW="$prefix" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF \
    -DFEATURE_dbus=OFF -DFEATURE_tabletevent=OFF -DFEATURE_glib=OFF -DFEATURE_icu=OFF \
    -DFEATURE_openssl=OFF -DFEATURE_schannel=ON -DFEATURE_brotli=OFF -DFEATURE_zstd=OFF \
    -DFEATURE_sql_odbc=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON \
    -DSQLite3_INCLUDE_DIR="$prefix/deps/include" -DSQLite3_LIBRARY="$prefix/deps/lib/libsqlite3.a" \
    -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_sql_oci=OFF -DFEATURE_sql_db2=OFF \
    -DFEATURE_sql_ibase=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_testlib=ON
fi
cmake --build build -j"$jobs"
cmake --install build
touch "$prefix/.complete"
cd "$cache"
rm -rf "$work"
echo "Built Qt for MinGW in $(($(date +%s) - started)) s: $prefix ($(du -sh "$prefix" | cut -f1))"
