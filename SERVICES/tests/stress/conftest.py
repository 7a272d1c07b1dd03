"""The seed, the catalogue's services and a fresh machine for the store tiers."""

from __future__ import annotations

import os
import time
import types

import pytest

import backend_native
import buildfacts
from model import Scenario


@pytest.fixture
def seed() -> int:
    """New each time unless QUILLMAR_SEED names it; printed, so a failure repeats."""
    seed = int(os.environ.get("QUILLMAR_SEED") or time.time() * 1000 % 1_000_000)
    print(f"seed {seed}: QUILLMAR_SEED={seed} repeats this run")
    return seed


@pytest.fixture(scope="session")
def rows(build_dir) -> dict[str, types.SimpleNamespace]:
    """The program's services by code: name, title, exe (None for the
    console's) and parms, the values an install writes after the directory."""
    return {s["code"]: types.SimpleNamespace(code=s["code"], name=s["name"], title=s["title"],
                                             exe=s["exe"],
                                             parms=tuple(p for k in s["subkeys"] for p in k["parms"]))
            for s in buildfacts.catalogue(build_dir)["services"]}


@pytest.fixture
def case(request, native) -> backend_native.Case:
    """A fresh machine (clock skipped); the test removes it once it passed."""
    return native.new_case(Scenario(request.node.name, []))
