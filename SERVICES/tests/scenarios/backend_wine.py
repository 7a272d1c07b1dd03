"""The Wine tier: the Windows test kit, run under Wine.

The scenarios run under Wine exactly as on a Windows machine: the Windows
build's kit ZIP (quillmar-<version>-win64-tests.zip, cmake/TestKit.cmake)
is unpacked and its run-tests.cmd run, whose runner (qmkit.exe) sets each
scenario up through the Win32 API, runs quillmar.exe, compares its
streams and exit status and checks the machine afterwards, with Wine's
answers where Wine is known to differ from Windows. This module owns only
what is Wine's: a private prefix with one wineserver for the whole run
(wineenv.py), the link through which the administrative share
\\\\localhost\\z$ reaches the Z: drive, reading the kit's TAP, and the
exit status.

    python3 run_scenarios.py --tier wine --build build/windows [-k TEXT] [--quick] [--list] [--keep]
    python3 backend_wine.py --selftest build/windows [WORK_DIR]
    python3 backend_wine.py --kit-proof floor|foreign|planted|intruder build/windows [WORK_DIR]
    python3 backend_wine.py --msi quillmar|floor build/windows [WORK_DIR]

--selftest drives the runner's single steps (setup, check, launch, clean)
without quillmar.exe and pins down the Wine answers that the scenarios
rely on. --kit-proof shows that the kit fails with a quillmar.exe that
does nothing (floor.exe); that it refuses, changing nothing, while an
OrvEvtLogger exists that it did not create (foreign), while its folder or
a work folder left behind may be changed by others, and that it writes
nothing outside its work folder that a leftover names (planted); and that
it leaves a catalogue service created by someone else during a slow
scenario as it is, failing, while a second kit refuses (intruder).
--msi: see "an installer".
"""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "wine"))
sys.path.insert(0, str(HERE.parent / "kit"))

import make_kit_data  # noqa: E402
import model  # noqa: E402
from wineenv import HOST_NOISE, WINE, WineEnv, WineError, to_windows  # noqa: E402

CATALOGUE_SERVICES = make_kit_data.CATALOGUE_SERVICES
SERVICES_KEY = r"SYSTEM\CurrentControlSet\Services"
# Probes of Wine's own answers, run straight from the Windows build; the
# kit brings the runner, the test service and the merge tool's stand-in.
FIXTURES = ("wineprobe", "cpcheck", "floor")
KIT_STATUS_REFUSED = 3

# Every fixture's first line on standard error (started.h; CRLF in text mode).
STARTED = b"[fixture started]\r\n"
TAP_RESULT = re.compile(r"^(not )?ok (\d+) - (\S+) (.*?)(?: # SKIP (.*))?$")


class SetupError(RuntimeError):
    pass


def take_start_line(r) -> bool:
    """Takes the fixture's start line out of its output; False when the
    process never reached its main (the host's failure, not the fixture's)."""
    for stream in ("stderr", "stdout"):  # stdout when both streams were combined
        data = getattr(r, stream)
        if data.startswith(STARTED):
            setattr(r, stream, data[len(STARTED):])
            return True
    return False


def evidence(args, r) -> str:
    return (f"{' '.join(map(str, args))}: status {r.status}, Wine did not start it; "
            f"stdout {r.stdout!r}, stderr {r.stderr!r}")


def _find(build_dir: Path, name: str) -> Path | None:
    direct = build_dir / name
    if direct.is_file():
        return direct
    return next((p for p in sorted(build_dir.rglob(name)) if p.is_file()), None)


def find_kit(build_dir: Path) -> Path:
    """The kit ZIP of a Windows build: the one the build makes (kit/), else
    the one cpack made with a release (packages/)."""
    for where in ("kit", "packages"):
        found = sorted((build_dir / where).glob("quillmar-*-win64-tests.zip"))
        if found:
            return found[-1]
    raise SetupError(f"no test kit built in {build_dir} "
                     "(cmake --preset windows && cmake --build --preset windows)")


def kit_dir_for(work_root: Path) -> Path:
    """Where a work root's kit is unpacked: short and free of blanks, as the
    kit needs (it refuses a folder longer than 90 characters), and the same
    for every run of the work root, so that a run after an interrupted one
    finds the services that one left as its own."""
    digest = hashlib.sha1(str(work_root).encode()).hexdigest()[:10]
    return Path("/tmp") / f"qmkit-{digest}"


