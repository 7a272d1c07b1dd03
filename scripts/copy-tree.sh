#!/usr/bin/env bash
# Copies the working tree as it is (committed or not, without what git
# ignores) to DEST, for what builds in a tree of its own.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DEST" >&2; exit 2; }
mkdir -p "$1"
to=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
# A tracked file deleted in the working tree is left out; a git that fails
# fails the pipeline.
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [ ! -f "$file" ] || printf '%s\0' "$file"; done |
    xargs -0 cp -p --parents -t "$to"
