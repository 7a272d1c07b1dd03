#!/usr/bin/env python3
"""Sudden death: runs killed with SIGKILL at random instants while they write.

    python3 crash.py --build DIR [--work DIR] [--kills 150] [--seed N]
                     [--time-limit SECONDS] [--keep]

One simulated machine; each round starts one quillmar run (an install of
elog or flm with values of about 100 KB, a removal, a start, a stop, or the
console merge's backup of a hvcons.ini of a megabyte), kills it after a random
delay drawn from that request's measured duration, and reads the store.

Each request is a fixed sequence of machine calls, and each call replaces
the one file that holds the service atomically. So after any kill a
service must be in one of the states its sequence passes through, from the
state before the run (nothing done) to the state after it (all done):
e.g. for an install over an existing service, old ImagePath and values ->
new ImagePath -> new AppDirectory -> new last value. Anything else (a file
that does not parse, a value from nowhere, a half-written backup) is a
failure. Files under temporary names may be left by a killed writer; they
are counted, not read. A removal passes through "marked for deletion"
(DeleteService marks, the close lets it go); a run killed there leaves the
mark, and the next run that touches the service finishes the removal.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import storecheck  # noqa: E402
from storecheck import StoreError  # noqa: E402

ROWS = {
    "elog": ("OrvEvtLogger", "iorvelsr.exe", ("AppDirectory", "PFAFilename")),
    "flm": ("OrvFLM", "worvserv.exe", ("AppDirectory", "AppPortNumber")),
}
BIG = 100_000  # characters of the install's last value (an argument may hold 128 KiB)
ABSENT = ("absent",)


def observe(machine: str, row: str):
    """The row's service as a comparable tuple, read strictly from the store."""
    name, _, parms = ROWS[row]
    keys = storecheck.read_registry(machine, allow_temp=True)
    states = storecheck.read_states(machine)
    key = storecheck.service_key(keys, name)
    base = f"{storecheck.SERVICES_KEY}\\{name.lower()}"
    if key is None or "type" not in key:
        below = [k for k in keys if k.startswith(base)]
        if below:
            raise StoreError(f"{name}: keys without the service: {below}")
        return ABSENT
    image = storecheck.string_value(key, "ImagePath")
    p = keys.get(base + "\\parameters")
    values = tuple(None if p is None else storecheck.string_value(p, v) for v in parms)
    values = tuple(None if v is None else v[0] for v in values)
    state = states.get(name.lower(), {})
    running = state.get("state", "STOPPED") == "RUNNING"
    if state.get("deleted") == "1":
        # Marked by DeleteService: gone once stopped and no longer open,
        # at the latest when the next run opens or creates it.
        return ("marked", running)
    return ("present", image[0] if image else None, p is not None, values, running)


def image_path(directory: str, exe: str) -> str:
    path = directory + "\\" + exe
    return f'"{path}"' if (" " in path or "\t" in path) else path


def settled(before) -> list:
    """A marked, stopped service goes as soon as a run touches it."""
    return [before, ABSENT] if before == ("marked", False) else [before]


def install_states(before, row: str, directory: str, last: str):
    """The states an install passes through, nothing done first."""
    _, exe, _ = ROWS[row]
    image = image_path(directory, exe)
    if before[0] == "marked":
        return settled(before) + install_states(ABSENT, row, directory, last)[1:]
    if before == ABSENT:
        seq = [before, ("present", image, False, (None, None), False)]
    else:
        seq = [before, ("present", image, before[2], before[3], before[4])]
    cur = seq[-1]
    if not cur[2]:
        cur = ("present", image, True, cur[3], cur[4])
        seq.append(cur)
    cur = ("present", image, True, (directory, cur[3][1]), cur[4])
    seq.append(cur)
    seq.append(("present", image, True, (directory, last), cur[4]))
    return seq


