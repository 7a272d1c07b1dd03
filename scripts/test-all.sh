#!/usr/bin/env bash
# The test command: lints the sources, builds both presets and runs the
# whole test suite (unit tests, the scenarios on the simulated machine, the
# same scenarios as quillmar.exe under Wine), then builds and checks both
# packages, and rebuilds the release twice to compare it byte for byte.
# Every step runs even when an earlier one failed; a summary at the end
# says which failed and how long each took, and the exit status is
# non-zero when any did. Extra arguments go to ctest (e.g. -L wine).
#
# Not a CMake workflow preset: a workflow runs the steps of one configure
# preset only (this needs the native and the Windows builds), stops at the
# first step that fails and prints no summary of the steps, and has no
# step for the lint, the package checks or the reproducibility check. The
# release-windows workflow preset does build the ZIP (scripts/build-release.sh
# runs it).
#
# The builds go to build/native and build/windows, or to the directories
# named by QUILLMAR_NATIVE_BUILD and QUILLMAR_WINDOWS_BUILD.
set -uo pipefail
cd "$(dirname "$0")/.." || exit

native=${QUILLMAR_NATIVE_BUILD:-build/native}
windows=${QUILLMAR_WINDOWS_BUILD:-build/windows}
windows_abs=$(mkdir -p "$windows" && cd "$windows" && pwd)

summary=()
failed=()
started=$SECONDS
# step NAME COMMAND...: runs the command, notes how it went and how long it
# took.
step() {
    local name=$1
    shift
    local begin=$SECONDS status=0
    echo "==== $name"
    "$@" || status=$?
    local took=$((SECONDS - begin))
    if [ "$status" -eq 0 ]; then
        summary+=("$(printf '  ok      %5d s  %s' "$took" "$name")")
    else
        summary+=("$(printf '  FAILED  %5d s  %s (exit status %d)' "$took" "$name" "$status")")
        failed+=("$name")
    fi
}

configure() {
    cmake --preset windows -B "$windows" &&
        cmake --preset native -B "$native" -DQUILLMAR_WINDOWS_BUILD_DIR="$windows_abs"
}
build() {
    cmake --build "$windows" -j2 && cmake --build "$native" -j2
}
run_tests() {
    if [ "$native" = build/native ]; then
        ctest --preset native -j2 "$@"
    else
        ctest --test-dir "$native" --output-on-failure -j2 "$@"
    fi
}

step "dependencies (scripts/install-deps.sh)" bash scripts/install-deps.sh
step "configure both builds" configure
# Lint first: it needs only the native build's compile_commands.json.
step "lint (scripts/lint.sh)" bash scripts/lint.sh "$native"
step "build both presets" build
step "test suite (ctest)" run_tests "$@"
step "packages (scripts/check-packages.sh)" bash scripts/check-packages.sh "$native" "$windows"
step "reproducible release (scripts/check-reproducible.sh)" bash scripts/check-reproducible.sh

echo "==== summary: $((SECONDS - started)) s in all"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "test-all: ${#failed[@]} of ${#summary[@]} steps FAILED:"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
echo "test-all: all ${#summary[@]} steps ok"
