"""Sudden death: runs killed with SIGKILL while they write, the store's
killed-writer cases (QUILLMAR_SEED=N repeats a run). Each request is a fixed
sequence of calls, each replacing one file atomically, so a killed run must
leave its service in one of the states that sequence passes through. Files
under temporary names may be left; they are counted, not read. After the
kills a whole install must still succeed.
"""

from __future__ import annotations

import collections
import ctypes
import os
import random
import select
import signal
import struct
import subprocess
import time
from dataclasses import replace

import pytest

import backend_native
import storecheck
from model import Console

ABSENT = storecheck.Seen()


# How many kills, and the sizes (characters) an install's last value is drawn from.
KILLS = [
    pytest.param(150, (100_000,), id="values of 100 KB"),  # an argument may hold 128 KiB
    pytest.param(15, tuple(range(0, 5000, 100)), id="values of up to 4,900 characters"),
]


def observe(machine: str, row) -> storecheck.Seen:
    """The row's service, read strictly from the store."""
    keys = storecheck.read_registry(machine, allow_temp=True)
    seen = storecheck.seen(keys, storecheck.read_states(machine), row)
    base = f"{storecheck.SERVICES_KEY}\\{row.name.lower()}"
    below = [k for k in keys if k.startswith(base)]
    if not seen.exists and below:
        raise storecheck.StoreError(f"{row.name}: keys without the service: {below}")
    return seen


def settled(before) -> list:
    """A marked, stopped service goes as soon as a run touches it."""
    return [before, ABSENT] if before.marked and not before.running else [before]


def install_states(before, row, values: tuple[str, ...]):
    """An install over a service: old ImagePath and values, the new
    ImagePath, the Parameters key, then each new value in turn."""
    if before.marked:
        return settled(before) + install_states(ABSENT, row, values)[1:]
    cur = replace(before, exists=True, image=storecheck.image_path(values[0], row.exe),
                  values=before.values or (None,) * len(values))
    seq = [before, cur]
    if not cur.parms:
        cur = replace(cur, parms=True)
        seq.append(cur)
    return seq + [replace(cur, values=values[:i + 1] + cur.values[i + 1:]) for i in range(len(values))]


def remove_states(before):
    """Stopped, then marked by DeleteService, then let go by the close; a run
    killed before that leaves the mark for the next run that touches it."""
    if not before.exists or before.marked:
        return settled(before)
    stopped = replace(before, running=False)
    return [before, stopped, replace(stopped, marked=True), ABSENT]


def control_states(before, running: bool):
    """A start's (running) or a stop's."""
    if not before.exists or before.marked:
        return settled(before)
    return [before, replace(before, running=running)]


# The inotify events of a file changing: written, moved in, created, removed.
IN_CHANGES = 0x2 | 0x80 | 0x100 | 0x200


def watch(dirs: list[str]) -> int:
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0:
        raise OSError(ctypes.get_errno(), "inotify_init1")
    for d in dirs:
        if libc.inotify_add_watch(fd, os.fsencode(d), IN_CHANGES) < 0:
            raise OSError(ctypes.get_errno(), f"inotify_add_watch {d}")
    return fd


def wait_events(fd: int, count: int, timeout: float) -> int:
    """How many of `count` events came before the timeout (0: what is there)."""
    seen = 0
    end = time.monotonic() + timeout
    while seen < count:
        if not select.select([fd], [], [], max(end - time.monotonic(), 0))[0]:
            break
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            continue
        pos = 0
        while pos < len(data):
            _, _, _, length = struct.unpack_from("iIII", data, pos)
            pos += 16 + length
            seen += 1
    return seen


