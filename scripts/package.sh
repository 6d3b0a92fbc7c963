#!/usr/bin/env bash
# Builds the Debian package: a Release build for the prefix /usr, with Debian's
# hardening flags, packed by CPack.
#   scripts/package.sh [OUTPUT_DIR]
# leaves orvex-config_<version>_amd64.deb and orvex-config-dbgsym_<version>_amd64.ddeb
# (the debug symbols) in OUTPUT_DIR (default dist/). The build folder
# (BUILD_DIR, default build-package) is kept for the next run; JOBS (default 2)
# sets the build parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(realpath -m "${1:-dist}")"
build="${BUILD_DIR:-build-package}"

bash scripts/install-deps.sh

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags="$(dpkg-buildflags --get CPPFLAGS)"
# The optimisation and debug information (-O2 -g) come from dpkg-buildflags,
# as in Debian's own builds; the debug information goes into the -dbgsym package.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCHMARKS=OFF -DORVEX_BUILD_TREE_DATA=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
mkdir -p "$out"
rm -f "$out"/orvex-config_*.deb "$out"/orvex-config-dbgsym_*.ddeb
rm -rf "$out/.cpack"
(cd "$build" && cpack -G DEB -B "$out/.cpack" >/dev/null)
mv "$out"/.cpack/*.deb "$out"/

# CPack's debug symbol package lists its files by build path in md5sums and
# has no documentation folder: repack it as Debian's own -dbgsym packages are,
# with the documentation folder a link to the main package's.
ddeb=$(ls "$out"/.cpack/*.ddeb)
tree="$out/.cpack/dbgsym"
dpkg-deb -R "$ddeb" "$tree"
mkdir -p "$tree/usr/share/doc"
ln -s orvex-config "$tree/usr/share/doc/orvex-config-dbgsym"
(cd "$tree" && find usr -type f | LC_ALL=C sort | xargs -d '\n' md5sum) >"$tree/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$tree" "$out/$(basename "$ddeb")" >/dev/null
rm -rf "$out/.cpack"
ls "$out"/orvex-config_*_amd64.deb