def remove_states(before):
    if before == ABSENT or before[0] == "marked":
        return settled(before)
    seq = [before]
    if before[4]:
        seq.append(before[:4] + (False,))
    # DeleteService may only mark it; the close lets it go.
    seq += [("marked", False), ABSENT]
    return seq


def start_states(before):
    if before == ABSENT or before[0] == "marked":
        return settled(before)
    return [before, before[:4] + (True,)]


def stop_states(before):
    if before == ABSENT or before[0] == "marked":
        return settled(before)
    return [before, before[:4] + (False,)]


class Watch:
    """inotify on the directories a run writes in, to kill it right at its
    n-th change of a file there (creating, writing, renaming or removing)."""

    IN_MODIFY, IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x2, 0x80, 0x100, 0x200

    def __init__(self, dirs: list[str]):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        mask = self.IN_MODIFY | self.IN_MOVED_TO | self.IN_CREATE | self.IN_DELETE
        for d in dirs:
            if self.libc.inotify_add_watch(self.fd, os.fsencode(d), mask) < 0:
                raise OSError(ctypes.get_errno(), f"inotify_add_watch {d}")

    def drain(self) -> None:
        while select.select([self.fd], [], [], 0)[0]:
            try:
                os.read(self.fd, 65536)
            except BlockingIOError:
                return

    def wait_events(self, count: int, timeout: float) -> int:
        """Waits for `count` events or the timeout; returns how many came."""
        seen = 0
        end = time.monotonic() + timeout
        while seen < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            pos = 0
            while pos < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, pos)
                pos += 16 + length
                seen += 1
        return seen


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--work")
    parser.add_argument("--kills", type=int, default=150)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--time-limit", type=float, default=240.0)
    parser.add_argument("--keep", action="store_true")
    opts = parser.parse_args(argv)

    program = os.path.join(os.path.abspath(opts.build), "quillmar")
    if not os.access(program, os.X_OK):
        print(f"no program at {program}")
        return 2
    seed = opts.seed if opts.seed is not None else int(time.time() * 1000) % 1_000_000
    rng = random.Random(seed)
    if opts.work:
        os.makedirs(opts.work, exist_ok=True)
    root = tempfile.mkdtemp(prefix="crash-", dir=opts.work)
    machine = os.path.join(root, "machine")
    console = os.path.join(root, "console")
    os.makedirs(machine)
    os.makedirs(console)
    with open(os.path.join(machine, "settings"), "w") as f:
        f.write("clock skip\n")
    ini = b"".join(b"key%06d=%s\n" % (i, b"v" * 40) for i in range(25_000))  # about 1.2 MB
    with open(os.path.join(console, "hvcons.ini"), "wb") as f:
        f.write(ini)
    env = dict(os.environ, QUILLMAR_MACHINE=machine)
    for sub in ("registry/services", "scm"):
        os.makedirs(os.path.join(machine, sub))
    watch = Watch([os.path.join(machine, "registry/services"), os.path.join(machine, "scm"), console])

    def run(args):
        return subprocess.run([program] + args, cwd=root, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)

    problems: list[str] = []
    landed: dict[str, int] = {}
    centre: dict[str, float] = {}
    whole: dict[str, float] = {}
    deadline = time.monotonic() + opts.time_limit
    began = time.monotonic()
    kills = 0
    try:
        for k in range(opts.kills):
            if time.monotonic() > deadline:
                problems.append(f"only {k} of {opts.kills} kills in {opts.time_limit:.0f} s")
                break
            row = rng.choice(["elog", "flm"])
            op = rng.choice(["i", "i", "i", "i", "rm", "b", "e", "hv"])
            before = observe(machine, row)
            if op == "i":
                directory = f"C:\\Orv\\gen{k:04d}"
                last = (f"C:\\Orv\\gen{k:04d}\\" + "p" * BIG) if row == "elog" else str(k) * (BIG // len(str(k)))
                args = ["-i", row, directory, last]
                states = install_states(before, row, directory, last)
            elif op == "rm":
                args, states = ["-rm", row], remove_states(before)
            elif op == "b":
                args, states = ["-b", row], start_states(before)
            elif op == "e":
                args, states = ["-e", row], stop_states(before)
            else:
                for n in os.listdir(console):
                    if n != "hvcons.ini":
                        os.remove(os.path.join(console, n))
                args, states = ["-i", "hv", console], [before]
            states = list(dict.fromkeys(states))  # a step that changes nothing is no step
            kind = args[0] + (" " + args[1] if op == "hv" else "")
            if kind not in centre:
                t0 = time.monotonic()
                # The first of each kind runs to its end: it tells how long
                # the kills of that kind have to land in.
                run(args)
                whole[kind] = max(time.monotonic() - t0, 0.001)
                centre[kind] = whole[kind] * 0.7
                delay = None
            else:
                # Mostly near a delay that moves towards where the writes
                # are: later after a kill that came before any, earlier
                # after one that came after all; sometimes anywhere.
                if rng.random() < 0.25:
                    delay = rng.uniform(0, centre[kind] * 1.5)
                else:
                    delay = centre[kind] * rng.uniform(0.8, 1.2)
                on_write = rng.random() < 0.5
                watch.drain()
                proc = subprocess.Popen([program] + args, cwd=root, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                if on_write:
                    # Right at the n-th file change: inside a write, or just
                    # after one, rather than wherever the clock says.
                    nth = rng.randint(1, 6)
                    seen = watch.wait_events(nth, whole[kind] * 3)
                    delay = f"file change {seen} of {nth}"
                else:
                    time.sleep(delay)
                proc.send_signal(signal.SIGKILL)
                proc.wait()
                kills += 1
            try:
                after = observe(machine, row)
            except StoreError as e:
                problems.append(f"kill {k} (quillmar {' '.join(a[:40] for a in args)}, after {delay}): {e}")
                break
            if after not in states:
                problems.append(f"kill {k} (quillmar {args[0]} {row}, after {delay}): state {str(after)[:300]} "
                                f"is none of the {len(states)} the request passes through")
                break
            step = states.index(after)
            if delay is not None and len(states) > 1:
                if step == 0:
                    centre[kind] = min(centre[kind] * 1.1, whole[kind] * 2)
                elif step == len(states) - 1:
                    centre[kind] *= 0.9
            label = f"{kind}: step {step} of {len(states) - 1}"
            landed[label] = landed.get(label, 0) + 1
            if op == "hv":
                old = os.path.join(console, "hvcons.old")
                if os.path.exists(old):
                    with open(old, "rb") as f:
                        if f.read() != ini:
                            problems.append(f"kill {k}: hvcons.old is not a whole copy of hvcons.ini")
                            break
                    landed["-i hv: backup whole"] = landed.get("-i hv: backup whole", 0) + 1
        if not problems:
            # Still a working machine: a full install after all the kills.
            done = run(["-i", "elog", "C:\\Orv\\final", "C:\\Orv\\final\\x.pfa"])
            want = install_states(observe(machine, "elog"), "elog", "C:\\Orv\\final", "C:\\Orv\\final\\x.pfa")[-1]
            if done.returncode != 0 or observe(machine, "elog") != want:
                problems.append(f"install after the kills: exit {done.returncode}, {done.stderr!r}")
        leftovers = storecheck.temp_files(root)
        took = time.monotonic() - began
        print(f"seed {seed}: {kills} kills in {took:.1f} s; {len(leftovers)} files left under temporary names")
        for label in sorted(landed):
            print(f"  {landed[label]:4d}  {label}")
        if problems:
            print(f"FAILED (rerun with --seed {seed}):")
            for p in problems:
                print("  " + p)
            if opts.keep:
                print(f"machine kept in {root}")
            return 1
        print("ok: after every kill the store parsed and each service was in a state its request passes through")
        return 0
    finally:
        if not (problems and opts.keep):
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
