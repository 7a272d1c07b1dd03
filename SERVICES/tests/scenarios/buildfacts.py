"""The build's figures that the tests must agree with, as CMake wrote them
into the build directory (quillmar-facts.json, from
cmake/quillmar-facts.json.in; the figures themselves are set once, in the
top-level CMakeLists.txt): how many status polls a start or stop waits for
and how far apart, the whole wait, and how long a test service that must
outlast the wait takes. The native build also writes the program's
catalogue (quillmar-catalogue.json, from the program's own tables), which
catalogue() and service_names() read.

Every tool takes them from the build it runs: the backends from their build
directory, and a tool that imports scenarios (whose expected texts hold the
poll count) names its build with use() first:

    buildfacts.use(build_dir)        # or the path of the file itself
    import scenarios
"""

from __future__ import annotations

import dataclasses
import json
import os
from typing import Optional

FILE_NAME = "quillmar-facts.json"
# Written by the native build from the program's own tables (catalogue.cpp).
CATALOGUE_FILE = "quillmar-catalogue.json"


@dataclasses.dataclass(frozen=True)
class Facts:
    max_polls: int
    poll_pause_ms: int
    wait_ms: int
    slow_seconds: int

    @property
    def wait_seconds(self) -> float:
        return self.wait_ms / 1000

    @property
    def slow_at_least_seconds(self) -> float:
        """A slow scenario waits out every poll; finishing sooner than this
        means the program did not really pause between polls (the slack is
        for a host whose sleeps come back a little early)."""
        return self.wait_seconds * 5 / 6


def load(build: str) -> Facts:
    """The facts of a build directory, or of a facts file named directly."""
    path = build if os.path.isfile(build) else os.path.join(build, FILE_NAME)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        raise SystemExit(f"{path} is missing: configure that build first (cmake --preset ...)")
    return Facts(**{f.name: int(data[f.name]) for f in dataclasses.fields(Facts)})


def catalogue(build: str) -> dict:
    """The program's catalogue as the native build wrote it: "services"
    (code, name, exe or None, title, key, subkeys with their parms, in row
    order), "obsolete" (the agent's old name and title) and "flags"."""
    path = os.path.join(build, CATALOGUE_FILE)
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        raise SystemExit(f"{path} is missing: build the native preset first")


def service_names(build: str) -> list[str]:
    """Every service name the program can create or meet: the catalogue's
    and the agent's obsolete one."""
    cat = catalogue(build)
    return [s["name"] for s in cat["services"]] + [cat["obsolete"]["name"]]


_current: Optional[Facts] = None


def use(build: str) -> Facts:
    """Makes the build's facts the ones current() gives from now on."""
    global _current
    _current = load(build)
    return _current


def current() -> Facts:
    if _current is None:
        raise RuntimeError("no build named: call buildfacts.use(BUILD_DIR) before importing "
                           "scenarios")
    return _current
