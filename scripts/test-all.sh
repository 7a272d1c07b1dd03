#!/usr/bin/env bash
# Builds both presets and runs the whole test suite: unit tests, the
# scenarios on the simulated machine, and the same scenarios as
# quillmar.exe under Wine. Extra arguments go to ctest (e.g. -L wine).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset windows
cmake --build --preset windows -j2
cmake --preset native -DQUILLMAR_WINDOWS_BUILD_DIR="$PWD/build/windows"
cmake --build --preset native -j2
ctest --preset native -j2 "$@"
bash scripts/check-packages.sh build/native build/windows
bash scripts/lint.sh build/native
