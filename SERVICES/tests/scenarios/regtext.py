"""Reads and writes regedit-format text (.reg files) independently of the
simulated machine's code, so that the native tier checks the machine's
registry through a door of its own.
"""

from __future__ import annotations

import codecs
import re

HEADER = "Windows Registry Editor Version 5.00"

TYPE_NAMES = {
    0: "REG_NONE",
    1: "REG_SZ",
    2: "REG_EXPAND_SZ",
    3: "REG_BINARY",
    4: "REG_DWORD",
    7: "REG_MULTI_SZ",
    11: "REG_QWORD",
}


class RegTextError(ValueError):
    pass


def decode_file(data: bytes) -> str:
    """The text of a .reg file: UTF-16 with a BOM (as regedit writes it) or UTF-8."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return data.decode("utf-16")
    return data.removeprefix(codecs.BOM_UTF8).decode("utf-8", "surrogateescape")


_QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"', re.S)


def _read_quoted(line: str, pos: int) -> tuple[str, int]:
    """The string starting at the quote at pos; returns it and the index after it."""
    m = _QUOTED.match(line, pos)
    if not m:
        raise RegTextError("unterminated string")
    return re.sub(r"\\(.)", r"\1", m[1], flags=re.S), m.end()


def _hex_bytes(text: str) -> bytes:
    text = text.replace(" ", "").replace("\t", "")
    return bytes(int(part, 16) for part in text.split(",") if part != "")


def parse(text: str) -> dict[str, dict[str, tuple[str, bytes]]]:
    """Keys (full path, as written, case kept) -> value name -> (type, bytes)."""
    lines = text.replace("\r\n", "\n").split("\n")
    if lines[0].strip().lstrip("\ufeff") != HEADER:
        raise RegTextError("line 1: no regedit header")
    keys: dict[str, dict[str, tuple[str, bytes]]] = {}
    current = None
    number = 1
    while number < len(lines):
        stripped = lines[number].strip()
        number += 1
        if not stripped or stripped.startswith(";"):
            continue
        if stripped.startswith("["):
            if not stripped.endswith("]"):
                raise RegTextError(f"line {number}: broken key line")
            path = stripped[1:-1]
            if path.startswith("-"):
                raise RegTextError(f"line {number}: deletion entries are not expected")
            current = keys.setdefault(path, {})
            continue
        if current is None:
            raise RegTextError(f"line {number}: value outside a key")
        if stripped.startswith("@"):
            name, rest = "", stripped[2:]
        else:
            name, after = _read_quoted(stripped, 0)
            if stripped[after:after + 1] != "=":
                raise RegTextError(f"line {number}: no '=' after the value name")
            rest = stripped[after + 1:]
        at = number
        # Only hex data goes on over lines that end in a backslash.
        while rest.startswith("hex") and rest.endswith("\\"):
            more = lines[number].strip() if number < len(lines) else ""
            rest, number = rest[:-1] + more, number + 1
        current[name] = _parse_data(rest, at)
    return keys


def _parse_data(rest: str, number: int) -> tuple[str, bytes]:
    if rest.startswith('"'):
        value, after = _read_quoted(rest, 0)
        if rest[after:].strip():
            raise RegTextError(f"line {number}: text after a string value")
        # A plain string stands for REG_SZ with its terminating NUL.
        return "REG_SZ", value.encode("utf-8", "surrogateescape") + b"\0"
    if rest.startswith("dword:"):
        return "REG_DWORD", int(rest[6:], 16).to_bytes(4, "little")
    if rest.startswith("hex:"):
        return "REG_BINARY", _hex_bytes(rest[4:])
    if rest.startswith("hex("):
        close = rest.index(")")
        kind = int(rest[4:close], 16)
        data = _hex_bytes(rest[close + 2:])
        if kind in (1, 2, 7):
            data = _narrow(data, number)
        return TYPE_NAMES.get(kind, f"REG_TYPE_{kind}"), data
    raise RegTextError(f"line {number}: unknown value data {rest!r}")


def _narrow(wide: bytes, number: int) -> bytes:
    """String data of a hex(N) line is UTF-16LE in an export; the program's
    A-calls stored 8-bit bytes, which come back one for one (others as UTF-8)."""
    if len(wide) % 2:
        raise RegTextError(f"line {number}: odd byte count in UTF-16 string data")
    out = bytearray()
    for ch in wide.decode("utf-16-le", "surrogatepass"):
        out += bytes([ord(ch)]) if ord(ch) < 0x100 else ch.encode("utf-8", "surrogatepass")
    return bytes(out)


def string_of(data: bytes) -> tuple[str, bool]:
    """A stored string value as text, and whether it ended in its NUL."""
    terminated = data.endswith(b"\0")
    body = data[:-1] if terminated else data
    return body.decode("utf-8", "surrogateescape"), terminated


def dword_of(data: bytes) -> int:
    return int.from_bytes(data[:4], "little")


def quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def hex_data(kind: int, data: bytes) -> str:
    body = ",".join("%02x" % b for b in data)
    return (f"hex({kind:x}):" if kind != 3 else "hex:") + body


def format_keys(keys: list[tuple[str, list[tuple[str, str]]]]) -> str:
    """keys: (full path, [(value name, data text as written after '=')])."""
    out = [HEADER, ""]
    for path, values in keys:
        out.append(f"[{path}]")
        for name, data in values:
            out.append(f"{quote(name) if name else '@'}={data}")
        out.append("")
    return "\n".join(out) + "\n"
