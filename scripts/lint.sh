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
#
# clang-tidy's verdict on a file follows from clang-tidy itself, the
# .clang-tidy files, the compile command and every file the source
# includes, as they are. A file found tidy is remembered by those in
# $QUILLMAR_TIDY_CACHE (default ~/.cache/quillmar/clang-tidy; the tree's
# own path taken out, so any clone shares it) and tidied again only when
# one of them changes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
cache=${QUILLMAR_TIDY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmar/clang-tidy}

status=0
finding() {
    echo "lint: $*"
    status=1
}

# The file lists through command substitutions, so that a git that fails
# (say, in a directory that has gone) stops the lint instead of leaving it
# nothing to check.
cpp_list=$(git ls-files '*.cpp' '*.h')
python_list=$(git ls-files '*.py')
mapfile -t cpp_files <<<"$cpp_list"
clang-format --dry-run --Werror "${cpp_files[@]}" || finding "not formatted (above)"

if [ ! -f "$build/compile_commands.json" ]; then
    finding "$build/compile_commands.json is missing: configure the native preset first"
else
    # The program's and the simulated machine's sources as the build compiles
    # them, each with its key: "FILE KEY" a line.
    keys=$(python3 - "$build" <<'PYTHON'
import hashlib, json, os, shlex, subprocess, sys
from concurrent.futures import ThreadPoolExecutor

root = os.getcwd()
common = subprocess.run("clang-tidy --version && git ls-files -z '*.clang-tidy' | xargs -0 cat",
                        shell=True, capture_output=True, check=True).stdout
entries = [e for e in json.load(open(os.path.join(sys.argv[1], "compile_commands.json")))
           if e["file"].startswith(root + "/SERVICES/source/") and e["file"].endswith(".cpp")]

def key(entry):
    """The compile command and every byte of every file the source includes."""
    args = entry.get("arguments") or shlex.split(entry["command"])
    flags = [a for a, before in zip(args, [""] + args) if a not in ("-c", "-o", "-MD", "-MF", "-MT")
             and before not in ("-o", "-MF", "-MT")]
    deps = subprocess.run([*flags, "-M"], cwd=entry["directory"], capture_output=True, check=True)
    files = [f for f in deps.stdout.decode().split()[1:] if f != "\\"]
    seen = json.dumps([entry["directory"], flags, files]).replace(root, "@ROOT@").encode()
    for f in files:
        seen += open(os.path.join(entry["directory"], f), "rb").read()
    return entry["file"], hashlib.sha256(common + seen).hexdigest()

with ThreadPoolExecutor(2) as pool:
    for file, digest in sorted(set(pool.map(key, entries))):
        print(file, digest)
PYTHON
)
    todo=()
    declare -A key_of
    while read -r file key; do
        key_of[$file]=$key
        [ -e "$cache/$key" ] || todo+=("$file")
    done <<<"$keys"
    tidied=$(grep -c . <<<"$keys" || true)
    [ "$tidied" -gt 0 ] || finding "clang-tidy was given no file of SERVICES/source from $build"
    # One clang-tidy per core; run-clang-tidy prints every command it runs,
    # so only the findings are shown.
    tidy_log=$(mktemp "${TMPDIR:-/tmp}/quillmar-tidy.XXXXXX")
    if [ ${#todo[@]} -gt 0 ] &&
        ! run-clang-tidy -j2 -quiet -p "$build" "${todo[@]/%/\$}" >"$tidy_log" 2>&1; then
        grep -E "error:|warning:" "$tidy_log" || cat "$tidy_log"
        finding "clang-tidy (above)"
    elif mkdir -p "$cache"; then
        for file in "${todo[@]}"; do
            touch "$cache/${key_of[$file]}"
        done
    fi
    rm -f "$tidy_log"
    echo "lint: clang-tidy ran over ${#todo[@]} of $tidied files; the others are as they were found tidy"
fi

mapfile -t python_files <<<"$python_list"
if [ ${#python_files[@]} -gt 0 ] && ! pyflakes3 "${python_files[@]}"; then
    finding "pyflakes3 (above)"
fi

# Shell scripts: *.sh, and tracked files whose first line runs a shell.
shell_list=$(git ls-files | while IFS= read -r f; do [ ! -f "$f" ] || printf '%s\0' "$f"; done |
    xargs -0 awk 'FILENAME ~ /\.sh$/ || (FNR == 1 && /^#!.*[\/ ](ba|da)?sh( |$)/) { print FILENAME } { nextfile }')
mapfile -t shell_files <<<"$shell_list"
if [ ${#shell_files[@]} -gt 0 ] && ! shellcheck "${shell_files[@]}"; then
    finding "shellcheck (above)"
fi

if [ $status -eq 0 ]; then
    echo "lint: ${#cpp_files[@]} C++ files formatted and tidy, ${#python_files[@]} Python files and ${#shell_files[@]} shell scripts clean"
fi
exit $status
