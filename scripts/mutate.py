#!/usr/bin/env python3
"""How many small, realistic faults do the tests catch? Plants each mutant
of scripts/mutants.py, one at a time, in a scratch copy of the tree, and
runs the tests that should see it.

    python3 scripts/mutate.py                      every mutant
    python3 scripts/mutate.py --sample 8 --seed 3  eight drawn at random
    python3 scripts/mutate.py --only M-ID [...]    the named ones
    python3 scripts/mutate.py --list               the table, nothing run

For each mutant and each host it runs on (natively for the simulated
machine's files and posix.cpp, under Wine for win32.cpp, both for
quillmar.cpp): rebuild the build of that host, run the mutant's quick
selection, and only when the mutant survives it the whole tier. A mutant
is killed when a test fails or hangs past its limit. Equivalent mutants
(no observable behaviour changes, with the reason in the table) are not
run. Exits 0 only when every non-equivalent mutant that ran was killed; the
last line gives the figures.

Nothing in the working tree is touched: the scratch copy lives under
--work (default: a new directory in /tmp), with its own builds and Wine
prefix, and is removed afterwards unless --keep.

No mutation tool for C++ is packaged for Debian, so the project keeps this
small one: each mutant is an exact text replacement, written by hand.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
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
    # killed, survived, equivalent, blind (Wine cannot show it), broken
    # (does not build)
    verdict: str
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

    def run(self, args, limit=None, cwd=None, env=None, tail=3000) -> tuple[int, str]:
        """Runs a command with its output to the log; (status, the last tail
        characters of its output, all of it when tail is None). Status None
        when it ran past its limit."""
        started = time.monotonic()
        merged = dict(os.environ, **(env or {}))
        try:
            proc = subprocess.run(args, cwd=cwd or self.src, env=merged, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=limit)
            status, out = proc.returncode, proc.stdout
        except subprocess.TimeoutExpired as e:
            status, out = None, e.stdout or b""
        text = out.decode("utf-8", "replace")
        self.log.write(f"$ {' '.join(map(str, args))}  ({time.monotonic() - started:.0f} s, "
                       f"status {status})\n{text}\n")
        self.log.flush()
        return status, text if tail is None else text[-tail:]

    def stop_strays(self) -> None:
        """Kills what an interrupted run left of Wine in this scratch copy's
        prefixes: a manager left running there fails the next Wine tier,
        which would count as a kill that no mutant made."""
        ours = f"WINEPREFIX={self.work}/".encode()
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and any(
                        v.startswith(ours) for v in (entry / "environ").read_bytes().split(b"\0")):
                    os.kill(int(entry.name), signal.SIGKILL)
            except OSError:
                continue

    def prepare(self, hosts: set[str]) -> None:
        self.stop_strays()
        files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                               cwd=ROOT, check=True, stdout=subprocess.PIPE).stdout.split(b"\0")
        for name in filter(None, files):
            path = ROOT / name.decode()
            if path.is_file():
                # A file that differs is written anew, so that its time is
                # newer than a build of the mutant a killed run left in it.
                target = self.src / name.decode()
                if not target.is_file() or target.read_bytes() != path.read_bytes():
                    target.parent.mkdir(parents=True, exist_ok=True)
                    shutil.copyfile(path, target)
                    shutil.copymode(path, target)
        configure = [["cmake", "--preset", "native", "-B", str(self.native)]]
        if "wine" in hosts:
            configure.insert(0, ["cmake", "--preset", "windows", "-B", str(self.windows)])
            configure[1].append(f"-DQUILLMAR_WINDOWS_BUILD_DIR={self.windows}")
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
                kind, *words = what
                if kind == "scenarios":
                    found = any(words[1] in s.name and host in s.tiers
                                and not (s.slow and "--quick" in words) for s in self.scenarios())
                else:
                    _, out = self.run(["ctest", "--test-dir", str(self.native), "-N", *words])
                    found = "Total Tests: 0" not in out
                if not found:
                    empty.append(f"{mutant.id} ({host}): {' '.join(what)}")
        return empty

    def scenarios(self) -> list:
        """The scenario table, its texts holding the native build's figures."""
        sys.path.insert(0, str(self.src / "SERVICES/tests/scenarios"))
        import buildfacts
        buildfacts.use(str(self.native))
        import scenarios
        return scenarios.SCENARIOS

    def build(self, host: str) -> bool:
        # Under Wine the Windows build runs the program; the native build
        # runs the tier itself (ctest, the scenario runner).
        dirs = [self.windows, self.native] if host == "wine" else [self.native]
        return all(self.run(["cmake", "--build", str(d), "-j2"])[0] == 0 for d in dirs)

    def plant(self, mutant: Mutant) -> None:
        path = self.src / mutant.file
        text = self.pristine.setdefault(mutant.file, path.read_text(encoding="utf-8"))
        if text.count(mutant.old) != 1:
            raise SystemExit(f"mutate: {mutant.id}: its text occurs {text.count(mutant.old)} times "
                             f"in {mutant.file}, not once; the table is out of date")
        path.write_text(text.replace(mutant.old, mutant.new), encoding="utf-8")

    def restore(self, mutant: Mutant) -> None:
        (self.src / mutant.file).write_text(self.pristine[mutant.file], encoding="utf-8")

    def selection(self, host: str, what: tuple[str, ...]) -> list[str]:
        """The command of one selection: ("scenarios", ARGS...) runs the
        scenarios of the host's tier, ("ctest", ARGS...) ctest in the
        native build (which runs the Wine tier too, with -L wine)."""
        kind, *words = what
        if kind == "scenarios" and host == "native":
            # -k SUBSTRING [--quick]: pytest's node ids of those scenarios
            # (a test id is the name, escaped as pytest escapes it).
            test = "SERVICES/tests/scenarios/test_scenarios.py::test_scenario"
            ids = [f"{test}[{s.name.encode('unicode_escape').decode('ascii')}]"
                   for s in self.scenarios()
                   if words[1] in s.name and not (s.slow and "--quick" in words)]
            return ["pytest-3", "-q", "-p", "no:cacheprovider", f"--build={self.native}",
                    f"--work={self.work / 'cases-native'}", *ids]
        if kind == "scenarios":
            return [sys.executable, str(self.src / "SERVICES/tests/scenarios/backend_wine.py"),
                    "--build", str(self.windows), "--work", str(self.work / "cases-wine"), *words]
        if kind == "ctest":
            return ["ctest", "--test-dir", str(self.native), "--output-on-failure", "-j2", *words]
        raise SystemExit(f"mutate: unknown selection {what!r}")


