#!/usr/bin/env bash
# Copies the working tree as it is (committed or not, without what git
# ignores) to DEST, for the package and release checks, which build in a
# tree of their own: dpkg-buildpackage builds inside the tree it is given.
#
#   scripts/copy-tree.sh DEST
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 DEST" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
to=$1
mkdir -p "$to"
# The list through a file, so that a git that fails stops the copy instead
# of leaving it empty.
list=$(mktemp)
trap 'rm -f "$list"' EXIT
(cd "$root" && git ls-files -z --cached --others --exclude-standard) >"$list"
while IFS= read -r -d '' file; do
    if [ -f "$root/$file" ]; then
        mkdir -p "$to/$(dirname "$file")"
        cp -p "$root/$file" "$to/$file"
    fi
done <"$list"
