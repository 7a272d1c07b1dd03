#!/usr/bin/env bash
# Installs what building and testing quillmar needs on a Debian machine.
# Run as root. Skips apt entirely when everything is there already.
#
#   scripts/install-deps.sh                everything the test command needs
#   scripts/install-deps.sh --native-only  only what building the native
#                                          program needs (configure it with
#                                          -DBUILD_TESTING=OFF)
set -euo pipefail

case "${1:-}" in
    --native-only)
        packages=(cmake make g++)
        ;;
    "")
        # Compilers and tests (Ninja builds the test command's and the
        # release's trees); the man pages and the packages with their
        # checks (scdoc, groff-base, dpkg-dev, debhelper, lintian, file,
        # unzip); what makes and checks a reproducible, signed release
        # (strip-nondeterminism, osslsigncode, openssl, reprotest with
        # faketime for its time variation and locales for the locale it
        # builds in, util-linux's setpriv for another user, strace to hold
        # the program in the race of two backups,
        # diffoscope-minimal to show what differs); the lint step
        # (clang-format, clang-tidy, which brings run-clang-tidy,
        # pyflakes3, shellcheck); the Windows build and the Wine tier (wixl
        # builds its Windows Installer package).
        packages=(cmake make ninja-build g++ libgtest-dev python3 python3-pytest python3-pytest-xdist procps
                  scdoc groff-base dpkg-dev debhelper lintian file unzip
                  strip-nondeterminism osslsigncode openssl reprotest faketime locales
                  util-linux strace diffoscope-minimal
                  clang-format clang-tidy pyflakes3 shellcheck
                  g++-mingw-w64-x86-64 wine64 wixl)
        ;;
    *)
        echo "usage: $0 [--native-only]" >&2
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
