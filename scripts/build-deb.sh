#!/usr/bin/env bash
# Builds the Debian package with debhelper into DIR (default dist/) and
# checks it with lintian. Prints the path of the .deb on its last line.
#   scripts/build-deb.sh [DIR]
# Environment: DEB_HOST_ARCH=arm64 (with the cross toolchain) builds for
# arm64; TARVOLT_BUILD_DIR and TARVOLT_WITH_TESTS are passed to debian/rules.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)"
arch="${DEB_HOST_ARCH:-$(dpkg --print-architecture)}"
version="$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)"
deb="$out/tarvolt_${version}_${arch}.deb"

cd "$root"
rm -f "$deb"
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc) nocheck noddebs}"
dpkg-architecture -a"$arch" -c debian/rules binary TARVOLT_DEB_DIR="$out" >&2
# A fresh staging tree for the next build; the build directory is kept so
# that the next build only compiles what changed.
rm -rf debian/tarvolt debian/.debhelper debian/debhelper-build-stamp debian/files \
    debian/tarvolt.substvars debian/*.debhelper.log debian/*.debhelper
lintian --fail-on error "$deb" >&2
echo "$deb"
