#!/usr/bin/env bash
# Copies the working tree as it is (committed or not, without what git
# ignores) to DEST, for what builds in a tree of its own.
#
#   scripts/copy-tree.sh DEST
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 DEST" >&2
    exit 2
fi
mkdir -p "$1"
to=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
# Through a file, so that a git that fails stops the copy. A tracked file
# deleted in the working tree is left out.
list=$(mktemp)
trap 'rm -f "$list"' EXIT
git ls-files -z --cached --others --exclude-standard >"$list"
mapfile -d '' files <"$list"
present=()
for file in "${files[@]}"; do
    [ -f "$file" ] && present+=("$file")
done
cp -p --parents -t "$to" "${present[@]}"
