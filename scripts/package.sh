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

CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCHMARKS=OFF -DORVEX_BUILD_TREE_DATA=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
mkdir -p "$out"
rm -f "$out"/orvex-config_*.deb "$out"/orvex-config-dbgsym_*.ddeb
(cd "$build" && cpack -G DEB -B "$out/.cpack" >/dev/null)
mv "$out"/.cpack/*.deb "$out"/.cpack/*.ddeb "$out"/
rm -rf "$out/.cpack"
ls "$out"/orvex-config_*_amd64.deb