class KitRun:
    """The kit unpacked and run under Wine, in a prefix of the work root."""

    def __init__(self, build_dir: str | os.PathLike, work_root: str | os.PathLike):
        self.build_dir = Path(build_dir).resolve()
        self.work_root = Path(work_root).resolve()
        self.wine = WineEnv(self.work_root / "wine")
        self.kit = kit_dir_for(self.work_root)
        self.host_failures: list[str] = []

    def start(self) -> None:
        archive = find_kit(self.build_dir)
        shutil.rmtree(self.kit, ignore_errors=True)
        self.kit.mkdir(parents=True)
        with zipfile.ZipFile(archive) as z:
            z.extractall(self.kit)
        # The kit refuses a folder that others may change, and Wine reads
        # that from the mode: the umask must not decide.
        for path in (self.kit, *self.kit.rglob("*")):
            path.chmod(path.stat().st_mode & ~0o022)
        self.wine.start()
        self._link_share()

    def _link_share(self) -> None:
        """\\\\localhost\\z$, the administrative share of drive Z:, as the kit
        names a share on Windows: Wine finds \\\\server\\share in the prefix's
        dosdevices/unc/server/share."""
        drive = self.wine.prefix / "dosdevices" / "z:"
        link = self.wine.prefix / "dosdevices" / "unc" / "localhost" / "z$"
        link.parent.mkdir(parents=True, exist_ok=True)
        if not link.is_symlink():
            link.symlink_to(os.readlink(drive) if drive.is_symlink() else "/")

    def stop(self, keep: bool = False) -> None:
        try:
            if self.wine.started:
                self.wine.check_one_services()
        finally:
            self.wine.stop()
            if not keep:
                shutil.rmtree(self.kit, ignore_errors=True)

    def run_tests(self, args: list[str], echo: bool = False,
                  timeout: float = 1500) -> tuple[int, str, str]:
        """run-tests.cmd with args under Wine: its Linux status (the low 8 bits
        of the kit's), standard output and error. Run once more when Wine
        failed to start the kit itself: no line at all on either stream."""
        for attempt in (1, 2):
            status, out, err = self._run_once(args, echo, timeout)
            if status == 0 or out.strip() or err.strip() or attempt == 2:
                return status, out, err
            self.host_failures.append(f"run-tests.cmd {' '.join(args)}: status {status}, "
                                      "no output: Wine did not start it")
            print("host failure: " + self.host_failures[-1], file=sys.stderr)
        raise AssertionError("unreachable")

    def _run_once(self, args: list[str], echo: bool, timeout: float) -> tuple[int, str, str]:
        # Files, not pipes: Wine hands every process its parent's Unix
        # standard error, so a process a scenario leaves behind would hold a
        # pipe open after the kit has ended.
        out_path = self.work_root / "kit.out"
        err_path = self.work_root / "kit.err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            p = subprocess.Popen([WINE, "cmd", "/c", to_windows(self.kit / "run-tests.cmd"),
                                  *args], cwd=self.kit, env=self.wine.env,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            shown = 0
            deadline = time.monotonic() + timeout
            while True:
                try:
                    p.wait(timeout=0.5)
                    finished = True
                except subprocess.TimeoutExpired:
                    finished = False
                if echo:
                    data = out_path.read_bytes()
                    end = len(data) if finished else data.rfind(b"\n", shown) + 1
                    if end > shown:
                        sys.stdout.write(data[shown:end].decode("utf-8", "replace")
                                         .replace("\r\n", "\n"))
                        sys.stdout.flush()
                        shown = end
                if finished:
                    break
                if time.monotonic() > deadline:
                    p.kill()
                    p.wait()
                    raise WineError(f"run-tests.cmd did not end within {timeout:.0f} s")
        text = out_path.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n")
        errors = HOST_NOISE.sub(b"", err_path.read_bytes()).decode("utf-8", "replace")
        return p.returncode, text, errors.replace("\r\n", "\n")


def parse_tap(text: str) -> tuple[int | None, list[tuple[bool, str, str, str | None]]]:
    """The plan's count and each result: (ok, id, title, skip reason)."""
    plan = None
    results = []
    for line in text.splitlines():
        if re.fullmatch(r"1\.\.\d+", line):
            plan = int(line[3:])
        m = TAP_RESULT.match(line)
        if m:
            title = re.sub(r"\\(.)", r"\1", m.group(4))
            results.append((m.group(1) is None, m.group(3), title, m.group(5)))
    return plan, results


