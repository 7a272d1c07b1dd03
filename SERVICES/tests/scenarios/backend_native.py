"""The native tier: the program built for this host, on a simulated machine.

Every case gets a fresh machine directory (QUILLMAR_MACHINE) and a fresh
working directory ({dir}). Set-up writes the machine's files directly, the
way an installation and the Service Control Manager would have left them;
checks read them back with a parser of our own (regtext.py), never through
the program or the machine's code, so the two doors can disagree.
"""

from __future__ import annotations

import os
import re
import shutil
import stat
import subprocess
import tempfile
import threading
import time

import buildfacts
import model
import regtext

SERVICES_KEY = "SYSTEM\\CurrentControlSet\\Services"

# A stand-in for the console's merge tool while the fixture is not built:
# the same contract as fakemerge (log line "cwd<TAB>args...", a line on
# standard output that must never reach the program's output, exit status
# from hvcfgmrg.status, standard input copied to standard error when
# hvcfgmrg.echo exists).
STANDIN_TOOL = """#!/bin/sh
line=$(pwd)
for a in "$@"; do line="$line	$a"; done
printf '%s\\n' "$line" >> hvcfgmrg.log
echo "hvcfgmrg: merged into hvcons.ini"
[ -f hvcfgmrg.echo ] && cat >&2
status=0
[ -f hvcfgmrg.status ] && status=$(cat hvcfgmrg.status)
exit "$status"
"""

# A run's time limit, in whole waits of the build's polls: a slow scenario
# waits once, and a run under valgrind is slower.
RUN_TIMEOUT_WAITS = 4


def encode_file_name(name: str) -> str:
    """The machine's file name for a service: lower case, bytes outside
    [a-z0-9._-] percent-encoded (the names used here are all short)."""
    out = []
    for b in name.lower().encode("utf-8"):
        c = chr(b)
        out.append(c if re.fullmatch(r"[a-z0-9._-]", c) else "%%%02X" % b)
    return "".join(out)


def service_reg_file(name: str) -> str:
    return os.path.join("registry", "services", encode_file_name(name) + ".reg")


def service_state_file(name: str) -> str:
    return os.path.join("scm", encode_file_name(name) + ".state")


# ---- the machine's runtime state and settings ------------------------------------

def format_state(running: bool, marked: bool = False) -> str:
    return ("state=RUNNING\n" if running else "state=STOPPED\n") + ("deleted=1\n" if marked else "")


def parse_state(text: str) -> str:
    """The current state named in a state file, as the checks name it
    ("running", "stopped", "stop pending", "start pending"), with
    ", marked for deletion" when the file says so."""
    state, marked = "stopped", False  # a file without a state line: the machine's default
    for line in text.splitlines():
        key, _, value = line.strip().partition("=")
        if key == "state":
            state = value.strip().lower().replace("_", " ")
        elif key == "deleted":
            marked = value.strip() == "1"
    return state + (", marked for deletion" if marked else "")




# How long the program is held before it links its backup copy into place
# while another run's backup is put there (Console.race): ample time for the
# feeder, which acts within milliseconds of the copy's start.
RACE_HOLD_US = 2_000_000


def feed_race(where: str, other_backup: str, timeout: float) -> None:
    """Waits until the program copies hvcons.ini in `where` under a
    temporary name (it is then held before it links the copy into place),
    then puts another run's backup at hvcons.old."""
    deadline = time.monotonic() + timeout
    while not any(n.startswith(".hvcons.old.tmp.") for n in os.listdir(where)):
        if time.monotonic() > deadline:
            return
        time.sleep(0.002)
    with open(os.path.join(where, "hvcons.old"), "w", encoding="utf-8", newline="\n") as f:
        f.write(other_backup)


