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
#   check-docs.sh figures FACTS DOC...   each DOC's figures of the wait ("N
#                                        polls", "about N s", "polls of one
#                                        second", "one second apart") are the
#                                        build's (FACTS: its
#                                        quillmar-facts.json), or the
#                                        placeholders that configure them
#   check-docs.sh scenario-texts PROGRAM SOURCE SCENARIOS BUILD
#                                        the scenario table's copies (in the
#                                        directory SCENARIOS) are the
#                                        program's: USAGE what PROGRAM -h
#                                        prints after its "????", TEXTS the
#                                        rows of errorTexts in SOURCE; BUILD
#                                        names the build whose poll count
#                                        the scenarios hold
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

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
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
            # Rendered without line breaks of groff's own (-rLL), without
            # overstriking (-P-cbou); the section's common indent is taken
            # off again. A rendered page ends with a footer line, so the
            # section always has a next heading.
            gzip -dcf "$file" | groff -man -Tutf8 -rLL=200n -P-cbou 2>/dev/null |
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

# The help text of PROGRAM without its leading "????", into FILE.
usage_of_program() {
    local program=$1 file=$2
    "$program" -h >"$file.help"
    # What -h prints: "????" and the usage text, no line end between.
    [ "$(head -c 4 "$file.help")" = "????" ] || { fail "$program -h does not start with ????"; return 1; }
    tail -c +5 "$file.help" >"$file"
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
        usage_of_program "$program" "$work/expected" || exit 1
        for file in "$@"; do
            usage_of "$file" >"$work/actual"
            if cmp -s "$work/expected" "$work/actual"; then
                echo "ok: the usage block of $file is what $program -h prints"
            else
                fail "the usage block of $file differs from $program -h:"
                diff -u "$work/expected" "$work/actual" >&2 || true
            fi
        done
        ;;
    render)
        [ $# -ge 1 ] || { echo "usage: $0 render PAGE..." >&2; exit 2; }
        for page in "$@"; do
            # -ww: every warning; -z: no output, only the messages.
            messages=$(gzip -dcf "$page" | groff -man -ww -z 2>&1) || fail "groff failed on $page"
            if [ -n "$messages" ]; then
                fail "groff warns about $page:"
                printf '%s\n' "$messages" >&2
            else
                echo "ok: $page renders without a warning"
            fi
        done
        ;;
    statuses)
        [ $# -ge 2 ] || { echo "usage: $0 statuses SOURCE DOC..." >&2; exit 2; }
        source=$1
        shift
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
        ;;
    figures)
        [ $# -ge 2 ] || { echo "usage: $0 figures FACTS DOC..." >&2; exit 2; }
        facts=$1
        shift
        # The words the configured papers get (cmake/PollFacts.cmake).
        papers=$(python3 -c 'import json, sys
papers = json.load(open(sys.argv[1]))["papers"]
print(papers["QUILLMAR_MAX_POLLS"], papers["QUILLMAR_WAIT_SECONDS"], papers["QUILLMAR_POLL_PAUSE_TEXT"])' \
            "$facts")
        read -r polls wait_s pause <<<"$papers"
        [ -n "${pause:-}" ] || { fail "$facts: no figures of the wait"; exit 1; }
        for doc in "$@"; do
            # One finding a line: what the DOC says, what it must say.
            found=$(awk -v polls="$polls" -v wait_s="$wait_s" -v pause="$pause" '
                function want(said, right, placeholder) {
                    seen++
                    if (said != right && said != placeholder)
                        printf "line %d: \"%s\", not \"%s\"\n", NR, said, right
                }
                /polls/ {
                    line = $0
                    while (match(line, /(@[A-Z_]+@|[0-9]+) polls/)) {
                        said = substr(line, RSTART, RLENGTH); line = substr(line, RSTART + RLENGTH)
                        want(said, polls " polls", "@QUILLMAR_MAX_POLLS@ polls")
                    }
                    line = $0
                    while (match(line, /about (@[A-Z_]+@|[0-9]+) s(econds)?([^a-z]|$)/)) {
                        said = substr(line, RSTART, RLENGTH); line = substr(line, RSTART + RLENGTH)
                        sub(/[^a-z]$/, "", said)
                        unit = said ~ /seconds$/ ? " seconds" : " s"
                        want(said, "about " wait_s unit, "about @QUILLMAR_WAIT_SECONDS@" unit)
                    }
                    line = $0
                    while (match(line, /polls of (@[A-Z_]+@|one|[0-9]+) (second|seconds|ms)|(@[A-Z_]+@|one|[0-9]+) (second|seconds|ms) apart/)) {
                        said = substr(line, RSTART, RLENGTH); line = substr(line, RSTART + RLENGTH)
                        if (said ~ /^polls of /)
                            want(said, "polls of " pause, "polls of @QUILLMAR_POLL_PAUSE_TEXT@")
                        else
                            want(said, pause " apart", "@QUILLMAR_POLL_PAUSE_TEXT@ apart")
                    }
                }
                END { if (!seen) print "no figure of the wait found" }' "$doc")
            if [ -n "$found" ]; then
                while IFS= read -r line; do
                    fail "$doc: $line"
                done <<<"$found"
            else
                echo "ok: the figures of the wait in $doc are the build's ($polls polls, $pause apart, about $wait_s s)"
            fi
        done
        ;;
    scenario-texts)
        [ $# -eq 4 ] || { echo "usage: $0 scenario-texts PROGRAM SOURCE SCENARIOS BUILD" >&2; exit 2; }
        program=$1 source=$2 scenarios=$3 build=$4
        usage_of_program "$program" "$work/usage" || exit 1
        python3 - "$work/usage" "$source" "$scenarios" "$build" <<'PYTHON' || status=1
import ast
import os
import re
import sys

usage_file, source, scenarios_dir, build = sys.argv[1:]
sys.path.insert(0, scenarios_dir)
import buildfacts  # noqa: E402

buildfacts.use(build)
import scenarios  # noqa: E402

status = 0
with open(usage_file, encoding="utf-8") as f:
    usage = f.read()
if scenarios.USAGE == usage:
    print("ok: scenarios.py's USAGE is what the program prints for -h")
else:
    print("FAIL: scenarios.py's USAGE differs from the program's usage text", file=sys.stderr)
    status = 1

# The rows {NUMBER, "text" "more text"} of the program's errorTexts.
with open(source, encoding="utf-8") as f:
    text = f.read()
body = re.search(r"errorTexts\[\] = \{(.*?)\n\};", text, re.S)
literal = r'"(?:[^"\\]|\\.)*"'
table = {}
for number, literals in re.findall(r"\{(\d+),((?:\s*" + literal + r")+)\s*\}", body.group(1) if body else ""):
    table[int(number)] = "".join(ast.literal_eval(x) for x in re.findall(literal, literals))
if not table:
    print(f"FAIL: {source}: no {{NUMBER, \"text\"}} rows in errorTexts", file=sys.stderr)
    sys.exit(1)
for number in sorted(set(table) | set(scenarios.TEXTS)):
    if number not in scenarios.TEXTS:
        print(f"FAIL: scenarios.py's TEXTS lacks {number} ({table[number]!r})", file=sys.stderr)
        status = 1
    elif number not in table:
        print(f"FAIL: scenarios.py's TEXTS has {number}, which errorTexts does not", file=sys.stderr)
        status = 1
    elif scenarios.TEXTS[number] != table[number]:
        print(f"FAIL: scenarios.py's TEXTS[{number}] is {scenarios.TEXTS[number]!r}, "
              f"errorTexts has {table[number]!r}", file=sys.stderr)
        status = 1
if status == 0:
    print(f"ok: scenarios.py's TEXTS are the {len(table)} rows of errorTexts")

# The ZIP's README.txt lists every service of the catalogue: code, name and
# program (or "-") lead its row of the table.
readme = os.path.join(scenarios_dir, "..", "..", "..", "docs", "README.txt")
with open(readme, encoding="utf-8") as f:
    rows = {tuple(line.split()[:3]) for line in f if line.startswith("  ")}
for service in buildfacts.catalogue(build)["services"]:
    row = (service["code"], service["name"], service["exe"] or "-")
    if row not in rows:
        print(f"FAIL: docs/README.txt's table of services lacks {' '.join(row)}", file=sys.stderr)
        status = 1
sys.exit(status)
PYTHON
        ;;
    *)
        echo "usage: $0 usage PROGRAM FILE... | render PAGE... | print-usage FILE |" \
             "statuses SOURCE DOC... | figures FACTS DOC... |" \
             "scenario-texts PROGRAM SOURCE SCENARIOS BUILD" >&2
        exit 2
        ;;
esac
exit "$status"