# The whole tier of a host, when the quick selection let a mutant through.
FULL = {
    "native": [("ctest", "-LE", "wine")],
    "wine": [("ctest", "-L", "wine")],
}


def try_mutant(scratch: Scratch, mutant: Mutant, host: str) -> Outcome:
    started = time.monotonic()
    scratch.log.write(f"\n==== {mutant.id} on {host}\n")
    scratch.plant(mutant)
    try:
        if not scratch.build(host):
            return Outcome(mutant, host, "broken", seconds=time.monotonic() - started)
        for selections, limit in ((mutant.quick.get(host, []), QUICK_LIMIT),
                                  (FULL[host], FULL_LIMIT)):
            failed = []
            for what in selections:
                status, _ = scratch.run(scratch.selection(host, what), limit=limit)
                if status != 0:
                    failed.append(" ".join(what) + (" (hung)" if status is None else ""))
            if failed:
                return Outcome(mutant, host, "killed", failed, time.monotonic() - started)
        return Outcome(mutant, host, "survived", seconds=time.monotonic() - started)
    finally:
        scratch.restore(mutant)


def report(outcomes: list[Outcome]) -> int:
    print()
    print(f"{'mutant':<14} {'host':<7} {'verdict':<10} by")
    for o in outcomes:
        reason = {"equivalent": o.mutant.equivalent, "blind": o.mutant.wine_blind}.get(
            o.verdict, ", ".join(o.by))
        print(f"{o.mutant.id:<14} {o.host:<7} {o.verdict:<10} {reason}")
    print()
    rows: dict[tuple[str, str], list[int]] = {}
    for o in outcomes:
        if o.verdict in ("equivalent", "blind"):
            continue
        cell = rows.setdefault((o.mutant.file, o.host), [0, 0])
        cell[1] += 1
        cell[0] += o.verdict == "killed"
    for (file, host), (killed, total) in sorted(rows.items()):
        print(f"  {file:<48} {host:<7} {killed:>3} / {total:<3} killed")
    by_host = {}
    for (file, host), (killed, total) in rows.items():
        k, t = by_host.get(host, (0, 0))
        by_host[host] = (k + killed, t + total)
    broken = [o for o in outcomes if o.verdict == "broken"]
    survived = [o for o in outcomes if o.verdict == "survived"]
    equivalent = sum(o.verdict == "equivalent" for o in outcomes)
    blind = sum(o.verdict == "blind" for o in outcomes)
    for o in broken:
        print(f"  {o.mutant.id}: does not build on {o.host}; mend the table")
    figures = "; ".join(f"{host} {k}/{t} killed ({100 * k / t:.0f}%)"
                        for host, (k, t) in sorted(by_host.items()) if t)
    print(f"mutate: {figures or 'nothing ran'}; {len(survived)} survived, {equivalent} equivalent, "
          f"{blind} unseen under Wine, {len(broken)} broken")
    return 0 if not survived and not broken else 1


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=int, help="run this many mutants drawn at random")
    parser.add_argument("--seed", type=int, default=0, help="the draw's seed (with --sample)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run these mutants")
    parser.add_argument("--host", choices=("native", "wine"), help="run on this host only")
    parser.add_argument("--list", action="store_true", help="print the table and stop")
    parser.add_argument("--work", help="where the scratch copy goes (default: a new /tmp dir)")
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

    work = Path(opts.work or tempfile.mkdtemp(prefix="quillmar-mutate-"))
    work.mkdir(parents=True, exist_ok=True)
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
        # The scratch builds are left as the tree is, not as the last mutant.
        for h in needed:
            scratch.build(h)
    print(f"mutate: {time.monotonic() - started:.0f} s in all")
    failed = any(o.verdict in ("survived", "broken") for o in outcomes)
    if failed or opts.keep:
        print(f"mutate: scratch copy kept in {work}, its log in {log_path}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return report(outcomes)


if __name__ == "__main__":
    sys.exit(main())
