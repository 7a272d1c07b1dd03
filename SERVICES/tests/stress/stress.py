#!/usr/bin/env python3
"""Overlapping runs: many quillmar processes at once on one simulated machine.

    python3 stress.py --build DIR [--work DIR] [--workers 8] [--runs 400]
                      [--seed N] [--time-limit SECONDS] [--keep]

Each run is one request of one row (install, start, stop or remove of elog
and flm; console merge, start and stop of hv), drawn at random from the
seed; the workers start them as fast as they finish, so the interleavings
are whatever the host makes of them. Afterwards:

- every run's output is well formed and its error number is one that the
  overlap can explain (anything else, e.g. a damaged store, is a failure);
- the store parses strictly and nothing is left under a temporary name;
- the final state is one that some serial order of the runs gives.

The last point, exactly: a run's effects happen somewhere inside the
interval [start, end] the harness measured around its process. A run is
"overtaken" when another successful run of the same row that can change the
same thing started after it ended. In every serial order consistent with
the intervals, the last writer of a value is a successful run that no such
run overtook (a failed run's writes are always undone by a later delete:
it can only have failed because the service vanished under it). So:
  * the service exists iff some successful install or removal that was not
    overtaken is an install (only installs: exists; only removals: absent);
  * ImagePath and each parameter value equal what one of the installs not
    overtaken wrote (two such installs overlap in time, so their values may
    mix), and a service that exists has all of its parameters;
  * RUNNING needs a successful start not overtaken by a stop or removal;
    STOPPED is wrong when a successful start began after every stop,
    removal and install had ended;
  * nothing of a removed service is left (no Parameters key, no state file),
    unless DeleteService only marked it because it runs: a start came
    between a removal's stop and its delete, so that removal overlaps a
    successful start; a marked service that stopped must be gone;
  * each successful console merge ran the merge tool once, and the first
    backup of hvcons.ini is the one that stays.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import storecheck  # noqa: E402
from storecheck import StoreError  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))
import backend_native  # noqa: E402
import regtext  # noqa: E402

RUN_TIMEOUT = 60


@dataclasses.dataclass(frozen=True)
class Row:
    code: str
    name: str
    title: str
    exe: str | None
    parms: tuple[str, ...]


ROWS = {
    "elog": Row("elog", "OrvEvtLogger", "PC's Orv Event Logger", "iorvelsr.exe",
                ("AppDirectory", "PFAFilename")),
    "flm": Row("flm", "OrvFLM", "Orv Field Link Manager", "worvserv.exe",
               ("AppDirectory", "AppPortNumber")),
    "hv": Row("hv", "HalvBase", "Halvorin service", None, ()),
}

# Error numbers that overlapping runs explain, by request. Anything else is
# a fault.
#   1056 StartServiceA: started meanwhile      1060 no such service (yet, or any more)
#   1062 ControlService: stopped meanwhile     1072 deleted while in use
#   1073 CreateServiceA: created meanwhile     2    service key gone before the parameters
#   1018 parameters key deleted meanwhile      50001/50002 already running/stopped
#   1067 a start whose wait finds the service stopped: only with a stop or
#        removal of that service overlapping it (check_outputs)
#   1053 a stop whose wait finds the service running: only with a start of
#        that service overlapping it (check_outputs)
EXPLAINED = {
    "b": {1056, 1060, 1067, 1072, 50001},
    "e": {1053, 1060, 1062, 1072, 50002},
    "rm": {1053, 1060, 1062, 1072, 50002},
    "i": {2, 1018, 1072, 1073},
    "i-hv": set(),
}


@dataclasses.dataclass
class Run:
    number: int
    op: str  # b, e, i, rm
    row: str
    args: list[str]
    values: dict[str, str] = dataclasses.field(default_factory=dict)  # what an install writes
    image: str = ""
    start: float = 0.0
    end: float = 0.0
    status: int | None = None
    out: bytes = b""
    err: bytes = b""
    errors: list[int] = dataclasses.field(default_factory=list)

    @property
    def ok(self) -> bool:
        if self.status is None:
            return False
        # A removal deletes a service that was already stopped and still
        # reports that it was (50002).
        if self.op == "rm":
            return self.status == 0 or (bool(self.errors) and self.errors[-1] == 50002)
        return self.status == 0

    def describe(self) -> str:
        return (f"run {self.number} [{self.start:.4f}, {self.end:.4f}] quillmar "
                f"{' '.join(self.args)} -> {self.status} {self.errors}")


def image_path(directory: str, exe: str) -> str:
    path = directory + "\\" + exe
    return f'"{path}"' if (" " in path or "\t" in path) else path


def plan(rng: random.Random, count: int, console: str) -> list[Run]:
    runs = []
    for n in range(count):
        row = rng.choice(["elog", "flm", "elog", "flm", "hv"])
        if row == "hv":
            op = rng.choice(["i", "b", "e", "i"])
        else:
            op = rng.choice(["i", "i", "b", "e", "rm"])
        if op == "i" and row == "hv":
            runs.append(Run(n, "i", row, ["-i", "hv", console]))
            continue
        if op != "i":
            runs.append(Run(n, op, row, [f"-{op}", row]))
            continue
        base = rng.choice(["C:\\Orv", "C:\\Program Files\\Orv", "D:\\apps"])
        directory = f"{base}\\run{n:04d}"
        last = f"{directory}\\events.pfa" if row == "elog" else str(5000 + n)
        r = Run(n, "i", row, ["-i", row, directory, last])
        r.values = dict(zip(ROWS[row].parms, [directory, last]))
        r.image = image_path(directory, ROWS[row].exe)
        runs.append(r)
    return runs


def execute(runs: list[Run], program: str, machine: str, cwd: str, workers: int,
            time_limit: float) -> float:
    env = dict(os.environ, QUILLMAR_MACHINE=machine)
    lock = threading.Lock()
    pending = list(reversed(runs))
    deadline = time.monotonic() + time_limit

    def worker() -> None:
        while True:
            with lock:
                if not pending or time.monotonic() > deadline:
                    return
                run = pending.pop()
            run.start = time.monotonic()
            try:
                proc = subprocess.run([program] + run.args, cwd=cwd, env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
                run.status, run.out, run.err = proc.returncode, proc.stdout, proc.stderr
            except subprocess.TimeoutExpired as e:
                run.status = None
                run.out, run.err = e.stdout or b"", (e.stderr or b"") + b"\n(timed out)"
            run.end = time.monotonic()

    began = time.monotonic()
    threads = [threading.Thread(target=worker) for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.monotonic() - began


def posix_status(num: int) -> int:
    return 0 if num == 0 else ((num & 0xFF) or 255)


def check_outputs(runs: list[Run]) -> list[str]:
    problems = []
    for r in runs:
        if r.status is None:
            problems.append(f"{r.describe()}: did not finish in {RUN_TIMEOUT} s")
            continue
        if r.status < 0:
            problems.append(f"{r.describe()}: killed by signal {-r.status}")
            continue
        err = r.err.decode("utf-8", "backslashreplace")
        if not re.fullmatch(r"(\nERROR \d+)*", err):
            problems.append(f"{r.describe()}: standard error {err!r}")
            continue
        r.errors = [int(n) for n in re.findall(r"ERROR (\d+)", err)]
        # A failed status query before the control is reported and the
        # request sent all the same, so a start or stop may still succeed.
        want = {posix_status(r.errors[-1]) if r.errors else 0}
        if r.op in ("b", "e", "rm"):
            want.add(0)
        if r.status not in want:
            problems.append(f"{r.describe()}: exit status does not match the error reported")
        kind = "i-hv" if (r.op == "i" and r.row == "hv") else r.op
        unexplained = [n for n in r.errors if n not in EXPLAINED[kind]]
        if 1067 in r.errors and not any(o.op in ("e", "rm") and o.row == r.row
                                        and o.start < r.end and r.start < o.end for o in runs):
            unexplained.append(1067)
        # Likewise a stop whose wait ends with the service running again: an
        # overlapping start brought it back.
        if 1053 in r.errors and not (r.op in ("e", "rm") and any(
                o.op == "b" and o.row == r.row and o.start < r.end and r.start < o.end
                for o in runs)):
            unexplained.append(1053)
        # A stop inside a removal may report 50002 and go on to delete.
        if unexplained:
            problems.append(f"{r.describe()}: error {unexplained} that no overlap explains")
        expect_out = b">>>> Service installed <<<<\n" if (r.op == "i" and r.row != "hv" and r.ok) else b""
        if r.out != expect_out:
            problems.append(f"{r.describe()}: standard output {r.out!r}")
    return problems


def overtaken(run: Run, others: list[Run]) -> bool:
    return any(o is not run and o.start > run.end for o in others)


@dataclasses.dataclass(frozen=True)
class Seen:
    """A row's service as a checkpoint found it."""

    exists: bool = False
    image: str | None = None
    values: tuple = ()
    running: bool = False
    marked: bool = False  # deleted, still running: goes once stopped


