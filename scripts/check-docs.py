#!/usr/bin/env python3
"""Checks the papers against the program and its builds, for the doc tests
and the package check. Exits 1 when a check fails.

    check-docs.py usage PROGRAM FILE...   FILE's usage block is PROGRAM -h's
    check-docs.py print-usage FILE        prints FILE's usage block
    check-docs.py render PAGE...          groff renders each page without a warning
    check-docs.py statuses SOURCE DOC...  the DOCs' exit-status tables list the same
                                          numbers, SOURCE's own, none it cannot return
    check-docs.py figures FACTS DOC...    the DOCs' figures of the wait are the build's
    check-docs.py scenario-texts SOURCE SCENARIOS BUILD
                                          the scenario table's texts are SOURCE's,
                                          docs/README.txt lists BUILD's catalogue
    check-docs.py notices NOTICES MAP...  NOTICES names what the link maps link in
"""

import ast
import difflib
import fnmatch
import gzip
import json
import os
import re
import subprocess
import sys
from itertools import dropwhile, takewhile

# Numbers a table may list that errorTexts has no text for: the constant and
# the file beside SOURCE that must still return it, or None if not ours.
STATUSES_WITHOUT_TEXT = {
    0: None,  # success
    1053: ("ERROR_SERVICE_REQUEST_TIMEOUT", "quillmar.cpp"),  # a stop the service ignored
    1067: ("ERROR_PROCESS_ABORTED", "quillmar.cpp"),  # a start that died without a code
    1113: ("ERROR_NO_UNICODE_TRANSLATION", "platform/win32.cpp"),  # a command line not as typed
    1078: None,  # the manager: display name in use
    1051: None,  # the manager: a dependent service runs
}

failed = False


def fail(message):
    global failed
    print(f"FAIL: {message}", file=sys.stderr)
    failed = True


def read_bytes(path):
    """A file's bytes, gunzipped if it is gzipped."""
    with open(path, "rb") as f:
        data = f.read()
    return gzip.decompress(data) if data.startswith(b"\x1f\x8b") else data


def read_lines(path):
    return read_bytes(path).decode("utf-8", "surrogateescape").split("\n")


def section(lines, heading, level="## "):
    """The lines under a heading, to the next heading of its level."""
    inside, found = False, []
    for line in lines:
        if line.startswith(level):
            inside = line.rstrip("\r") == heading
        elif inside:
            found.append(line)
    return found


def usage_of(path):
    """A Markdown file's first fenced block under "## Usage", or a man page's
    SYNOPSIS rendered without groff's own line breaks and overstriking, its
    common indent taken off; one string, every line ended."""
    if path.endswith(".md"):
        block = section(read_lines(path), "## Usage")
        fences = [i for i, line in enumerate(block) if line.startswith("```")]
        lines = block[fences[0] + 1 : fences[1] if len(fences) > 1 else None] if fences else []
    else:
        groff = subprocess.run(["groff", "-man", "-Tutf8", "-rLL=200n", "-P-cbou"],
                               input=read_bytes(path), capture_output=True)
        rendered = groff.stdout.decode("utf-8", "surrogateescape").split("\n")
        lines, inside = [], False
        for line in rendered:
            if line[:1] not in ("", " "):
                inside = line == "SYNOPSIS"
            elif inside:
                lines.append(line)
        text = [i for i, line in enumerate(lines) if line.strip(" ")]
        lines = lines[text[0] : text[-1] + 1] if text else []
        indent = min((len(line) - len(line.lstrip(" ")) for line in lines if line.strip(" ")), default=0)
        lines = [line[indent:] for line in lines]
    return "".join(line + "\n" for line in lines)


def usage_of_program(program):
    """What PROGRAM -h prints after its leading "????" (no line end between)."""
    printed = subprocess.run([program, "-h"], capture_output=True).stdout.decode("utf-8", "surrogateescape")
    if not printed.startswith("????"):
        fail(f"{program} -h does not start with ????")
        sys.exit(1)
    return printed[4:]


def status_numbers(path):
    """The numbers of DOC's exit-status table: README.md's first table under
    "## On Windows", README.txt's rows indented by two blanks under the
    dash-underlined "Exit status", the man page's *N* terms under "# EXIT STATUS"."""
    lines = [line.rstrip("\r") for line in read_lines(path)]
    if path.endswith(".md"):
        rows = dropwhile(lambda line: not line.startswith("|"), section(lines, "## On Windows"))
        rows = takewhile(lambda line: line.startswith("|"), rows)
        return [int(m.group(1)) for m in map(re.compile(r"^\| *([0-9]+) *\|").match, rows) if m]
    if path.endswith(".txt"):
        numbers, inside = [], False
        for previous, line in zip([""] + lines, lines):
            if re.fullmatch(r"-+", line):
                inside = previous == "Exit status"
            elif inside and re.match(r"  [0-9]+( |$)", line):
                numbers.append(int(line.split()[0]))
        return numbers
    return [int(line[1:-1]) for line in section(lines, "# EXIT STATUS", "# ")
            if re.fullmatch(r"\*[0-9]+\*", line)]


