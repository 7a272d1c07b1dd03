#!/usr/bin/env bash
# Checks the papers against the program, for the doc tests and the package
# check:
#
#   check-docs.sh usage PROGRAM FILE...  each FILE's usage block is what
#                                        PROGRAM -h prints after its "????"
#   check-docs.sh render PAGE...         groff renders each man page without
#                                        a warning
#   check-docs.sh print-usage FILE       prints FILE's usage block
#   check-docs.sh statuses SOURCE DOC... each DOC's exit-status table lists
#                                        the same numbers, every one of the
#                                        program's own, and none it cannot
#                                        return (SOURCE: quillmar.cpp)
#
# For usage, a FILE is a Markdown file (the fenced block under "## Usage")
# or a man page, plain or gzipped (its SYNOPSIS as groff renders it, so a
# converter that mangled a character would be caught). For statuses, a DOC
# is README.md, the ZIP's README.txt or the scdoc source of quillmar(1).
# Exits 1 when a check fails.
set -euo pipefail

# Numbers an exit-status table may list although the program's message
# table (errorTexts) has no text for them. Each row: the number; the
# constant it is returned as and the file (beside SOURCE) that must still
# name it, or - for a number that is not ours to return; what it means.
readonly STATUSES_WITHOUT_TEXT='
0     -                              -                   success
1053  ERROR_SERVICE_REQUEST_TIMEOUT  quillmar.cpp        a stop the service ignored
1067  ERROR_PROCESS_ABORTED          quillmar.cpp        a start that died without a code
1113  ERROR_NO_UNICODE_TRANSLATION   platform/win32.cpp  a command line not as typed
1078  -                              -                   the manager: display name in use
1051  -                              -                   the manager: a dependent service runs
'

# The numbers of the program's message table: its {NUMBER, "text"} rows.
message_numbers() {
    awk '/errorTexts\[\] = \{/ { inside = 1; next }
         inside && /^};/ { exit }
         inside && match($0, /^[ \t]*\{[0-9]+,/) {
             row = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", row); print row
         }' "$1"
}

# The numbers an exit-status table documents, one a line: the number that
# starts each row (README.md: the first table under "## On Windows";
# README.txt: the rows of "Exit status" indented by two blanks; the man
# page: the *N* terms under "# EXIT STATUS").
status_numbers() {
    local file=$1
    case "$file" in
        *.md)
            # Read to the end (no exit), so that tr never meets a closed pipe.
            tr -d '\r' <"$file" | awk '
                /^## / { in_section = ($0 == "## On Windows"); next }
                !in_section || done { next }
                /^\|/ { in_table = 1
                        if (match($0, /^\| *[0-9]+ *\|/)) {
                            row = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", row); print row
                        }
                        next }
                in_table { done = 1 }'
            ;;
        *.txt)
            # A heading is the line above a line of dashes.
            tr -d '\r' <"$file" | awk '
                /^-+$/ { in_section = (previous == "Exit status") }
                in_section && /^  [0-9]+( |$)/ { print $1 }
                { previous = $0 }'
            ;;
        *.scd)
            tr -d '\r' <"$file" | awk '
                /^# / { in_section = ($0 == "# EXIT STATUS"); next }
                in_section && /^\*[0-9]+\*$/ { gsub(/\*/, ""); print }'
            ;;
        *)
            echo "FAIL: $file: no rule for its exit-status table" >&2
            return 1
            ;;
    esac
}

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
    statuses)
        [ $# -ge 2 ] || { echo "usage: $0 statuses SOURCE DOC..." >&2; exit 2; }
        source=$1
        shift
        work=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-docs.XXXXXX")
        trap 'rm -rf "$work"' EXIT
        status=0
        fail() {
            echo "FAIL: $*" >&2
            status=1
        }
        message_numbers "$source" | sort -u >"$work/texts"
        if [ ! -s "$work/texts" ]; then
            echo "FAIL: $source: no {NUMBER, \"text\"} rows in errorTexts" >&2
            exit 1
        fi
        # The program's own numbers (50001 and up) belong in every table.
        awk '$1 >= 50000' "$work/texts" >"$work/own"
        { cat "$work/texts"; awk 'NF { print $1 }' <<<"$STATUSES_WITHOUT_TEXT"; } |
            sort -u >"$work/allowed"
        while read -r number constant file _; do
            if [ -z "$number" ] || [ "$constant" = - ]; then continue; fi
            grep -qw "$constant" "$(dirname "$source")/$file" ||
                fail "$number is documented as $constant, which $file no longer names"
        done <<<"$STATUSES_WITHOUT_TEXT"

        docs=()
        for doc in "$@"; do
            index=${#docs[@]}
            docs+=("$doc")
            status_numbers "$doc" >"$work/rows.$index" || { status=1; continue; }
            sort -u "$work/rows.$index" >"$work/doc.$index"
            if [ ! -s "$work/doc.$index" ]; then
                fail "$doc: no exit-status table found"
                continue
            fi
            for n in $(sort "$work/rows.$index" | uniq -d); do
                fail "$doc: $n stands in its exit-status table more than once"
            done
            for n in $(comm -23 "$work/own" "$work/doc.$index"); do
                fail "$doc: the program's own $n is missing from its exit-status table"
            done
            for n in $(comm -13 "$work/allowed" "$work/doc.$index"); do
                fail "$doc: $n is neither in errorTexts nor a number the program is known to return"
            done
        done
        # Every number in every table, or the tables have drifted apart.
        cat "$work"/doc.* | sort -u >"$work/union"
        while read -r n; do
            missing=()
            for index in "${!docs[@]}"; do
                grep -qx "$n" "$work/doc.$index" 2>/dev/null || missing+=("${docs[$index]}")
            done
            [ ${#missing[@]} -eq 0 ] || fail "$n is missing from the exit-status table of ${missing[*]}"
        done <"$work/union"
        if [ "$status" -eq 0 ]; then
            echo "ok: the exit-status tables of $* list the same $(wc -l <"$work/union") numbers, the program's own among them"
        fi
        exit "$status"
        ;;
    *)
        echo "usage: $0 usage PROGRAM FILE... | render PAGE... | print-usage FILE |" \
             "statuses SOURCE DOC..." >&2
        exit 2
        ;;
esac