def check_row(row: Row, runs: list[Run], keys, states, before: Seen) -> tuple[list[str], Seen]:
    """Checks the row against the runs of one batch, which all began after
    `before` was seen; returns the problems and what is seen now."""
    mine = [r for r in runs if r.row == row.code and r.status is not None]
    installs = [r for r in mine if r.op == "i" and r.ok]
    removes = [r for r in mine if r.op == "rm" and r.ok]
    starts = [r for r in mine if r.op == "b" and r.ok]
    stops = [r for r in mine if r.op == "e" and r.ok]
    problems = []
    base = f"{storecheck.SERVICES_KEY}\\{row.name.lower()}"
    key = keys.get(base)
    exists = key is not None and "type" in key
    state = states.get(row.name.lower())
    now = (state or {}).get("state", "STOPPED")
    parms = keys.get(base + "\\parameters")
    image = storecheck.string_value(key, "ImagePath") if exists else None
    values = tuple(storecheck.string_value(parms, p) if parms is not None else None for p in row.parms)
    marked = exists and (state or {}).get("deleted") == "1"
    seen = Seen(exists, image[0] if image else None, tuple(v[0] if v else None for v in values),
                exists and now == "RUNNING", marked)

    existence = installs + removes
    last = [r for r in existence if not overtaken(r, existence)]
    if marked:
        # DeleteService only marks a running service; it goes when stopped.
        # Running and marked: a start came between a removal's stop and
        # its delete, so that removal could be last and that start began
        # before it ended.
        if now != "RUNNING":
            problems.append(f"{row.name}: marked for deletion and {now}, yet still there after every run")
        explained = any(r.op == "rm" and any(s.start < r.end and not overtaken(s, stops) for s in starts)
                        for r in last)
        # Or it was so already, and nothing stopped, removed or made it since.
        explained = explained or (before.marked and not existence and not stops)
        if not explained:
            problems.append(f"{row.name}: marked for deletion while running, which no removal overlapping "
                            f"a start explains")
        return problems, seen
    if not existence:
        if before.marked:
            if exists:
                problems.append(f"{row.name}: a service marked for deletion came back without an install")
        elif exists != before.exists:
            problems.append(f"{row.name}: {'appeared' if exists else 'vanished'} without a successful install or removal")
    else:
        if exists and not any(r.op == "i" for r in last):
            problems.append(f"{row.name}: exists, but a removal overtook every successful install")
        if not exists and not any(r.op == "rm" for r in last):
            problems.append(f"{row.name}: absent, but an install overtook every successful removal")

    leftovers = [k for k in keys if k == base or k.startswith(base + "\\")]
    if not exists:
        if leftovers:
            problems.append(f"{row.name}: absent, but its keys are left: {leftovers}")
        if state is not None:
            problems.append(f"{row.name}: absent, but its state file is left: {state}")
        return problems, seen

    if row.exe is not None:
        writers = [r for r in installs if not overtaken(r, existence)]
        # Without a successful install in the batch, nothing may have
        # changed what was there.
        images = {r.image for r in writers} if writers else {before.image}
        if seen.image not in images:
            problems.append(f"{row.name}: ImagePath {seen.image!r} is no last install's "
                            f"(candidates: {sorted(images, key=str)[:4]})")
        if parms is None:
            problems.append(f"{row.name}: exists without its Parameters key")
        else:
            extra = set(parms) - {p.lower() for p in row.parms}
            if extra:
                problems.append(f"{row.name}: unexpected parameters {sorted(extra)}")
            for i, p in enumerate(row.parms):
                allowed = {r.values[p] for r in writers} if writers else {before.values[i]}
                got = values[i]
                if got is None or got[1] != "REG_SZ" or got[0] not in allowed:
                    problems.append(f"{row.name}: {p} {got!r} is no last install's")
        extra_keys = set(leftovers) - {base, base + "\\parameters"}
        if extra_keys:
            problems.append(f"{row.name}: unexpected keys {sorted(extra_keys)}")
        display = storecheck.string_value(key, "DisplayName")
        if display is None or display[0] != row.title:
            problems.append(f"{row.name}: DisplayName {display!r}")
        for vname, want in (("Type", 0x110), ("Start", 2), ("ErrorControl", 1)):
            if storecheck.dword_value(key, vname) != want:
                problems.append(f"{row.name}: {vname} {key.get(vname.lower())!r}, expected {want:#x}")

    # A start makes it run, a stop, removal or a creating install stops it.
    stoppers = stops + removes + installs
    if now == "RUNNING":
        if not any(not overtaken(s, stops + removes) for s in starts) and not (
                before.running and not stops and not removes):
            problems.append(f"{row.name}: RUNNING, but no successful start could have been the last word")
    elif now == "STOPPED":
        if any(all(x.end < s.start for x in stoppers) for s in starts):
            problems.append(f"{row.name}: STOPPED, but a successful start began after every stop had ended")
        if before.running and not stoppers and not starts:
            problems.append(f"{row.name}: STOPPED, though it ran and nothing stopped it")
    else:
        problems.append(f"{row.name}: left in state {now}")
    return problems, seen


