#!/usr/bin/env python3
"""Hostile input at the process boundary, one table of cases.

    python3 hostile.py --build DIR [--work DIR] [-k SUBSTRING] [--keep]

Arguments of 300, 4,096 and 100,000 characters in every position (service
code, option, directory, file name, port, the console directory), empty
strings, non-ASCII and invalid UTF-8 bytes, control characters, embedded
quotes, '..' paths, a planted symbolic link, an hvcons.ini that is no
plain file of ours (another user's set-user-ID file, which needs root to
give away and is skipped otherwise; a FIFO; a device), and output to a
pipe whose reader has gone. Each case runs the native
program on a fresh simulated machine (the scenario tier's backend) and
checks standard output, standard error and the exit status byte for byte,
then the machine: what a success stored, byte for byte, or, for a refusal,
that nothing at all changed (every file of the machine and of the working
directory as it was). A single argument over 128 KiB cannot pass exec on
Linux; hostile_tests (GoogleTest) takes 1,000,000 characters in-process.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import pwd
import sys
import tempfile
from typing import Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))
sys.path.insert(0, os.path.join(HERE, "..", "stress"))

import backend_native  # noqa: E402
import buildfacts  # noqa: E402
import run_scenarios  # noqa: E402
import storecheck  # noqa: E402

# The scenarios' texts hold the build's poll count.
buildfacts.use_command_line(sys.argv[1:])
from model import Console, RegValue, Scenario, Service, ServiceConfig, ServiceState, ToolRuns  # noqa: E402
from scenarios import (  # noqa: E402
    ELOG_NAME, ELOG_PARMS, ELOG_TITLE, FLM_NAME, FLM_PARMS, FLM_TITLE, INI, INSTALLED,
    FINISHED, USAGE, err, inst_to_check, quiet, request,
)

SIZES = (300, 4096, 100_000)


@dataclasses.dataclass
class Hostile:
    scenario: Scenario
    unchanged: bool = False  # a refusal: machine and working directory exactly as before
    prepare: Optional[Callable[[object], None]] = None  # extra set-up on the case
    closed: bool = False  # output to a pipe whose reader has gone (backend_native run)
    modes: Optional[dict[str, int]] = None  # permission bits of files below {dir} afterwards
    as_root: bool = False  # prepare gives a file to nobody: skipped where not root


CASES: list[Hostile] = []


def case(name, args, unchanged=False, prepare=None, closed=False, modes=None, as_root=False,
         **kw) -> None:
    CASES.append(Hostile(Scenario(name, args, tiers=("native",), **kw), unchanged, prepare, closed,
                         modes, as_root))


def installed_elog(directory: str, pfa: str, image: Optional[str] = None) -> dict:
    return dict(stdout=INSTALLED, checks=[
        ServiceConfig(ELOG_NAME, path=image or directory + "\\iorvelsr.exe", display=ELOG_TITLE),
        RegValue(ELOG_PARMS, "AppDirectory", directory),
        RegValue(ELOG_PARMS, "PFAFilename", pfa),
    ])


def installed_flm(directory: str, port: str) -> dict:
    return dict(stdout=INSTALLED, checks=[
        ServiceConfig(FLM_NAME, path=directory + "\\worvserv.exe", display=FLM_TITLE),
        RegValue(FLM_PARMS, "AppDirectory", directory),
        RegValue(FLM_PARMS, "AppPortNumber", port),
    ])


def merged(sub: str) -> dict:
    return dict(setup=[Console(sub=sub)],
                checks=[ToolRuns(sub, 1), backend_file(sub, "hvcons.old", INI)])


def backend_file(sub: str, name: str, content):
    from model import FileContent
    return FileContent(f"{sub}/{name}", content)


# ---- every position, three lengths ----------------------------------------------
# An unknown service code ends the dispatch before any request counted, so
# the usage text follows its report.

for n in SIZES:
    code = "x" * n
    for op, extra in (("-b", []), ("-e", []), ("-rm", []), ("-i", ["C:\\Orv", "C:\\Orv\\x.pfa"])):
        case(f"service code of {n} characters after {op}", [op, code] + extra,
             stdout=USAGE, stderr=quiet(50003), exit=50003, unchanged=True)
    case(f"display mode names the long service code's failure ({n})", ["-d", "-b", code],
         stdout="START service\n" + "\tSearching for the service information ." + USAGE,
         stderr=err("searching for service", 50003), exit=50003, unchanged=True)
    case(f"option of {n} characters is no option", ["-" + "b" * n, "elog"],
         stdout=USAGE, stderr=quiet(87), exit=87, unchanged=True)
    # The executable path is refused from 260 UTF-16 units on, before any change.
    for row in ("elog", "flm"):
        case(f"{row} directory of {n} characters", ["-i", row, "C:\\" + "d" * (n - 3), "x"],
             stderr=quiet(87), exit=87, unchanged=True)
    case(f"pfa file name of {n} characters", ["-i", "elog", "C:\\Orv", "C:\\" + "f" * (n - 3)],
         **installed_elog("C:\\Orv", "C:\\" + "f" * (n - 3)))
    case(f"port of {n} characters", ["-i", "flm", "C:\\Orv", "9" * n],
         **installed_flm("C:\\Orv", "9" * n))
    # No such directory (a name over 255 bytes, or a path over 4,095).
    case(f"console directory of {n} characters that does not exist", ["-i", "hv", "c" * n],
         stderr=quiet(1), exit=1, unchanged=True)

case("display mode explains the refused long directory",
     ["-d", "-i", "elog", "C:\\" + "d" * 4093, "x"],
     stdout=request("INSTALL service") + inst_to_check(ELOG_TITLE) + FINISHED,
     stderr=err("forming the executable path", 87), exit=87, unchanged=True)

# A blank quotes the path, and the quotes do not count: the manager starts
# 259 units without them (MAX_PATH with its NUL), not 260.
SPACED = "C:\\Program Files\\" + "s" * (259 - 13 - 17)
case("a quoted executable path of 259 characters without its quotes fits",
     ["-i", "elog", SPACED, "x"], **installed_elog(SPACED, "x", image=f'"{SPACED}\\iorvelsr.exe"'))
case("a quoted executable path of 260 characters without its quotes is refused",
     ["-i", "elog", SPACED + "s", "x"], stderr=quiet(87), exit=87, unchanged=True)

# Long console directories that exist: about 300 characters of real
# directories, and about 4,000 through "/." steps (the host's limit is 4,095).
LONG_SUB = "/".join(["k" * 99] * 3)
case("console directory of about 300 characters", ["-i", "hv", "{dir}/" + LONG_SUB],
     **merged(LONG_SUB))
DOTS = "console" + "/." * ((4000 - len("console")) // 2)
case("console path of about 4,000 characters through /. steps", ["-i", "hv", DOTS], **merged("console"))
DOTS_OVER = "console" + "/." * ((4096 - len("console")) // 2 + 1)
case("console path over the host's 4,095 characters", ["-i", "hv", DOTS_OVER],
     setup=[Console()], stderr=quiet(1), exit=1, unchanged=True)

# ---- empty strings ----------------------------------------------------------------

# The Service Control Manager would resolve a relative directory against its
# own current directory: only an absolute one is installed.
case("empty directory is refused: no absolute path", ["-i", "elog", "", "x.pfa"],
     stderr=quiet(87), exit=87, unchanged=True)
case("empty pfa file name is stored empty", ["-i", "elog", "C:\\Orv", ""], **installed_elog("C:\\Orv", ""))
case("empty port is stored empty", ["-i", "flm", "C:\\Orv", ""], **installed_flm("C:\\Orv", ""))
case("empty console directory is refused at the backup", ["-i", "hv", ""],
     setup=[Console()], stderr=quiet(1), exit=1, unchanged=True)
case("empty console directory in display mode", ["-d", "-i", "hv", ""],
     stdout=request("INSTALL service") + "\tUpdate Halvorin\n\tBacking up Halvorin Service Manager INI file ."
     + FINISHED, stderr=err("coping hvcons.ini to hvcons.old ", 1), exit=1, unchanged=True)
case("empty service code", ["-b", ""], stdout=USAGE, stderr=quiet(50003), exit=50003, unchanged=True)
case("empty arguments only", ["", "", ""], stdout=USAGE, stderr=quiet(87), exit=87, unchanged=True)
case("a lone minus is no option", ["-", "elog"], stdout=USAGE, stderr=quiet(87), exit=87,
     unchanged=True)

# ---- bytes ------------------------------------------------------------------------

UTF8_DIR = "C:\\Ørv\\データ"
case("UTF-8 directory and file name are stored byte for byte", ["-i", "elog", UTF8_DIR, UTF8_DIR + "\\é.pfa"],
     **installed_elog(UTF8_DIR, UTF8_DIR + "\\é.pfa"))
BAD_UTF8 = "C:\\\udcff\udcfe\udc80x"  # the bytes FF FE 80, no valid UTF-8
case("bytes that are no UTF-8 are stored byte for byte", ["-i", "elog", BAD_UTF8, BAD_UTF8 + ".pfa"],
     **installed_elog(BAD_UTF8, BAD_UTF8 + ".pfa"))
CONTROL = "C:\\a\nb\rc\x01\x7f"
case("control characters are stored byte for byte", ["-i", "elog", "C:\\Orv", CONTROL],
     **installed_elog("C:\\Orv", CONTROL))
case("a newline in the directory is no blank: the path stays unquoted", ["-i", "flm", "C:\\a\nb", "80"],
     **installed_flm("C:\\a\nb", "80"))
case("a non-ASCII service code", ["-b", "élog"], stdout=USAGE, stderr=quiet(50003), exit=50003, unchanged=True)
case("service code of bytes that are no UTF-8", ["-e", "\udcff\udcfe"], stdout=USAGE, stderr=quiet(50003), exit=50003,
     unchanged=True)
case("UTF-8 console directory", ["-i", "hv", "{dir}/cønsole\udcff"], **merged("cønsole\udcff"))

# ---- quotes -----------------------------------------------------------------------

# Windows names no directory with a quote, and inside the quotes that a blank
# asks for one would end them early and pass the rest to the service as
# arguments: such a directory is refused before anything changes.
case("a quote in the directory is refused", ["-i", "elog", 'C:\\Orv"x', "x.pfa"],
     stderr=quiet(87), exit=87, unchanged=True)
QUOTED = 'C:\\Program Files\\" -evil "'
case("a quote and a blank in the directory are refused", ["-i", "elog", QUOTED, "x.pfa"],
     stderr=quiet(87), exit=87, unchanged=True)
case("a quote in the directory is explained in display mode", ["-d", "-i", "flm", 'C:\\a"b', "80"],
     stdout=request("INSTALL service") + inst_to_check(FLM_TITLE) + FINISHED,
     stderr=err("forming the executable path", 87), exit=87, unchanged=True)
case("quotes in the file name and the port", ["-i", "flm", "C:\\Orv", '"80" \\"'],
     **installed_flm("C:\\Orv", '"80" \\"'))
case("a quote in the console directory", ["-i", "hv", '{dir}/con"sole'], **merged('con"sole'))

# ---- '..' paths --------------------------------------------------------------------

case("a relative '..' directory is refused", ["-i", "elog", "..\\..\\Windows", "..\\x.pfa"],
     stderr=quiet(87), exit=87, unchanged=True)
case("'..' inside an absolute directory is registered as typed",
     ["-i", "elog", "C:\\Orv\\..\\Windows", "..\\x.pfa"],
     **installed_elog("C:\\Orv\\..\\Windows", "..\\x.pfa"))
case("console directory through '..'", ["-i", "hv", "console/../console"], **merged("console"))
case("console directory '..' without a console", ["-i", "hv", ".."],
     setup=[Console()], stderr=quiet(1), exit=1, unchanged=True)
case("console directory '../..' without a console", ["-i", "hv", "../../../../../../.."],
     stderr=quiet(1), exit=1, unchanged=True)


# ---- planted links -----------------------------------------------------------------

def plant_link_backup(c) -> None:
    """hvcons.old is a link to a file outside: the backup must not write through it."""
    target = os.path.join(c.root, "outside.txt")
    with open(target, "w") as f:
        f.write("not yours\n")
    os.symlink(target, os.path.join(c.dir, "console", "hvcons.old"))


def plant_dangling_backup(c) -> None:
    os.symlink(os.path.join(c.root, "nowhere", "x"), os.path.join(c.dir, "console", "hvcons.old"))


case("a linked hvcons.old is taken as the backup and nothing is written through it",
     ["-i", "hv", "console"], setup=[Console()], prepare=plant_link_backup, checks=[ToolRuns("console", 1)])
# A backup is a regular file: a dangling link is none, so nothing is merged,
# and nothing is written through it.
case("a dangling hvcons.old link is no backup and is not followed",
     ["-i", "hv", "console"], setup=[Console()], prepare=plant_dangling_backup,
     stderr=quiet(1), exit=1, unchanged=True, checks=[ToolRuns("console", 0)])


# ---- hvcons.ini that is no plain file of ours --------------------------------------

def ini_replaced(how):
    def prepare(c) -> None:
        path = os.path.join(c.dir, "console", "hvcons.ini")
        os.remove(path)
        how(path)
    return prepare


def ini_given_to_nobody(c) -> None:
    """Another user's hvcons.ini with the set-user-ID bit, as a service account's file may be."""
    path = os.path.join(c.dir, "console", "hvcons.ini")
    user = pwd.getpwnam("nobody")
    os.chown(path, user.pw_uid, user.pw_gid)
    os.chmod(path, 0o4755)


# The backup is ours: its permission bits come along, the set-user-ID bit not.
case("another user's set-user-ID hvcons.ini is backed up without the bit", ["-i", "hv", "console"],
     prepare=ini_given_to_nobody, as_root=True, modes={"console/hvcons.old": 0o755},
     **merged("console"))
# Only a regular file is backed up; a FIFO must not hold the run up.
case("a FIFO as hvcons.ini is no file to back up", ["-i", "hv", "console"], setup=[Console()],
     prepare=ini_replaced(os.mkfifo), stderr=quiet(1), exit=1, unchanged=True,
     checks=[ToolRuns("console", 0)])
case("a device as hvcons.ini is no file to back up", ["-i", "hv", "console"], setup=[Console()],
     prepare=ini_replaced(lambda path: os.symlink("/dev/null", path)), stderr=quiet(1), exit=1,
     unchanged=True, checks=[ToolRuns("console", 0)])
# The index is only a shortcut: one that is no file is rebuilt, not waited on.
case("a FIFO as the machine's index of services is rebuilt", ["-e", "elog"],
     setup=[Service(ELOG_NAME, running=True)],
     prepare=lambda c: os.mkfifo(os.path.join(c.machine, "scm", "display-names.index")),
     checks=[ServiceState(ELOG_NAME, "stopped")])


# ---- a reader that goes away -------------------------------------------------------
# A write to the closed pipe fails, as on Windows, and every request runs
# to its end: the status is the requests'.

case("standard output closed: an installation still writes its parameters",
     ["-d", "-i", "elog", "C:\\Orv", "C:\\Orv\\x.pfa"], closed=True,
     **dict(installed_elog("C:\\Orv", "C:\\Orv\\x.pfa"), stdout=""))
case("standard output closed: the second start still runs", ["-d", "-b", "elog", "-b", "flm"],
     closed=True, setup=[Service(ELOG_NAME), Service(FLM_NAME, exe="worvserv.exe")],
     checks=[ServiceState(ELOG_NAME, "running"), ServiceState(FLM_NAME, "running")])
case("standard error closed: the merge tool's words are dropped and the merge ends",
     ["-i", "hv", "console"], closed=True, stdin="merging 1 of 2\nmerging 2 of 2\n",
     setup=[Console(echo=True)], checks=[ToolRuns("console", 1)])


# ---- the runner ----------------------------------------------------------------------

def snapshot(c) -> dict:
    snap = storecheck.snapshot(c.root)
    # The machine makes its lock file on first use; it holds nothing.
    snap.pop(os.path.join("machine", "lock"), None)
    return snap


def describe_changes(before: dict, after: dict) -> list[str]:
    out = []
    for path in sorted(set(before) | set(after)):
        if before.get(path) != after.get(path):
            how = "added" if path not in before else "removed" if path not in after else "changed"
            out.append(f"{how}: {path[:200]}")
    return out


def run_case(backend, h: Hostile) -> list[str]:
    s = h.scenario
    c = backend.new_case(s)
    failures: list[str] = []
    try:
        for step in s.setup:
            c.setup(step)
        if h.prepare:
            h.prepare(c)
        outside = os.path.join(c.root, "outside.txt")
        outside_before = open(outside, "rb").read() if os.path.exists(outside) else None
        before = snapshot(c)
        args = [c.expand(a) for a in s.args]
        out, errb, status = c.run(args, stdin=s.stdin.encode(), closed=h.closed)
        exp_out = c.expand(s.stdout).encode("utf-8", "surrogateescape")
        exp_err = c.expand(s.stderr).encode("utf-8", "surrogateescape")
        if out != exp_out:
            failures.append("standard output differs:\n" + run_scenarios.stream_diff("stdout", exp_out, out)[:3000])
        if errb != exp_err:
            failures.append("standard error differs:\n" + run_scenarios.stream_diff("stderr", exp_err, errb)[:3000])
        if status != run_scenarios.posix_status(s.exit):
            failures.append(f"exit status {status}, expected {run_scenarios.posix_status(s.exit)}")
        if h.unchanged:
            changes = describe_changes(before, snapshot(c))
            if changes:
                failures.append("a refusal changed files:\n  " + "\n  ".join(changes[:20]))
        for chk in s.checks:
            failures.extend(c.check(run_scenarios.expand_check(c, chk)))
        # Whatever happened, the store still reads and holds no temporary files.
        try:
            storecheck.read_registry(c.machine)
            storecheck.read_states(c.machine)
        except storecheck.StoreError as e:
            failures.append(f"store: {e}")
        failures += [f"left under a temporary name: {p}" for p in storecheck.temp_files(c.root)]
        if outside_before is not None and open(outside, "rb").read() != outside_before:
            failures.append("the file behind the planted link was written")
        for rel, mode in (h.modes or {}).items():
            got = os.stat(os.path.join(c.dir, rel)).st_mode & 0o7777
            if got != mode:
                failures.append(f"{rel}: mode {got:04o}, expected {mode:04o}")
    except Exception as e:  # a broken case is a failure, not a crash of the table
        import traceback
        failures.append("exception: " + "".join(traceback.format_exception(e)))
    finally:
        if not failures:
            c.cleanup()
        else:
            failures.append(f"case kept in {c.root}")
    return failures


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--work")
    parser.add_argument("-k", dest="substring")
    opts = parser.parse_args(argv)
    names = [h.scenario.name for h in CASES]
    if len(set(names)) != len(names):
        print("duplicate case names")
        return 2
    work = opts.work or tempfile.mkdtemp(prefix="hostile-")
    backend = backend_native.Backend(os.path.abspath(opts.build), os.path.abspath(work))
    backend.prepare()
    failed = skipped = 0
    chosen = [h for h in CASES if not opts.substring or opts.substring in h.scenario.name]
    for h in chosen:
        if h.as_root and os.geteuid() != 0:
            print(f"SKIP {h.scenario.name}: needs root to give a file to another user")
            skipped += 1
            continue
        failures = run_case(backend, h)
        label = h.scenario.name
        if failures:
            failed += 1
            print(f"FAIL {label}")
            for text in failures:
                for line in text.rstrip("\n").split("\n"):
                    print("     " + line)
        else:
            print(f"ok   {label}")
    print(f"{len(chosen) - failed - skipped} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
