#!/usr/bin/env bash
# Cross-builds the Windows programs with Debian's MinGW-w64 and packs them as
# dist/tallyvane-<version>-win64.zip, with the Qt DLLs, plugins and MinGW runtime they load.
#   scripts/build-windows.sh            build folder build-win64/
# Qt for MinGW: see scripts/find-qt-mingw.sh (an archive beside the checkout, else what
# scripts/build-qt-mingw.sh built); exit status 3 when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${TALLYVANE_WIN_BUILD:-build-win64}
mingw=x86_64-w64-mingw32

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
need=()
for p in g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 qt6-base-dev-tools cmake ninja-build zip; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}" ||
    { "${sudo_cmd[@]}" apt-get update -q && "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}"; }
fi

# Qt for MinGW: scripts/find-qt-mingw.sh says where from (exit status 3: nowhere).
found=$(scripts/find-qt-mingw.sh) || exit $?
qt=${found#* }
if [ "${found%% *}" = tarball ]; then
  tarball=$qt
  qt=$repo/$build/qt6-mingw
  stamp="$(stat -c '%s %Y' "$tarball") $tarball"
  if [ ! -f "$qt/.unpacked" ] || [ "$(cat "$qt/.unpacked")" != "$stamp" ]; then
    echo "Unpacking $tarball"
    rm -rf "$qt"
    mkdir -p "$repo/$build"
    tar xzf "$tarball" -C "$repo/$build"
    echo "$stamp" >"$qt/.unpacked"
  fi
fi
echo "Qt for MinGW: $qt"
if [ ! -f "$qt/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  echo "build-windows: $qt is not a Qt for MinGW (no lib/cmake/Qt6/Qt6Config.cmake)" >&2
  exit 3
fi
# Another Qt than the last configure's: CMake would keep finding the old one through its cache.
if [ -f "$build/CMakeCache.txt" ] &&
  [ "$(sed -n 's/^TALLYVANE_QT_MINGW:[A-Z]*=//p' "$build/CMakeCache.txt")" != "$qt" ]; then
  rm -f "$build/CMakeCache.txt"
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  # Paths relative to the checkout: another clone (CI) finds the same objects.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$repo}
fi
# Release, with warnings as errors as in the Linux development build.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DTALLYVANE_QT_MINGW="$qt" -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release \
  -DTALLYVANE_WERROR=ON "${launcher[@]}"
# windows-files-check: the file seams' checks that scripts/test-windows.sh runs under Wine.
cmake --build "$build" --target tallyvane tallyvane-exporter windows-files-check

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=tallyvane-$version-win64
stage=$build/stage/$name
rm -rf "$build/stage"
mkdir -p "$stage" dist
cp "$build/ui/tallyvane.exe" "$build/exporter/tallyvane-exporter.exe" "$stage/"
cp ui/sounds/chord.wav "$stage/"
# The plugins the programs load: the window system, the native style, TLS for the exporter's
# HTTPS (Schannel) and SQLite for the blocking history.
for plugin in platforms/qwindows.dll styles/qwindowsvistastyle.dll tls/qschannelbackend.dll \
  tls/qcertonlybackend.dll sqldrivers/qsqlite.dll imageformats/qico.dll; do
  mkdir -p "$stage/$(dirname "$plugin")"
  cp "$qt/plugins/$plugin" "$stage/$plugin"
done
printf '[Paths]\nPrefix = .\nPlugins = .\n' >"$stage/qt.conf"

# What windeployqt does: every DLL the programs and plugins import that is not part of Windows,
# found in Qt's bin folder or the MinGW runtime, followed to the DLLs those import in turn.
gccdir=$(dirname "$("$mingw-g++-posix" -print-libgcc-file-name)")
search=("$qt/bin" "$gccdir" "/usr/$mingw/lib" "/usr/$mingw/bin")
imports() { "$mingw-objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
queue=("$stage"/*.exe $(find "$stage" -mindepth 2 -name '*.dll'))
declare -A seen=()
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  for dll in $(imports "$file"); do
    key=${dll,,}
    [ -n "${seen[$key]:-}" ] && continue
    seen[$key]=1
    for dir in "${search[@]}"; do
      if [ -f "$dir/$dll" ]; then
        cp "$dir/$dll" "$stage/$dll"
        queue+=("$stage/$dll")
        break
      fi
    done # not found: a system DLL of Windows (kernel32, odbc32, ...)
  done
done
"$mingw-strip" --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll

rm -f "dist/$name.zip"
(cd "$build/stage" && zip -qr9 "$repo/dist/$name.zip" "$name")
echo "Made dist/$name.zip ($(du -h "dist/$name.zip" | cut -f1)): $(cd "$stage" && find . -type f | sort | tr '\n' ' ')"
