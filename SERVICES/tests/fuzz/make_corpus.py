#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_dispatch from the scenarios' command lines.

    python3 make_corpus.py [--build DIR] [OUT_DIR]
        DIR: a configured native build (default: build/native of this clone)
        OUT_DIR: default corpus/ beside this file

Each seed is what fuzz_dispatch reads: byte 0 the services that exist and
run beforehand (bit 2k: service k exists, bit 2k+1: it runs; k = 0..3 for
OrvEvtLogger, OrvFLM, Orv_Field_Link_Mgr, HalvBase), byte 1 the 1-based
index of the scenario's settings line in fuzz_dispatch.cpp's table (0 when
it has none there), then the arguments separated by NUL bytes. {dir} is the
harness's working directory ("."), whose console/ holds a console.
Files are named by the SHA-1 of their content, as libFuzzer names its own.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))

import buildfacts  # noqa: E402
import model  # noqa: E402

PRESET_ORDER = ["orvevtlogger", "orvflm", "orv_field_link_mgr", "halvbase"]


def setting_table() -> list[str]:
    with open(os.path.join(HERE, "fuzz_dispatch.cpp"), encoding="utf-8") as f:
        source = f.read()
    body = re.search(r"kSettingLines\[\] = \{(.*?)\};", source, re.S)
    if not body:
        raise SystemExit("kSettingLines not found in fuzz_dispatch.cpp")
    return re.findall(r'"((?:[^"\\]|\\.)*)"', body.group(1))


def seed_of(scenario: model.Scenario, table: list[str]) -> bytes:
    services = 0
    setting = 0
    for step in scenario.setup:
        line = None
        if isinstance(step, model.Service):
            if step.name.lower() in PRESET_ORDER:
                k = PRESET_ORDER.index(step.name.lower())
                services |= 1 << (2 * k)
                if step.running:
                    services |= 2 << (2 * k)
            # The table's line for the behaviour: with the scenario's exit
            # code when the table has one, else the plain behaviour.
            for code in (f" {step.exit_code}" if step.exit_code is not None else "", ""):
                for candidate in model.BEHAVIOURS[step.behaviour].sim:
                    candidate = candidate.format(name=step.name, code=code)
                    if line is None and candidate in table:
                        line = candidate
        elif isinstance(step, model.Fault):
            line = step.line
        if line is not None and line in table and setting == 0:
            setting = table.index(line) + 1
    args = [a.replace("{dir}", ".").replace("{sep}", "/") for a in scenario.args]
    body = b"\0".join(a.encode("utf-8", "surrogateescape") for a in args)
    return bytes([services, setting]) + body


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "..", "build", "native"),
                        help="a configured native build, whose poll count the scenarios hold")
    parser.add_argument("out_dir", nargs="?", default=os.path.join(HERE, "corpus"))
    opts = parser.parse_args(argv[1:])
    buildfacts.use(opts.build)
    import scenarios

    out_dir = opts.out_dir
    os.makedirs(out_dir, exist_ok=True)
    # Seeds of an older table or scenario list would mean something else now.
    for old in os.listdir(out_dir):
        if re.fullmatch(r"[0-9a-f]{40}", old):
            os.remove(os.path.join(out_dir, old))
    table = setting_table()
    seeds = {seed_of(s, table) for s in scenarios.SCENARIOS if "native" in s.tiers}
    for seed in sorted(seeds):
        name = hashlib.sha1(seed).hexdigest()
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(seed)
    print(f"{len(seeds)} seeds in {out_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