def run_tier(build_dir: str, work_root: str, substring: str | None, quick: bool,
             list_only: bool, keep: bool) -> int:
    """The scenarios under Wine, for run_scenarios.py --tier wine."""
    args = (["-k", substring] if substring else []) + (["--quick"] if quick else []) + \
        (["--list"] if list_only else []) + (["--keep"] if keep else [])
    run = KitRun(build_dir, work_root)
    failed_ids: list[str] = []
    try:
        run.start()
        status, out, err = run.run_tests(args, echo=True)
        sys.stderr.write(err)
        if list_only:
            return status
        plan, results = parse_tap(out)
        results_dir = run.work_root / "kit-results"
        shutil.rmtree(results_dir, ignore_errors=True)
        results_dir.mkdir()
        for name in ("junit.xml", "failed"):
            source = run.kit / name
            if source.is_dir():
                shutil.copytree(source, results_dir / name)
            elif source.is_file():
                shutil.copy(source, results_dir / name)
        failed_ids = [f"{ident} {title}" for ok, ident, title, _ in results if not ok]
    finally:
        run.stop(keep=keep and bool(failed_ids))
    passed = sum(1 for ok, _, _, skip in results if ok and skip is None)
    skipped = sum(1 for ok, _, _, skip in results if ok and skip is not None)
    if failed_ids:
        print("failed: " + "; ".join(failed_ids))
        print(f"reports: {run.work_root / 'kit-results'}")
        if keep:
            print(f"cases kept in {run.kit / 'work'}")
    for text in run.host_failures:
        print("note: " + text)
    print(f"{passed} passed, {len(failed_ids)} failed, {skipped} skipped")
    complete = plan is not None and plan == len(results)
    if not complete:
        print(f"the kit's TAP is incomplete: plan {plan}, {len(results)} results "
              f"(status {status})")
    return 0 if status == 0 and complete and not failed_ids else 1


# ---- the self-test's steps --------------------------------------------------------
#
# The self-test drives the kit's runner one step at a time (qmkit setup,
# check, launch, clean on a case below the kit's work folder), and runs
# the build's probes of Wine's own answers beside it.


class Backend:
    name = "wine"

    def __init__(self, build_dir_windows: str, work_root: str):
        self.build_dir = Path(build_dir_windows).resolve()
        self.work_root = Path(work_root).resolve()
        self.run = KitRun(self.build_dir, self.work_root)
        self.wine = self.run.wine
        self.kit = self.run.kit
        self.fixtures: dict[str, Path] = {}
        self.header: dict[str, str] = {}  # the kit data's version and slow seconds
        self.num_cases = 0
        self.timings: list[dict[str, float]] = []
        self.host_noise = 0  # Wine loader messages taken out of standard error
        self.host_failures: list[str] = []  # fixtures whose process never started

    @property
    def slow_seconds(self) -> int:
        return int(self.header["slow-seconds"])

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
        self.run.start()
        for name in ("qmkit", "testsvc", "fakemerge", "quillmar"):
            self.fixtures[name] = self.kit / f"{name}.exe"
        for line in (self.kit / "scenarios.txt").read_text().splitlines():
            if line.startswith("scenario\t"):
                break
            key, _, value = line.partition("\t")
            self.header[key] = value
        # A prefix kept from an earlier run may still hold services.
        Case(self, model.Scenario(name="prepare", args=[]), "c000").cleanup()

    def quillmar(self) -> Path:
        return self.fixtures["quillmar"]

    def new_case(self, scenario: model.Scenario) -> "Case":
        self.num_cases += 1
        case = Case(self, scenario, f"c{self.num_cases:03d}")
        self.timings.append(case.timing)
        return case

    def close(self) -> None:
        self.run.stop()
        if self.timings:
            means = {k: sum(t[k] for t in self.timings) / len(self.timings) for k in self.timings[0]}
            print(f"wine self-test: {len(self.timings)} cases, mean per case "
                  + ", ".join(f"{k} {v:.2f} s" for k, v in means.items()), file=sys.stderr)
        if self.host_failures:
            print(f"note: Wine did not start {len(self.host_failures)} run(s), "
                  "each run once more:", file=sys.stderr)
            for text in self.host_failures:
                print("  " + text, file=sys.stderr)
        if self.host_noise:
            print(f"note: Wine's loader complained at exit {self.host_noise} time(s); "
                  "its lines were taken out of standard error", file=sys.stderr)

    def fixture(self, name: str, *args: str, cwd: Path | None = None):
        return self.run_started([str(self.fixtures[name]), *args], retry_noise=True, cwd=cwd)

    def run_started(self, args: list[str], retry_noise: bool, **kw):
        """Runs a fixture (args[0]), once more when its process never reached
        its main: that is Wine failing to start a process on a busy host, and
        the run did nothing. Each such run is kept as evidence. retry_noise:
        also once more when the loader complained at exit, which may have
        replaced the status (only for fixtures that read or clear)."""
        for attempt in (1, 2):
            r = self.wine.run(args, **kw)
            self.host_noise += r.host_noise
            if not take_start_line(r):
                self.host_failures.append(evidence(args, r))
                print("host failure: " + self.host_failures[-1], file=sys.stderr)
                if attempt == 2:
                    raise WineError("never started twice: " + self.host_failures[-1])
                continue
            if attempt == 1 and retry_noise and r.host_noise:
                continue
            break
        return r


