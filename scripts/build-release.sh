#!/usr/bin/env bash
# Builds into OUT_DIR what a release publishes: the .deb, the Windows ZIP and
# test kit with their .sha256, and both programs unstripped. quillmar.exe is
# signed when QUILLMAR_SIGN_CERT and QUILLMAR_SIGN_KEY name a certificate
# and its key (cmake/cpack-pre-build.cmake).
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 OUT_DIR" >&2; exit 2; }
out=$1
cd "$(dirname "$0")/.."
mkdir -p "$out"
out=$(cd "$out" && pwd)
jobs=${QUILLMAR_RELEASE_JOBS:-2}
# Both builds on Ninja (debian/rules says so for the .deb), whatever the
# caller's default: the release is built one way only.
export CMAKE_GENERATOR=Ninja

dpkg-buildpackage -us -uc -b -j"$jobs"
version=$(dpkg-parsechangelog -S Version)
deb=quillmar_${version}_$(dpkg-architecture -q DEB_HOST_ARCH).deb
mv "../$deb" "$out/"
(cd "$out" && sha256sum "$deb" >"$deb.sha256")
cp "obj-$(dpkg-architecture -q DEB_HOST_GNU_TYPE)/quillmar" "$out/quillmar"

rm -rf build/release-windows/packages
CMAKE_BUILD_PARALLEL_LEVEL=$jobs cmake --workflow --preset release-windows
cp build/release-windows/packages/*.zip build/release-windows/packages/*.zip.sha256 \
   build/release-windows/quillmar.exe "$out/"