def error_texts(source):
    """errorTexts' rows {NUMBER, "text" "more text"} as {number: text}."""
    with open(source, encoding="utf-8") as f:
        body = re.search(r"errorTexts\[\] = \{(.*?)\n\};", f.read(), re.S)
    literal = r'"(?:[^"\\]|\\.)*"'
    rows = re.findall(r"\{(\d+),((?:\s*" + literal + r")+)\s*\}", body.group(1) if body else "")
    texts = {int(n): "".join(ast.literal_eval(x) for x in re.findall(literal, parts)) for n, parts in rows}
    if not texts:
        fail(f'{source}: no {{NUMBER, "text"}} rows in errorTexts')
        sys.exit(1)
    return texts


def check_usage(program, *files):
    expected = usage_of_program(program)
    for path in files:
        found = usage_of(path)
        if found == expected:
            print(f"ok: the usage block of {path} is what {program} -h prints")
        else:
            fail(f"the usage block of {path} differs from {program} -h")
            sys.stderr.writelines(difflib.unified_diff(
                expected.splitlines(True), found.splitlines(True), program, path))


def check_render(*pages):
    for page in pages:
        # -ww: every warning; -z: no output, only the messages.
        groff = subprocess.run(["groff", "-man", "-ww", "-z"], input=read_bytes(page),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if groff.returncode != 0:
            fail(f"groff failed on {page}")
        if groff.stdout:
            fail(f"groff warns about {page}:\n{groff.stdout.decode('utf-8', 'replace')}")
        else:
            print(f"ok: {page} renders without a warning")


def check_statuses(source, *docs):
    texts = set(error_texts(source))
    own = {n for n in texts if n >= 50000}
    allowed = texts | set(STATUSES_WITHOUT_TEXT)
    for number, named in STATUSES_WITHOUT_TEXT.items():
        if named:
            with open(os.path.join(os.path.dirname(source), named[1]), encoding="utf-8") as f:
                if not re.search(r"\b" + named[0] + r"\b", f.read()):
                    fail(f"{number} is documented as {named[0]}, which {named[1]} no longer names")
    tables = {}
    for doc in docs:
        rows = status_numbers(doc)
        if not rows:
            fail(f"{doc}: no exit-status table found")
            continue
        tables[doc] = set(rows)
        for n in sorted({n for n in rows if rows.count(n) > 1}):
            fail(f"{doc}: {n} stands in its exit-status table more than once")
        for n in sorted(own - tables[doc]):
            fail(f"{doc}: the program's own {n} is missing from its exit-status table")
        for n in sorted(tables[doc] - allowed):
            fail(f"{doc}: {n} is neither in errorTexts nor a number the program is known to return")
    union = set().union(*tables.values())
    for n in sorted(union):
        missing = [doc for doc in docs if n not in tables.get(doc, ())]
        if missing:
            fail(f"{n} is missing from the exit-status table of {' '.join(missing)}")
    if not failed:
        print(f"ok: the exit-status tables of {' '.join(docs)} list the same {len(union)} numbers, "
              "the program's own among them")


def check_figures(facts, *docs):
    """A DOC's "N polls", "about N s", "polls of PAUSE" and "PAUSE apart" are
    the build's figures (cmake/PollFacts.cmake) or their placeholders."""
    with open(facts, encoding="utf-8") as f:
        papers = json.load(f).get("papers", {})
    polls, wait_s, pause = (str(papers.get(k, "")) for k in
                            ("QUILLMAR_MAX_POLLS", "QUILLMAR_WAIT_SECONDS", "QUILLMAR_POLL_PAUSE_TEXT"))
    if not (polls and wait_s and pause):
        fail(f"{facts}: no figures of the wait")
        sys.exit(1)
    number = r"(?:@[A-Z_]+@|[0-9]+)"
    rules = [  # pattern, what it must say, its placeholder (said: the match)
        (number + r" polls", lambda said: (f"{polls} polls", "@QUILLMAR_MAX_POLLS@ polls")),
        (r"about " + number + r" s(?:econds)?(?![a-z])",
         lambda said: (f"about {wait_s}{said[said.rindex(' '):]}",
                       f"about @QUILLMAR_WAIT_SECONDS@{said[said.rindex(' '):]}")),
        (r"polls of {0} {1}|{0} {1} apart".format(r"(?:@[A-Z_]+@|one|[0-9]+)", r"(?:seconds|second|ms)"),
         lambda said: (f"polls of {pause}", "polls of @QUILLMAR_POLL_PAUSE_TEXT@")
         if said.startswith("polls of ") else (f"{pause} apart", "@QUILLMAR_POLL_PAUSE_TEXT@ apart")),
    ]
    for doc in docs:
        seen, before = 0, failed
        for number_of_line, line in enumerate(read_lines(doc), 1):
            if "polls" not in line:
                continue
            for pattern, wanted in rules:
                for said in re.findall(pattern, line):
                    seen += 1
                    right, placeholder = wanted(said)
                    if said not in (right, placeholder):
                        fail(f'{doc}: line {number_of_line}: "{said}", not "{right}"')
        if not seen:
            fail(f"{doc}: no figure of the wait found")
        elif failed == before:
            print(f"ok: the figures of the wait in {doc} are the build's "
                  f"({polls} polls, {pause} apart, about {wait_s} s)")


def check_scenario_texts(source, scenarios_dir, build):
    sys.path.insert(0, scenarios_dir)
    import buildfacts

    buildfacts.use(build)
    import scenarios

    table, texts, before = error_texts(source), scenarios.TEXTS, failed
    for number in sorted(set(table) | set(texts)):
        if texts.get(number) != table.get(number):
            fail(f"scenarios.py's TEXTS[{number}] is {texts.get(number)!r}, "
                 f"errorTexts has {table.get(number)!r}")
    if failed == before:
        print(f"ok: scenarios.py's TEXTS are the {len(table)} rows of errorTexts")
    # The ZIP's README.txt lists every service: code, name and program (or -).
    readme = os.path.join(scenarios_dir, "..", "..", "..", "docs", "README.txt")
    rows = {tuple(line.split()[:3]) for line in read_lines(readme) if line.startswith("  ")}
    for service in buildfacts.catalogue(build)["services"]:
        row = (service["code"], service["name"], service["exe"] or "-")
        if row not in rows:
            fail(f"docs/README.txt's table of services lacks {' '.join(row)}")


def check_notices(notices, *maps):
    """A file is linked in from a toolchain when the map loads it as an object
    or includes a member of it; quillmar's own (relative paths) do not count."""
    known, component = [], ""
    for line in read_lines(notices):
        if line.startswith("Component:"):
            component = line[len("Component:"):].strip()
        elif line.startswith("Linked from:"):
            known.append((line[len("Linked from:"):].strip(), component))
    if not known:
        fail(f"{notices}: no 'Linked from:' lines")
    for path in maps:
        files, in_members = set(), False
        for line in read_lines(path):
            if line.startswith("Archive member included"):
                in_members = True
            elif in_members and line and not line[0].isspace():
                member = re.match(r"(\S+\.a)\(", line)  # "archive.a(member.o)"
                if member:
                    files.add(member[1])
                in_members = bool(member)
            if line.startswith("LOAD ") and line.strip().endswith((".o", ".obj")):
                files.add(line[len("LOAD "):].strip())
        files = {os.path.normpath(f) for f in files if os.path.isabs(f)}
        missing = sorted(f for f in files if not any(fnmatch.fnmatch(f, g) for g, _ in known))
        if not files:
            fail(f"{path}: no file of the toolchain linked in: not a link map of quillmar?")
        elif missing:
            fail(f"{path}: linked in, but named in no notice of {notices}:\n  " + "\n  ".join(missing))
        elif known:
            components = sorted({c for f in files for g, c in known if fnmatch.fnmatch(f, g)})
            print(f"ok: {path}: {len(files)} files linked in from {len(components)} "
                  f"components, each with its notice: {'; '.join(components)}")


COMMANDS = {  # name: (function, the least number of arguments, the most)
    "usage": (check_usage, 2, None),
    "print-usage": (lambda path: sys.stdout.write(usage_of(path)), 1, 1),
    "render": (check_render, 1, None),
    "statuses": (check_statuses, 2, None),
    "figures": (check_figures, 2, None),
    "scenario-texts": (check_scenario_texts, 3, 3),
    "notices": (check_notices, 2, None),
}

if __name__ == "__main__":
    command, args = (sys.argv[1], sys.argv[2:]) if len(sys.argv) > 1 else ("", [])
    function, least, most = COMMANDS.get(command, (None, 0, 0))
    if function is None or len(args) < least or (most is not None and len(args) > most):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    function(*args)
    sys.exit(1 if failed else 0)
