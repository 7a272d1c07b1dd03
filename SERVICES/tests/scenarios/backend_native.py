"""The native tier: the program built for this host, each row on a fresh
simulated machine (QUILLMAR_MACHINE) and working directory ({dir}) set up as
an installation would have left them. The machine is read back with readers
of our own (regtext.py, storecheck.py), never its code, so the two can
disagree. A POSIX status keeps 8 bits: the error number is compared through
the program's mapping (the kit compares all 32 bits on Windows).
"""

from __future__ import annotations

import dataclasses
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "stress"))

import buildfacts  # noqa: E402
import model  # noqa: E402
import regtext  # noqa: E402
import storecheck  # noqa: E402

SERVICES_KEY = "SYSTEM\\CurrentControlSet\\Services"

# A run's time limit, in whole waits of the build's polls: a slow scenario
# waits once, and a run under valgrind is slower.
RUN_TIMEOUT_WAITS = 4
# How long strace holds the program before it links its backup into place
# (Console.race): the feeder acts within milliseconds of the copy's start.
RACE_HOLD_US = 2_000_000


def posix_status(error_num: int) -> int:
    """The 8-bit status under which a POSIX host reports an error number."""
    low = error_num & 0xFF
    return low if low or not error_num else 255


def visible(text: str) -> str:
    """One line made readable: control bytes named, "$" at its end so trailing blanks show."""
    body = text[:-1] if text.endswith("\n") else text
    named = {"\t": "<TAB>", "\r": "<CR>"}
    body = re.sub(r"[\x00-\x1f\x7f]", lambda m: named.get(m[0], "<x%02x>" % ord(m[0])), body)
    return body + ("$" if text.endswith("\n") else "  (no line end)")


def _shown(data: bytes) -> list[str]:
    # Split at line feeds only: a stray CR must show inside its line.
    lines = re.findall(r"[^\n]*\n|[^\n]+\Z", data.decode("utf-8", "backslashreplace"))
    return [visible(x) + "\n" for x in lines]


def stream_diff(label: str, expected: bytes, actual: bytes) -> str:
    lines = difflib.unified_diff(_shown(expected), _shown(actual), f"{label} expected",
                                 f"{label} actual")
    # A hostile row's streams run to a million characters.
    return "".join(lines)[:3000]


def encode_file_name(name: str) -> str:
    """The machine's file name for a service: lower case, all but [a-z0-9._-] percent-encoded."""
    return urllib.parse.quote(name.lower(), safe="").replace("~", "%7E")


def service_reg_file(name: str) -> str:
    return os.path.join("registry", "services", encode_file_name(name) + ".reg")


def feed_race(where: str, other_backup: str, timeout: float) -> None:
    """Once the program copies hvcons.ini in `where` under a temporary name
    (and is held there), puts another run's backup at hvcons.old."""
    deadline = time.monotonic() + timeout
    while not any(n.startswith(".hvcons.old.tmp.") for n in os.listdir(where)):
        if time.monotonic() > deadline:
            return
        time.sleep(0.002)
    write(os.path.join(where, "hvcons.old"), other_backup)


