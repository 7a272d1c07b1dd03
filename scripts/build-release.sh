#!/usr/bin/env bash
# Builds the release from this tree and gathers what it publishes in
# OUT_DIR: the Debian package (dpkg-buildpackage, from debian/) and the
# Windows ZIP (the release-windows workflow preset: configure, build,
# cpack), each with its .sha256 file, and the two programs as built
# (obj-x86_64-linux-gnu/quillmar, the .deb's before dh_strip;
# build/release-windows/quillmar.exe, the ZIP's before cpack strips it).
# quillmar.exe is signed when QUILLMAR_SIGN_CERT and QUILLMAR_SIGN_KEY name
# a certificate and its key (cmake/cpack-pre-build.cmake).
#
#   scripts/build-release.sh OUT_DIR
#   QUILLMAR_RELEASE_JOBS=1 scripts/build-release.sh OUT_DIR   (default 2 jobs)
#
# dpkg-buildpackage builds in the tree (debian/quillmar, obj-*/) and writes
# the .deb, .buildinfo and .changes beside it, in the tree's parent; the
# .deb is moved to OUT_DIR. scripts/check-reproducible.sh runs this twice.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 OUT_DIR" >&2
    exit 2
fi
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
