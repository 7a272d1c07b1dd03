#!/usr/bin/env bash
# The test command: lints the sources, builds both presets, runs the whole
# test suite (unit tests, the scenarios on the simulated machine and under
# Wine) and checks both packages of a release built here. Every step runs
# even when an earlier one failed; the summary says which failed and how
# long each took. Extra arguments go to ctest (e.g. -L wine).
#
# The lint and the package check need none of the test builds: they run
# alongside, each step's output kept until it ends. The lint is niced, so
# that the build the suite waits for keeps the cores; the package check,
# which builds the release, is not: niced, the suite starved it and it ended
# last, alone. Building the release twice to compare it is CI's hardening
# step's.
#
# Not a CMake workflow preset: a workflow runs one configure preset's
# steps, stops at the first failure and has no step for the lint or the
# package check. The builds go to build/native and build/windows, or to
# $QUILLMAR_NATIVE_BUILD and $QUILLMAR_WINDOWS_BUILD.
set -uo pipefail
cd "$(dirname "$0")/.." || exit

native=${QUILLMAR_NATIVE_BUILD:-build/native}
windows=${QUILLMAR_WINDOWS_BUILD:-build/windows}
# Ninja where a build directory is made anew: less overhead than make's.
export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}
windows_abs=$(mkdir -p "$windows" && cd "$windows" && pwd)
logs=$(mktemp -d /tmp/quillmar-test-all.XXXXXX)

summary=()
failed=()
started=$SECONDS
# note NAME STATUS SECONDS [HOW]: a step's line in the summary.
note() {
    if [ "$2" -eq 0 ]; then
        summary+=("$(printf '  ok      %5d s  %s%s' "$3" "$1" "${4:-}")")
    else
        summary+=("$(printf '  FAILED  %5d s  %s (exit status %d)%s' "$3" "$1" "$2" "${4:-}")")
        failed+=("$1")
    fi
}
# step NAME COMMAND...: runs the command and notes how it went.
step() {
    local name=$1 begin=$SECONDS status=0
    shift
    echo "==== $name"
    "$@" || status=$?
    note "$name" "$status" $((SECONDS - begin))
}
# alongside NICENESS NAME COMMAND...: starts the command in the
# background, its output into a log of its own; finish shows each log in
# turn and notes each step.
background=()
alongside() {
    local log=$logs/${#background[@]} niceness=$1
    shift
    echo "==== $1: started, alongside the next steps"
    (
        begin=$SECONDS
        nice -n "$niceness" "${@:2}" >"$log" 2>&1
        echo "$? $((SECONDS - begin))" >"$log.status"
    ) &
    background+=("$1")
}
finish() {
    local i status took
    wait
    for i in "${!background[@]}"; do
        echo "==== ${background[$i]}"
        cat "$logs/$i"
        read -r status took <"$logs/$i.status"
        note "${background[$i]}" "$status" "$took" " (alongside the build and the test suite)"
    done
}

# Both at once: each spends most of its time waiting for the compiler checks.
configure() {
    cmake --preset windows -B "$windows" >"$logs/windows" 2>&1 &
    cmake --preset native -B "$native" -DQUILLMAR_WINDOWS_BUILD_DIR="$windows_abs"
    local native_status=$?
    wait $!
    local windows_status=$?
    cat "$logs/windows"
    [ $native_status -eq 0 ] && [ $windows_status -eq 0 ]
}
build() {
    cmake --build "$windows" -j2 && cmake --build "$native" -j2
}
# Four tests at a time on two cores: the Wine tests mostly wait for Wine.
run_tests() {
    if [ "$native" = build/native ]; then
        ctest --preset native -j4 "$@"
    else
        ctest --test-dir "$native" --output-on-failure -j4 "$@"
    fi
}

step "dependencies (scripts/install-deps.sh)" bash scripts/install-deps.sh
step "configure both builds" configure
# The lint needs only the native build's compile_commands.json.
alongside 10 "lint (scripts/lint.sh)" bash scripts/lint.sh "$native"
alongside 0 "packages (scripts/check-packages.sh)" bash scripts/check-packages.sh
step "build both presets" build
step "test suite (ctest)" run_tests "$@"
finish

echo "==== summary: $((SECONDS - started)) s in all"
printf '%s\n' "${summary[@]}"
rm -rf "$logs"
if [ ${#failed[@]} -gt 0 ]; then
    echo "test-all: ${#failed[@]} of ${#summary[@]} steps FAILED:"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
echo "test-all: all ${#summary[@]} steps ok"