@pytest.mark.parametrize("kills, sizes", KILLS)
def test_crash(kills: int, sizes: tuple[int, ...], seed: int, rows, case: backend_native.Case) -> None:
    rng = random.Random(seed)
    services = [row for row in rows.values() if row.exe]
    console_code = next(code for code, row in rows.items() if not row.exe)
    ini = "".join("key%06d=%s\n" % (i, "v" * 40) for i in range(25_000))  # about 1.2 MB
    case.setup(Console(hvcons_ini=ini, tool_status=None))
    console = os.path.join(case.dir, "console")
    env = dict(os.environ, QUILLMAR_MACHINE=case.machine)
    watched = [os.path.join(case.machine, "registry/services"), os.path.join(case.machine, "scm"), console]
    for d in watched[:2]:
        os.makedirs(d)
    events = watch(watched)
    kept = f"seed {seed}, machine kept in {case.root}"
    landed: collections.Counter = collections.Counter()
    centre: dict[str, float] = {}
    whole: dict[str, float] = {}
    deadline = time.monotonic() + 240
    for k in range(kills):
        assert time.monotonic() < deadline, f"only {k} of {kills} kills in 240 s ({kept})"
        row = rng.choice(services)
        op = rng.choice(["i", "i", "i", "i", "rm", "b", "e", "merge"])
        before = observe(case.machine, row)
        if op == "i":
            directory = f"C:\\Orv\\gen{k:04d}"
            values = (directory, directory + "\\" + "p" * rng.choice(sizes))
            args, states = ["-i", row.code, *values], install_states(before, row, values)
        elif op == "merge":
            for n in os.listdir(console):
                if n != "hvcons.ini":
                    os.remove(os.path.join(console, n))
            args, states = ["-i", console_code, console], [before]
        else:
            args = [f"-{op}", row.code]
            states = remove_states(before) if op == "rm" else control_states(before, op == "b")
        states = list(dict.fromkeys(states))  # a step that changes nothing is no step
        kind_of_run = args[0] + (" " + args[1] if op == "merge" else "")
        if kind_of_run not in centre:
            t0 = time.monotonic()
            # The first of each kind runs whole: it times that kind's kills.
            case.run(args)
            whole[kind_of_run] = max(time.monotonic() - t0, 0.001)
            centre[kind_of_run] = whole[kind_of_run] * 0.7
            delay = None
        else:
            # Mostly near a delay that moves towards the writes (later after a
            # kill before any, earlier after one after all); sometimes anywhere.
            if rng.random() < 0.25:
                delay = rng.uniform(0, centre[kind_of_run] * 1.5)
            else:
                delay = centre[kind_of_run] * rng.uniform(0.8, 1.2)
            on_write = rng.random() < 0.5
            wait_events(events, 1 << 30, 0)  # what came before this run
            proc = subprocess.Popen([case.backend.program] + args, cwd=case.dir, env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            if on_write:
                # Right at the n-th file change: inside a write or just after one.
                nth = rng.randint(1, 6)
                delay = f"file change {wait_events(events, nth, whole[kind_of_run] * 3)} of {nth}"
            else:
                time.sleep(delay)
            proc.send_signal(signal.SIGKILL)
            proc.wait()
        what = f"kill {k} (quillmar {' '.join(a[:40] for a in args)}, after {delay}; {kept})"
        try:
            after = observe(case.machine, row)
        except storecheck.StoreError as e:
            pytest.fail(f"{what}: {e}")
        assert after in states, f"{what}: state {str(after)[:300]} is none the request passes through"
        step = states.index(after)
        if delay is not None and len(states) > 1:
            if step == 0:
                centre[kind_of_run] = min(centre[kind_of_run] * 1.1, whole[kind_of_run] * 2)
            elif step == len(states) - 1:
                centre[kind_of_run] *= 0.9
        landed[f"{kind_of_run}: step {step} of {len(states) - 1}"] += 1
        backup = os.path.join(console, "hvcons.old")
        if op == "merge" and os.path.exists(backup):
            with open(backup, "rb") as f:
                assert f.read() == ini.encode(), f"{what}: hvcons.old is not a whole copy of hvcons.ini"
            landed["merge: backup whole"] += 1
    print(f"{kills} kills, {len(storecheck.temp_files(case.root))} files left under temporary names:",
          dict(sorted(landed.items())))
    # Still a working machine, stale temporary files and all: a whole install.
    row = services[0]
    values = ("C:\\Orv\\final", "C:\\Orv\\final\\x.pfa")
    want = install_states(observe(case.machine, row), row, values)[-1]
    out, err, status = case.run(["-i", row.code, *values])
    assert status == 0, f"install after the kills: {status}, {err!r} ({kept})"
    assert observe(case.machine, row) == want, f"install after the kills ({kept})"
    case.cleanup()
