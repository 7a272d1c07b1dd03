"""The Wine tier's backend: scenarios run as quillmar.exe on Wine's own
Service Control Manager and registry.

Set-up goes through sc.exe and reg.exe, as an installation would; the
program runs through the exitcode launcher, which keeps the whole 32-bit
exit code; checks read the machine through another door than the program
(svcinfo and regvalue, which call the Win32 API directly, and the files
themselves); svcremove clears services between cases.

    python3 backend_wine.py --selftest build/windows [work_dir]

exercises set-up, checks, launcher and cleanup without quillmar.exe, and
pins down the Wine answers that the scenarios rely on.
"""

from __future__ import annotations

import os
import re
import shutil
import tempfile
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "wine"))

import buildfacts  # noqa: E402
import model  # noqa: E402
from wineenv import WineEnv, WineError, to_windows  # noqa: E402

# Every service name a scenario can leave behind, the obsolete agent name
# included; a case may add its own.
CATALOGUE_SERVICES = ("OrvEvtLogger", "OrvFLM", "Orv_Field_Link_Mgr", "HalvBase")
SERVICES_KEY = r"SYSTEM\CurrentControlSet\Services"
FIXTURES = ("testsvc", "fakemerge", "exitcode", "svcinfo", "regvalue", "svcremove", "wineprobe",
            "cpcheck", "floor")
# The server name under which a case's directory is a share ({share}).
SHARE_SERVER = "quillmar-test"
# How long a stopped, deleted service may take to go: its process stays
# 0.3 s after it stopped.
GONE_SECONDS = 3.0
STATE_NAMES = {1: "stopped", 2: "start pending", 3: "stop pending", 4: "running",
               5: "continue pending", 6: "pause pending", 7: "paused"}


class SetupError(RuntimeError):
    pass


# Every fixture's first line on standard error (started.h; CRLF in text mode).
STARTED = b"[fixture started]\r\n"


def take_start_line(r) -> bool:
    """Takes the fixture's start line out of its output; False when the
    process never reached its main (the host's failure, not the fixture's)."""
    for stream in ("stderr", "stdout"):  # stdout when both streams were combined
        data = getattr(r, stream)
        if data.startswith(STARTED):
            setattr(r, stream, data[len(STARTED):])
            return True
    return False


# Wine 8 on a busy host now and then fails to start a process: before its
# main it cannot map the shared user data at its fixed address (Wine's
# "failed to map the shared user data: c0000018", a line WINEDEBUG=-all
# hides) and exits with status 1; a Wine parent's CreateProcess then fails
# with "Internal error". Seen about once in 1,500 process starts at a load
# average of 7 on 2 cores. The run did nothing, so it is run once more; how
# each kind of run shows it:
# - a fixture: no start line (above);
# - the launcher's child, quillmar.exe: the launcher's own report;
# - a builtin (sc, reg), which Wine starts through start.exe: start.exe's
#   report, or Wine's own line, which these runs let through.
LAUNCHER_NOT_STARTED = b"exitcode: cannot start the program"
BUILTIN_NOT_STARTED = (b"ShellExecuteEx failed", b"failed to map the shared user data")
BUILTIN_DEBUG = {"WINEDEBUG": "-all,err+virtual"}


def evidence(args, r) -> str:
    return (f"{' '.join(map(str, args))}: status {r.status}, Wine did not start it; "
            f"stdout {r.stdout!r}, stderr {r.stderr!r}")


def _find(build_dir: Path, name: str) -> Path | None:
    direct = build_dir / name
    if direct.is_file():
        return direct
    return next((p for p in sorted(build_dir.rglob(name)) if p.is_file()), None)


