"""A damaged or unreadable store at the process boundary, the store's
corruption cases: a machine set up by real runs is damaged one way, then one
request must report the path and what is wrong, once, fail with the error
number, and leave every file of the machine as it was. Cases that need
another user (nobody, through setpriv) or root are skipped, saying why,
where that is not possible.
"""

from __future__ import annotations

import dataclasses
import os
import pwd
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
from typing import Callable

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "stress"))

import backend_native  # noqa: E402
import storecheck  # noqa: E402
from backend_native import posix_status  # noqa: E402
from model import Scenario  # noqa: E402

ELOG_REG = "registry/services/orvevtlogger.reg"
ELOG_STATE = "scm/orvevtlogger.state"
FLM_REG = "registry/services/orvflm.reg"
INDEX = "scm/display-names.index"
HEADER = "Windows Registry Editor Version 5.00\n\n"
KEY = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvEvtLogger]\n"
NEW = ["-i", "elog", "C:\\New", "C:\\New\\x.pfa"]

ERROR_ACCESS_DENIED = 5
ERROR_BADDB = 1009
ERROR_CANTOPEN = 1011
ERROR_CANTREAD = 1012
ERROR_CANTWRITE = 1013
ERROR_REGISTRY_CORRUPT = 1015


@dataclasses.dataclass
class Damage:
    label: str
    damage: Callable[[str], None]  # gets the machine directory
    args: list[str]
    error: int
    path: str  # reported path, relative to the machine ("" for the machine itself)
    reason: str  # part of the report after the path
    as_nobody: bool = False
    also_under: str = ""  # reports of other paths below this one are expected too
    nobody_owns: str = ""  # a directory (relative; "." the machine) given to nobody: needs root
    machine: str = ""  # the run names this path below the machine as its machine instead
    max_file_size: int = -1  # the run may not make a file larger (the disk full), -1 no limit


def remove(*rels: str):
    def apply(machine: str) -> None:
        for rel in rels:
            os.remove(os.path.join(machine, rel))
    return apply


def both(*damages: Callable[[str], None]):
    def apply(machine: str) -> None:
        for damage in damages:
            damage(machine)
    return apply


def write(rel: str, content: bytes | str):
    def apply(machine: str) -> None:
        path = os.path.normpath(os.path.join(machine, rel))
        if os.path.isdir(path):
            shutil.rmtree(path)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
    return apply


def cut(rel: str, by: int):
    """The file cut `by` bytes short."""
    def apply(machine: str) -> None:
        path = os.path.join(machine, rel)
        os.truncate(path, os.path.getsize(path) - by)
    return apply


def replace(rel: str, by: str):
    """rel replaced by: "dir" (holding a directory), "empty dir", "fifo",
    "link" (to a name beside the machine) or "moved link" (to rel moved
    there: the same content, out of the machine's reach)."""
    def apply(machine: str) -> None:
        path = os.path.normpath(os.path.join(machine, rel))
        target = os.path.join(os.path.dirname(machine), "planted")
        if by == "moved link":
            os.rename(path, target)
        elif os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)
        if by.endswith("dir"):
            os.makedirs(os.path.join(path, "" if by == "empty dir" else "inside"))
        elif by == "fifo":
            os.mkfifo(path)
        else:
            os.symlink(target, path)
    return apply


def permissions(files: int, lock: int, special: dict[str, int] | None = None):
    """Modes for everything in the machine, its directories 0755 (it runs as nobody then)."""
    def apply(machine: str) -> None:
        for base, ds, fs in os.walk(machine):
            for d in ds:
                os.chmod(os.path.join(base, d), 0o755)
            for f in fs:
                os.chmod(os.path.join(base, f), files)
        os.chmod(machine, 0o755)
        os.chmod(os.path.join(machine, "lock"), lock)
        for rel, mode in (special or {}).items():
            os.chmod(os.path.join(machine, rel), mode)
    return apply