def check_console(runs: list[Run], console: str, ini: bytes) -> list[str]:
    problems = []
    merges = [r for r in runs if r.row == "hv" and r.op == "i"]
    done = [r for r in merges if r.ok]
    if len(done) != len(merges):
        problems.append(f"{len(merges) - len(done)} console merges failed")

    def read(name):
        path = os.path.join(console, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    if read("hvcons.ini") != ini:
        problems.append("hvcons.ini changed")
    backup = read("hvcons.old")
    if done and backup != ini:
        problems.append(f"hvcons.old is {backup!r}, expected the first hvcons.ini")
    if not merges and backup is not None:
        problems.append("hvcons.old made without a merge")
    log = (read("hvcfgmrg.log") or b"").decode("utf-8", "backslashreplace")
    lines = [ln for ln in log.split("\n") if ln]
    if len(lines) != len(done):
        problems.append(f"merge tool ran {len(lines)} times for {len(done)} successful merges")
    real = os.path.realpath(console)
    for ln in lines:
        cwd, *args = ln.split("\t")
        if os.path.realpath(cwd) != real or args != ["merge", "orv.ini"]:
            problems.append(f"merge tool log line {ln!r}")
    return problems


def set_up(root: str, merge_tool: str) -> tuple[str, str, str, bytes]:
    machine = os.path.join(root, "machine")
    work = os.path.join(root, "work")
    console = os.path.join(work, "console")
    os.makedirs(machine)
    os.makedirs(console)
    with open(os.path.join(machine, "settings"), "w") as f:
        f.write("clock skip\n")
    # HalvBase as the console's installation leaves it: stopped.
    key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\HalvBase"
    image = "C:\\Halvorin\\hvbase.exe\0"
    values = [
        ("Type", "dword:%08x" % 0x110), ("Start", "dword:%08x" % 2),
        ("ErrorControl", "dword:%08x" % 1),
        ("ImagePath", regtext.hex_data(2, image.encode("utf-16-le"))),
        ("DisplayName", regtext.quote("Halvorin service")), ("ObjectName", regtext.quote("LocalSystem")),
    ]
    reg = os.path.join(machine, backend_native.service_reg_file("HalvBase"))
    os.makedirs(os.path.dirname(reg))
    with open(reg, "w", newline="\n") as f:
        f.write(regtext.format_keys([(key, values)]))
    ini = b"[services]\nbase=1\n"
    with open(os.path.join(console, "hvcons.ini"), "wb") as f:
        f.write(ini)
    tool = os.path.join(console, "hvcfgmrg.exe")
    shutil.copyfile(merge_tool, tool)
    os.chmod(tool, 0o755)
    return machine, work, console, ini


def find_merge_tool(build: str, root: str) -> str:
    for base, dirs, files in os.walk(build):
        dirs[:] = [d for d in dirs if not d.startswith(".") and d != "CMakeFiles"]
        if "fakemerge" in files:
            return os.path.join(base, "fakemerge")
    path = os.path.join(root, "hvcfgmrg-standin.sh")
    with open(path, "w") as f:
        f.write(backend_native.STANDIN_TOOL)
    os.chmod(path, 0o755)
    return path


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="native build directory (holds quillmar)")
    parser.add_argument("--work", help="where the machine lives (default: a temp dir)")
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--runs", type=int, default=400)
    parser.add_argument("--batch", type=int, default=40,
                        help="runs between two checks of the store (default 40)")
    parser.add_argument("--seed", type=int, default=None, help="default: from the clock, printed")
    parser.add_argument("--time-limit", type=float, default=240.0,
                        help="seconds for all runs; running out is a failure")
    parser.add_argument("--keep", action="store_true", help="keep the machine when a check fails")
    opts = parser.parse_args(argv)

    program = os.path.join(os.path.abspath(opts.build), "quillmar")
    if not os.access(program, os.X_OK):
        print(f"no program at {program}")
        return 2
    seed = opts.seed if opts.seed is not None else int(time.time() * 1000) % 1_000_000
    if opts.work:
        os.makedirs(opts.work, exist_ok=True)
    root = tempfile.mkdtemp(prefix="stress-", dir=opts.work)
    problems: list[str] = []
    try:
        merge_tool = find_merge_tool(os.path.abspath(opts.build), root)
        machine, work, console, ini = set_up(root, merge_tool)
        hv_reg = os.path.join(machine, backend_native.service_reg_file("HalvBase"))
        with open(hv_reg, "rb") as f:
            hv_before = f.read()
        runs = plan(random.Random(seed), opts.runs, console)
        seen = {code: Seen(exists=(code == "hv")) for code in ROWS}
        took = 0.0
        checkpoints = 0
        marked_seen = 0
        # Batches end in a quiet moment where the store is checked against
        # the batch's runs: many more final states to check than one.
        for first in range(0, len(runs), opts.batch):
            batch = runs[first:first + opts.batch]
            took += execute(batch, program, machine, work, opts.workers, opts.time_limit - took)
            finished = [r for r in batch if r.end]
            if len(finished) < len(batch):
                problems.append(f"runs left undone after the {opts.time_limit:.0f} s allowed")
                break
            checkpoints += 1
            found = check_outputs(finished)
            try:
                keys = storecheck.read_registry(machine)
                states = storecheck.read_states(machine)
            except StoreError as e:
                problems.append(f"store after run {batch[-1].number}: {e}")
                break
            for k in keys:
                if not any(k == f"{storecheck.SERVICES_KEY}\\{row.name.lower()}" or
                           k.startswith(f"{storecheck.SERVICES_KEY}\\{row.name.lower()}\\")
                           for row in ROWS.values()):
                    found.append(f"unexpected key {k}")
            for code, row in ROWS.items():
                row_problems, seen[code] = check_row(row, finished, keys, states, seen[code])
                found += row_problems
                marked_seen += seen[code].marked
            unknown = set(states) - {row.name.lower() for row in ROWS.values()}
            if unknown:
                found.append(f"state files of unknown services: {sorted(unknown)}")
            if found:
                problems += [f"runs {batch[0].number}-{batch[-1].number}: {p}" for p in found]
                break
        finished = [r for r in runs if r.end]
        for path in storecheck.temp_files(root):
            problems.append(f"left under a temporary name: {os.path.relpath(path, root)}")
        with open(hv_reg, "rb") as f:
            if f.read() != hv_before:
                problems.append("HalvBase's registry file changed")
        problems += check_console(finished, console, ini)

        tally: dict[str, int] = {}
        for r in finished:
            label = f"{r.args[0]} {r.row}: " + ("ok" if r.ok else "/".join(map(str, r.errors)) or str(r.status))
            tally[label] = tally.get(label, 0) + 1
        print(f"seed {seed}: {len(finished)} runs by {opts.workers} workers in {took:.1f} s "
              f"({len(finished) / max(took, 0.001):.0f} runs/s), store checked {checkpoints} times"
              f" ({marked_seen} times with a running service marked for deletion)")
        for label in sorted(tally):
            print(f"  {tally[label]:4d}  {label}")
        if problems:
            print(f"FAILED ({len(problems)} problems; rerun with --seed {seed}):")
            for p in problems[:60]:
                print("  " + p)
            # The runs around the failure, in start order, to reason about it.
            if opts.keep:
                print(f"machine kept in {root}")
                with open(os.path.join(root, "runs.txt"), "w") as f:
                    for r in sorted(finished, key=lambda r: r.start):
                        f.write(r.describe() + "\n")
            return 1
        print("ok: store parses, each checked state matches a serial order of the runs")
        return 0
    finally:
        if not (problems and opts.keep):
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