class Case:
    """A case of the self-test below the kit's work folder, each step one
    run of the kit's runner on a one-scenario data file."""

    sep = "\\"

    def __init__(self, backend: Backend, scenario: model.Scenario, name: str):
        self.backend = backend
        self.scenario = scenario
        self.name = name
        self.host_dir = str(backend.kit / "work" / name)
        self.dir = to_windows(self.host_dir)
        self.timing = {"setup": 0.0, "run": 0.0, "check": 0.0, "cleanup": 0.0}
        self.steps = 0
        Path(self.host_dir).mkdir(parents=True, exist_ok=True)

    def expand(self, s: str) -> str:
        return s.replace("{dir}", self.dir).replace("{sep}", self.sep)

    def _data(self, scenario: model.Scenario) -> str:
        """The scenario as a data file of the kit, named as the runner reads it."""
        self.steps += 1
        path = self.backend.kit / "work" / f"{self.name}-{self.steps}.data"
        path.parent.mkdir(parents=True, exist_ok=True)
        h = self.backend.header
        path.write_text(make_kit_data.encode([scenario], h["version"], int(h["slow-seconds"]),
                                             float(h["slow-guard"])))
        return to_windows(path)

    def _step(self, timing: str, *args: str):
        before = time.monotonic()
        try:
            return self.backend.fixture("qmkit", *args, cwd=self.backend.kit)
        finally:
            self.timing[timing] += time.monotonic() - before

    def setup(self, step) -> None:
        data = self._data(model.Scenario(name=f"{self.name} set-up", args=[], setup=[step]))
        r = self._step("setup", "setup", self.name, data)
        if r.status != 0:
            raise SetupError(f"qmkit setup failed ({r.status}): {r.stderr.decode(errors='replace')}")

    def check_all(self, checks) -> list[list[str]]:
        """Each check's failures, in order (none when it holds)."""
        data = self._data(model.Scenario(name=f"{self.name} checks", args=[], checks=list(checks)))
        r = self._step("check", "check", self.name, data)
        lines = r.text().splitlines()
        if len(lines) != len(checks) or r.status not in (0, 1):
            raise WineError(f"qmkit check printed {r.text()!r} ({r.status}): "
                            f"{r.stderr.decode(errors='replace')}")
        return [[] if line.startswith("ok\t") else line.split("\t")[2:] for line in lines]

    def check(self, chk) -> list[str]:
        return self.check_all([chk])[0]

    def launch(self, program: str, args: list[str], combined: bool = False,
               piped: bool = False, stdin: str = "") -> tuple[bytes, bytes, int]:
        """program (a Windows path, "-" for the kit's quillmar.exe) run with
        args in the case's folder exactly as a scenario's run: standard
        output, standard error and the whole 32-bit exit code."""
        scenario = model.Scenario(name=f"{self.name} launch", args=args, piped=piped, stdin=stdin,
                                  combined="" if combined else None)
        r = self._step("run", "launch", self.name, self._data(scenario), program)
        m = re.match(r"started=1 error=0 status=(\d+) ", r.text())
        if m is None:
            raise WineError(f"qmkit launch {program}: {r.text()!r}")
        run_dir = Path(self.host_dir + ".run")
        return (run_dir / "out.bin").read_bytes(), (run_dir / "err.bin").read_bytes(), \
            int(m.group(1))

    def cleanup(self) -> None:
        r = self._step("cleanup", "clean", self.name)
        for data in (self.backend.kit / "work").glob(f"{self.name}-*.data"):
            data.unlink()
        if r.status != 0:
            raise WineError(f"qmkit clean {self.name} left: {r.stderr.decode(errors='replace')}")


