#!/usr/bin/env bash
# Installs what building and testing quillmar needs on a Debian machine.
# Run as root. Skips apt entirely when everything is there already.
set -euo pipefail

packages=(cmake make g++ libgtest-dev python3 procps dpkg-dev groff-base clang-format clang-tidy
          g++-mingw-w64-x86-64 wine64)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
