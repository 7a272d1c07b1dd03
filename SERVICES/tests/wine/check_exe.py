#!/usr/bin/env python3
"""quillmar.exe's imports (no MinGW runtime DLL to ship beside it), the version
resource inventory tools read, and its manifest (asInvoker, Windows 10/11,
UTF-8), read back with the cross toolchain's objdump and windres.

    python3 check_exe.py QUILLMAR_EXE VERSION
"""

from __future__ import annotations

import re
import subprocess
import sys
import xml.etree.ElementTree as ET

PREFIX = "x86_64-w64-mingw32-"
IMPORTS = {"ADVAPI32.dll", "KERNEL32.dll", "msvcrt.dll"}
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
NS = {
    "asm1": "urn:schemas-microsoft-com:asm.v1",
    "asm3": "urn:schemas-microsoft-com:asm.v3",
    "compat": "urn:schemas-microsoft-com:compatibility.v1",
    "ws2019": "http://schemas.microsoft.com/SMI/2019/WindowsSettings",
}


def tool(name: str, *args: str) -> str:
    """The tool's output; empty when it fails (windres does without resources)."""
    r = subprocess.run([PREFIX + name, *args], capture_output=True, text=True)
    return r.stdout if r.returncode == 0 else ""


def manifest_text(rc: str) -> str:
    """The RT_MANIFEST resource's text out of windres' decompiled script."""
    m = re.search(r"^1 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)^END", rc, re.M | re.S)
    if m is None:
        return ""
    parts = re.findall(r'^\s*"((?:[^"]|"")*)"', m.group(1), re.M)
    return "".join(p.replace('""', '"').replace("\\n", "\n") for p in parts)


def main(exe: str, version: str) -> list[str]:
    problems = []
    imports = set(re.findall(r"DLL Name: (\S+)", tool("objdump", "-p", exe)))
    if imports != IMPORTS:
        problems.append(f"imports {sorted(imports)}, expected {sorted(IMPORTS)}")

    rc = tool("windres", "-J", "coff", "-i", exe, "-O", "rc")
    if not rc:
        return problems + ["no resources: neither a version resource nor a manifest"]
    strings = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', rc))
    for name, expected in (("FileVersion", version), ("ProductVersion", version),
                           ("ProductName", "quillmar"), ("OriginalFilename", "quillmar.exe"),
                           ("FileDescription", None), ("CompanyName", None),
                           ("LegalCopyright", None)):
        value = strings.get(name)
        if not value or (expected is not None and value != expected):
            problems.append(f"version resource: {name} is {value!r}, expected {expected or 'a text'!r}")
    numbers = ", ".join(version.split(".")) + ", 0"
    if f"FILEVERSION {numbers}" not in rc or f"PRODUCTVERSION {numbers}" not in rc:
        problems.append(f"version resource: FILEVERSION/PRODUCTVERSION are not {numbers}")

    text = manifest_text(rc)
    try:
        root = ET.fromstring(text.encode())
    except ET.ParseError as e:
        return problems + [f"manifest: not well-formed XML ({e}): {text!r}"]
    level = root.find("asm3:trustInfo/asm3:security/asm3:requestedPrivileges/"
                      "asm3:requestedExecutionLevel", NS)
    if level is None or level.get("level") != "asInvoker":
        problems.append("manifest: requestedExecutionLevel is not asInvoker")
    oses = {e.get("Id") for e in root.findall("compat:compatibility/compat:application/"
                                             "compat:supportedOS", NS)}
    if WINDOWS_10 not in oses:
        problems.append(f"manifest: supportedOS {sorted(oses)} lacks Windows 10/11 {WINDOWS_10}")
    page = root.find("asm3:application/asm3:windowsSettings/ws2019:activeCodePage", NS)
    if page is None or page.text != "UTF-8":
        problems.append("manifest: activeCodePage is not UTF-8")
    identity = root.find("asm1:assemblyIdentity", NS)
    if identity is None or identity.get("version") != version + ".0":
        problems.append(f"manifest: assemblyIdentity version is not {version}.0")
    return problems


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        sys.exit(2)
    found = main(sys.argv[1], sys.argv[2])
    for line in found:
        print(f"{sys.argv[1]}: {line}")
    if not found:
        print(f"{sys.argv[1]}: imports, version resource and manifest as expected")
    sys.exit(1 if found else 0)
