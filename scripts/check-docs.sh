#!/usr/bin/env bash
# Checks the papers against the program, for the doc tests and the package
# check:
#
#   check-docs.sh usage PROGRAM FILE...  each FILE's usage block is what
#                                        PROGRAM -h prints after its "????"
#   check-docs.sh render PAGE...         groff renders each man page without
#                                        a warning
#   check-docs.sh print-usage FILE       prints FILE's usage block
#
# A FILE is a Markdown file (the fenced block under "## Usage") or a man
# page, plain or gzipped (its SYNOPSIS as groff renders it, so a converter
# that mangled a character would be caught). Exits 1 when a check fails.
set -euo pipefail

# The usage block of a Markdown file or a man page, on standard output.
usage_of() {
    local file=$1
    case "$file" in
        *.md)
            # The first fenced block of the "## Usage" section.
            awk '/^## / { in_usage = ($0 == "## Usage"); next }
                 in_usage && /^```/ { if (inside) exit; inside = 1; next }
                 inside { print }' "$file"
            ;;
        *)
            local page
            if [[ "$file" == *.gz ]]; then page=$(gzip -dc "$file"); else page=$(cat "$file"); fi
            # Rendered without line breaks of groff's own (-rLL), without
            # overstriking (-P-cbou); the section's common indent is taken
            # off again. A rendered page ends with a footer line, so the
            # section always has a next heading.
            printf '%s\n' "$page" |
                groff -man -Tutf8 -rLL=200n -P-cbou 2>/dev/null |
                awk '/^[^ ]/ { in_synopsis = ($0 == "SYNOPSIS"); next }
                     in_synopsis { print }' |
                awk '{ lines[NR] = $0
                       if ($0 ~ /[^ ]/) {
                           match($0, /^ */)
                           if (indent == "" || RLENGTH < indent) indent = RLENGTH
                           if (first == "") first = NR
                           last = NR
                       } }
                     END { for (i = first; i <= last; i++) print substr(lines[i], indent + 1) }'
            ;;
    esac
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
    print-usage)
        [ $# -eq 1 ] || { echo "usage: $0 print-usage FILE" >&2; exit 2; }
        usage_of "$1"
        ;;
    usage)
        [ $# -ge 2 ] || { echo "usage: $0 usage PROGRAM FILE..." >&2; exit 2; }
        program=$1
        shift
        work=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-docs.XXXXXX")
        trap 'rm -rf "$work"' EXIT
        "$program" -h >"$work/help"
        # What -h prints: "????" and the usage text, no line end between.
        printf '????' >"$work/prefix"
        if ! cmp -s -n 4 "$work/help" "$work/prefix"; then
            echo "FAIL: $program -h does not start with ????" >&2
            exit 1
        fi
        tail -c +5 "$work/help" >"$work/expected"
        status=0
        for file in "$@"; do
            usage_of "$file" >"$work/actual"
            if cmp -s "$work/expected" "$work/actual"; then
                echo "ok: the usage block of $file is what $program -h prints"
            else
                echo "FAIL: the usage block of $file differs from $program -h:" >&2
                diff -u "$work/expected" "$work/actual" >&2 || true
                status=1
            fi
        done
        exit "$status"
        ;;
    render)
        [ $# -ge 1 ] || { echo "usage: $0 render PAGE..." >&2; exit 2; }
        status=0
        for page in "$@"; do
            # -ww: every warning; -z: no output, only the messages.
            if [[ "$page" == *.gz ]]; then
                messages=$(gzip -dc "$page" | groff -man -ww -z 2>&1) || status=1
            else
                messages=$(groff -man -ww -z "$page" 2>&1) || status=1
            fi
            if [ -n "$messages" ]; then
                echo "FAIL: groff warns about $page:" >&2
                printf '%s\n' "$messages" >&2
                status=1
            else
                echo "ok: $page renders without a warning"
            fi
        done
        exit "$status"
        ;;
    *)
        echo "usage: $0 usage PROGRAM FILE... | render PAGE... | print-usage FILE" >&2
        exit 2
        ;;
esac
