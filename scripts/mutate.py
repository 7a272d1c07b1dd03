#!/usr/bin/env python3
"""How many small, realistic faults do the tests catch? Plants each mutant
of scripts/mutants.py, one at a time, in a scratch copy of the tree, and
runs the tests that should see it.

    python3 scripts/mutate.py                      every mutant
    python3 scripts/mutate.py --sample 8 --seed 3  eight drawn at random
    python3 scripts/mutate.py --only M-ID [...]    the named ones
    python3 scripts/mutate.py --list               the table, nothing run

For each mutant and host (natively for the simulated machine and posix.cpp,
under Wine for win32.cpp, both for quillmar.cpp): rebuild, run the mutant's
quick selection and, only when the mutant survives it, the whole tier. A
mutant is killed when a test fails or hangs past its limit; equivalent ones
are not run. Exits 0 only when every mutant that ran was killed. The scratch
copy (a new /tmp directory, its own builds and Wine prefixes) is removed
afterwards unless a mutant survived or --keep.
"""

from __future__ import annotations

import argparse
import random
import shutil
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

from mutants import MUTANTS, Mutant, hosts_of  # noqa: E402

# A selection that runs longer than this has hung: the mutant is killed.
QUICK_LIMIT = 600
FULL_LIMIT = 2400


@dataclass
class Outcome:
    mutant: Mutant
    host: str
    verdict: str  # killed, survived, equivalent, blind (unseen under Wine), broken (no build)
    by: list[str] = field(default_factory=list)  # the selections that failed
    seconds: float = 0.0


class Scratch:
    """A copy of the tree with a native and a Windows build of its own."""

    def __init__(self, work: Path, log):
        self.work = work
        self.src = work / "src"
        self.native = work / "build-native"
        self.windows = work / "build-windows"
        self.log = log
        self.pristine: dict[str, str] = {}

    def run(self, args, limit=None) -> tuple[int | None, str]:
        """Runs a command in the copy with its output to the log; (status,
        None when it ran past its limit, and the output's end)."""
        started = time.monotonic()
        try:
            proc = subprocess.run(args, cwd=self.src, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=limit)
            status, out = proc.returncode, proc.stdout
        except subprocess.TimeoutExpired as e:
            status, out = None, e.stdout or b""
        text = out.decode("utf-8", "replace")
        self.log.write(f"$ {' '.join(map(str, args))}  ({time.monotonic() - started:.0f} s, "
                       f"status {status})\n{text}\n")
        self.log.flush()
        return status, text[-3000:]

    def prepare(self, hosts: set[str]) -> None:
        self.src.mkdir()
        configure = [["bash", str(ROOT / "scripts/copy-tree.sh"), str(self.src)],
                     ["cmake", "--preset", "native", "-B", str(self.native)]]
        if "wine" in hosts:
            configure.insert(1, ["cmake", "--preset", "windows", "-B", str(self.windows)])
            configure[2].append(f"-DQUILLMAR_WINDOWS_BUILD_DIR={self.windows}")
        for args in configure:
            if self.run(args)[0] != 0:
                raise SystemExit(f"mutate: {' '.join(args)} failed; see the log")
        for host in sorted(hosts):
            if not self.build(host):
                raise SystemExit(f"mutate: the unmutated {host} build failed; see the log")

    def empty_selections(self, runs) -> list[str]:
        """The quick selections that name no test of their host: they would
        let every mutant through to the whole tier unseen."""
        empty = []
        for mutant, host in runs:
            for what in mutant.quick.get(host, []):
                if what[0] == "scenarios":
                    found = self.scenarios(host, what)
                else:
                    _, out = self.run(["ctest", "--test-dir", str(self.native), "-N", *what[1:]])
                    found = "Total Tests: 0" not in out
                if not found:
                    empty.append(f"{mutant.id} ({host}): {' '.join(what)}")
        return empty

    def scenarios(self, host: str, what: tuple[str, ...]) -> list[str]:
        """The names of the host's scenarios that ("scenarios", "-k",
        SUBSTRING[, "--quick"]) selects, their texts with the native
        build's figures."""
        sys.path.insert(0, str(self.src / "SERVICES/tests/scenarios"))
        import buildfacts
        buildfacts.use(str(self.native))
        import scenarios
        return [s.name for s in scenarios.SCENARIOS if what[2] in s.name and host in s.tiers
                and not (s.slow and "--quick" in what)]

    def build(self, host: str) -> bool:
        # The native build runs every tier, the Windows build's program too.
        dirs = [self.windows, self.native] if host == "wine" else [self.native]
        return all(self.run(["cmake", "--build", str(d), "-j2"])[0] == 0 for d in dirs)

    def plant(self, mutant: Mutant) -> None:
        path = self.src / mutant.file
        text = self.pristine.setdefault(mutant.file, path.read_text(encoding="utf-8"))
        path.write_text(text.replace(mutant.old, mutant.new), encoding="utf-8")

    def selection(self, host: str, what: tuple[str, ...]) -> list[str]:
        """The command of one selection: ("scenarios", ARGS...) runs the
        scenarios of the host's tier, ("ctest", ARGS...) ctest in the
        native build (which runs the Wine tier too, with -L wine)."""
        kind, *words = what
        if kind == "scenarios" and host == "native":
            # pytest's node ids of those scenarios, each name escaped as pytest does.
            test = "SERVICES/tests/scenarios/test_scenarios.py::test_scenario"
            ids = [f"{test}[{name.encode('unicode_escape').decode('ascii')}]"
                   for name in self.scenarios(host, what)]
            return ["pytest-3", "-q", "-p", "no:cacheprovider", f"--build={self.native}",
                    f"--work={self.work / 'cases-native'}", *ids]
        if kind == "scenarios":
            return [sys.executable, str(self.src / "SERVICES/tests/scenarios/backend_wine.py"),
                    "--build", str(self.windows), "--work", str(self.work / "cases-wine"), *words]
        return ["ctest", "--test-dir", str(self.native), "--output-on-failure", "-j2", *words]


