"""One native test for each scenario, the slow ones (which wait out every poll)
first, so that under -n auto --dist loadgroup they wait side by side;
QUILLMAR_SCENARIOS_QUICK=1 skips them in a suite that has run them already."""

from __future__ import annotations

import os

import pytest

import scenarios

QUICK = os.environ.get("QUILLMAR_SCENARIOS_QUICK") == "1"


def param(s):
    marks = [pytest.mark.slow] if s.slow else []
    if "native" not in s.tiers:
        marks.append(pytest.mark.skip(reason=s.why_one_tier))
    elif s.slow and QUICK:
        marks.append(pytest.mark.skip(reason="slow, left out by QUILLMAR_SCENARIOS_QUICK"))
    return pytest.param(s, id=s.name, marks=marks)


@pytest.mark.parametrize("scenario", [param(s) for s in sorted(scenarios.SCENARIOS,
                                                                key=lambda s: not s.slow)])
def test_scenario(native, scenario):
    failures = native.new_case(scenario).play()
    if failures:
        pytest.fail("\n".join(failures), pytrace=False)


def test_names_are_unique():
    # A name selects its test here and is the kit's id of it.
    names = [s.name for s in scenarios.SCENARIOS]
    assert sorted(n for n in set(names) if names.count(n) > 1) == []