def write(path: str, content: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(content)


def changes(before: dict, after: dict) -> list[str]:
    """What a refusal changed, as a failure, or nothing."""
    changed = []
    for path in sorted(set(before) | set(after)):
        if before.get(path) != after.get(path):
            how = "added" if path not in before else "removed" if path not in after else "changed"
            changed.append(f"{how}: {path[:200]}")
    return ["a refusal changed files:\n  " + "\n  ".join(changed[:20])] if changed else []


class Case:
    """One row's machine and working directory; other tiers drive theirs with run()."""

    def __init__(self, backend: "Backend", scenario: model.Scenario):
        self.backend = backend
        self.scenario = scenario
        safe = re.sub(r"[^A-Za-z0-9_-]+", "-", scenario.name)[:40]
        self.root = tempfile.mkdtemp(prefix=safe + "-", dir=backend.work_root)
        self.machine = os.path.join(self.root, "machine")
        self.dir = os.path.join(self.root, "work")
        os.makedirs(self.dir)
        # The pauses between polls are real only in a slow scenario.
        self.settings = [] if scenario.slow else ["clock skip"]
        self._write_settings()
        self.races: list[tuple[str, str]] = []  # (console dir, other backup)

    def expand(self, s: str) -> str:
        return s.replace("{dir}", self.dir).replace("{sep}", "/")

    def expected(self, text: str) -> bytes:
        return self.expand(text).encode("utf-8", "surrogateescape")

    def _write_settings(self) -> None:
        write(os.path.join(self.machine, "settings"), "".join(s + "\n" for s in self.settings))

    def cleanup(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)

    def setup(self, step) -> None:
        getattr(self, "_setup_" + type(step).__name__.lower())(step)
        self._write_settings()

    def _setup_fault(self, fault: model.Fault) -> None:
        self.settings.append(self.expand(fault.line))

    def _setup_service(self, svc: model.Service) -> None:
        image = self.dir + "\\" + svc.exe
        key = f"HKEY_LOCAL_MACHINE\\{SERVICES_KEY}\\{svc.name}"
        values = [
            ("Type", "dword:%08x" % (0x110 if svc.account is None else 0x10)),
            ("Start", "dword:%08x" % 2),
            ("ErrorControl", "dword:%08x" % 1),
            ("ImagePath", regtext.hex_data(2, (image + "\0").encode("utf-16-le"))),
            ("DisplayName", regtext.quote(svc.display or svc.name)),
            ("ObjectName", regtext.quote(svc.account or "LocalSystem")),
        ]
        if svc.depends_on:
            names = "".join(n + "\0" for n in svc.depends_on) + "\0"
            values.append(("DependOnService", regtext.hex_data(7, names.encode("utf-16-le"))))
        keys = [(key, values)]
        if svc.params:
            keys.append((key + "\\Parameters",
                         [(n, regtext.quote(self.expand(v))) for n, v in svc.params.items()]))
        write(os.path.join(self.machine, service_reg_file(svc.name)), regtext.format_keys(keys))
        if svc.marked and not (svc.held or svc.running):
            raise ValueError(f"{svc.name}: a marked service stays only while held or running")
        state = ("state=RUNNING\n" if svc.running else "state=STOPPED\n") + \
            ("deleted=1\n" if svc.marked else "")
        write(os.path.join(self.machine, "scm", encode_file_name(svc.name) + ".state"), state)
        code = f" {svc.exit_code}" if svc.exit_code is not None else ""
        for line in model.BEHAVIOURS[svc.behaviour].sim:
            self.settings.append(line.format(name=svc.name, code=code))
        if svc.held:
            self.settings.append(f'service "{svc.name}" held')

    def _setup_console(self, con: model.Console) -> None:
        where = os.path.join(self.dir, con.sub)
        os.makedirs(where, exist_ok=True)
        for name, content in (("hvcons.ini", con.hvcons_ini), ("hvcons.old", con.hvcons_old)):
            if content is not None:
                write(os.path.join(where, name), content)
        if con.race is not None:
            self.races.append((where, con.race))
        if con.tool_status is not None:
            shutil.copy(self.backend.merge_tool, os.path.join(where, "hvcfgmrg.exe"))
            write(os.path.join(where, "hvcfgmrg.status"), f"{con.tool_status}\n")
            if con.linger:
                write(os.path.join(where, "hvcfgmrg.linger"), f"{con.linger}\n")
            if con.echo:
                write(os.path.join(where, "hvcfgmrg.echo"), "")

    def run(self, args: list[str], combined: bool = False, piped: bool = False,
            stdin: bytes | None = b"", closed: bool = False,
            argv0: str | None = None) -> tuple[bytes, bytes, int]:
        """Standard error goes to a file, or with combined to standard
        output's pipe; piped: both are pipes, read to their ends; closed:
        both go to a pipe whose reader is gone before the program starts;
        stdin None: standard input is closed."""
        env = dict(os.environ, QUILLMAR_MACHINE=self.machine)
        feeders = [threading.Thread(target=feed_race, args=(*race, self.backend.run_timeout),
                                    daemon=True) for race in self.races]
        for feeder in feeders:
            feeder.start()
        command = [self.backend.program] + args
        if self.races:
            calls = "link,linkat,renameat2"
            command = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=" + calls,
                       "-e", f"inject={calls}:delay_enter={RACE_HOLD_US}"] + command
            # LeakSanitizer cannot run under ptrace: other rows check leaks.
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        reader, writer = os.pipe() if closed else (None, None)
        if closed:
            os.close(reader)
        with tempfile.TemporaryFile() as err_file, tempfile.TemporaryFile() as in_file:
            in_file.write(stdin or b"")
            in_file.seek(0)
            try:
                proc = subprocess.run([argv0 or command[0]] + command[1:], executable=command[0],
                                      cwd=self.dir, env=env, stdin=in_file,
                                      stdout=writer if closed else subprocess.PIPE,
                                      stderr=(writer if closed else subprocess.STDOUT if combined
                                              else subprocess.PIPE if piped else err_file),
                                      timeout=self.backend.run_timeout,
                                      preexec_fn=None if stdin is not None else lambda: os.close(0))
            finally:
                if closed:
                    os.close(writer)
            err_file.seek(0)
            err = (proc.stderr or b"") if piped else err_file.read()
        for feeder in feeders:
            feeder.join(timeout=1)
        return proc.stdout or b"", err, proc.returncode

    def play(self) -> list[str]:
        """The whole row; returns what failed. A case that failed is kept."""
        s = self.scenario
        failures: list[str] = []
        try:
            for step in s.setup:
                self.setup(step)
            if s.prepare:
                s.prepare(self)
            before = self.snapshot() if s.unchanged else None
            started = time.monotonic()
            out, err, status = self.run([self.expand(a) for a in s.args],
                                        combined=s.combined is not None, piped=s.piped,
                                        stdin=None if s.stdin is None else self.expected(s.stdin),
                                        closed=s.closed, argv0=s.argv0)
            failures += self.compare(out, err, status, time.monotonic() - started)
            if before is not None:
                failures += changes(before, self.snapshot())
            failures += [f"left under a temporary name: {p}" for p in storecheck.temp_files(self.root)]
            for chk in s.checks:
                failures += self.check(self.expand_check(chk))
            for rel, mode in (s.modes or {}).items():
                got = os.stat(os.path.join(self.dir, rel)).st_mode & 0o7777
                if got != mode:
                    failures.append(f"{rel}: mode {got:04o}, expected {mode:04o}")
            # Whatever the run did, the store still reads.
            storecheck.read_registry(self.machine)
            storecheck.read_states(self.machine)
        except storecheck.StoreError as e:
            failures.append(f"store: {e}")
        except Exception:  # a broken set-up or check is a failure of the row
            failures.append("exception:\n" + traceback.format_exc())
        if failures:
            return failures + [f"case kept in {self.root}"]
        self.cleanup()
        return failures

    def compare(self, out: bytes, err: bytes, status: int, elapsed: float) -> list[str]:
        s = self.scenario
        combined = s.combined is not None
        exp_out = self.expected(s.combined if combined else s.stdout)
        exp_err = b"" if combined else self.expected(s.stderr)
        failures = []
        if out != exp_out:
            failures.append("standard output differs:\n" + stream_diff("stdout", exp_out, out))
        if err != exp_err:
            failures.append("standard error differs:\n" + stream_diff("stderr", exp_err, err))
        if status != posix_status(s.exit):
            failures.append(f"exit status {status}, expected {posix_status(s.exit)} "
                            f"(error number {s.exit})")
        facts = self.backend.facts
        if s.slow and elapsed < facts.slow_at_least_seconds:
            failures.append(f"finished after {elapsed:.1f} s; the {facts.max_polls} polls, "
                            f"{facts.poll_pause_ms} ms apart, should take about "
                            f"{facts.wait_seconds:g} s")
        return failures

    def snapshot(self) -> dict:
        snap = storecheck.snapshot(self.root)
        # The machine makes its lock file on first use; it holds nothing.
        snap.pop(os.path.join("machine", "lock"), None)
        return snap

    def expand_check(self, chk):
        changes = {}
        for f in dataclasses.fields(chk):
            value = getattr(chk, f.name)
            if isinstance(value, str):
                changes[f.name] = self.expand(value)
            elif isinstance(value, tuple) and all(isinstance(v, str) for v in value):
                changes[f.name] = tuple(self.expand(v) for v in value)
        return dataclasses.replace(chk, **changes)

    def check(self, chk) -> list[str]:
        self.keys = storecheck.read_registry(self.machine)
        self.states = storecheck.read_states(self.machine)
        return getattr(self, "_check_" + type(chk).__name__.lower())(chk)

    def _check_servicestate(self, chk: model.ServiceState) -> list[str]:
        key = self.keys.get(f"{SERVICES_KEY}\\{chk.name}".lower())
        if key is None or "type" not in key:
            actual = "absent"
        else:
            # Without a state file or line a service is stopped, as the machine has it.
            fields = self.states.get(encode_file_name(chk.name), {})
            actual = fields.get("state", "STOPPED").lower().replace("_", " ")
            if fields.get("deleted") == "1":
                actual += ", marked for deletion"
        return [] if actual == chk.state else [f"service {chk.name}: {actual}, expected {chk.state}"]

    def _check_serviceconfig(self, chk: model.ServiceConfig) -> list[str]:
        key = self.keys.get(f"{SERVICES_KEY}\\{chk.name}".lower())
        if key is None:
            return [f"service {chk.name}: no registry key, expected a configured service"]
        problems = []
        for vname, want in (("type", chk.type), ("start", chk.start), ("errorcontrol", chk.error),
                            ("imagepath", chk.path), ("displayname", chk.display)):
            got = key.get(vname)
            if isinstance(want, int):
                got = regtext.dword_of(got[1]) if got and got[0] == "REG_DWORD" else got
            elif got is not None:
                got = regtext.string_of(got[1])[0]
            if want is not None and got != want:
                problems.append(f"service {chk.name}: {vname} {got!r}, expected {want!r}")
        return problems

    def _check_regvalue(self, chk: model.RegValue) -> list[str]:
        key = self.keys.get(chk.key.lower())
        got = None if key is None else key.get(chk.name.lower())
        if got is not None:
            # A string value must be stored with its terminating NUL.
            text, terminated = regtext.string_of(got[1])
            got = (got[0], text, terminated or got[0] not in ("REG_SZ", "REG_EXPAND_SZ"))
        want = None if chk.data is None else (chk.type, chk.data, True)
        if got != want:
            return [f"{chk.key}\\{chk.name}: (type, data, terminated) {got!r}, expected {want!r}"]
        return []

    def _check_filecontent(self, chk: model.FileContent) -> list[str]:
        path = os.path.join(self.dir, *chk.path.replace("\\", "/").split("/"))
        got = "not a regular file" if os.path.lexists(path) else None
        if os.path.isfile(path):
            with open(path, "rb") as f:
                got = f.read()
        want = None if chk.content is None else chk.content.encode("utf-8")
        return [] if got == want else [f"{chk.path}: {got!r}, expected {want!r}"]

    def _check_toolruns(self, chk: model.ToolRuns) -> list[str]:
        where = os.path.join(self.dir, chk.sub)
        log = os.path.join(where, "hvcfgmrg.log")
        runs = []
        if os.path.exists(log):
            with open(log, "rb") as f:
                runs = [ln for ln in f.read().decode("utf-8", "surrogateescape").split("\n") if ln]
        problems = []
        if len(runs) != chk.count:
            problems.append(f"merge tool in {chk.sub!r} ran {len(runs)} times, expected {chk.count}")
        real_where = os.path.realpath(where)
        for number, run in enumerate(runs, 1):
            cwd, *args = run.split("\t")
            if os.path.realpath(cwd) != real_where:
                problems.append(f"merge tool run {number}: current directory {cwd!r}, expected {where!r}")
            if tuple(args) != tuple(chk.args):
                problems.append(f"merge tool run {number}: arguments {args!r}, expected {list(chk.args)!r}")
        return problems


class Backend:
    """The build under test and where its cases live."""

    def __init__(self, build_dir: str, work_root: str):
        build_dir = os.path.abspath(build_dir)
        self.work_root = work_root
        self.program = os.path.join(build_dir, "quillmar")
        self.merge_tool = os.path.join(build_dir, "SERVICES", "tests", "wine", "fakemerge")
        self.facts = buildfacts.load(build_dir)
        self.run_timeout = RUN_TIMEOUT_WAITS * self.facts.wait_seconds
        for path in (self.program, self.merge_tool):
            if not os.access(path, os.X_OK):
                raise SystemExit(f"no program at {path}: build the native preset first")

    def new_case(self, scenario: model.Scenario) -> Case:
        return Case(self, scenario)