# ---- self-test ------------------------------------------------------------------
#
# Runs the runner's own steps against Wine without quillmar.exe: every
# check must accept the machine it should and reject a wrong expectation,
# the runner's launch must keep whole exit codes and arguments, and Wine
# must still answer the service calls as the scenarios expect.

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
        for chk, failures in zip(checks, case.check_all(checks)):
            self.expect(f"holds: {chk}", not failures, failures)

    def rejects(self, case: Case, checks) -> None:
        for chk, failures in zip(checks, case.check_all(checks)):
            self.expect(f"rejects: {chk}", bool(failures), "no failure reported")

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
        """The runner's launch, as every scenario's run uses it."""
        case = self.case("console, merge tool and launcher")
        case.setup(model.Console(sub=".", tool_status=50003))
        case.setup(model.Console(sub="with blank", hvcons_ini=None, hvcons_old="old\r\n",
                                 tool_status=None))
        tool = case.dir + "\\hvcfgmrg.exe"
        out, err, code = case.launch(tool, ["merge", "orv.ini"])
        self.expect("the runner keeps the whole exit code", code == 50003, code)
        self.expect("tool output reaches the runner's standard output",
                    out == b"hvcfgmrg: merged into hvcons.ini\r\n", out)
        self.expect("the tool writes nothing on standard error", err == b"", err)
        self.holds(case, [
            model.ToolRuns(".", 1),
            model.ToolRuns("with blank", 0),
            model.FileContent("hvcons.ini", "[services]\nbase=1\n"),
            model.FileContent("{dir}{sep}hvcons.old", None),
            model.FileContent("{dir}\\with blank\\hvcons.old", "old\r\n"),
            model.FileContent("with blank/hvcons.ini", None),
        ])
        self.rejects(case, [
            model.ToolRuns(".", 2),
            model.ToolRuns(".", 1, ("merge", "orv.ini", "x")),
            model.FileContent("hvcons.ini", "[services]\r\nbase=1\r\n"),
            model.FileContent("hvcons.ini", None),
            model.FileContent("hvcons.old", ""),
        ])
        r = self.backend.wine.run([str(Path(case.host_dir, "hvcfgmrg.exe")), "merge", "orv.ini"],
                                  cwd=case.host_dir)
        self.expect("Linux sees only the low 8 bits of a Wine process's exit code",
                    r.status == 50003 & 0xFF, r.status)

        out, err, code = case.launch("cmd", ["/c", "echo one& echo two 1>&2& echo three"],
                                     combined=True)
        self.expect("combined: both streams arrive on one pipe, in order",
                    (out, err, code) == (b"one\r\ntwo \r\nthree\r\n", b"", 0), (out, err, code))
        out, err, code = case.launch("cmd", ["/c", "echo one& echo two 1>&2"], piped=True)
        self.expect("piped: each stream on a pipe of its own",
                    (out, err, code) == (b"one\r\n", b"two \r\n", 0), (out, err, code))

        Path(case.host_dir, "hvcfgmrg.status").write_text("0\n")
        Path(case.host_dir, "hvcfgmrg.log").unlink()
        hard = ["a b", "&", "%PATH%", 'say "hi"', "back\\slash\\", 'tail\\"q', "x^y|z<w>",
                "\\\\server\\share\\", "", "  two  blanks ", "ünï"]
        out, err, code = case.launch(tool, hard)
        logged = Path(case.host_dir, "hvcfgmrg.log").read_bytes().decode("utf-8")
        logged = logged.rstrip("\n").split("\t")[1:]
        self.expect("the runner passes awkward arguments unchanged", logged == hard and code == 0,
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

    def display_names(self) -> None:
        """Wine's answers where Windows' differ (service.c, test_create_delete_svc):
        the scenarios about display names expect them under Wine."""
        case = self.case("display names")
        case.setup(model.Service(name="OrvOther", display="Other Display", exe="other.exe"))
        for name, display, wine, windows in (
            ("OrvProbe1", "Other Display", "create err=1078", "Windows 10 1709 and later take it"),
            ("OrvProbe2", "OrvOther", "create ok", "every Windows refuses it with 1078"),
            ("Other Display", "Probe display", "create ok", "no Windows test covers it"),
        ):
            lines = self.backend.fixture("wineprobe", "create", name, display,
                                         cwd=Path(case.host_dir)).text().splitlines()
            self.expect(f"Wine: a service {name!r} shown as {display!r} beside OrvOther shown as "
                        f"'Other Display': {wine} ({windows})", lines == [wine], lines)
        case.cleanup()

    def relay_read_fails_at_once(self) -> None:
        """The merge tool's relay (platform/win32.cpp) ends on any failed read:
        after one that fails at once nothing will complete, so a relay that
        waited for the result would never return (pipe.c, test_ReadFile)."""
        case = self.case("relay")
        lines = self.backend.fixture("wineprobe", "readfail", cwd=Path(case.host_dir))
        lines = lines.text().splitlines()
        self.expect("an overlapped read of a pipe whose writer has gone fails at once, leaves its "
                    "status pending, and a result that does not wait is 996",
                    lines == ["read err=109", "internal pending", "result err=996", "event unset"],
                    lines)
        try:
            r = self.backend.run_started([str(self.backend.fixtures["cpcheck"]), "--relay"],
                                         retry_noise=True, cwd=Path(case.host_dir), timeout=60)
            text = r.text()
        except subprocess.TimeoutExpired:
            text = "no answer in 60 s"
        m = re.fullmatch(r"status=7 ms=(\d+)\nreceived cpcheck: relayed line\n", text)
        self.expect("RunProgramIn returns at once with the tool's status, its line relayed, when "
                    "the relay's read fails at once", m is not None and int(m.group(1)) < 10000,
                    text)
        case.cleanup()

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
        _, _, code = case.launch(to_windows(self.backend.fixtures["cpcheck"]), ["--smash", "x" * 64])
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
                     test.marked_for_delete, test.display_names, test.relay_read_fails_at_once,
                     test.code_page_check, test.start_up):
            before = time.monotonic()
            part()
            print(f"--    {part.__name__}: {time.monotonic() - before:.1f} s")
    finally:
        backend.close()
    for case_timing in backend.timings:
        print("timing " + ", ".join(f"{k} {v:.2f} s" for k, v in case_timing.items()))
    print(f"{test.passed} passed, {test.failed} failed")
    return 1 if test.failed else 0


