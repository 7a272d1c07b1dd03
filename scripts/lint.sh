#!/usr/bin/env bash
# The tracked sources pass their linters: every C++ file .clang-format, the
# program and the simulated machine .clang-tidy, every Python file
# pyflakes3, every shell script shellcheck. Reports all findings, then
# exits 1 if there were any.
#
#   scripts/lint.sh [BUILD_DIR]
#
# BUILD_DIR (default build/native) is a configured native build: clang-tidy
# reads its compile_commands.json (the native preset writes one), so nothing
# needs to be built first. win32.cpp is formatted but not tidied here: it
# needs the Windows headers.
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

if [ ! -f "$build/compile_commands.json" ]; then
    finding "$build/compile_commands.json is missing: configure the native preset first"
else
    # The program's and the simulated machine's sources as the build compiles
    # them (the file regex picks them from compile_commands.json), one
    # clang-tidy per core. run-clang-tidy prints every command it runs; only
    # the findings are shown.
    tidy_log=$(mktemp "${TMPDIR:-/tmp}/quillmar-tidy.XXXXXX")
    if ! run-clang-tidy -j2 -quiet -p "$build" "$PWD/SERVICES/source/.*\.cpp\$" >"$tidy_log" 2>&1; then
        grep -E "error:|warning:" "$tidy_log" || cat "$tidy_log"
        finding "clang-tidy (above)"
    fi
    tidied=$(grep -c '^clang-tidy' "$tidy_log" || true)
    [ "$tidied" -gt 0 ] || finding "clang-tidy was given no file of SERVICES/source from $build"
    rm -f "$tidy_log"
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