class Backend:
    name = "wine"

    def __init__(self, build_dir_windows: str, work_root: str):
        self.build_dir = Path(build_dir_windows).resolve()
        # Longer than the program's whole wait, so that the wait runs out.
        self.slow_seconds = buildfacts.load(str(self.build_dir)).slow_seconds
        self.work_root = Path(work_root).resolve()
        if re.search(r"\s", str(self.work_root)):
            # The services' executable paths go to the manager unquoted.
            raise ValueError(f"work root must hold no blanks: {self.work_root}")
        self.wine = WineEnv(self.work_root / "wine")
        self.fixtures: dict[str, Path] = {}
        # Under /tmp, not the work root: a deep checkout would otherwise push
        # the cases about long directories past Windows' path limit.
        self.cases_dir = Path(tempfile.mkdtemp(prefix="qmw-"))
        self.num_cases = 0
        self.timings: list[dict[str, float]] = []
        self.host_noise = 0  # Wine loader messages taken out of standard error
        self.host_failures: list[str] = []  # fixtures whose process never started
        self.clean = False  # no catalogue service is left: the last cleanup succeeded

    def prepare(self) -> None:
        missing = []
        for fixture in FIXTURES:
            path = _find(self.build_dir, fixture + ".exe")
            if path is None:
                missing.append(fixture + ".exe")
            else:
                self.fixtures[fixture] = path
        if missing:
            raise SetupError(f"not built in {self.build_dir}: {', '.join(missing)} "
                             "(cmake --preset windows && cmake --build --preset windows)")
        shutil.rmtree(self.cases_dir, ignore_errors=True)
        self.cases_dir.mkdir(parents=True)
        self.wine.start()
        # A prefix kept from an earlier run may still hold services.
        self.remove_services(CATALOGUE_SERVICES)
        self.clean = True

    def quillmar(self) -> Path:
        path = _find(self.build_dir, "quillmar.exe")
        if path is None:
            raise SetupError(f"quillmar.exe not built in {self.build_dir}")
        return path

    def new_case(self, scenario: model.Scenario) -> "Case":
        self.num_cases += 1
        # Short: some cases are about paths near Windows' 260-character limit,
        # so the case directory must not eat into it.
        safe = re.sub(r"[^A-Za-z0-9_-]+", "_", scenario.name)[:12]
        # The number first: no case directory can be a device name (con, nul).
        case = Case(self, scenario, self.cases_dir / f"c{self.num_cases:03d}-{safe}")
        self.timings.append(case.timing)
        return case

    def close(self) -> None:
        try:
            if self.wine.started:
                self.remove_services(CATALOGUE_SERVICES)
        finally:
            self.wine.stop()
        if self.timings:
            means = {k: sum(t[k] for t in self.timings) / len(self.timings) for k in self.timings[0]}
            print(f"wine backend: {len(self.timings)} cases, mean per case "
                  + ", ".join(f"{k} {v:.2f} s" for k, v in means.items()), file=sys.stderr)
        if not any(self.cases_dir.iterdir()):
            self.cases_dir.rmdir()
        if self.host_failures:
            print(f"note: Wine did not start {len(self.host_failures)} run(s), "
                  "each run once more:", file=sys.stderr)
            for text in self.host_failures:
                print("  " + text, file=sys.stderr)
        if self.host_noise:
            print(f"note: Wine's loader complained at exit {self.host_noise} time(s); "
                  "its lines were taken out of standard error", file=sys.stderr)

    # ---- fixtures ------------------------------------------------------------

    def fixture(self, name: str, *args: str, cwd: Path | None = None):
        return self.run_started([str(self.fixtures[name]), *args], retry_noise=True, cwd=cwd)

    def run_started(self, args: list[str], retry_noise: bool, full_status: bool = False, **kw):
        """Runs a fixture (args[0]), once more when its process never reached
        its main: that is Wine failing to start a process on a busy host, and
        the run did nothing. Each such run is kept as evidence. retry_noise:
        also once more when the loader complained at exit, which may have
        replaced the status (only for fixtures that read or clear)."""
        for attempt in (1, 2):
            if full_status:
                r, code = self.wine.run_full_status(args[0], args[1:], **kw)
            else:
                r, code = self.wine.run(args, **kw), None
            self.host_noise += r.host_noise
            started = take_start_line(r)
            if not started or (full_status and code is None
                               and LAUNCHER_NOT_STARTED in r.stderr + r.stdout):
                self.host_failures.append(evidence(args, r))
                print("host failure: " + self.host_failures[-1], file=sys.stderr)
                if attempt == 2:
                    raise WineError("never started twice: " + self.host_failures[-1])
                continue
            if attempt == 1 and retry_noise and r.host_noise:
                continue
            break
        if full_status and code is None:
            raise WineError(f"launcher wrote no exit code ({r.status}): "
                            f"{r.stderr.decode(errors='replace')}")
        return (r, code) if full_status else r

    def builtin(self, *args: str):
        """Runs a builtin (sc, reg), once more when Wine could not start it."""
        for attempt in (1, 2):
            r = self.wine.run(list(args), env=BUILTIN_DEBUG)
            self.host_noise += r.host_noise
            if r.status != 1 or not any(m in r.stdout + r.stderr for m in BUILTIN_NOT_STARTED):
                return r
            self.host_failures.append(evidence(args, r))
            print("host failure: " + self.host_failures[-1], file=sys.stderr)
        raise WineError("never started twice: " + self.host_failures[-1])

    def remove_services(self, names) -> None:
        r = self.fixture("svcremove", *names)
        if r.status != 0:
            raise WineError(f"services left behind (status {r.status}): {r.text().strip()} "
                            f"{r.stderr.decode(errors='replace').strip()}")

    def service_info(self, name: str) -> dict[str, str] | None:
        """The service's configuration and state, None when it is absent."""
        r = self.fixture("svcinfo", name)
        text = r.text()
        if text.strip() == "absent":
            return None
        if r.status != 0:
            raise WineError(f"svcinfo {name}: {r.stderr.decode(errors='replace')}")
        info: dict[str, str] = {}
        lines = text.split("\n")
        for item in lines[0].split():
            key, _, value = item.partition("=")
            info[key] = value
        for line in lines[1:]:
            key, _, value = line.partition("=")
            if key in ("path", "display"):
                info[key] = value
        return info

    def reg_value(self, key: str, name: str) -> tuple[str, int, str] | None:
        """(type, size in bytes, data) of a value below HKLM, None when absent."""
        r = self.fixture("regvalue", key, name)
        if r.status == 2:
            return None
        if r.status != 0:
            raise WineError(f"regvalue {key} {name}: {r.stderr.decode(errors='replace')}")
        head, _, data = r.text().partition("\n")
        m = re.fullmatch(r"type=(\S+) size=(\d+)", head)
        if m is None or not data.startswith("data="):
            raise WineError(f"regvalue printed {r.text()!r}")
        return m.group(1), int(m.group(2)), data[len("data="):].removesuffix("\n")


