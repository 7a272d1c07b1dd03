#!/usr/bin/env python3
"""Holds THIRD-PARTY-NOTICES.txt against what the builds link in.

    scripts/check-notices.py NOTICES LINK_MAP [LINK_MAP...]

Each link map is the GNU linker's (-Wl,-Map) of one quillmar build. A file
is linked in when the map loads it as an object (crt2.o, crtbeginS.o, ...)
or includes a member of it (libstdc++.a(...)); files of quillmar's own
build (relative paths) and shared libraries do not count. Every other one
must match a "Linked from:" pattern of the notices, or the notices have
fallen behind the link. Exits 1 and names the files when they have.
"""

from __future__ import annotations

import fnmatch
import os
import re
import sys

MEMBER = re.compile(r"^(\S+\.a)\(")  # "archive.a(member.o)" heading a line


def linked_files(map_text: str) -> set[str]:
    files = set()
    in_members = False
    for line in map_text.splitlines():
        if line.startswith("Archive member included"):
            in_members = True
            continue
        if in_members and line and not line[0].isspace():
            m = MEMBER.match(line)
            if m:
                files.add(m.group(1))
            else:
                in_members = False  # the next section has begun
        if line.startswith("LOAD "):
            path = line[len("LOAD "):].strip()
            if path.endswith(".o") or path.endswith(".obj"):
                files.add(path)
    # A build's own objects and archives are named relative to it.
    return {os.path.normpath(f) for f in files if os.path.isabs(f)}


def patterns(notices_text: str) -> list[tuple[str, str]]:
    found = []
    component = ""
    for line in notices_text.splitlines():
        if line.startswith("Component:"):
            component = line[len("Component:"):].strip()
        elif line.startswith("Linked from:"):
            found.append((line[len("Linked from:"):].strip(), component))
    return found


def main(argv: list[str]) -> int:
    if len(argv) < 3:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        known = patterns(f.read())
    if not known:
        print(f"{argv[1]}: no 'Linked from:' lines", file=sys.stderr)
        return 1
    status = 0
    for map_path in argv[2:]:
        with open(map_path, encoding="utf-8", errors="replace") as f:
            files = linked_files(f.read())
        if not files:
            print(f"{map_path}: no file of the toolchain linked in: not a link map of quillmar?")
            status = 1
            continue
        missing = sorted(p for p in files if not any(fnmatch.fnmatch(p, g) for g, _ in known))
        components = sorted({c for p in files for g, c in known if fnmatch.fnmatch(p, g)})
        if missing:
            status = 1
            print(f"{map_path}: linked in, but named in no notice of {argv[1]}:")
            for p in missing:
                print(f"  {p}")
        else:
            print(f"ok: {map_path}: {len(files)} files linked in from {len(components)} "
                  f"components, each with its notice: {'; '.join(components)}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