# ---- proofs of the kit ----------------------------------------------------------
#
# Properties of the kit itself, each in a prefix of its own: it fails with a
# quillmar.exe that does nothing; it refuses, changing nothing, on a machine
# that holds a catalogue service it did not create, or from a folder that
# others may change; it writes nothing outside its work folder that a
# leftover names; it leaves alone a service created meanwhile by someone
# else, and a second kit refuses while it runs.

FLOOR_FILTERS = ("already", "install: a new elog, the ten-line listing",
                 "merge: the first call backs up")
SLOW_FILTER = "wait: a service that never reaches RUNNING"
HALV_PATH = r"C:\Program Files\Halv\halvbase.exe"


def _kit_proof(which: str, build_dir: str, work_root: str) -> int:
    run = KitRun(build_dir, work_root)
    failures = 0

    def expect(label: str, ok: bool, detail: object = "") -> None:
        nonlocal failures
        failures += not ok
        print(f"ok    {label}" if ok else f"FAIL  {label}: {detail}")

    run.start()
    try:
        if which == "floor":
            floor = _find(run.build_dir, "floor.exe")
            if floor is None:
                raise SetupError(f"floor.exe not built in {run.build_dir}")
            shutil.copyfile(floor, run.kit / "quillmar.exe")
            args = [arg for text in FLOOR_FILTERS for arg in ("-k", text)]
            status, out, err = run.run_tests(args)
            plan, results = parse_tap(out)
            expect("with a quillmar.exe that exits 0 and prints nothing the kit fails (status 1)",
                   status == 1, (status, err))
            expect("... and every scenario it ran failed",
                   plan is not None and plan >= 5 and len(results) == plan
                   and not any(ok for ok, _, _, _ in results), out)
            missing = [ident for _, ident, _, _ in results
                       if not all((run.kit / "failed" / ident / name).is_file()
                                  for name in ("report.txt", "stdout.bin", "stderr.bin"))]
            expect("... each with its report folder", not missing, missing)
            junit = (run.kit / "junit.xml").read_text() if (run.kit / "junit.xml").is_file() else ""
            expect("... and junit.xml counts the failures", f'failures="{plan}"' in junit, junit[:300])
        elif which == "foreign":
            path = r"C:\Orv\iorvelsr.exe"
            made = run.wine.run(["sc", "create", "OrvEvtLogger", "binPath=", path, "DisplayName=",
                                 "Orv Event Logger of the site", "type=", "own", "start=", "demand"])
            if made.status != 0:
                raise SetupError(f"sc create OrvEvtLogger failed ({made.status}): {made.text()}")

            def machine() -> list[str]:
                return _service_as_is(run, "OrvEvtLogger")

            before = machine()
            status, out, err = run.run_tests([])
            expect("with a foreign OrvEvtLogger the kit refuses (status 3)",
                   status == KIT_STATUS_REFUSED, (status, out, err))
            expect("... naming the service and its executable",
                   "the service OrvEvtLogger exists and is not one this kit created" in err
                   and path in err, err)
            expect("... before it runs anything", "1.." not in out and " ok " not in out, out)
            expect("... or makes its work folder", not (run.kit / "work").exists())
            expect("... and leaves that service exactly as it was", machine() == before,
                   (before, machine()))
            run.wine.run(["sc", "delete", "OrvEvtLogger"])
        elif which == "planted":
            _planted(run, expect)
        else:
            _intruder(run, expect)
    finally:
        run.stop()
    print(f"kit proof {which}: {'passed' if failures == 0 else f'{failures} failed'}")
    return 1 if failures else 0


def _service_as_is(run: KitRun, name: str) -> list[str]:
    """A service's registry key and state, to see that nothing changed them."""
    return [run.wine.run(["reg", "query", rf"HKLM\{SERVICES_KEY}\{name}", "/s"]).text(),
            run.wine.run(["sc", "query", name]).text()]


