#!/usr/bin/env bash
# Installs, as root on Debian, what building and testing quillmar needs:
# --native-only what building the program alone needs (-DBUILD_TESTING=OFF),
# --hardening what scripts/hardening.sh adds to the test command's.
set -euo pipefail

case "${1:-}" in
    --native-only)
        packages=(cmake make g++)
        ;;
    --hardening)
        packages=(clang libclang-rt-14-dev valgrind util-linux)
        ;;
    "")
        # Builds and tests; the man pages and packages with their checks; a
        # reproducible, signed release (reprotest with faketime, locales and
        # setpriv for its variations, strace to hold the program in the race
        # of two backups); lint; the Windows build, its installer and Wine.
        packages=(cmake make ninja-build g++ libgtest-dev python3 python3-pytest python3-pytest-xdist procps
                  scdoc groff-base dpkg-dev debhelper lintian file unzip
                  strip-nondeterminism osslsigncode openssl reprotest faketime locales
                  util-linux strace diffoscope-minimal
                  clang-format clang-tidy pyflakes3 shellcheck
                  g++-mingw-w64-x86-64 wine64 wixl)
        ;;
    *)
        echo "usage: $0 [--native-only | --hardening]" >&2
        exit 2
        ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