class Case:
    sep = "\\"

    def __init__(self, backend: Backend, scenario: model.Scenario, host_dir: Path):
        self.backend = backend
        self.scenario = scenario
        self.host_dir = str(host_dir)
        self.dir = to_windows(host_dir)
        self.services: list[str] = []  # names the set-up created, besides the catalogue
        self.shares: list[Path] = []  # links that make {dir} a share
        self.timing = {"setup": 0.0, "run": 0.0, "check": 0.0, "cleanup": 0.0}
        shutil.rmtree(host_dir, ignore_errors=True)
        host_dir.mkdir(parents=True)
        # Whatever an earlier case failed to clear (or kept for a look) would
        # change this one; its lingering test services are told to quit.
        if not backend.clean:
            before = time.monotonic()
            for mode_file in backend.cases_dir.glob("*/*.mode"):
                Path(str(mode_file)[: -len(".mode")] + ".quit").touch()
            backend.remove_services(CATALOGUE_SERVICES)
            self.timing["cleanup"] += time.monotonic() - before
        backend.clean = False

    def expand(self, s: str) -> str:
        if "{share}" in s:
            s = s.replace("{share}", self._share())
        return s.replace("{dir}", self.dir).replace("{sep}", self.sep)

    def _share(self) -> str:
        """{dir} as a share: Wine finds \\\\server\\share in the prefix's
        dosdevices/unc/server/share."""
        name = Path(self.host_dir).name.split("-")[0]
        link = self.backend.wine.prefix / "dosdevices" / "unc" / SHARE_SERVER / name
        if not link.is_symlink():
            link.parent.mkdir(parents=True, exist_ok=True)
            link.symlink_to(self.host_dir)
            self.shares.append(link)
        return f"\\\\{SHARE_SERVER}\\{name}"

    def host_path(self, path: str) -> Path:
        """A file below {dir}, named as a scenario names it."""
        path = self.expand(path)
        if path.lower().startswith(self.dir.lower()):
            path = path[len(self.dir):]
        parts = [p for p in re.split(r"[\\/]", path) if p]
        return Path(self.host_dir, *parts)

    # ---- set-up ------------------------------------------------------------------

    def setup(self, step) -> None:
        before = time.monotonic()
        try:
            if isinstance(step, model.Service):
                self._setup_service(step)
            elif isinstance(step, model.Console):
                self._setup_console(step)
            else:
                raise SetupError(f"{type(step).__name__} is a step of the native tier only")
            if isinstance(step, model.Console) and step.race is not None:
                raise SetupError("a racing backup is a step of the native tier only")
        finally:
            self.timing["setup"] += time.monotonic() - before

    def _sc(self, *args: str) -> None:
        r = self.backend.builtin("sc", *args)
        if r.status != 0:
            raise SetupError(f"sc {' '.join(args)} failed ({r.status}): {r.text().strip()}")

    def _setup_service(self, step: model.Service) -> None:
        if step.behaviour not in model.BEHAVIOURS:
            raise SetupError(f"unknown behaviour {step.behaviour!r}")
        if step.running and step.behaviour == "dies":
            raise SetupError(f"{step.name}: a service that dies cannot be set up running")
        exe = Path(self.host_dir, step.exe)
        shutil.copyfile(self.backend.fixtures["testsvc"], exe)
        code = f" {step.exit_code}" if step.exit_code is not None else ""
        mode = model.BEHAVIOURS[step.behaviour].testsvc.format(slow=self.backend.slow_seconds,
                                                              code=code)
        Path(f"{exe}.mode").write_text(mode + "\n")
        if step.name not in CATALOGUE_SERVICES and step.name not in self.services:
            self.services.append(step.name)

        # "type= interact" makes Wine's sc register 0x110, own process and
        # interactive, as quillmar itself does; a service created without a
        # display name shows its own name, as on Windows.
        self._sc("create", step.name, "binPath=", self.dir + self.sep + step.exe,
                 "DisplayName=", step.display if step.display is not None else step.name,
                 "type=", "interact", "start=", "auto")
        key = rf"HKLM\{SERVICES_KEY}\{step.name}\Parameters"
        for name, data in step.params.items():
            r = self.backend.builtin("reg", "add", key, "/v", name, "/t", "REG_SZ",
                                     "/d", self.expand(data), "/f")
            if r.status != 0:
                raise SetupError(f"reg add {key} {name} failed: {r.text().strip()}")
        if step.running:
            self._sc("start", step.name)
            wanted = "2" if step.behaviour == "nostart" else "4"
            for _ in range(100):
                info = self.backend.service_info(step.name)
                if info is not None and info["state"] == wanted:
                    break
                time.sleep(0.05)
            else:
                raise SetupError(f"{step.name} did not reach state {wanted}: {info}")

    def _setup_console(self, step: model.Console) -> None:
        sub = self.host_path(step.sub)
        sub.mkdir(parents=True, exist_ok=True)
        for file_name, content in (("hvcons.ini", step.hvcons_ini), ("hvcons.old", step.hvcons_old)):
            if content is not None:
                (sub / file_name).write_bytes(content.encode())
        if step.tool_status is not None:
            shutil.copyfile(self.backend.fixtures["fakemerge"], sub / "hvcfgmrg.exe")
            (sub / "hvcfgmrg.status").write_text(f"{step.tool_status}\n")
            if step.linger:
                (sub / "hvcfgmrg.linger").write_text(f"{step.linger}\n")
            if step.echo:
                (sub / "hvcfgmrg.echo").touch()

    # ---- the run -------------------------------------------------------------

    def run(self, args: list[str], combined: bool = False, piped: bool = False,
            stdin: bytes = b"") -> tuple[bytes, bytes, int]:
        """combined: both streams into one file, in the order written (stderr
        comes back empty). piped: both streams through the launcher's pipes,
        each read to its end. stdin: what the program reads, from a file."""
        before = time.monotonic()
        try:
            # Only a launcher that never started is run again: then quillmar
            # never ran either. The code comes from the launcher's file, so the
            # loader's exit trouble cannot change it; only its line is gone.
            launcher = [str(self.backend.fixtures["exitcode"])]
            # A UTF-8 command line from Linux cannot carry an unpaired
            # surrogate: the launcher then takes every backslash and such a
            # unit as an escape.
            if any(0xD800 <= ord(c) <= 0xDFFF for a in args for c in a):
                launcher.append("--escapes")
                args = ["".join(f"\\u{ord(c):04x}" if c == "\\" or 0xD800 <= ord(c) <= 0xDFFF
                                else c for c in a) for a in args]
            # Wine hands every process its parent's Unix standard error as
            # well, whatever its handles: the pipes that show what Windows
            # does are the launcher's own.
            if piped:
                launcher.append("--pipes")
            r, code = self.backend.run_started(
                [*launcher, to_windows(self.backend.quillmar()), *args], retry_noise=False,
                full_status=True, cwd=self.host_dir, timeout=600, combined=combined,
                stdin=stdin)
            return r.stdout, r.stderr, code
        finally:
            self.timing["run"] += time.monotonic() - before

    # ---- checks ----------------------------------------------------------------

    def check(self, chk) -> list[str]:
        before = time.monotonic()
        try:
            if isinstance(chk, model.ServiceState):
                return self._check_state(chk)
            if isinstance(chk, model.ServiceConfig):
                return self._check_config(chk)
            if isinstance(chk, model.RegValue):
                return self._check_reg(chk)
            if isinstance(chk, model.FileContent):
                return self._check_file(chk)
            if isinstance(chk, model.ToolRuns):
                return self._check_tool(chk)
            return [f"unknown check {chk!r}"]
        finally:
            self.timing["check"] += time.monotonic() - before

    def _check_state(self, chk: model.ServiceState) -> list[str]:
        # A deleted service goes only when its process has ended, and a test
        # service's process ends a moment after it stopped: a stopped service
        # expected absent gets that moment.
        deadline = time.monotonic() + GONE_SECONDS
        while True:
            info = self.backend.service_info(chk.name)
            if info is None:
                found = "absent"
            else:
                state = int(info["state"])
                found = STATE_NAMES.get(state, f"state {state}")
                if info.get("marked") == "1":
                    found += ", marked for deletion"
            if found == chk.state:
                return []
            if not (chk.state == "absent" and found.startswith("stopped")
                    and time.monotonic() < deadline):
                return [f"service {chk.name}: {found}, expected {chk.state}"]
            time.sleep(0.1)

    def _check_config(self, chk: model.ServiceConfig) -> list[str]:
        info = self.backend.service_info(chk.name)
        if info is None:
            return [f"service {chk.name}: absent, expected configured"]
        failures = []
        for field, expected in (("type", chk.type), ("start", chk.start), ("error", chk.error)):
            found = int(info[field], 0)
            if found != expected:
                failures.append(f"service {chk.name}: {field} {found:#x}, expected {expected:#x}")
        for field, expected in (("path", chk.path), ("display", chk.display)):
            if expected is not None and info[field] != self.expand(expected):
                failures.append(f"service {chk.name}: {field} {info[field]!r}, "
                                f"expected {self.expand(expected)!r}")
        return failures

    def _check_reg(self, chk: model.RegValue) -> list[str]:
        where = rf"HKLM\{chk.key} {chk.name}"
        value = self.backend.reg_value(chk.key, chk.name)
        if chk.data is None:
            return [] if value is None else [f"{where}: {value[2]!r}, expected absent"]
        if value is None:
            return [f"{where}: absent, expected {chk.data!r}"]
        reg_type, size, data = value
        expected = self.expand(chk.data)
        failures = []
        if reg_type != chk.type:
            failures.append(f"{where}: type {reg_type}, expected {chk.type}")
        if data != expected:
            failures.append(f"{where}: {data!r}, expected {expected!r}")
        elif reg_type in ("REG_SZ", "REG_EXPAND_SZ") and size != len(expected.encode("utf-16-le")) + 2:
            failures.append(f"{where}: {size} bytes stored, expected "
                            f"{len(expected.encode('utf-16-le')) + 2} (the terminating NUL counted)")
        return failures

    def _check_file(self, chk: model.FileContent) -> list[str]:
        path = self.host_path(chk.path)
        if chk.content is None:
            return [f"{chk.path}: present, expected absent"] if path.exists() else []
        if not path.is_file():
            return [f"{chk.path}: absent, expected {chk.content!r}"]
        found = path.read_bytes().decode(errors="replace")
        expected = self.expand(chk.content)
        return [] if found == expected else [f"{chk.path}: {found!r}, expected {expected!r}"]

    def _check_tool(self, chk: model.ToolRuns) -> list[str]:
        sub = self.host_path(chk.sub)
        log = sub / "hvcfgmrg.log"
        # The tool runs with the UTF-8 code page, as quillmar does.
        lines = log.read_bytes().decode("utf-8").splitlines() if log.exists() else []
        failures = []
        if len(lines) != chk.count:
            failures.append(f"merge tool in {chk.sub}: ran {len(lines)} times, expected {chk.count}")
        expected = [to_windows(sub), *chk.args]
        for line in lines:
            fields = line.split("\t")
            if fields != expected:
                failures.append(f"merge tool in {chk.sub}: ran as {fields}, expected {expected}")
        return failures

    # ---- after the case ------------------------------------------------------------

    def cleanup(self) -> None:
        before = time.monotonic()
        try:
            # Test services that linger (slow stop, start pending) end at once.
            for mode_file in Path(self.host_dir).glob("*.mode"):
                Path(str(mode_file)[: -len(".mode")] + ".quit").touch()
            self.backend.remove_services([*CATALOGUE_SERVICES, *self.services])
            self.backend.wine.check_one_services()
            for link in self.shares:
                link.unlink(missing_ok=True)
            self.backend.clean = True
            if not os.environ.get("QUILLMAR_KEEP_CASES"):
                shutil.rmtree(self.host_dir, ignore_errors=True)
        finally:
            self.timing["cleanup"] += time.monotonic() - before


