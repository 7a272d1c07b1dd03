"""The build's figures the tests must agree with (quillmar-facts.json) and the
native build's catalogue, from the program's own tables. A tool that imports
scenarios, whose texts hold the poll count, names its build first: use(build).
"""

from __future__ import annotations

import dataclasses
import json
import os
from typing import Optional

@dataclasses.dataclass(frozen=True)
class Facts:
    max_polls: int
    poll_pause_ms: int
    wait_ms: int
    slow_seconds: int  # how long a service that must outlast the whole wait takes

    @property
    def wait_seconds(self) -> float:
        return self.wait_ms / 1000

    @property
    def slow_at_least_seconds(self) -> float:
        """A slow scenario that ends sooner did not really pause between
        polls (the slack is for sleeps that come back a little early)."""
        return self.wait_seconds * 5 / 6


def _read(path: str, hint: str) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        raise SystemExit(f"{path} is missing: {hint}")


def load(build: str) -> Facts:
    """The facts of a build directory, or of a facts file named directly."""
    path = build if os.path.isfile(build) else os.path.join(build, "quillmar-facts.json")
    data = _read(path, "configure that build first (cmake --preset ...)")
    return Facts(**{f.name: int(data[f.name]) for f in dataclasses.fields(Facts)})


def catalogue(build: str) -> dict:
    """"services" (code, name, exe or None, title, key, subkeys with their
    parms, in row order), "obsolete" (the agent's old name and title) and
    "flags"."""
    return _read(os.path.join(build, "quillmar-catalogue.json"), "build the native preset first")


def service_names(build: str) -> list[str]:
    """Every service name the program can create or meet, the obsolete one too."""
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
