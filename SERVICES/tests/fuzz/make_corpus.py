#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_dispatch from the scenarios' command lines.

Each seed is an input as fuzz_dispatch.cpp's header describes it; {dir} is
the harness's working directory ("."), whose console/ holds a console. Files
are named by the SHA-1 of their content, as libFuzzer names its own.
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


def setting_table() -> list[str]:
    with open(os.path.join(HERE, "fuzz_dispatch.cpp"), encoding="utf-8") as f:
        source = f.read()
    body = re.search(r"kSettingLines\[\] = \{(.*?)\};", source, re.S)
    if not body:
        raise SystemExit("kSettingLines not found in fuzz_dispatch.cpp")
    return re.findall(r'"((?:[^"\\]|\\.)*)"', body.group(1))


def setting_of(line: str, table: list[str], services: list[str]):
    """The table's index (1-based) and the service of a settings line, or None."""
    for number, entry in enumerate(table, 1):
        for k, name in enumerate(services):
            if entry.replace("*", name) == line:
                return number, k
    return None


def seed_of(scenario: model.Scenario, table: list[str], services: list[str]) -> bytes:
    folded = [name.lower() for name in services]
    flags = [0] * len(services)
    setting = None
    for step in scenario.setup:
        candidates = []
        if isinstance(step, model.Service):
            if step.name.lower() in folded:
                flags[folded.index(step.name.lower())] |= 3 if step.running else 1
            # The table's line for the behaviour: with the scenario's exit
            # code when the table has one, else the plain behaviour.
            for code in (f" {step.exit_code}" if step.exit_code is not None else "", ""):
                candidates += [line.format(name=step.name, code=code)
                               for line in model.BEHAVIOURS[step.behaviour].sim]
        elif isinstance(step, model.Fault):
            candidates = [step.line]
        for line in candidates:
            setting = setting or setting_of(line, table, services)
    args = [a.replace("{dir}", ".").replace("{sep}", "/") for a in scenario.args]
    body = b"\0".join(a.encode("utf-8", "surrogateescape") for a in args)
    return bytes(setting or (0, 0)) + bytes(flags) + body


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "..", "build", "native"),
                        help="a native build (default: build/native of this clone): its catalogue, and the "
                             "poll count the scenarios hold")
    parser.add_argument("out_dir", nargs="?", default=os.path.join(HERE, "corpus"),
                        help="default: corpus/ beside this file")
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
    services = buildfacts.service_names(opts.build)
    seeds = {seed_of(s, table, services) for s in scenarios.SCENARIOS if "native" in s.tiers}
    for seed in sorted(seeds):
        name = hashlib.sha1(seed).hexdigest()
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(seed)
    print(f"{len(seeds)} seeds in {out_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