def _planted(run: KitRun, expect) -> None:
    """Leftovers in work\\ that name files outside it: a path outside, one
    that climbs out with "..", a link file and a linked folder holding a
    .mode file. Wine makes a file's owner and permissions from its Unix
    owner and mode (owner the Wine user, an administrator; Everyone's
    rights from the bits for others)."""
    print("note: under Wine an owner other than the Wine user, and entries for other "
          "accounts (Authenticated Users, CREATOR OWNER, inherited ones), cannot be shown: "
          "Wine makes them from the Unix mode, not from what a program set")
    outside = run.work_root / "outside"
    shutil.rmtree(outside, ignore_errors=True)
    (outside / "folder").mkdir(parents=True)
    for name in ("data.txt", "dots.txt", "linked.txt"):
        (outside / name).write_text(f"{name} of someone else\n")
    (outside / "folder" / "svc.exe.mode").write_text("normal\n")
    work = run.kit / "work"
    (work / "x.run").mkdir(parents=True)
    (work / "x.run" / "l.release").symlink_to(outside / "linked.txt")
    (work / "y").symlink_to(outside / "folder")
    climb = to_windows(work / "x.run") + "\\.." * len((work / "x.run").parts[1:])
    (work / "x.run" / "holders").write_text(
        f"0\t{to_windows(outside / 'data.txt')}\n0\t{climb}\\{to_windows(outside / 'dots.txt')[3:]}\n"
        f"0\t{to_windows(work / 'x.run' / 'l.release')}\n")

    def state() -> dict[str, bytes]:
        return {str(p): p.read_bytes() if p.is_file() else b""
                for root in (outside, work) for p in sorted(root.rglob("*"))}

    before = state()
    for path, why in ((run.kit, "its folder"), (run.kit / "quillmar.exe", "its quillmar.exe"),
                      (work, "a work folder left behind")):
        mode = path.stat().st_mode
        path.chmod(mode | 0o777)
        status, out, err = run.run_tests(["-k", FLOOR_FILTERS[0]])
        path.chmod(mode)
        expect(f"when others may change {why} the kit refuses (status 3), naming it and them",
               status == KIT_STATUS_REFUSED and to_windows(path) in err
               and "may be changed by Everyone" in err, (status, err))
        expect("... changing nothing", state() == before and "1.." not in out
               and not (run.kit / "junit.xml").exists())
    status, out, err = run.run_tests(["-k", FLOOR_FILTERS[0]])
    ignored = {line.split(", named by")[0] for line in err.splitlines()
               if line.startswith("qmkit: ignored ")}
    expect("from a work folder only administrators may change, the kit runs, ignoring the four "
           "paths that lead out of it", "1..5" in out and len(ignored) == 4, (out, err))
    expect("... and fails (status 1), since it cannot remove the links that lead out",
           status == 1 and "could not remove everything below" in err, (status, err))
    expect("... and writes or deletes nothing outside it",
           {k: v for k, v in state().items() if k.startswith(str(outside))}
           == {k: v for k, v in before.items() if k.startswith(str(outside))}, state())
    shutil.rmtree(outside)


def _intruder(run: KitRun, expect) -> None:
    """A HalvBase created by someone else while a slow scenario runs, and a
    second kit, from a folder of its own, started meanwhile."""
    ran: list[tuple[int, str, str]] = []
    first = threading.Thread(target=lambda: ran.append(run.run_tests(["-k", SLOW_FILTER])))
    first.start()
    # quillmar.exe's output file appears as its run begins; its polls last
    # far longer than what follows.
    deadline = time.monotonic() + 120
    while (not any((run.kit / "work").glob("*.run/stdout")) and first.is_alive()
           and time.monotonic() < deadline):
        time.sleep(0.2)
    made = run.wine.run(["sc", "create", "HalvBase", "binPath=", HALV_PATH, "type=", "own",
                         "start=", "demand"])
    before = _service_as_is(run, "HalvBase")
    second = run.kit.with_name(run.kit.name + "-2")
    shutil.rmtree(second, ignore_errors=True)
    shutil.copytree(run.kit, second, ignore=shutil.ignore_patterns("work"))
    other = run.wine.run(["cmd", "/c", to_windows(second / "run-tests.cmd")])
    shutil.rmtree(second)
    first.join()
    expect("someone else's HalvBase was created during the slow scenario",
           made.status == 0 and ran and "1.." in ran[0][1], (made.text(), ran))
    expect("a second kit started meanwhile refuses (status 3), naming the run under way",
           other.status == KIT_STATUS_REFUSED
           and b"another run of the kit is under way" in other.stderr, (other.status, other.stderr))
    status, out, err = ran[0] if ran else (None, "", "")
    expect("the kit fails (status 1)", status == 1, (status, out, err))
    expect("... naming HalvBase and its program, left as it is",
           f"HalvBase left as it is: this kit did not create it (its executable: {HALV_PATH})"
           in out and f"the service HalvBase (its executable: {HALV_PATH})" in err, (out, err))
    expect("... leaving HalvBase exactly as it was", _service_as_is(run, "HalvBase") == before,
           before)
    gone = run.wine.run(["sc", "query", "OrvEvtLogger"])
    expect("... and removing what it made", gone.status != 0 and not (run.kit / "work").exists(),
           (gone.status, gone.text(), list((run.kit / "work").glob("*"))))
    run.wine.run(["sc", "delete", "HalvBase"])


# ---- an installer -----------------------------------------------------------------
#
# ../wine/installer.wxs (wixl) installs quillmar.exe and the test service
# with Wine's msiexec, as an administrator's package would: "[INSTALLDIR]."
# installs the service, "[INSTALLDIR]" (a directory ending in a quote,
# refused with 87) must fail the installation and leave nothing. A new
# prefix each run: a package left installed would keep its files.

MSI_DIR = r"C:\Program Files\Orv"
MSI_STATUS = {".": 0, "": 1627}  # a rollback: 1627 from Wine's msiexec, 1603 on Windows


