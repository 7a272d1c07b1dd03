#!/usr/bin/env bash
# The tracked sources pass their linters; reports all findings, then exits 1
# if there were any. BUILD_DIR (default build/native) gives clang-tidy its
# compile_commands.json; without --analyzer it leaves out the static
# analyzer's checks, five sixths of its time, and with it runs alone.
#
#   scripts/lint.sh [--analyzer] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
analyzer=
if [ "${1:-}" = --analyzer ]; then
    analyzer=1
    shift
fi
build=${1:-build/native}

status=0
finding() {
    echo "lint: $*"
    status=1
}

if [ ! -f "$build/compile_commands.json" ]; then
    echo "lint: $build/compile_commands.json is missing: configure the native preset first"
    exit 1
fi
# clang-tidy, the slow one, runs beside the others; only its findings are shown.
tidy_log=$(mktemp -t quillmar-tidy.XXXXXX)
trap 'rm -f "$tidy_log"' EXIT
checks=(-checks=-clang-analyzer-*)
[ -z "$analyzer" ] || checks=()
run-clang-tidy -j2 -quiet "${checks[@]}" -p "$build" "$PWD/SERVICES/source/.*\.cpp\$" >"$tidy_log" 2>&1 &
tidy=$!

if [ -z "$analyzer" ]; then
    # Through command substitutions, so that a git that fails stops the lint.
    cpp_list=$(git ls-files '*.cpp' '*.h')
    mapfile -t cpp_files <<<"$cpp_list"
    clang-format --dry-run --Werror "${cpp_files[@]}" || finding "not formatted (above)"

    python_list=$(git ls-files '*.py')
    mapfile -t python_files <<<"$python_list"
    pyflakes3 "${python_files[@]}" || finding "pyflakes3 (above)"

    # Shell scripts: *.sh, and tracked files whose first line runs a shell.
    shell_list=$(git ls-files | while IFS= read -r f; do [ ! -f "$f" ] || printf '%s\0' "$f"; done |
        xargs -0 awk 'FILENAME ~ /\.sh$/ || (FNR == 1 && /^#!.*[\/ ](ba|da)?sh( |$)/) { print FILENAME } { nextfile }')
    mapfile -t shell_files <<<"$shell_list"
    shellcheck "${shell_files[@]}" || finding "shellcheck (above)"
fi

if ! wait "$tidy"; then
    grep -E "error:|warning:" "$tidy_log" || cat "$tidy_log"
    finding "clang-tidy (above)"
fi
tidied=$(grep -c '^clang-tidy' "$tidy_log" || true)
[ "$tidied" -gt 0 ] || finding "clang-tidy was given no file of SERVICES/source from $build"
if [ $status -eq 0 ] && [ -n "$analyzer" ]; then
    echo "lint: clang-tidy with the analyzer: $tidied files clean"
elif [ $status -eq 0 ]; then
    echo "lint: ${#cpp_files[@]} C++ files formatted ($tidied of them tidy), ${#python_files[@]} Python files and ${#shell_files[@]} shell scripts clean"
fi
exit $status
