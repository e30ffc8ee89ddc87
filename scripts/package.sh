#!/usr/bin/env bash
# Builds the Debian packages tallyvane and tallyvane-exporter into dist/, from a Release build
# without tests in a build folder of its own (default build-package/, emptied first).
#   scripts/package.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --package
build=${1:-build-package}
rm -rf "$build"
# Debian's hardening flags, all of them (bindnow too), as a package built by Debian's own tools
# may get them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
# Without -g: the packages carry stripped programs, and debug information only slows the build.
cxxflags=$(dpkg-buildflags --get CXXFLAGS | sed -E "s/(^| )-g( |$)/ /")
ldflags=$(dpkg-buildflags --get LDFLAGS)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTALLYVANE_PACKAGE_DEB=ON -DTALLYVANE_BUILD_TESTS=OFF -DTALLYVANE_BUILD_BENCH=OFF \
  "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "${launcher[@]}"
cmake --build "$build" --target tallyvane tallyvane-exporter -j"$(nproc)"
(cd "$build" && cpack -G DEB)
mkdir -p dist
rm -f dist/tallyvane_*.deb dist/tallyvane-exporter_*.deb
cp "$build"/packages/*.deb dist/
ls -l dist/*.deb
