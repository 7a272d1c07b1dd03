"""Reads a simulated machine's store from the outside, strictly, for every
Python tier. Uses the scenario tier's own regedit reader (regtext.py), never
the machine's code, so that a fault of the machine's reader cannot hide itself.
"""

from __future__ import annotations

import dataclasses
import os
import re
import sys
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))

import regtext  # noqa: E402

SERVICES_KEY = "system\\currentcontrolset\\services"
STATE_KEYS = {"state", "polls", "then", "checkpoint", "exitcode", "thenexitcode", "deleted"}
STATES = {"STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING"}
INDEX = os.path.join("scm", "display-names.index")


class StoreError(AssertionError):
    pass


def parse_reg_file(path: str) -> dict[str, dict[str, tuple[str, bytes]]]:
    """Keys (lower-case path below HKEY_LOCAL_MACHINE) of one registry file."""
    with open(path, "rb") as f:
        text = regtext.decode_file(f.read())
    # The machine ends every key with an empty line: a file cut short
    # anywhere but at a key's end shows here even when it still parses.
    if not text.endswith("\n\n"):
        raise StoreError(f"{path}: does not end with a complete key")
    try:
        parsed = regtext.parse(text)
    except regtext.RegTextError as e:
        raise StoreError(f"{path}: {e}") from e
    keys = {}
    for key, values in parsed.items():
        root, _, below = key.partition("\\")
        if root.upper() != "HKEY_LOCAL_MACHINE":
            raise StoreError(f"{path}: key outside HKEY_LOCAL_MACHINE: {key}")
        keys[below.lower()] = {name.lower(): v for name, v in values.items()}
    return keys


def parse_state_file(path: str) -> dict[str, str]:
    with open(path, "rb") as f:
        text = f.read().decode("ascii")
    if text and not text.endswith("\n"):
        raise StoreError(f"{path}: last line cut short")
    fields = {}
    for number, line in enumerate(text.split("\n")[:-1], 1):
        if not line or line.startswith("#"):
            continue
        key, eq, value = line.partition("=")
        if not eq or key not in STATE_KEYS:
            raise StoreError(f"{path}: line {number}: {line!r}")
        if key in ("state", "then") and value not in STATES:
            raise StoreError(f"{path}: line {number}: no such state {value!r}")
        if key == "deleted" and value not in ("0", "1"):
            raise StoreError(f"{path}: line {number}: deleted={value!r}")
        if key not in ("state", "then", "deleted") and not (value.isdigit() or value == "never"):
            raise StoreError(f"{path}: line {number}: not a number {value!r}")
        fields[key] = value
    return fields


def read_registry(machine: str, allow_temp: bool = False) -> dict[str, dict[str, tuple[str, bytes]]]:
    """Every key of the machine, as parse_reg_file; a key in two files is an
    error. allow_temp: pass over what a killed writer left under a temporary name."""
    keys: dict[str, dict[str, tuple[str, bytes]]] = {}
    for base, _, files in os.walk(os.path.join(machine, "registry")):
        for name in sorted(files):
            path = os.path.join(base, name)
            if allow_temp and ".tmp." in name:
                continue
            if not name.endswith(".reg"):
                raise StoreError(f"{path}: unexpected file in the registry")
            for key, values in parse_reg_file(path).items():
                if key in keys:
                    raise StoreError(f"{path}: key {key} is in another file too")
                keys[key] = values
    check_display_index(machine, keys)
    return keys


def _unescape(field: bytes, path: str) -> bytes:
    if not re.fullmatch(rb"(?:[^%]|%[0-9A-Fa-f]{2})*", field):
        raise StoreError(f"{path}: bad escape in {field!r}")
    return urllib.parse.unquote_to_bytes(field)


