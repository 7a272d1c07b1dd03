#!/usr/bin/env python3
"""Builds quillmar.1 from README.md (and the simulated machine's document).

The README's "## Usage" fenced block is the one written copy of the usage
text outside the program; the man page and the doc test both read it from
here, so README, man page and `quillmar -h` cannot drift apart unnoticed.

  gen-manpage.py README.md [--machine-doc FILE] [--version V] -o quillmar.1
  gen-manpage.py --print-usage README.md         # "????" + the usage text
  gen-manpage.py --check-usage README.md PROGRAM # PROGRAM -h prints it?
  gen-manpage.py --check-render README.md quillmar.1  # renders cleanly?

Standard library only: it runs at build time on a bare Debian.
"""

import argparse
import datetime
import os
import re
import subprocess
import sys
import tempfile

# What `quillmar -h` writes before the usage text.
USAGE_PREFIX = "????"


class DocError(Exception):
    pass


# ------------------------------------------------------------ markdown

def split_sections(text):
    """[(level, title, [lines])]; level 0 is the text before any heading.

    Headings inside fenced blocks are left alone."""
    sections = [(0, "", [])]
    fence = None
    for line in text.splitlines():
        stripped = line.lstrip()
        if fence is None and (stripped.startswith("```") or stripped.startswith("~~~")):
            fence = stripped[:3]
        elif fence is not None and stripped.startswith(fence):
            fence = None
        elif fence is None:
            m = re.match(r"^(#{1,6})\s+(.*?)\s*#*\s*$", line)
            if m:
                sections.append((len(m.group(1)), m.group(2), []))
                continue
        sections[-1][2].append(line)
    return sections


def find_section(sections, level, title):
    for i, (lvl, t, lines) in enumerate(sections):
        if lvl == level and t.strip().lower() == title.lower():
            return i
    return None


def section_body(sections, index):
    """The lines of a section and of all its sub-sections, headings kept."""
    level = sections[index][0]
    out = list(sections[index][2])
    for lvl, title, lines in sections[index + 1:]:
        if lvl <= level:
            break
        out.append("#" * lvl + " " + title)
        out.extend(lines)
    return out


def usage_text(readme_text):
    """The first fenced block under "## Usage", with its final newline."""
    sections = split_sections(readme_text)
    i = find_section(sections, 2, "Usage")
    if i is None:
        raise DocError('README has no "## Usage" section')
    lines = sections[i][2]
    start = None
    for n, line in enumerate(lines):
        if line.startswith("```"):
            start = n + 1
            break
    if start is None:
        raise DocError('"## Usage" has no fenced block')
    for n in range(start, len(lines)):
        if lines[n].startswith("```"):
            return "\n".join(lines[start:n]) + "\n"
    raise DocError('the fenced block under "## Usage" is not closed')


