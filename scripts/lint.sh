#!/usr/bin/env bash
# The tracked sources pass their linters: every C++ file .clang-format, the
# program and the simulated machine .clang-tidy, every Python file
# pyflakes3, every shell script shellcheck. Reports all findings, then
# exits 1 if there were any.
#
#   scripts/lint.sh [BUILD_DIR]
#
# BUILD_DIR (default build/native) is a configured native build: clang-tidy
# reads its compile_commands.json, so nothing needs to be built first.
# win32.cpp is formatted but not tidied here: it needs the Windows headers.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}

status=0
finding() {
    echo "lint: $*"
    status=1
}

# The file lists through command substitutions, so that a git that fails
# (say, in a directory that has gone) stops the lint instead of leaving it
# nothing to check.
tracked=$(git ls-files)
cpp_list=$(git ls-files '*.cpp' '*.h')
python_list=$(git ls-files '*.py')
mapfile -t cpp_files <<<"$cpp_list"
for f in "${cpp_files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || finding "not formatted: $f"
done

sources=(SERVICES/source/quillmar.cpp SERVICES/source/quillmar_main.cpp
         SERVICES/source/platform/posix.cpp SERVICES/source/platform/sim_*.cpp)
if [ ! -f "$build/compile_commands.json" ]; then
    finding "$build/compile_commands.json is missing: configure the native build first"
else
    # Two clang-tidy processes, one per core, each over every other file.
    tidy_logs=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-tidy.XXXXXX")
    pids=()
    for half in 0 1; do
        files=()
        for i in "${!sources[@]}"; do
            [ $((i % 2)) -eq "$half" ] && files+=("${sources[$i]}")
        done
        clang-tidy --quiet -p "$build" "${files[@]}" >"$tidy_logs/$half" 2>&1 &
        pids+=($!)
    done
    for half in 0 1; do
        if ! wait "${pids[$half]}"; then
            grep -E "error:|warning:" "$tidy_logs/$half" || cat "$tidy_logs/$half"
            finding "clang-tidy (above)"
        fi
    done
    rm -rf "$tidy_logs"
fi

mapfile -t python_files <<<"$python_list"
if [ ${#python_files[@]} -gt 0 ] && ! pyflakes3 "${python_files[@]}"; then
    finding "pyflakes3 (above)"
fi

# Shell scripts: *.sh, and tracked files whose first line runs a shell.
shell_files=()
while IFS= read -r f; do
    if [[ "$f" == *.sh ]] || head -n 1 "$f" 2>/dev/null | grep -qE '^#!.*[/ ](ba|da)?sh( |$)'; then
        shell_files+=("$f")
    fi
done <<<"$tracked"
if [ ${#shell_files[@]} -gt 0 ] && ! shellcheck "${shell_files[@]}"; then
    finding "shellcheck (above)"
fi

if [ $status -eq 0 ]; then
    echo "lint: ${#cpp_files[@]} C++ files formatted and tidy, ${#python_files[@]} Python files and ${#shell_files[@]} shell scripts clean"
fi
exit $status