class Case:
    def __init__(self, backend: "Backend", scenario: model.Scenario):
        self.backend = backend
        self.scenario = scenario
        safe = re.sub(r"[^A-Za-z0-9_-]+", "-", scenario.name)[:40]
        self.root = tempfile.mkdtemp(prefix=safe + "-", dir=backend.work_root)
        self.machine = os.path.join(self.root, "machine")
        self.dir = os.path.join(self.root, "work")
        self.host_dir = self.dir
        self.sep = "/"
        os.makedirs(self.machine)
        os.makedirs(self.dir)
        # The pauses between polls are real only in a slow scenario.
        self.settings = [] if scenario.slow else ["clock skip"]
        self._write_settings()
        self.races: list[tuple[str, str]] = []  # (console dir, other backup)

    # -- helpers ---------------------------------------------------------------

    def expand(self, s: str) -> str:
        return s.replace("{dir}", self.dir).replace("{sep}", self.sep)

    def _write_settings(self) -> None:
        with open(os.path.join(self.machine, "settings"), "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in self.settings))

    def _write(self, rel: str, content: str) -> None:
        path = os.path.join(self.machine, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(content)

    # -- set-up ------------------------------------------------------------------

    def setup(self, step) -> None:
        if isinstance(step, model.Service):
            self._setup_service(step)
        elif isinstance(step, model.Console):
            self._setup_console(step)
        elif isinstance(step, model.Fault):
            self.settings.append(self.expand(step.line))
            self._write_settings()
        else:
            raise TypeError(f"unknown set-up step {step!r}")

    def _setup_service(self, svc: model.Service) -> None:
        image = self.dir + "\\" + svc.exe
        key = f"HKEY_LOCAL_MACHINE\\{SERVICES_KEY}\\{svc.name}"
        # Only LocalSystem may run an interactive service.
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
        self._write(service_reg_file(svc.name), regtext.format_keys(keys))
        if svc.marked and not (svc.held or svc.running):
            raise ValueError(f"{svc.name}: a marked service stays only while held or running")
        self._write(service_state_file(svc.name), format_state(svc.running, svc.marked))
        if svc.behaviour not in model.BEHAVIOURS:
            raise ValueError(f"unknown behaviour {svc.behaviour!r}")
        for line in model.BEHAVIOURS[svc.behaviour].sim:
            code = f" {svc.exit_code}" if svc.exit_code is not None else ""
            self.settings.append(line.format(name=svc.name, code=code))
        if svc.held:
            self.settings.append(f'service "{svc.name}" held')
        self._write_settings()

    def _setup_console(self, con: model.Console) -> None:
        where = os.path.join(self.dir, con.sub)
        os.makedirs(where, exist_ok=True)
        for name, content in (("hvcons.ini", con.hvcons_ini), ("hvcons.old", con.hvcons_old)):
            if content is not None:
                with open(os.path.join(where, name), "w", encoding="utf-8", newline="\n") as f:
                    f.write(content)
        if con.race is not None:
            self.races.append((where, con.race))
        if con.tool_status is not None:
            tool = os.path.join(where, "hvcfgmrg.exe")
            shutil.copyfile(self.backend.merge_tool, tool)
            os.chmod(tool, os.stat(tool).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
            with open(os.path.join(where, "hvcfgmrg.status"), "w") as f:
                f.write(f"{con.tool_status}\n")
            if con.linger:
                with open(os.path.join(where, "hvcfgmrg.linger"), "w") as f:
                    f.write(f"{con.linger}\n")
            if con.echo:
                open(os.path.join(where, "hvcfgmrg.echo"), "w").close()

    # -- the run -------------------------------------------------------------------

    def run(self, args: list[str], combined: bool = False, piped: bool = False,
            stdin: bytes = b"", closed: bool = False) -> tuple[bytes, bytes, int]:
        """piped: both streams are pipes, each read to its end. Otherwise
        standard error goes to a file (or with combined, to standard
        output's pipe). stdin: a file holding these bytes. closed: both
        streams go to a pipe whose reading end is closed before the program
        starts, as a reader that stopped early leaves it (nothing is read)."""
        env = dict(os.environ)
        env["QUILLMAR_MACHINE"] = self.machine
        feeders = [threading.Thread(target=feed_race, args=(*race, self.backend.run_timeout),
                                    daemon=True) for race in self.races]
        for feeder in feeders:
            feeder.start()
        command = [self.backend.program] + args
        if self.races:
            # strace holds the program before it links its copy into place.
            calls = "link,linkat,renameat2"
            command = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=" + calls,
                       "-e", f"inject={calls}:delay_enter={RACE_HOLD_US}"] + command
            # LeakSanitizer cannot run under ptrace; the leak check of this
            # row is left to the runs without strace.
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        reader, writer = os.pipe() if closed else (None, None)
        if closed:
            os.close(reader)
        with tempfile.TemporaryFile() as err_file, tempfile.TemporaryFile() as in_file:
            in_file.write(stdin)
            in_file.seek(0)
            try:
                proc = subprocess.run(
                    command,
                    cwd=self.dir,
                    env=env,
                    stdin=in_file,
                    stdout=writer if closed else subprocess.PIPE,
                    stderr=(writer if closed else subprocess.STDOUT if combined
                            else subprocess.PIPE if piped else err_file),
                    timeout=self.backend.run_timeout,
                )
            finally:
                if closed:
                    os.close(writer)
            err_file.seek(0)
            err = (proc.stderr or b"") if piped else err_file.read()
        for feeder in feeders:
            feeder.join(timeout=1)
        return proc.stdout or b"", err, proc.returncode

    # -- checks --------------------------------------------------------------------

    def _registry(self) -> dict[str, dict[str, tuple[str, bytes]]]:
        """Every key of the machine's registry files, by lower-case path below
        HKEY_LOCAL_MACHINE."""
        keys: dict[str, dict[str, tuple[str, bytes]]] = {}
        top = os.path.join(self.machine, "registry")
        for base, _, files in os.walk(top):
            for name in sorted(files):
                if not name.endswith(".reg"):
                    continue
                path = os.path.join(base, name)
                with open(path, "rb") as f:
                    text = regtext.decode_file(f.read())
                try:
                    parsed = regtext.parse(text)
                except regtext.RegTextError as e:
                    raise AssertionError(f"{os.path.relpath(path, self.machine)}: {e}") from e
                for key, values in parsed.items():
                    root, _, below = key.partition("\\")
                    if root.upper() != "HKEY_LOCAL_MACHINE":
                        raise AssertionError(f"{name}: key outside HKEY_LOCAL_MACHINE: {key}")
                    merged = keys.setdefault(below.lower(), {})
                    for vname, v in values.items():
                        merged[vname.lower()] = v
        return keys

    def _service_key(self, name: str):
        return self._registry().get(f"{SERVICES_KEY}\\{name}".lower())

    def _state(self, name: str):
        path = os.path.join(self.machine, service_state_file(name))
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            return parse_state(f.read())

    def check(self, chk) -> list[str]:
        if isinstance(chk, model.ServiceState):
            return self._check_state(chk)
        if isinstance(chk, model.ServiceConfig):
            return self._check_config(chk)
        if isinstance(chk, model.RegValue):
            return self._check_value(chk)
        if isinstance(chk, model.FileContent):
            return self._check_file(chk)
        if isinstance(chk, model.ToolRuns):
            return self._check_tool(chk)
        return [f"unknown check {chk!r}"]

    def _check_state(self, chk: model.ServiceState) -> list[str]:
        key = self._service_key(chk.name)
        if key is None or "type" not in key:
            actual = "absent"
        else:
            actual = self._state(chk.name) or "stopped"
        if actual != chk.state:
            return [f"service {chk.name}: {actual}, expected {chk.state}"]
        return []

    def _check_config(self, chk: model.ServiceConfig) -> list[str]:
        key = self._service_key(chk.name)
        if key is None:
            return [f"service {chk.name}: no registry key, expected a configured service"]
        problems = []
        for vname, want in (("type", chk.type), ("start", chk.start), ("errorcontrol", chk.error)):
            got = key.get(vname)
            if got is None or got[0] != "REG_DWORD":
                problems.append(f"service {chk.name}: {vname} is {got!r}, expected dword {want:#x}")
            elif regtext.dword_of(got[1]) != want:
                problems.append(
                    f"service {chk.name}: {vname} {regtext.dword_of(got[1]):#x}, expected {want:#x}"
                )
        for vname, want in (("imagepath", chk.path), ("displayname", chk.display)):
            if want is None:
                continue
            got = key.get(vname)
            if got is None:
                problems.append(f"service {chk.name}: no {vname}, expected {want!r}")
                continue
            text, _ = regtext.string_of(got[1])
            if text != want:
                problems.append(f"service {chk.name}: {vname} {text!r}, expected {want!r}")
        return problems

    def _check_value(self, chk: model.RegValue) -> list[str]:
        key = self._registry().get(chk.key.lower())
        got = None if key is None else key.get(chk.name.lower())
        where = f"{chk.key}\\{chk.name}"
        if chk.data is None:
            return [] if got is None else [f"{where}: present ({got!r}), expected absent"]
        if got is None:
            return [f"{where}: absent, expected {chk.type} {chk.data!r}"]
        kind, data = got
        problems = []
        if kind != chk.type:
            problems.append(f"{where}: type {kind}, expected {chk.type}")
        text, terminated = regtext.string_of(data)
        if text != chk.data:
            problems.append(f"{where}: {text!r}, expected {chk.data!r}")
        if kind in ("REG_SZ", "REG_EXPAND_SZ") and not terminated:
            problems.append(f"{where}: stored without its terminating NUL")
        return problems

    def _check_file(self, chk: model.FileContent) -> list[str]:
        path = os.path.join(self.dir, *chk.path.replace("\\", "/").split("/"))
        if chk.content is None:
            return [] if not os.path.lexists(path) else [f"{chk.path}: present, expected absent"]
        if not os.path.isfile(path):
            return [f"{chk.path}: absent, expected {chk.content!r}"]
        with open(path, "rb") as f:
            data = f.read()
        want = chk.content.encode("utf-8")
        if data != want:
            return [f"{chk.path}: {data!r}, expected {want!r}"]
        return []

    def _check_tool(self, chk: model.ToolRuns) -> list[str]:
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

    def cleanup(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)


class Backend:
    name = "native"

    def __init__(self, build_dir: str, work_root: str):
        self.build_dir = build_dir
        self.work_root = work_root
        self.program = os.path.join(build_dir, "quillmar")
        self.run_timeout = RUN_TIMEOUT_WAITS * buildfacts.load(build_dir).wait_seconds
        self.merge_tool = ""

    def prepare(self) -> None:
        if not os.access(self.program, os.X_OK):
            raise SystemExit(f"no program at {self.program}: build the native preset first")
        os.makedirs(self.work_root, exist_ok=True)
        self.merge_tool = self._find_fakemerge() or self._write_standin()

    def _find_fakemerge(self):
        for base, dirs, files in os.walk(self.build_dir):
            dirs[:] = [d for d in dirs if not d.startswith(".") and d != "CMakeFiles"]
            if "fakemerge" in files:
                path = os.path.join(base, "fakemerge")
                if os.access(path, os.X_OK):
                    return path
        return None

    def _write_standin(self) -> str:
        path = os.path.join(self.work_root, "hvcfgmrg-standin.sh")
        with open(path, "w") as f:
            f.write(STANDIN_TOOL)
        os.chmod(path, 0o755)
        return path

    def new_case(self, scenario) -> Case:
        return Case(self, scenario)

    def close(self) -> None:
        pass
