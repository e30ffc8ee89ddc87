#!/usr/bin/env bash
# Says where Qt for MinGW comes from, first found wins:
#   dir PATH       $TALLYVANE_QT_MINGW, an unpacked Qt for MinGW
#   tarball PATH   $TALLYVANE_QT_MINGW_TARBALL, else qt6-mingw-6.4.2.tar.gz in the shared windows
#                  folder beside the checkout ($TALLYVANE_SHARED/windows/, default ../shared/windows/)
#   dir PATH       what scripts/build-qt-mingw.sh built (${XDG_CACHE_HOME:-~/.cache}/tallyvane/)
# Exit status 3, with the reason on stderr, when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
name=qt6-mingw-6.4.2

if [ -n "${TALLYVANE_QT_MINGW:-}" ]; then
  echo "dir $TALLYVANE_QT_MINGW"
  exit 0
fi
if [ -n "${TALLYVANE_QT_MINGW_TARBALL:-}" ]; then
  if [ ! -f "$TALLYVANE_QT_MINGW_TARBALL" ]; then
    echo "Qt for MinGW not found: $TALLYVANE_QT_MINGW_TARBALL does not exist" >&2
    exit 3
  fi
  echo "tarball $TALLYVANE_QT_MINGW_TARBALL"
  exit 0
fi
shared=${TALLYVANE_SHARED:-$PWD/../shared}
if [ -f "$shared/windows/$name.tar.gz" ]; then
  echo "tarball $(cd "$shared/windows" && pwd)/$name.tar.gz"
  exit 0
fi
cached=${XDG_CACHE_HOME:-$HOME/.cache}/tallyvane/$name
if [ -f "$cached/.complete" ]; then
  echo "dir $cached"
  exit 0
fi
echo "Qt for MinGW not found:" >&2
echo "  not built in $cached (scripts/build-qt-mingw.sh builds it)," >&2
echo "  no $name.tar.gz in $shared/windows/," >&2
echo "  neither TALLYVANE_QT_MINGW nor TALLYVANE_QT_MINGW_TARBALL set (see README, \"Windows\")." >&2
exit 3