def blocks(lines):
    """Groups markdown lines into blocks: ('code', text), ('table', rows),
    ('list', [(indent, marker, text)]), ('heading', level, title),
    ('para', text)."""
    out = []
    i = 0
    n = len(lines)
    while i < n:
        line = lines[i]
        s = line.strip()
        if not s or re.match(r"^<!--.*-->$", s):
            i += 1
            continue
        if s.startswith("```") or s.startswith("~~~"):
            fence = s[:3]
            j = i + 1
            body = []
            while j < n and not lines[j].strip().startswith(fence):
                body.append(lines[j])
                j += 1
            out.append(("code", "\n".join(body)))
            i = j + 1
            continue
        m = re.match(r"^(#{1,6})\s+(.*?)\s*#*\s*$", line)
        if m:
            out.append(("heading", len(m.group(1)), m.group(2)))
            i += 1
            continue
        if line.startswith("    ") or line.startswith("\t"):
            # An indented code block: runs to the first line that is neither
            # blank nor indented.
            body = []
            while i < n and (not lines[i].strip() or lines[i].startswith("    ")
                             or lines[i].startswith("\t")):
                body.append(lines[i][4:] if lines[i].startswith("    ") else lines[i][1:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
            out.append(("code", "\n".join(body)))
            continue
        if s.startswith("|"):
            rows = []
            while i < n and lines[i].strip().startswith("|"):
                cells = split_row(lines[i].strip())
                if not all(re.match(r"^:?-+:?$", c) for c in cells):
                    rows.append(cells)
                i += 1
            out.append(("table", rows))
            continue
        if re.match(r"^\s*([-*+]|\d+[.)])\s+", line):
            items = []
            while i < n and lines[i].strip():
                lm = re.match(r"^(\s*)([-*+]|\d+[.)])\s+(.*)$", lines[i])
                if lm:
                    items.append([len(lm.group(1)), lm.group(2), lm.group(3)])
                elif items:
                    items[-1][2] += " " + lines[i].strip()
                i += 1
            out.append(("list", items))
            continue
        para = []
        while i < n and lines[i].strip() and not re.match(
                r"^(\s*([-*+]|\d+[.)])\s+|\s*\||\s*```|\s*~~~|#{1,6}\s)", lines[i]):
            para.append(lines[i].strip())
            i += 1
        out.append(("para", " ".join(para)))
    return out


def split_row(row):
    """Cells of a table row; a backslash-escaped pipe stays in its cell and
    pipes inside code spans do not split."""
    row = row.strip()
    if row.startswith("|"):
        row = row[1:]
    if row.endswith("|") and not row.endswith("\\|"):
        row = row[:-1]
    cells, cur, in_code, i = [], "", False, 0
    while i < len(row):
        c = row[i]
        if c == "\\" and i + 1 < len(row) and row[i + 1] == "|":
            cur += "|"
            i += 2
            continue
        if c == "`":
            in_code = not in_code
        if c == "|" and not in_code:
            cells.append(cur.strip())
            cur = ""
        else:
            cur += c
        i += 1
    cells.append(cur.strip())
    return cells


# ------------------------------------------------------------ roff

def roff_escape(text):
    """Plain text for roff: backslashes and dashes made literal."""
    return text.replace("\\", "\\e").replace("-", "\\-")


def roff_plain(text):
    # Hyphens in prose stay hyphens; only the backslash must be escaped.
    return text.replace("\\", "\\e")


def inline(text):
    """Markdown inline markup to roff font changes."""
    out = []
    pos = 0
    for m in re.finditer(r"(`+)(.+?)\1", text):
        out.append(inline_prose(text[pos:m.start()]))
        code = m.group(2)
        if len(code) > 2 and code[0] == " " and code[-1] == " " and code.strip():
            code = code[1:-1]
        out.append("\\fB" + roff_escape(code) + "\\fR")
        pos = m.end()
    out.append(inline_prose(text[pos:]))
    return "".join(out)


def inline_prose(text):
    # Links keep their text only: their targets are paths in the sources.
    text = re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r"\1", text)
    text = roff_plain(text)
    text = re.sub(r"\*\*(.+?)\*\*", r"\\fB\1\\fR", text)
    text = re.sub(r"(?<![\w*])\*(?!\s)(.+?)(?<!\s)\*(?![\w*])", r"\\fI\1\\fR", text)
    text = re.sub(r"(?<![\w])_(?!\s)(.+?)(?<!\s)_(?![\w])", r"\\fI\1\\fR", text)
    return text


def safe_line(line):
    """A text line that roff will not read as a request."""
    if line.startswith(".") or line.startswith("'"):
        return "\\&" + line
    return line


def render_blocks(blks, top_level):
    """roff for a list of blocks. Headings of level top_level become .SS;
    deeper ones become bold paragraph titles."""
    out = []
    for b in blks:
        kind = b[0]
        if kind == "heading":
            _, level, title = b
            if level <= top_level:
                out.append(".SS " + quote_arg(inline(title)))
            else:
                out.append(".PP")
                out.append(safe_line("\\fB" + inline(title) + "\\fR"))
        elif kind == "para":
            out.append(".PP")
            out.append(safe_line(inline(b[1])))
        elif kind == "code":
            out.append(".PP")
            out.append(".RS 4")
            out.append(".nf")
            for line in b[1].split("\n"):
                out.append(safe_line(roff_escape(line)) if line else "")
            out.append(".fi")
            out.append(".RE")
        elif kind == "table":
            rows = b[1]
            if not rows:
                continue
            header, body = rows[0], rows[1:]
            # Tagged paragraphs read well on a terminal and need no tbl.
            for row in body:
                out.append(".TP")
                out.append(safe_line(inline(row[0]) if row else ""))
                rest = row[1:]
                if len(header) <= 2:
                    out.append(safe_line(inline(" ".join(rest))))
                else:
                    parts = []
                    for h, c in zip(header[1:], rest):
                        parts.append(inline(h) + ": " + inline(c))
                    out.append(safe_line(parts[0] if parts else ""))
                    for p in parts[1:]:
                        out.append(".br")
                        out.append(safe_line(p))
        elif kind == "list":
            base = min(item[0] for item in b[1])
            depth_stack = [base]
            for indent, marker, text in b[1]:
                while indent > depth_stack[-1]:
                    out.append(".RS 2")
                    depth_stack.append(indent)
                while indent < depth_stack[-1] and len(depth_stack) > 1:
                    out.append(".RE")
                    depth_stack.pop()
                bullet = "\\(bu" if marker in "-*+" else marker
                out.append(".IP " + bullet + " 3")
                out.append(safe_line(inline(text)))
            for _ in depth_stack[1:]:
                out.append(".RE")
    return out


def quote_arg(text):
    return '"' + text.replace('"', '\\(dq') + '"'


# ------------------------------------------------------------ the page

SYNOPSIS = r""".SH SYNOPSIS
.B quillmar
.RB [ \-d ]
.I request
.RI [ request ...]
.br
.B quillmar
.BR \-h " | " \-?
.PP
where each
.I request
is one of
.PP
.RS 4
.nf
\fB\-b\fR \fIcode\fR
\fB\-e\fR \fIcode\fR
\fB\-i elog\fR \fIdirectory pfa\-file\fR
\fB\-i flm\fR \fIdirectory port\fR
\fB\-i hv\fR \fIdirectory\fR
\fB\-rm\fR \fIcode\fR
.fi
.RE
.PP
and
.I code
is
.BR elog ,
.B flm
or
.BR hv .
"""


def build_page(readme_text, machine_text, version, date):
    sections = split_sections(readme_text)
    usage = usage_text(readme_text)

    i_usage = find_section(sections, 2, "Usage")
    usage_blocks = blocks(section_body(sections, i_usage))
    # The usage block, the paragraph that introduces it, then what follows.
    first_code = next(n for n, b in enumerate(usage_blocks) if b[0] == "code")
    after_usage = usage_blocks[first_code + 1:]
    intro_usage = after_usage[:1] if after_usage and after_usage[0][0] == "para" else []
    requests = after_usage[len(intro_usage):]

    # DESCRIPTION: the README's last paragraph before its first "##".
    lead_lines = []
    for lvl, _title, lines in sections:
        if lvl >= 2:
            break
        lead_lines.extend(lines)
    lead = [b for b in blocks(lead_lines) if b[0] == "para"]
    description = lead[-1:] if lead else []

    out = []
    out.append('.\\" Generated by scripts/gen-manpage.py from README.md; edit those, not this.')
    out.append(".TH QUILLMAR 1 %s %s %s" % (quote_arg(date), quote_arg("quillmar " + version),
                                             quote_arg("User Commands")))
    # Paths, registry keys and service names must not be hyphenated, and a
    # justified line full of them reads badly.
    out.append(".nh")
    out.append(".ad l")
    out.append(".SH NAME")
    out.append("quillmar \\- start, stop, install and remove the Orv suite's services")
    out.extend(SYNOPSIS.rstrip("\n").split("\n"))
    out.append(".SH DESCRIPTION")
    out.extend(render_blocks(description, 3))
    i_sim = find_section(sections, 3, "The simulated machine")
    out.append(".PP")
    out.append("On Windows it calls the Service Control Manager and the registry. "
               "Everywhere else it runs on a simulated machine, a directory of files; "
               "see \\fBSIMULATED MACHINE\\fR below.")

    out.append(".SH USAGE TEXT")
    out.append(".PP")
    out.append("With \\fB\\-h\\fR, \\fB\\-?\\fR or fewer than two arguments the program "
               "writes \\fB????\\fR and then this text to standard output:")
    out.extend(render_blocks([("code", usage.rstrip("\n"))], 3))
    out.extend(render_blocks(intro_usage, 3))

    # The requests table and what follows it, up to the first sub-section,
    # which gets a section of its own.
    req, rest = [], []
    for b in requests:
        (rest if rest or b[0] == "heading" else req).append(b)
    out.append(".SH REQUESTS")
    out.extend(render_blocks(req, 3))

    out.append(".SH DISPLAY MODE")
    sub = split_subsections(rest)
    display = sub.pop("display mode", None)
    if display is not None:
        out.extend(render_blocks(display, 3))
    else:
        out.append(".PP")
        out.append("\\fB\\-d\\fR anywhere on the command line turns on progress lines on "
                   "standard output, and the long form of the error reports on standard "
                   "error (see \\fBREQUESTS\\fR).")

    exit_status = sub.pop("exit status", None)
    if exit_status is None:
        raise DocError('README has no "### Exit status" under "## Usage"')
    out.append(".SH EXIT STATUS")
    out.extend(render_blocks(exit_status, 3))
    for title, blks in sub.items():
        out.append(".SH " + quote_arg(inline(title.upper())))
        out.extend(render_blocks(blks, 3))

    out.append(".SH SIMULATED MACHINE")
    if i_sim is not None and not machine_text:
        # The README's summary stands in only while the full document is
        # missing; with it, the summary would say everything twice.
        out.extend(render_blocks(blocks(sections[i_sim][2]), 3))
    if machine_text:
        msections = split_sections(machine_text)
        body = []
        for lvl, title, lines in msections:
            if lvl == 1:
                # The document's own title: the section heading says it.
                body.extend(lines)
            elif lvl == 0:
                body.extend(lines)
            else:
                body.append("#" * lvl + " " + title)
                body.extend(lines)
        out.extend(render_blocks(blocks(body), 2))
    i_diff = find_section(sections, 3, "Where Wine and the simulated machine differ")
    if i_diff is not None:
        out.append(".SS " + quote_arg(sections[i_diff][1]))
        out.extend(render_blocks(blocks(sections[i_diff][2]), 3))
    out.append(".SH ENVIRONMENT")
    out.append(".TP")
    out.append(".B QUILLMAR_MACHINE")
    out.append("The directory of the simulated machine (builds other than Windows only); "
               "see \\fBSIMULATED MACHINE\\fR.")
    out.append(".TP")
    out.append('.BR XDG_STATE_HOME ", " HOME')
    out.append("Where the simulated machine is when \\fBQUILLMAR_MACHINE\\fR is not set; "
               "see \\fBSIMULATED MACHINE\\fR.")
    out.append(".SH SEE ALSO")
    out.append("\\fI/usr/share/doc/quillmar/README.md\\fR, from which this page is made "
               "together with the simulated machine's document "
               "(\\fISERVICES/source/platform/SIMULATED\\-MACHINE.md\\fR in the sources).")
    return "\n".join(out) + "\n"


def split_subsections(blks):
    """{lowercased heading title: blocks} for the headings in blks, in order."""
    out = {}
    current = None
    for b in blks:
        if b[0] == "heading":
            current = b[2].strip().lower()
            out[current] = []
        elif current is not None:
            out[current].append(b)
    return out


# ------------------------------------------------------------ checks

def check_usage(readme_text, program):
    expected = USAGE_PREFIX + usage_text(readme_text)
    # -h must not touch a machine; a fresh empty one makes sure it cannot
    # read or change the user's.
    with tempfile.TemporaryDirectory(prefix="quillmar-doc-") as machine:
        env = dict(os.environ, QUILLMAR_MACHINE=machine)
        proc = subprocess.run([program, "-h"], capture_output=True, env=env)
    got = proc.stdout.decode("latin-1").replace("\r\n", "\n")
    ok = True
    if proc.returncode != 0:
        print("quillmar -h exited %d, not 0" % proc.returncode)
        ok = False
    if proc.stderr:
        print("quillmar -h wrote to standard error: %r" % proc.stderr)
        ok = False
    if got != expected:
        import difflib
        print("README.md's usage block and `quillmar -h` differ:")
        sys.stdout.writelines(difflib.unified_diff(
            expected.splitlines(True), got.splitlines(True),
            "README.md (with ????)", "quillmar -h"))
        ok = False
    return ok


def check_render(readme_text, page_path, machine_text=""):
    """groff renders the page without a warning, and every line of the usage
    text comes out as written (a line roff took for a request would vanish)."""
    proc = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", "-ww", page_path],
                          capture_output=True, env=dict(os.environ, LC_ALL="C"))
    ok = True
    if proc.returncode != 0 or proc.stderr:
        print("groff: exit %d\n%s" % (proc.returncode, proc.stderr.decode(errors="replace")))
        ok = False
    rendered = proc.stdout.decode("ascii", errors="replace").splitlines()
    stripped = {line.strip() for line in rendered}
    for line in usage_text(readme_text).splitlines():
        if line.strip() and line.strip() not in stripped:
            print("usage line missing from the rendered page: %r" % line)
            ok = False
    for title in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "SIMULATED MACHINE"):
        if title not in rendered:
            print("section %s missing from the rendered page" % title)
            ok = False
    # The machine's document made it in: each of its sections is there.
    for lvl, title, _ in split_sections(machine_text):
        if lvl == 2 and re.sub(r"[`*]", "", title) not in stripped:
            print("the simulated machine's section %r is missing from the page" % title)
            ok = False
    return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("readme")
    ap.add_argument("program", nargs="?")
    ap.add_argument("--machine-doc")
    ap.add_argument("--version", default="")
    ap.add_argument("-o", "--output")
    ap.add_argument("--print-usage", action="store_true")
    ap.add_argument("--check-usage", action="store_true")
    ap.add_argument("--check-render", action="store_true")
    args = ap.parse_args()

    with open(args.readme, encoding="utf-8") as f:
        readme_text = f.read()
    try:
        if args.print_usage:
            sys.stdout.write(USAGE_PREFIX + usage_text(readme_text))
            return 0
        if args.check_usage:
            if not args.program:
                ap.error("--check-usage needs the program")
            return 0 if check_usage(readme_text, args.program) else 1
        machine_text = ""
        if args.machine_doc and os.path.exists(args.machine_doc):
            with open(args.machine_doc, encoding="utf-8") as f:
                machine_text = f.read()
        if args.check_render:
            if not args.program:
                ap.error("--check-render needs the page")
            return 0 if check_render(readme_text, args.program, machine_text) else 1
        epoch = os.environ.get("SOURCE_DATE_EPOCH")
        date = ""
        if epoch:
            date = datetime.datetime.fromtimestamp(
                int(epoch), datetime.timezone.utc).strftime("%Y-%m-%d")
        page = build_page(readme_text, machine_text, args.version, date)
    except DocError as e:
        print("gen-manpage.py: %s" % e, file=sys.stderr)
        return 1
    if args.output:
        tmp = args.output + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(page)
        os.replace(tmp, args.output)
    else:
        sys.stdout.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