CASES = [
    Damage("garbage in a service's file", write(ELOG_REG, b"\x7fELF\x02\x01\x01\0garbage"),
           ["-b", "elog"], ERROR_REGISTRY_CORRUPT, ELOG_REG, "line 1: missing the header line"),
    Damage("a service's file cut inside a key line", write(ELOG_REG, HEADER + KEY[:30]),
           ["-e", "elog"], ERROR_REGISTRY_CORRUPT, ELOG_REG, "key line without its closing ']'"),
    Damage("a service's file cut inside a string", cut(ELOG_REG, 8),
           NEW, ERROR_REGISTRY_CORRUPT, ELOG_REG, "without its closing quote"),
    Damage("an empty service file", write(ELOG_REG, b""),
           ["-rm", "elog"], ERROR_REGISTRY_CORRUPT, ELOG_REG, "header"),
    Damage("a key in the wrong file", write(ELOG_REG, HEADER + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\n"),
           ["-b", "elog"], ERROR_REGISTRY_CORRUPT, ELOG_REG, "belongs in registry/software.reg"),
    Damage("a directory in place of a service's file", replace(ELOG_REG, "dir"),
           NEW, ERROR_CANTREAD, ELOG_REG, "is a directory, expected a file"),
    Damage("a short ELF header in a service's file", write(ELOG_REG, b"\x7fELF\x01\x01"),
           ["-b", "elog"], ERROR_REGISTRY_CORRUPT, ELOG_REG,
           "line 1: missing the header line \"Windows Registry Editor Version 5.00\""),
    Damage("a service's file cut in the next key line",
           write(ELOG_REG, HEADER + KEY + "\"Type\"=dword:10\n[HKEY_LOCAL_MA"),
           ["-b", "elog"], ERROR_REGISTRY_CORRUPT, ELOG_REG, "line 5: key line without its closing ']'"),
    Damage("a service's file cut in a string after a value",
           write(ELOG_REG, HEADER + KEY + "\"Type\"=dword:10\n\"X\"=\"ab"),
           ["-b", "elog"], ERROR_REGISTRY_CORRUPT, ELOG_REG, "line 5: string without its closing quote"),
    Damage("a key of another file at the end of a service's file",
           write(ELOG_REG, HEADER + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n"), ["-b", "elog"],
           ERROR_REGISTRY_CORRUPT, ELOG_REG,
           "key [HKEY_LOCAL_MACHINE\\SOFTWARE\\X] belongs in registry/software.reg"),
    Damage("an empty directory in place of a service's file", replace(ELOG_REG, "empty dir"),
           ["-b", "elog"], ERROR_CANTREAD, ELOG_REG, "is a directory, expected a file"),
    Damage("a behaviour line without its count in the settings",
           write("settings", "service OrvEvtLogger start\n"), ["-b", "elog"], ERROR_BADDB, "settings",
           "line 1: expected: service <Name> start <N|never|dies>, service <Name> stop "
           "<N|never|ignored> or service <Name> held"),
    Damage("an unknown call in the settings", write("settings", "clock skip\nfail Everything\n"),
           ["-b", "elog"], ERROR_BADDB, "settings", "line 2: unknown call"),
    Damage("garbage in a state file", write(ELOG_STATE, "state=SIDEWAYS\n"),
           ["-e", "elog"], ERROR_BADDB, ELOG_STATE, "line 1:"),
    Damage("an empty number in a state file", write(ELOG_STATE, "state=STOPPED\nexitcode=\n"),
           ["-e", "elog"], ERROR_BADDB, ELOG_STATE, "line 2:"),
    Damage("a directory in place of a state file", replace(ELOG_STATE, "dir"),
           ["-b", "elog"], ERROR_CANTREAD, ELOG_STATE, "is a directory, expected a file"),
    Damage("garbage in the settings", write("settings", "clock sideways\n"),
           ["-b", "elog"], ERROR_BADDB, "settings", "line 1: expected: clock skip or clock real"),
    Damage("a directory in place of the settings", replace("settings", "dir"),
           ["-rm", "flm"], ERROR_CANTREAD, "settings", "is a directory, expected a file"),
    Damage("a directory in place of the lock", replace("lock", "dir"),
           ["-b", "elog"], ERROR_CANTOPEN, "lock", "cannot open the lock: Is a directory"),
    # flm falls back to the agent's obsolete name, which meets the same damage.
    Damage("a file in place of the services directory", write("registry/services", "not a directory\n"),
           ["-e", "flm"], ERROR_CANTREAD, "registry/services/orvflm.reg", "cannot read: Not a directory",
           also_under="registry/services/"),
    Damage("a file in place of the runtime state directory", write("scm", "not a directory\n"),
           ["-e", "elog"], ERROR_CANTREAD, ELOG_STATE, "cannot read: Not a directory"),
    Damage("a service file nobody may read", permissions(0o666, 0o666, {ELOG_REG: 0}), ["-b", "elog"],
           ERROR_ACCESS_DENIED, ELOG_REG, "cannot read: Permission denied", as_nobody=True),
    Damage("a machine nobody may lock", permissions(0o644, 0o644), ["-e", "elog"],
           ERROR_ACCESS_DENIED, "lock", "cannot open the lock: Permission denied", as_nobody=True),
    Damage("a registry nobody may write", permissions(0o644, 0o666), NEW,
           ERROR_ACCESS_DENIED, ELOG_REG, "cannot write: Permission denied", as_nobody=True),
    Damage("a state file nobody may write", permissions(0o644, 0o666), ["-e", "elog"],
           ERROR_ACCESS_DENIED, ELOG_STATE, "cannot write: Permission denied", as_nobody=True),
    Damage("a machine directory nobody may create", permissions(0o644, 0o644), ["-b", "elog"],
           ERROR_ACCESS_DENIED, "", "cannot create the machine directory: Permission denied",
           as_nobody=True, machine="registry/machine"),
    Damage("a deleted service nobody may remove",
           lambda m: (write(ELOG_STATE, "state=STOPPED\ndeleted=1\n")(m), permissions(0o644, 0o666)(m)),
           ["-b", "elog"], ERROR_ACCESS_DENIED, ELOG_REG, "cannot remove: Permission denied",
           as_nobody=True),
    Damage("a FIFO in place of the settings", replace("settings", "fifo"),
           ["-b", "elog"], ERROR_CANTREAD, "settings", "is not a regular file"),
    Damage("a FIFO in place of a state file", replace(ELOG_STATE, "fifo"),
           ["-e", "elog"], ERROR_CANTREAD, ELOG_STATE, "is not a regular file"),
    # Another user who may change the machine could point root anywhere.
    Damage("a machine directory another user owns", lambda m: None,
           ["-b", "elog"], ERROR_ACCESS_DENIED, "", "refused: owned by uid", nobody_owns="."),
    Damage("a services directory another user owns", lambda m: None,
           NEW, ERROR_ACCESS_DENIED, "registry/services", "refused: owned by uid",
           nobody_owns="registry/services"),
    Damage("a machine directory others may write", lambda m: os.chmod(m, 0o777),
           ["-e", "elog"], ERROR_ACCESS_DENIED, "", "refused: group or others may write to it (mode 0777)"),
    Damage("a runtime state directory its group may write", lambda m: os.chmod(m + "/scm", 0o775),
           ["-b", "elog"], ERROR_ACCESS_DENIED, "scm", "refused: group or others may write to it (mode 0775)"),
    Damage("a link in place of the lock", replace("lock", "link"),
           ["-b", "elog"], ERROR_ACCESS_DENIED, "lock", "refused: a symbolic link"),
    Damage("a link in place of the services directory", replace("registry/services", "moved link"),
           ["-rm", "elog"], ERROR_ACCESS_DENIED, "registry/services", "refused: a symbolic link"),
    # No call can start, nothing is made.
    Damage("a file where the machine directory belongs", write(".", "not a directory\n"),
           ["-b", "elog"], ERROR_CANTREAD, "", "not a directory"),
    Damage("a file where the machine's parent directory belongs", lambda m: None,
           ["-b", "elog"], ERROR_CANTREAD, "", "not a directory", machine="settings/machine"),
    Damage("a dangling link where the machine directory belongs", lambda m: os.symlink("nowhere", m + "/gone"),
           ["-b", "elog"], ERROR_CANTWRITE, "", "cannot create the machine directory: No such file",
           machine="gone"),
    Damage("a machine directory nobody may list", permissions(0o644, 0o666, {".": 0o711}), ["-b", "elog"],
           ERROR_ACCESS_DENIED, "", "cannot open the machine directory: Permission denied", as_nobody=True),
    Damage("a link in place of a service's file", replace(ELOG_REG, "moved link"),
           ["-b", "elog"], ERROR_ACCESS_DENIED, ELOG_REG, "refused: a symbolic link"),
    Damage("a runtime state directory its group may write, met by a create",
           both(remove(ELOG_REG, ELOG_STATE), lambda m: os.chmod(m + "/scm", 0o775)),
           NEW, ERROR_ACCESS_DENIED, "scm", "refused: group or others may write to it (mode 0775)"),
    Damage("a services directory nobody may make",
           both(remove(ELOG_STATE), lambda m: shutil.rmtree(m + "/registry/services"),
                permissions(0o644, 0o666)), NEW,
           ERROR_ACCESS_DENIED, "registry/services", "cannot create directory: Permission denied",
           as_nobody=True),
    # Without the index, a create's display-name check and a stop's search
    # for dependents read every service's file.
    Damage("garbage in another service's file, met by a create",
           both(remove(ELOG_REG, ELOG_STATE, INDEX), write(FLM_REG, "rubbish")), NEW,
           ERROR_REGISTRY_CORRUPT, FLM_REG, "line 1: missing the header line"),
    Damage("garbage in another service's file, met by a stop",
           both(remove(INDEX), write(FLM_REG, "rubbish")), ["-e", "elog"],
           ERROR_REGISTRY_CORRUPT, FLM_REG, "line 1: missing the header line"),
    Damage("a disk too full for a service's file", remove(INDEX), NEW, ERROR_CANTWRITE, ELOG_REG,
           "cannot write: File too large", max_file_size=0),
]


@pytest.fixture(scope="module")
def nobody(build_dir):
    """A directory nobody can run the program from (the build directory may lie
    below one only its owner can enter) and the prefix that runs as nobody;
    otherwise (None) why there is none."""
    if os.geteuid() != 0:
        yield None, [], "needs root to run the program as nobody"
        return
    if shutil.which("setpriv") is None:
        yield None, [], "needs setpriv to run the program as nobody"
        return
    user = pwd.getpwnam("nobody")
    as_nobody = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"]
    tried = []
    for base in dict.fromkeys([tempfile.gettempdir(), "/tmp", "/var/tmp", "/dev/shm"]):
        try:
            scratch = tempfile.mkdtemp(prefix="quillmar-corrupt-", dir=base)
        except OSError:
            continue
        os.chmod(scratch, 0o755)
        copy = os.path.join(scratch, "quillmar")
        shutil.copyfile(os.path.join(build_dir, "quillmar"), copy)
        os.chmod(copy, 0o755)
        # setpriv may still hold root's rights while it starts the program:
        # a shell of nobody's tests the search rights, then the copy must run.
        probes = [["/bin/sh", "-c", 'test -x "$1"', "sh", copy], [copy, "-h"]]
        if all(subprocess.run(as_nobody + probe, cwd="/", stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=60).returncode == 0 for probe in probes):
            yield scratch, as_nobody, ""
            shutil.rmtree(scratch, ignore_errors=True)
            return
        tried.append(base)
        shutil.rmtree(scratch, ignore_errors=True)
    yield None, [], f"found no temporary directory nobody can run the program from (tried {', '.join(tried)})"


@pytest.mark.parametrize("d", CASES, ids=[d.label for d in CASES])
def test_damage(d: Damage, build_dir: str, work_root: str, nobody) -> None:
    scratch, prefix, why = nobody
    if d.nobody_owns and os.geteuid() != 0:
        pytest.skip("needs root to give a directory to nobody")
    if not d.as_nobody:
        prefix = []
    elif scratch is None:
        pytest.skip(why)
    backend = backend_native.Backend(build_dir, scratch if d.as_nobody else work_root)
    c = backend.new_case(Scenario(d.label, d.args))
    os.chmod(c.root, 0o755)  # nobody must reach the machine
    for args in (["-i", "elog", "C:\\Orv", "C:\\Orv\\x.pfa"], ["-b", "elog"], ["-i", "flm", "C:\\Orv", "80"]):
        assert c.run(args)[2] == 0, f"set-up run quillmar {' '.join(args)}"
    d.damage(c.machine)
    if d.nobody_owns:
        user = pwd.getpwnam("nobody")
        os.chown(os.path.join(c.machine, d.nobody_owns), user.pw_uid, user.pw_gid)
    machine = os.path.join(c.machine, d.machine) if d.machine else c.machine
    before = storecheck.snapshot(c.root)
    program = os.path.join(scratch, "quillmar") if d.as_nobody else backend.program
    def limit() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (d.max_file_size, d.max_file_size))
    proc = subprocess.run(prefix + [program] + d.args, env=dict(os.environ, QUILLMAR_MACHINE=machine),
                          cwd="/", stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                          preexec_fn=limit if d.max_file_size >= 0 else None)
    err = proc.stderr.decode("utf-8", "backslashreplace")
    problems = []
    where = os.path.join(machine, d.path) if d.path else machine
    report = f"quillmar: simulated machine: {where}: "
    reports = re.findall(r"^quillmar: simulated machine: [^\n]*$", err, re.M)
    if not any(r.startswith(report) and d.reason in r for r in reports):
        problems.append(f"no report naming {where!r} and {d.reason!r}")
    if len(set(reports)) != len(reports):
        problems.append("a report given twice")
    # Besides it, only the display-name index may be reported: saving that
    # cache fails no call, but the machine still says so.
    index = os.path.join(machine, "scm", "display-names.index")
    others = [r for r in reports if not r.startswith(report) and index not in r
              and not (d.also_under and os.path.join(machine, d.also_under) in r)]
    if others:
        problems.append(f"reports of other paths: {others}")
    if not re.fullmatch(r"(quillmar: simulated machine: [^\n]*\n)+(\nERROR \d+)+", err):
        problems.append("standard error is not the machine's report and the error number")
    # A failed status query is reported and the request still sent, so a
    # start or stop may report the same number twice.
    numbers = [int(n) for n in re.findall(r"\nERROR (\d+)", err)]
    if not numbers or set(numbers) != {d.error} or len(numbers) > 2:
        problems.append(f"error numbers {numbers}, expected {d.error}")
    if proc.returncode != posix_status(d.error):
        problems.append(f"exit status {proc.returncode}, expected {posix_status(d.error)}")
    if proc.stdout:
        problems.append(f"standard output {proc.stdout[:200]!r}")
    problems += backend_native.changes(before, storecheck.snapshot(c.root))
    assert not problems, (f"quillmar {' '.join(d.args)}, case kept in {c.root}; standard error: {err!r}\n"
                          + "\n".join(problems))
    c.cleanup()