# ---- self-test ------------------------------------------------------------------
#
# Runs the backend's own steps against Wine without quillmar.exe: every
# check must accept the machine it should and reject a wrong expectation,
# the launcher must keep whole exit codes and arguments, and Wine must still
# answer the service calls as the scenarios expect.

KEY_ELOG = SERVICES_KEY + r"\OrvEvtLogger\Parameters"


class SelfTest:
    def __init__(self, backend: Backend):
        self.backend = backend
        self.passed = 0
        self.failed = 0

    def expect(self, label: str, ok: bool, detail: object = "") -> None:
        if ok:
            self.passed += 1
            print(f"ok    {label}")
        else:
            self.failed += 1
            print(f"FAIL  {label}: {detail}")

    def holds(self, case: Case, checks) -> None:
        for chk in checks:
            failures = case.check(chk)
            self.expect(f"holds: {chk}", not failures, failures)

    def rejects(self, case: Case, checks) -> None:
        for chk in checks:
            self.expect(f"rejects: {chk}", bool(case.check(chk)), "no failure reported")

    def probe(self, case: Case, action: str, name: str) -> list[str]:
        r = self.backend.fixture("wineprobe", action, name, cwd=Path(case.host_dir))
        return r.text().splitlines()

    def case(self, name: str) -> Case:
        return self.backend.new_case(model.Scenario(name=name, args=[]))

    def service_checks(self) -> None:
        case = self.case("service set-up and checks")
        case.setup(model.Service(name="OrvEvtLogger", display="PC's Orv Event Logger",
                                 exe="iorvelsr.exe", running=True,
                                 params={"AppDirectory": "{dir}", "PFAFilename": "{dir}\\a b.pfa"}))
        self.holds(case, [
            model.ServiceState("OrvEvtLogger", "running"),
            model.ServiceConfig("OrvEvtLogger", path="{dir}\\iorvelsr.exe",
                                display="PC's Orv Event Logger"),
            model.RegValue(KEY_ELOG, "AppDirectory", "{dir}"),
            model.RegValue(KEY_ELOG, "PFAFilename", "{dir}{sep}a b.pfa"),
            model.RegValue(KEY_ELOG, "AppPortNumber", None),
            model.ServiceState("OrvFLM", "absent"),
        ])
        self.rejects(case, [
            model.ServiceState("OrvEvtLogger", "stopped"),
            model.ServiceState("OrvEvtLogger", "absent"),
            model.ServiceState("OrvFLM", "stopped"),
            model.ServiceConfig("OrvEvtLogger", type=0x10),
            model.ServiceConfig("OrvEvtLogger", start=3),
            model.ServiceConfig("OrvEvtLogger", path="{dir}\\worvserv.exe"),
            model.ServiceConfig("OrvEvtLogger", display="Orv Field Link Manager"),
            model.ServiceConfig("OrvFLM"),
            model.RegValue(KEY_ELOG, "AppDirectory", "{dir}\\"),
            model.RegValue(KEY_ELOG, "AppDirectory", None),
            model.RegValue(KEY_ELOG, "AppPortNumber", "1"),
            model.RegValue(KEY_ELOG, "AppDirectory", "{dir}", type="REG_EXPAND_SZ"),
        ])
        r = self.backend.wine.run(["sc", "stop", "OrvEvtLogger"])
        self.expect("sc stop of a normal test service", r.status == 0, r.text())
        time.sleep(0.3)
        self.holds(case, [model.ServiceState("OrvEvtLogger", "stopped")])
        # A value stored without its terminator must be caught.
        self.backend.wine.run(["reg", "add", rf"HKLM\{KEY_ELOG}", "/v", "Raw", "/t", "REG_BINARY",
                               "/d", "4142", "/f"])
        self.rejects(case, [model.RegValue(KEY_ELOG, "Raw", "AB")])
        case.cleanup()
        self.holds(case, [model.ServiceState(n, "absent") for n in CATALOGUE_SERVICES])
        self.holds(case, [model.RegValue(KEY_ELOG, "AppDirectory", None)])

    def console_and_launcher(self) -> None:
        case = self.case("console, merge tool and launcher")
        case.setup(model.Console(sub="console", tool_status=50003))
        case.setup(model.Console(sub="with blank", hvcons_ini=None, hvcons_old="old\r\n",
                                 tool_status=None))
        sub = Path(case.host_dir, "console")
        exitcode = str(self.backend.fixtures["exitcode"])
        tool = to_windows(sub / "hvcfgmrg.exe")
        r, code = self.backend.run_started([exitcode, tool, "merge", "orv.ini"], retry_noise=False,
                                           full_status=True, cwd=sub)
        self.expect("launcher keeps the whole exit code", code == 50003, code)
        self.expect("Linux sees only its low 8 bits", r.status == 50003 & 0xFF, r.status)
        self.expect("tool output reaches the launcher's standard output",
                    r.stdout == b"hvcfgmrg: merged into hvcons.ini\r\n", r.stdout)
        self.expect("the tool writes nothing on standard error", r.stderr == b"", r.stderr)
        self.holds(case, [
            model.ToolRuns("console", 1),
            model.ToolRuns("with blank", 0),
            model.FileContent("console{sep}hvcons.ini", "[services]\nbase=1\n"),
            model.FileContent("console/hvcons.old", None),
            model.FileContent("{dir}\\with blank\\hvcons.old", "old\r\n"),
            model.FileContent("with blank/hvcons.ini", None),
        ])
        self.rejects(case, [
            model.ToolRuns("console", 2),
            model.ToolRuns("console", 1, ("merge", "orv.ini", "x")),
            model.FileContent("console/hvcons.ini", "[services]\r\nbase=1\r\n"),
            model.FileContent("console/hvcons.ini", None),
            model.FileContent("console/hvcons.old", ""),
        ])

        r, code = self.backend.run_started(
            [exitcode, "cmd", "/c", "echo one& echo two 1>&2& echo three"], retry_noise=False,
            full_status=True, cwd=sub, combined=True)
        self.expect("combined: both streams arrive in one file, in order",
                    (r.stdout, r.stderr, code) == (b"one\r\ntwo \r\nthree\r\n", b"", 0),
                    (r.stdout, r.stderr, code))

        (sub / "hvcfgmrg.status").write_text("0\n")
        (sub / "hvcfgmrg.log").unlink()
        hard = ["a b", "&", "%PATH%", 'say "hi"', "back\\slash\\", 'tail\\"q', "x^y|z<w>",
                "\\\\server\\share\\", "", "  two  blanks ", "ünï"]
        r, code = self.backend.run_started([exitcode, tool, *hard], retry_noise=False,
                                           full_status=True, cwd=sub)
        logged = (sub / "hvcfgmrg.log").read_bytes().decode("utf-8").rstrip("\n").split("\t")[1:]
        self.expect("launcher passes awkward arguments unchanged", logged == hard and code == 0,
                    f"{logged} (exit {code})")
        case.cleanup()

    def wine_answers(self) -> None:
        """The Service Control Manager answers the scenarios depend on."""
        case = self.case("wine answers")
        exe = Path(case.host_dir, "worvserv.exe")
        case.setup(model.Service(name="OrvFLM", exe="worvserv.exe", behaviour="dies"))
        lines = self.probe(case, "start", "OrvFLM")
        self.expect("a service that reports START_PENDING then STOPPED: the start succeeds",
                    lines[:1] == ["start ok"], lines)
        self.expect("... and it is seen stopped, never running",
                    any(l.endswith("state=1") for l in lines[2:])
                    and not any(l.endswith("state=4") for l in lines[2:]), lines)

        Path(f"{exe}.mode").write_text("exitnow\n")
        lines = self.probe(case, "start", "OrvFLM")
        self.expect("a service that exits before reporting: the start fails with 1053",
                    lines[:1] == ["start err=1053"], lines)

        Path(f"{exe}.mode").write_text("normal\n")
        lines = self.probe(case, "start", "OrvFLM")
        self.expect("a normal test service is running when StartService returns",
                    lines[:1] == ["start ok"] and lines[2] == "t=0 state=4", lines)
        lines = self.probe(case, "start", "OrvFLM")
        self.expect("starting a running service fails with 1056", lines[:1] == ["start err=1056"], lines)
        # The test service reports STOPPED from its handler, so the stop is
        # complete when ControlService returns and a second STOP finds it
        # stopped; quillmar's first poll depends on that.
        lines = self.probe(case, "stop2", "OrvFLM")
        self.expect("a stop is complete when ControlService returns; a second STOP fails with 1062",
                    lines[:2] == ["stop ok state=1", "stop err=1062 state=1"], lines)
        self.holds(case, [model.ServiceState("OrvFLM", "stopped")])

        lines = self.probe(case, "delete", "OrvFLM")
        self.expect("after DeleteService the same handle still answers QueryServiceStatus",
                    lines == ["delete ok", "query ok state=1", "delete err=1072", "open-again ok",
                              "open-after-close err=1060"], lines)
        self.holds(case, [model.ServiceState("OrvFLM", "absent")])

        case.setup(model.Service(name="OrvFLM", exe="worvserv.exe", behaviour="slowstop", running=True))
        self.backend.wine.run(["sc", "stop", "OrvFLM"])
        time.sleep(0.3)
        lines = self.probe(case, "stop2", "OrvFLM")
        self.expect("a STOP to a service that is stop pending fails with 1061",
                    lines[:2] == ["stop err=1061 state=3", "stop err=1061 state=3"], lines)
        self.holds(case, [model.ServiceState("OrvFLM", "stop pending")])
        case.setup(model.Service(name="OrvEvtLogger", exe="iorvelsr.exe", behaviour="nostart",
                                 running=True))
        self.holds(case, [model.ServiceState("OrvEvtLogger", "start pending")])
        r = self.backend.wine.run(["sc", "stop", "OrvEvtLogger"])
        self.expect("a service that is start pending refuses a STOP", r.status != 0, r.text())
        before = time.monotonic()
        case.cleanup()
        seconds = time.monotonic() - before
        self.expect(f"slow services are cleared in {seconds:.1f} s, not "
                    f"{self.backend.slow_seconds}", seconds < 5)

    def marked_for_delete(self) -> None:
        """A running service that is deleted stays until it stops."""
        case = self.case("marked for delete")
        case.setup(model.Service(name="HalvBase", exe="halv.exe", running=True))
        lines = self.probe(case, "delete", "HalvBase")
        self.expect("DeleteService of a running service only marks it",
                    lines[:2] == ["delete ok", "query ok state=4"] and lines[-1] == "open-after-close ok",
                    lines)
        r = self.backend.wine.run(["sc", "create", "HalvBase", "binPath=", "x.exe"])
        self.expect("creating a service of the same name fails meanwhile", r.status != 0, r.text())
        case.cleanup()
        self.holds(case, [model.ServiceState("HalvBase", "absent")])


    def code_page_check(self) -> None:
        """quillmar.exe's check that its command line arrived as typed, run
        for the legacy code page 1252 (Wine honours the manifest's UTF-8)."""
        case = self.case("code page check")
        for code_page, arg, expected in (
            (1252, "plain ASCII", "0"),
            (1252, "Latin-1 ó", "0"),
            (1252, "C:\\程序", "1113"),           # no such letters: would become "??"
            (1252, "C:\\Orv\uff3c..\uff3cx", "1113"),  # fullwidth backslash: would become "\\"
            (1252, "\u0100", "1113"),              # would become "A"
            (1252, "a\u3000b", "1113"),            # ideographic space: would become a blank
            (65001, "C:\\Ā程序", "0"),
        ):
            r = self.backend.fixture("cpcheck", str(code_page), arg, cwd=Path(case.host_dir))
            self.expect(f"code page {code_page}, {arg!r}: {expected}",
                        r.text().strip() == expected, r.text())
        case.cleanup()


    def start_up(self) -> None:
        """What a run of quillmar.exe costs before its main: the DLLs it
        loads, and the stack protector's guard, seeded without libssp."""
        case = self.case("start-up")
        loaded = {}
        for name, exe in (("quillmar.exe", self.backend.quillmar()),
                          ("floor.exe", self.backend.fixtures["floor"])):
            r = self.backend.wine.run([str(exe), "-h"], cwd=case.host_dir,
                                      env={"WINEDEBUG": "-all,+loaddll"})
            found = re.findall(r'Loaded L"([^"]*)"', r.stderr.decode(errors="replace"))
            loaded[name] = {p.rsplit("\\", 1)[-1].lower() for p in found} - {name}
            self.expect(f"{name} -h ran and its DLLs were listed", r.status == 0 and found,
                        (r.status, r.stderr[-300:]))
        extra = loaded["quillmar.exe"] - loaded["floor.exe"]
        self.expect("quillmar.exe loads no DLL beyond those of a program with its imports "
                    f"({', '.join(sorted(loaded['floor.exe']))})", not extra, sorted(extra))

        guards = [self.backend.fixture("cpcheck", "--guard", cwd=Path(case.host_dir)).text().strip()
                  for _ in range(2)]
        self.expect("the stack guard is seeded anew in every process",
                    len(set(guards)) == 2 and "5bf5d1e04a3c9d27" not in guards, guards)
        r = self.backend.fixture("cpcheck", "--smash", "short", cwd=Path(case.host_dir))
        self.expect("a protected function that keeps to its buffer returns", r.text() == "5\n",
                    r.text())
        r, code = self.backend.run_started(
            [str(self.backend.fixtures["exitcode"]), to_windows(self.backend.fixtures["cpcheck"]),
             "--smash", "x" * 64], retry_noise=False, full_status=True, cwd=Path(case.host_dir))
        self.expect("a smashed stack ends the process with 0xC0000409", code == 0xC0000409,
                    code)
        case.cleanup()