def _msi(which: str, build_dir: str, work_root: str) -> int:
    backend = Backend(build_dir, work_root)
    backend.wine.discard()
    before = time.monotonic()
    backend.prepare()
    test = SelfTest(backend)
    case = Case(backend, model.Scenario(name="msi", args=[]), "msi")
    stage = backend.work_root / "msi"
    stage.mkdir(exist_ok=True)
    shutil.copyfile(backend.fixtures[which], stage / "quillmar.exe")
    shutil.copyfile(backend.fixtures["testsvc"], stage / "iorvelsr.exe")
    orv = backend.wine.prefix / "drive_c" / "Program Files" / "Orv"
    installed = {}

    def msiexec(action: str, msi: Path) -> int:
        log = to_windows(stage / f"{msi.stem}{action[1]}.log")
        return case.launch("msiexec", [action, to_windows(msi), "/qn", "/l*v", log])[2]

    try:
        for tail, status in MSI_STATUS.items():
            form, msi = f'"[INSTALLDIR]{tail}"', stage / f"tail{len(tail)}.msi"
            shutil.rmtree(orv, ignore_errors=True)  # the service's log
            subprocess.run(["wixl", "-a", "x64", "-D", f"Tail={tail}", "-o", str(msi),
                            str(HERE.parent / "wine" / "installer.wxs")], cwd=stage, check=True)
            code = installed[tail] = msiexec("/i", msi)
            test.expect(f"{form}: msiexec /i exits {status}", code == status, code)
            if status != 0:
                test.holds(case, [model.ServiceState("OrvEvtLogger", "absent")])
                test.expect(f"{form}: ... and leaves no file", not orv.exists())
                continue
            test.holds(case, [
                model.ServiceState("OrvEvtLogger", "stopped"),
                model.ServiceConfig("OrvEvtLogger", path=f'"{MSI_DIR}\\.\\iorvelsr.exe"',
                                    display="PC's Orv Event Logger"),
                model.RegValue(KEY_ELOG, "AppDirectory", MSI_DIR + "\\."),
                model.RegValue(KEY_ELOG, "PFAFilename", MSI_DIR + "\\events.pfa")])
            backend.wine.run(["sc", "start", "OrvEvtLogger"])
            test.holds(case, [model.ServiceState("OrvEvtLogger", "running")])
            # Stopped, its process ended (a file in use would stay), so that
            # the uninstall's -rm meets a stopped service: 50002, ignored.
            backend.wine.run(["sc", "stop", "OrvEvtLogger"])
            log = orv / "iorvelsr.exe.log"
            for _ in range(100):
                if not log.exists() or "process end" in log.read_text():
                    break
                time.sleep(0.1)
            test.expect(f"{form}: msiexec /x exits 0", msiexec("/x", msi) == 0)
            test.holds(case, [model.ServiceState("OrvEvtLogger", "absent")])
            test.expect(f"{form}: ... and removes its files",
                        not (orv / "quillmar.exe").exists() and not (orv / "iorvelsr.exe").exists())
    finally:
        case.cleanup()
        backend.close()
    print(f"msi {which}: {time.monotonic() - before:.1f} s "
          f"(the prefix {backend.wine.prefix_seconds or 0:.1f} s)")
    if which == "floor":  # quillmar's status ignored: the refused form installs
        seen = test.failed > 0 and installed[""] == 0
        print(f"with a quillmar.exe that exits 0 the test {'fails' if seen else 'passes'}")
        return 0 if seen else 1
    print(f"{test.passed} passed, {test.failed} failed")
    return 1 if test.failed else 0


if __name__ == "__main__":
    if len(sys.argv) in (3, 4) and sys.argv[1] == "--selftest":
        work = sys.argv[3] if len(sys.argv) == 4 else "/tmp/quillmar-wine-selftest"
        sys.exit(_selftest(sys.argv[2], work))
    if len(sys.argv) in (4, 5) and sys.argv[1] == "--kit-proof" and sys.argv[2] in (
            "floor", "foreign", "planted", "intruder"):
        work = sys.argv[4] if len(sys.argv) == 5 else f"/tmp/quillmar-kit-{sys.argv[2]}"
        sys.exit(_kit_proof(sys.argv[2], sys.argv[3], work))
    if len(sys.argv) in (4, 5) and sys.argv[1] == "--msi" and sys.argv[2] in ("quillmar", "floor"):
        work = sys.argv[4] if len(sys.argv) == 5 else f"/tmp/quillmar-msi-{sys.argv[2]}"
        sys.exit(_msi(sys.argv[2], sys.argv[3], work))
    print("usage: backend_wine.py --selftest BUILD_DIR_WINDOWS [WORK_DIR]\n"
          "       backend_wine.py --kit-proof floor|foreign|planted|intruder BUILD_DIR_WINDOWS "
          "[WORK_DIR]\n"
          "       backend_wine.py --msi quillmar|floor BUILD_DIR_WINDOWS [WORK_DIR]",
          file=sys.stderr)
    sys.exit(2)