def try_mutant(scratch: Scratch, mutant: Mutant, host: str) -> Outcome:
    started = time.monotonic()
    scratch.log.write(f"\n==== {mutant.id} on {host}\n")
    scratch.plant(mutant)
    try:
        if not scratch.build(host):
            return Outcome(mutant, host, "broken", seconds=time.monotonic() - started)
        # The whole tier only when the quick selection let the mutant through.
        whole = ("ctest", "-L" if host == "wine" else "-LE", "wine")
        for selections, limit in ((mutant.quick.get(host, []), QUICK_LIMIT), ([whole], FULL_LIMIT)):
            failed = []
            for what in selections:
                status, _ = scratch.run(scratch.selection(host, what), limit=limit)
                if status != 0:
                    failed.append(" ".join(what) + (" (hung)" if status is None else ""))
            if failed:
                return Outcome(mutant, host, "killed", failed, time.monotonic() - started)
        return Outcome(mutant, host, "survived", seconds=time.monotonic() - started)
    finally:
        (scratch.src / mutant.file).write_text(scratch.pristine[mutant.file], encoding="utf-8")


def report(outcomes: list[Outcome]) -> int:
    print()
    print(f"{'mutant':<14} {'host':<7} {'verdict':<10} by")
    for o in outcomes:
        reason = {"equivalent": o.mutant.equivalent, "blind": o.mutant.wine_blind}.get(
            o.verdict, ", ".join(o.by))
        print(f"{o.mutant.id:<14} {o.host:<7} {o.verdict:<10} {reason}")
    print()
    ran = [o for o in outcomes if o.verdict not in ("equivalent", "blind")]

    def killed(host, file=None):
        cell = [o.verdict == "killed" for o in ran if o.host == host and file in (None, o.mutant.file)]
        return sum(cell), len(cell)

    for file, host in sorted({(o.mutant.file, o.host) for o in ran}):
        k, t = killed(host, file)
        print(f"  {file:<48} {host:<7} {k:>3} / {t:<3} killed")
    count = Counter(o.verdict for o in outcomes)
    for o in outcomes:
        if o.verdict == "broken":
            print(f"  {o.mutant.id}: does not build on {o.host}; mend the table")
    figures = "; ".join(f"{host} {k}/{t} killed ({100 * k / t:.0f}%)"
                        for host in sorted({o.host for o in ran}) for k, t in [killed(host)])
    print(f"mutate: {figures or 'nothing ran'}; {count['survived']} survived, "
          f"{count['equivalent']} equivalent, {count['blind']} unseen under Wine, "
          f"{count['broken']} broken")
    return 1 if count["survived"] or count["broken"] else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=int, help="run this many mutants drawn at random")
    parser.add_argument("--seed", type=int, default=0, help="the draw's seed (with --sample)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run these mutants")
    parser.add_argument("--host", choices=("native", "wine"), help="run on this host only")
    parser.add_argument("--list", action="store_true", help="print the table and stop")
    parser.add_argument("--keep", action="store_true", help="keep the scratch copy")
    opts = parser.parse_args(argv)

    ids = [m.id for m in MUTANTS]
    if len(set(ids)) != len(ids):
        raise SystemExit("mutate: mutant ids must be unique")
    chosen = list(MUTANTS)
    if opts.only:
        unknown = set(opts.only) - set(ids)
        if unknown:
            raise SystemExit(f"mutate: no such mutant: {', '.join(sorted(unknown))}")
        chosen = [m for m in chosen if m.id in opts.only]
    if opts.sample is not None:
        # Equivalent mutants are not drawn: a sample is of what can be killed.
        pool = [m for m in chosen if not m.equivalent]
        chosen = random.Random(opts.seed).sample(pool, min(opts.sample, len(pool)))
    runs = [(m, h) for m in chosen for h in hosts_of(m) if not opts.host or h == opts.host]
    stale = [m.id for m in MUTANTS
             if (ROOT / m.file).read_text(encoding="utf-8").count(m.old) != 1]
    if stale:
        raise SystemExit(f"mutate: the text of {', '.join(stale)} does not occur exactly once in "
                         "its file: the table is out of date")
    if opts.list:
        for m, h in runs:
            print(f"{m.id:<14} {h:<7} {m.file}: {m.what}"
                  + (f"  [equivalent: {m.equivalent}]" if m.equivalent else ""))
        return 0

    work = Path(tempfile.mkdtemp(prefix="quillmar-mutate-"))
    log_path = work / "mutate.log"
    outcomes: list[Outcome] = []
    started = time.monotonic()
    with open(log_path, "w", encoding="utf-8") as log:
        scratch = Scratch(work, log)
        print(f"mutate: {len(runs)} runs of {len(chosen)} mutants; scratch copy and log in {work}")
        needed = {h for m, h in runs if not m.equivalent and not (h == "wine" and m.wine_blind)}
        if needed:
            scratch.prepare(needed)
            print(f"mutate: scratch builds ready after {time.monotonic() - started:.0f} s")
            empty = scratch.empty_selections([(m, h) for m, h in runs if h in needed])
            if empty:
                raise SystemExit("mutate: these selections name no test of their host; the "
                                 "table is out of date:\n  " + "\n  ".join(empty))
        for m, h in runs:
            if m.equivalent:
                outcomes.append(Outcome(m, h, "equivalent"))
                continue
            if h == "wine" and m.wine_blind:
                outcomes.append(Outcome(m, h, "blind"))
                continue
            o = try_mutant(scratch, m, h)
            outcomes.append(o)
            print(f"  {m.id:<14} {h:<7} {o.verdict:<9} {o.seconds:5.0f} s  {', '.join(o.by)}",
                  flush=True)
    print(f"mutate: {time.monotonic() - started:.0f} s in all")
    failed = any(o.verdict in ("survived", "broken") for o in outcomes)
    if failed or opts.keep:
        print(f"mutate: scratch copy kept in {work}, its log in {log_path}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return report(outcomes)


if __name__ == "__main__":
    sys.exit(main())