def _selftest(build_dir: str, work_root: str) -> int:
    backend = Backend(build_dir, work_root)
    before = time.monotonic()
    backend.prepare()
    print(f"prepare: {time.monotonic() - before:.1f} s (prefix built in "
          f"{backend.wine.prefix_seconds or 0:.1f} s)")
    test = SelfTest(backend)
    try:
        for part in (test.service_checks, test.console_and_launcher, test.wine_answers,
                     test.marked_for_delete, test.code_page_check, test.start_up):
            before = time.monotonic()
            part()
            print(f"--    {part.__name__}: {time.monotonic() - before:.1f} s")
    finally:
        backend.close()
    for case_timing in backend.timings:
        print("timing " + ", ".join(f"{k} {v:.2f} s" for k, v in case_timing.items()))
    print(f"{test.passed} passed, {test.failed} failed")
    return 1 if test.failed else 0


if __name__ == "__main__":
    if len(sys.argv) in (3, 4) and sys.argv[1] == "--selftest":
        work = sys.argv[3] if len(sys.argv) == 4 else "/tmp/quillmar-wine-selftest"
        sys.exit(_selftest(sys.argv[2], work))
    print("usage: backend_wine.py --selftest BUILD_DIR_WINDOWS [WORK_DIR]", file=sys.stderr)
    sys.exit(2)