def check_display_index(machine: str, keys) -> None:
    """An index whose stamp matches registry/services lists every service (a
    key with a Type value) once by display name, and each of its dependencies
    on a line of its own, sorted ignoring case: the program trusts it then."""
    path = os.path.join(machine, INDEX)
    try:
        with open(path, "rb") as f:
            lines = f.read().split(b"\n")
    except FileNotFoundError:
        return
    if len(lines) < 3 or lines[-1] != b"" or not lines[0].startswith(b"# ") \
            or not lines[1].startswith(b"stamp "):
        raise StoreError(f"{path}: not a display-name index: {lines[:2]!r}")
    try:
        st = os.stat(os.path.join(machine, "registry", "services"))
        stamp = "stamp %d %d.%09d %d.%09d" % (st.st_ino, st.st_mtime_ns // 10**9, st.st_mtime_ns % 10**9,
                                              st.st_ctime_ns // 10**9, st.st_ctime_ns % 10**9)
    except FileNotFoundError:
        stamp = "stamp absent"
    if lines[1].decode() != stamp:
        return  # out of date: the next look-up rebuilds it
    listed: dict[bytes, bytes] = {}
    depends: set[bytes] = set()  # "dependency<TAB>name", as the service lines say
    for line in lines[2:-1]:
        if line.startswith(b"%>"):
            continue  # a dependency's line: checked against the services' below
        display, tab, rest = line.partition(b"\t")
        name, *dependencies = rest.split(b"\t")
        if not tab or not name:
            raise StoreError(f"{path}: not an entry: {line!r}")
        depends |= {d + b"\t" + name for d in dependencies}
        name = _unescape(name, path)
        if name in listed:
            raise StoreError(f"{path}: {name!r} listed twice")
        listed[name] = _unescape(display, path)
    if {line[2:] for line in lines[2:-1] if line.startswith(b"%>")} != depends:
        raise StoreError(f"{path}: the dependencies' lines differ from the services'")
    folded = [line.lower() for line in lines[2:-1]]
    if folded != sorted(folded):
        raise StoreError(f"{path}: entries out of order")
    services: dict[bytes, bytes] = {}
    prefix = SERVICES_KEY + "\\"
    for key, values in keys.items():
        name = key[len(prefix):]
        if not key.startswith(prefix) or "\\" in name or "type" not in values:
            continue
        name_bytes = name.encode("utf-8", "surrogateescape")
        got = values.get("displayname")
        if got is not None and got[0] in ("REG_SZ", "REG_EXPAND_SZ"):
            services[name_bytes] = got[1].rstrip(b"\0")
        else:
            # The name as spelled, which this reader has folded: any spelling will do.
            spelled = listed.get(name_bytes, b"")
            services[name_bytes] = spelled if spelled.lower() == name_bytes else name_bytes
    if listed != services:
        wrong = sorted(n for n in set(listed) | set(services) if listed.get(n) != services.get(n))
        raise StoreError(f"{path}: current by its stamp, but differs from the registry for {wrong[:5]}: "
                         f"index {[listed.get(n) for n in wrong[:5]]}, registry {[services.get(n) for n in wrong[:5]]}")


def read_states(machine: str) -> dict[str, dict[str, str]]:
    """State files by lower-case encoded service file name (scm/<name>.state)."""
    out = {}
    scm = os.path.join(machine, "scm")
    if os.path.isdir(scm):
        for name in sorted(os.listdir(scm)):
            if name.endswith(".state"):
                out[name[: -len(".state")]] = parse_state_file(os.path.join(scm, name))
    return out


def temp_files(root: str) -> list[str]:
    found = []
    for base, _, files in os.walk(root):
        found += [os.path.join(base, n) for n in files if ".tmp." in n]
    return sorted(found)


def snapshot(root: str) -> dict[str, tuple[str, bytes]]:
    """Every entry under root: relative path -> (kind, content or target)."""
    out: dict[str, tuple[str, bytes]] = {}
    for base, dirs, files in os.walk(root):
        for d in dirs:
            out[os.path.relpath(os.path.join(base, d), root)] = ("dir", b"")
        for n in files:
            path = os.path.join(base, n)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                out[rel] = ("link", os.readlink(path).encode())
            elif not os.path.isfile(path):  # a FIFO would hold the read up
                out[rel] = ("special", b"")
            else:
                with open(path, "rb") as f:
                    out[rel] = ("file", f.read())
    return out


def image_path(directory: str, exe: str) -> str:
    """The ImagePath an install in directory registers."""
    path = directory + "\\" + exe
    return f'"{path}"' if (" " in path or "\t" in path) else path


def string_value(values, name: str):
    """(text, REG type) of a string value, or None when absent."""
    got = values.get(name.lower()) if values is not None else None
    if got is None:
        return None
    text, terminated = regtext.string_of(got[1])
    if got[0] in ("REG_SZ", "REG_EXPAND_SZ") and not terminated:
        raise StoreError(f"value {name}: stored without its terminating NUL")
    return text, got[0]


@dataclasses.dataclass(frozen=True)
class Seen:
    """A catalogue row's service as the store shows it."""

    exists: bool = False
    image: str | None = None
    parms: bool = False  # its Parameters key is there
    values: tuple = ()  # the row's parameters' texts, None where absent
    running: bool = False
    marked: bool = False  # deleted; goes once stopped and no longer open


def seen(keys, states, row) -> Seen:
    base = f"{SERVICES_KEY}\\{row.name.lower()}"
    key = keys.get(base)
    if key is None or "type" not in key:
        return Seen()
    state = states.get(row.name.lower(), {})
    parms = keys.get(base + "\\parameters")
    image = string_value(key, "ImagePath")
    values = tuple(v and v[0] for v in (string_value(parms, p) for p in row.parms))
    return Seen(True, image and image[0], parms is not None, values, state.get("state") == "RUNNING",
                state.get("deleted") == "1")
