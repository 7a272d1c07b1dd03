"""The Wine tier: the Windows test kit's scenarios in Wine prefixes side by
side, and --selftest, --kit-proof and --msi, the tests of the kit and of
Wine's answers (../wine/README.md)."""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "kit"))

import buildfacts  # noqa: E402
import make_kit_data  # noqa: E402
import model  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PREFIXES = 4  # two cores carry four: the slow scenarios mostly sleep
KIT_REFUSED = 3
SERVICES_KEY = r"SYSTEM\CurrentControlSet\Services"
KEY_ELOG = SERVICES_KEY + r"\OrvEvtLogger\Parameters"
STARTED = b"[fixture started]\r\n"  # ../wine/started.h, CRLF in text mode
# About one Wine exit in a thousand trips glibc's loader: the host's noise.
HOST_NOISE = re.compile(rb"Inconsistency detected by ld\.so: [^\n]*\n?")
TAP_RESULT = re.compile(r"^(not )?ok (\d+) - (\S+) (.*?)(?: # SKIP (.*))?$")


class WineError(RuntimeError):
    pass


@dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int  # the low 8 bits of the Windows exit code
    host_noise: int = 0  # loader lines taken out of stderr; the status may be the loader's

    def text(self, stderr: bool = False) -> str:
        return (self.stderr if stderr else self.stdout).decode("utf-8", "replace") \
            .replace("\r\n", "\n")


def unstarted(r: Result) -> bool:
    """Wine did not start the program: a status and not a word (seen under load, now and
    then, for a builtin such as reg.exe as for our own)."""
    return r.status != 0 and not (r.stdout + r.stderr).strip()


def wine_processes() -> list[tuple[int, str, str]]:
    """Every Wine process: its pid, command line (in lower case) and prefix."""
    found = []
    for entry in Path("/proc").glob("[0-9]*"):
        with contextlib.suppress(OSError):
            env = (entry / "environ").read_bytes().split(b"\0")
            prefix = next((v[11:] for v in env if v.startswith(b"WINEPREFIX=")), None)
            if prefix is not None:
                found.append((int(entry.name), (entry / "cmdline").read_text(errors="replace")
                              .lower(), prefix.decode(errors="replace")))
    return found


def to_windows(path: str | os.PathLike) -> str:
    """The Windows name Wine gives a Linux path: drive Z: is the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    """A private prefix, a copy of the build's template for this Wine, with one
    persistent wineserver: a restarted one starts every automatic service again."""

    def __init__(self, prefix: Path, template: Path | None):
        self.prefix = prefix
        self.template = template
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("LC_")}
        # Code page 1252 everywhere; no Mono, Gecko or menu entries.
        self.env.update(LANG="C.UTF-8", WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d")
        self.started = False

    def start(self) -> None:
        self.stop()  # a server left by an earlier run may not be persistent
        if self.template is not None:
            self._copy_template()
        self.prefix.mkdir(parents=True, exist_ok=True)
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        self.started = True
        # An ordinary command builds the prefix: wineboot has left two services.exe.
        r = self.run(["cmd", "/c", "exit 0"], timeout=180, again=lambda r: r.status != 0)
        if r.status != 0:
            self.stop()  # a server left running would hold the caller's pipes open
            raise WineError(f"wine cmd failed ({r.status}): {r.text(stderr=True)}")
        pids = self.processes("services.exe")
        if len(pids) != 1:
            raise WineError(f"expected one services.exe for {self.prefix}, found {pids}; "
                            f"all Wine processes: {wine_processes()}")

    def _copy_template(self) -> None:
        self.template.parent.mkdir(parents=True, exist_ok=True)
        with open(f"{self.template}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not (self.template / "system.reg").exists():
                maker = Prefix(self.template, None)
                before = time.monotonic()
                maker.start()
                maker.stop(keep=True)  # the server writes the registry out as it ends
                print(f"note: the template prefix built in {time.monotonic() - before:.1f} s",
                      file=sys.stderr)
        # The system's DLLs, never written, are linked; all else is copied.
        shared = self.template / "drive_c" / "windows" / "system32"

        def copy(source: str, target: str) -> None:
            if Path(source).is_relative_to(shared):
                os.link(source, target)
            else:
                shutil.copy2(source, target)

        shutil.copytree(self.template, self.prefix, symlinks=True, copy_function=copy)

    def stop(self, keep: bool = False) -> None:
        quiet = dict(env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-k"], **quiet)
        # -k returns before every process has gone.
        subprocess.run([WINESERVER, "-w"], timeout=30, **quiet)
        # Wine finds a prefix's server by the folder's device and inode. A process
        # that was starting as the server ended may yet reach the server of a new
        # prefix that reuses the inode, and boot it with this prefix's services: none
        # may outlive the folder.
        for _ in range(50):
            left = self.processes("")
            if not left:
                break
            print(f"note: killing what outlived the server of {self.prefix}: {left}",
                  file=sys.stderr)
            for pid in left:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            time.sleep(0.1)
        else:
            raise WineError(f"processes of {self.prefix} outlive SIGKILL: {left}")
        self.started = False
        if not keep:
            shutil.rmtree(self.prefix, ignore_errors=True)

    def processes(self, image: str) -> list[int]:
        """Pids of Wine processes of this prefix whose command names image."""
        return [pid for pid, command, prefix in wine_processes()
                if image in command and prefix == str(self.prefix)]

    def run(self, args: list, cwd: str | os.PathLike | None = None,
            env: dict[str, str] | None = None, timeout: float = 120,
            again: Callable[[Result], bool] = lambda r: False,
            stdin: int = subprocess.DEVNULL) -> Result:
        """Once more when again(result) says Wine failed to run args. Streams go
        to files: a process Wine starts on the way would hold a pipe."""
        for attempt in (1, 2):
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                p = subprocess.run([WINE, *map(str, args)], cwd=cwd,
                                   env={**self.env, **(env or {})}, stdin=stdin,
                                   stdout=out, stderr=err, timeout=timeout)
                out.seek(0)
                err.seek(0)
                stderr, noise = HOST_NOISE.subn(b"", err.read())
                r = Result(out.read(), stderr, p.returncode, noise)
            if attempt == 2 or not again(r):
                return r
            print(f"note: Wine did not run {args[:2]} cleanly ({r.status}, loader lines "
                  f"{r.host_noise}, {r.stderr[:200]!r}); once more", file=sys.stderr)


def find_kit(build_dir: Path) -> Path:
    found = sorted((build_dir / "kit").glob("quillmar-*-win64-tests.zip"))
    if not found:
        raise WineError(f"no test kit built in {build_dir} (cmake --build --preset windows)")
    return found[-1]


class Kit:
    """The kit unpacked in a short folder without blanks, one for each work root."""

    def __init__(self, build_dir: str | os.PathLike, work_root: str | os.PathLike):
        self.build_dir = Path(build_dir).resolve()
        self.work = Path(work_root).resolve()
        version = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout
        self.wine = Prefix(self.work / "wine" / "prefix",
                           self.build_dir / "wine-templates" / re.sub(r"\W+", "-", version).strip("-"))
        # A fixed name below /tmp could be another user's link when root runs this.
        self.dir = Path(tempfile.mkdtemp(prefix="qmkit-")) / "kit"
        self.facts = buildfacts.load(str(self.build_dir))
        self.tools = self.build_dir / "SERVICES" / "tests" / "wine"

    def start(self) -> None:
        shutil.rmtree(self.dir, ignore_errors=True)
        with zipfile.ZipFile(find_kit(self.build_dir)) as z:
            z.extractall(self.dir)
        # Wine reads who may change a file from its mode, not the umask.
        for path in (self.dir, *self.dir.rglob("*")):
            path.chmod(path.stat().st_mode & ~0o022)
        self.wine.start()
        # \\localhost\z$, the kit's share of Z: (dosdevices/unc/SERVER/SHARE).
        link = self.wine.prefix / "dosdevices" / "unc" / "localhost" / "z$"
        link.parent.mkdir(parents=True, exist_ok=True)
        if not link.is_symlink():
            link.symlink_to(os.readlink(self.wine.prefix / "dosdevices" / "z:"))

    def stop(self, keep: bool = False) -> None:
        try:
            if self.wine.started and len(self.wine.processes("services.exe")) != 1:
                raise WineError(f"not one services.exe for {self.wine.prefix} at the end")
        finally:
            self.wine.stop(keep)
            if not keep:
                shutil.rmtree(self.dir.parent, ignore_errors=True)

    def run_tests(self, args: list[str], timeout: float = 1500) -> tuple[int, str, str]:
        """run-tests.cmd's status, stdout and stderr; once more when Wine did not start it."""
        r = self.wine.run(["cmd", "/c", to_windows(self.dir / "run-tests.cmd"), *args],
                          cwd=self.dir, timeout=timeout,
                          again=unstarted)
        return r.status, r.text(), r.text(stderr=True)

    def fixture(self, *args, cwd: str | os.PathLike, timeout: float = 120,
                stdin: int = subprocess.DEVNULL) -> Result:
        """Once more when the fixture never reached its main or the loader complained."""
        r = self.wine.run(list(args), cwd=cwd, timeout=timeout, stdin=stdin,
                          again=lambda r: r.host_noise or not r.stderr.startswith(STARTED))
        if not r.stderr.startswith(STARTED):
            raise WineError(f"{args[0]} did not start twice")
        r.stderr = r.stderr[len(STARTED):]
        return r


def parse_tap(text: str) -> tuple[int | None, list[tuple[bool, str, str, str | None]]]:
    """The plan's count and each result: (ok, id, title, skip reason)."""
    plan = re.search(r"^1\.\.(\d+)$", text, re.M)
    results = [(m.group(1) is None, m.group(3), re.sub(r"\\(.)", r"\1", m.group(4)), m.group(5))
               for m in map(TAP_RESULT.match, text.splitlines()) if m]
    return plan and int(plan.group(1)), results


def run_tier(opts: argparse.Namespace) -> int:
    """Part K of N as the kit's shards (K-1)*M+1 to K*M of N*M, in M prefixes side
    by side, each with ten scenarios at least (a prefix takes seconds to start)."""
    args = [a for f in opts.filters for a in ("-k", f)] + ["--quick"] * opts.quick + \
        ["--keep"] * opts.keep + ["--list"] * opts.list
    with zipfile.ZipFile(find_kit(Path(opts.build))) as z:
        data = z.read("scenarios.txt").decode()
    chosen = [t for t in re.findall(r"^scenario\t(.*)$", data, re.M)
              if not opts.filters or any(f in t for f in opts.filters)]
    k, n = map(int, opts.shard.split("/"))  # the kit refuses a wrong K/N
    m = 1 if opts.list else max(1, min(PREFIXES, len(chosen) // (10 * n)))
    shards = [f"{(k - 1) * m + j}/{n * m}" for j in range(1, m + 1)]
    kits = [Kit(opts.build, Path(opts.work) / f"shard-{j}") for j in range(1, m + 1)]
    before = time.monotonic()

    def one(kit: Kit, shard: str) -> tuple[int, str, str]:
        ran = (1, "", "")
        try:
            try:
                kit.start()
                ran = kit.run_tests(args + ["--shard", shard])
                reports = kit.work / "kit-results"
                shutil.rmtree(reports, ignore_errors=True)
                shutil.copytree(kit.dir, reports, ignore=lambda d, names: [
                    n for n in names if Path(d) == kit.dir and n not in ("junit.xml", "failed")])
            finally:
                kit.stop(keep=opts.keep and ran[0] != 0)
        except Exception as e:  # one shard's failure is reported with the others'
            ran = (1, ran[1], f"{ran[2]}shard {shard}: {e!r}\n")
        return ran

    with ThreadPoolExecutor(m) as pool:
        ran = list(pool.map(one, kits, shards))
    bad = []
    for kit, shard, (status, out, err) in zip(kits, shards, ran):
        print(out + err, end="")
        if opts.list:
            return status
        plan, results = parse_tap(out)
        if status != 0 or plan != len(results):
            bad.append(f"failed: shard {shard}: status {status}, plan {plan}, {len(results)} "
                       f"results, reports in {kit.work / 'kit-results'}")
    print("\n".join(bad + [f"shards {', '.join(shards)}: {time.monotonic() - before:.0f} s"]))
    return 1 if bad else 0


class Checks:
    """Each expectation printed as it is met or not, and counted."""

    def __init__(self):
        self.passed = self.failed = 0

    def expect(self, label: str, ok: bool, detail: object = "") -> None:
        self.passed += bool(ok)
        self.failed += not ok
        print(f"ok    {label}" if ok else f"FAIL  {label}: {detail}")

    def holds(self, case: "Case", checks) -> None:
        for chk, failures in zip(checks, case.check_all(checks)):
            self.expect(f"holds: {chk}", not failures, failures)

    def rejects(self, case: "Case", checks) -> None:
        for chk, failures in zip(checks, case.check_all(checks)):
            self.expect(f"rejects: {chk}", bool(failures), "no failure reported")

    def status(self, what: str) -> int:
        print(f"{what}: {self.passed} passed, {self.failed} failed")
        return 1 if self.failed else 0


class Case:
    """A case below the kit's work folder, each step a qmkit command on one scenario."""

    def __init__(self, kit: Kit, name: str):
        self.kit = kit
        self.name = name
        self.host_dir = kit.dir / "work" / name
        self.dir = to_windows(self.host_dir)
        self.host_dir.mkdir(parents=True, exist_ok=True)

    def _step(self, command: str, scenario: model.Scenario | None = None, *more: str) -> Result:
        args = [self.kit.dir / "qmkit.exe", command, self.name]
        if scenario is not None:
            data = self.kit.dir / "work" / f"{self.name}.data"
            data.write_text(make_kit_data.encode([scenario], self.kit.facts))
            args.append(to_windows(data))
        return self.kit.fixture(*args, *more, cwd=self.kit.dir)

    def setup(self, step) -> None:
        r = self._step("setup", model.Scenario(name=self.name, args=[], setup=[step]))
        if r.status != 0:
            raise WineError(f"qmkit setup failed ({r.status}): {r.text(stderr=True)}")

    def check_all(self, checks) -> list[list[str]]:
        """Each check's failures, in order (none when it holds)."""
        r = self._step("check", model.Scenario(name=self.name, args=[], checks=list(checks)))
        lines = r.text().splitlines()
        if len(lines) != len(checks) or r.status not in (0, 1):
            raise WineError(f"qmkit check printed {r.text()!r} ({r.status}): {r.stderr!r}")
        return [[] if line.startswith("ok\t") else line.split("\t")[2:] for line in lines]

    def launch(self, program: str, args: list[str], combined: bool = False,
               piped: bool = False) -> tuple[bytes, bytes, int]:
        """program run as a scenario runs: its streams and whole exit code."""
        scenario = model.Scenario(name=self.name, args=args, piped=piped,
                                  combined="" if combined else None)
        r = self._step("launch", scenario, program)
        m = re.match(r"started=1 error=0 status=(\d+) seconds=([\d.]+)", r.text())
        if m is None:
            raise WineError(f"qmkit launch {program}: {r.text()!r}")
        self.seconds = float(m.group(2))
        run_dir = Path(f"{self.host_dir}.run")
        return (run_dir / "out.bin").read_bytes(), (run_dir / "err.bin").read_bytes(), \
            int(m.group(1))

    def probe(self, *args: str, timeout: float = 120, stdin: int = subprocess.DEVNULL) -> str:
        return self.kit.fixture(self.kit.tools / "wineprobe.exe", *args, cwd=self.host_dir,
                                timeout=timeout, stdin=stdin).text()

    def cleanup(self) -> None:
        r = self._step("clean")
        (self.kit.dir / "work" / f"{self.name}.data").unlink(missing_ok=True)
        if r.status != 0:
            raise WineError(f"qmkit clean {self.name} left: {r.text(stderr=True)}")


def service_checks(kit: Kit, test: Checks, names: list[str]) -> None:
    """Each of the runner's checks accepts the machine it should, rejects a wrong one."""
    case = Case(kit, "services")
    case.setup(model.Service(name="OrvEvtLogger", display="PC's Orv Event Logger",
                             exe="iorvelsr.exe", running=True,
                             params={"AppDirectory": "{dir}", "PFAFilename": "{dir}\\a b.pfa"}))
    test.holds(case, [
        model.ServiceState("OrvEvtLogger", "running"),
        model.ServiceConfig("OrvEvtLogger", path="{dir}\\iorvelsr.exe",
                            display="PC's Orv Event Logger"),
        model.RegValue(KEY_ELOG, "AppDirectory", "{dir}"),
        model.RegValue(KEY_ELOG, "PFAFilename", "{dir}{sep}a b.pfa"),
        model.RegValue(KEY_ELOG, "AppPortNumber", None),
        model.ServiceState("OrvFLM", "absent"),
    ])
    test.rejects(case, [
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
    r = kit.wine.run(["sc", "stop", "OrvEvtLogger"])
    test.expect("sc stop of a normal test service", r.status == 0, r.text())
    time.sleep(0.3)
    test.holds(case, [model.ServiceState("OrvEvtLogger", "stopped")])
    # A value stored without its terminator must be caught.
    kit.wine.run(["reg", "add", rf"HKLM\{KEY_ELOG}", "/v", "Raw", "/t", "REG_BINARY", "/d", "4142",
                  "/f"])
    test.rejects(case, [model.RegValue(KEY_ELOG, "Raw", "AB")])
    case.cleanup()
    test.holds(case, [model.ServiceState(n, "absent") for n in names])
    test.holds(case, [model.RegValue(KEY_ELOG, "AppDirectory", None)])
    bad = kit.dir / "work" / "bad.data"
    bad.write_text("version\tx\\\n")
    r = kit.fixture(kit.dir / "qmkit.exe", "check", "bad", to_windows(bad), cwd=kit.dir)
    test.expect("a data file with a field that ends in a lone backslash is refused, status 2",
                r.status == 2 and "line 1: a field is not escaped" in r.text(stderr=True),
                (r.status, r.text(stderr=True)))


def console_and_launcher(kit: Kit, test: Checks) -> None:
    """The runner's console set-up, its checks of files and tool runs, and its launch."""
    case = Case(kit, "console")
    case.setup(model.Console(sub=".", tool_status=50003))
    case.setup(model.Console(sub="with blank", hvcons_ini=None, hvcons_old="old\r\n",
                             tool_status=None))
    tool = case.dir + "\\hvcfgmrg.exe"
    out, err, code = case.launch(tool, ["merge", "orv.ini"])
    test.expect("the runner keeps the whole exit code", code == 50003, code)
    test.expect("tool output reaches the runner's standard output",
                out == b"hvcfgmrg: merged into hvcons.ini\r\n", out)
    test.expect("the tool writes nothing on standard error", err == b"", err)
    test.holds(case, [
        model.ToolRuns(".", 1),
        model.ToolRuns("with blank", 0),
        model.FileContent("hvcons.ini", "[services]\nbase=1\n"),
        model.FileContent("{dir}{sep}hvcons.old", None),
        model.FileContent("{dir}\\with blank\\hvcons.old", "old\r\n"),
        model.FileContent("with blank/hvcons.ini", None),
    ])
    test.rejects(case, [
        model.ToolRuns(".", 2),
        model.ToolRuns(".", 1, ("merge", "orv.ini", "x")),
        model.FileContent("hvcons.ini", "[services]\r\nbase=1\r\n"),
        model.FileContent("hvcons.ini", None),
        model.FileContent("hvcons.old", ""),
    ])
    r = kit.wine.run([case.host_dir / "hvcfgmrg.exe", "merge", "orv.ini"], cwd=case.host_dir)
    test.expect("Linux sees only the low 8 bits of a Wine process's exit code",
                r.status == 50003 & 0xFF, r.status)
    got = case.launch("cmd", ["/c", "echo one& echo two 1>&2& echo three"], combined=True)
    test.expect("combined: both streams arrive on one pipe, in order",
                got == (b"one\r\ntwo \r\nthree\r\n", b"", 0), got)
    got = case.launch("cmd", ["/c", "echo one& echo two 1>&2"], piped=True)
    test.expect("piped: each stream on a pipe of its own", got == (b"one\r\n", b"two \r\n", 0), got)
    (case.host_dir / "hvcfgmrg.status").write_text("0\n")
    (case.host_dir / "hvcfgmrg.log").unlink()
    hard = ["a b", "&", "%PATH%", 'say "hi"', "back\\slash\\", 'tail\\"q', "x^y|z<w>",
            "\\\\server\\share\\", "", "  two  blanks ", "ünï"]
    _, _, code = case.launch(tool, hard)
    logged = (case.host_dir / "hvcfgmrg.log").read_bytes().decode("utf-8").rstrip("\n")
    test.expect("the runner passes awkward arguments unchanged",
                logged.split("\t")[1:] == hard and code == 0, f"{logged!r} (exit {code})")
    case.cleanup()


def wine_answers(kit: Kit, test: Checks) -> None:
    """The Service Control Manager's answers the scenarios depend on."""
    case = Case(kit, "answers")
    mode = case.host_dir / "worvserv.exe.mode"
    case.setup(model.Service(name="OrvFLM", exe="worvserv.exe", behaviour="dies"))
    lines = case.probe("start", "OrvFLM").splitlines()
    test.expect("a service that reports START_PENDING then STOPPED: the start succeeds",
                lines[:1] == ["start ok"], lines)
    test.expect("... and it is seen stopped, never running",
                any(x.endswith("state=1") for x in lines[2:])
                and not any(x.endswith("state=4") for x in lines[2:]), lines)
    mode.write_text("exitnow\n")
    lines = case.probe("start", "OrvFLM").splitlines()
    test.expect("a service that exits before reporting: the start fails with 1053",
                lines[:1] == ["start err=1053"], lines)
    mode.write_text("normal\n")
    lines = case.probe("start", "OrvFLM").splitlines()
    test.expect("a normal test service is running when StartService returns",
                lines[:1] == ["start ok"] and lines[2] == "t=0 state=4", lines)
    lines = case.probe("start", "OrvFLM").splitlines()
    test.expect("starting a running service fails with 1056", lines[:1] == ["start err=1056"],
                lines)
    # The test service reports STOPPED from its handler; quillmar's first poll relies on it.
    lines = case.probe("stop2", "OrvFLM").splitlines()
    test.expect("a stop is complete when ControlService returns; a second STOP fails with 1062",
                lines[:2] == ["stop ok state=1", "stop err=1062 state=1"], lines)
    test.holds(case, [model.ServiceState("OrvFLM", "stopped")])
    lines = case.probe("delete", "OrvFLM").splitlines()
    test.expect("after DeleteService the same handle still answers QueryServiceStatus",
                lines == ["delete ok", "query ok state=1", "delete err=1072", "open-again ok",
                          "open-after-close err=1060"], lines)
    test.holds(case, [model.ServiceState("OrvFLM", "absent")])
    case.setup(model.Service(name="OrvFLM", exe="worvserv.exe", behaviour="slowstop",
                             running=True))
    kit.wine.run(["sc", "stop", "OrvFLM"])
    time.sleep(0.3)
    lines = case.probe("stop2", "OrvFLM").splitlines()
    test.expect("a STOP to a service that is stop pending fails with 1061",
                lines[:2] == ["stop err=1061 state=3", "stop err=1061 state=3"], lines)
    test.holds(case, [model.ServiceState("OrvFLM", "stop pending")])
    case.setup(model.Service(name="OrvEvtLogger", exe="iorvelsr.exe", behaviour="nostart",
                             running=True))
    test.holds(case, [model.ServiceState("OrvEvtLogger", "start pending")])
    r = kit.wine.run(["sc", "stop", "OrvEvtLogger"])
    test.expect("a service that is start pending refuses a STOP", r.status != 0, r.text())
    before = time.monotonic()
    case.cleanup()
    seconds = time.monotonic() - before
    test.expect(f"slow services are cleared in {seconds:.1f} s, not {kit.facts.slow_seconds}",
                seconds < 5)

    case = Case(kit, "marked")
    case.setup(model.Service(name="HalvBase", exe="halv.exe", running=True))
    lines = case.probe("delete", "HalvBase").splitlines()
    test.expect("DeleteService of a running service only marks it",
                lines[:2] == ["delete ok", "query ok state=4"]
                and lines[-1] == "open-after-close ok", lines)
    r = kit.wine.run(["sc", "create", "HalvBase", "binPath=", "x.exe"])
    test.expect("creating a service of the same name fails meanwhile", r.status != 0, r.text())
    case.cleanup()
    test.holds(case, [model.ServiceState("HalvBase", "absent")])

    # Where Windows differs (service.c, test_create_delete_svc); the scenarios expect Wine's.
    case = Case(kit, "display")
    case.setup(model.Service(name="OrvOther", display="Other Display", exe="other.exe"))
    for name, display, wine, windows in (
        ("OrvProbe1", "Other Display", "create err=1078", "Windows 10 1709 and later take it"),
        ("OrvProbe2", "OrvOther", "create ok", "every Windows refuses it with 1078"),
        ("Other Display", "Probe display", "create ok", "no Windows test covers it"),
    ):
        lines = case.probe("create", name, display).splitlines()
        test.expect(f"Wine: a service {name!r} shown as {display!r} beside OrvOther shown as "
                    f"'Other Display': {wine} ({windows})", lines == [wine], lines)
    case.cleanup()


def platform_layer(kit: Kit, test: Checks) -> None:
    """The platform layer's pieces no scenario reaches, and what quillmar.exe loads."""
    case = Case(kit, "platform")
    # A relay that waited for a read that failed at once would never return.
    lines = case.probe("readfail").splitlines()
    test.expect("an overlapped read of a pipe whose writer has gone fails at once, leaves its "
                "status pending, and a result that does not wait is 996",
                lines == ["read err=109", "internal pending", "result err=996", "event unset"],
                lines)
    try:
        text = case.probe("relay", timeout=60)
    except subprocess.TimeoutExpired:
        text = "no answer in 60 s"
    m = re.fullmatch(r"status=7 ms=(\d+)\nreceived wineprobe: relayed line\n", text)
    test.expect("RunProgramIn returns at once with the tool's status, its line relayed, when "
                "the relay's read fails at once", m is not None and int(m.group(1)) < 10000, text)
    # The tool shares our console; any other device, NUL too, it gets through the relay's pipe.
    # A terminal on stdin gives the probe a console of Wine's own.
    leader, follower = pty.openpty()
    for device, stdin, expected in (("NUL", subprocess.DEVNULL, "kind=30"),
                                    ("CONOUT$", follower, "kind=21")):
        text = case.probe("toolerror", device, stdin=stdin)
        test.expect(f"with our standard error on {device} the tool's is {expected} (type * 10, "
                    "+ 1 for a console)", text.strip() == expected, text)
    os.close(leader)
    os.close(follower)
    # The processes the tool leaves behind write to the relay without pause for 30 s.
    case.setup(model.Console(linger=30))
    (case.host_dir / "console" / "hvcfgmrg.chatter").write_text("")
    _, _, code = case.launch(to_windows(kit.dir / "quillmar.exe"), ["-i", "hv", "{dir}\\console"])
    test.expect("quillmar.exe ends with its merge tool, not once the processes it left behind "
                "stop writing to the relay", code == 0 and case.seconds < 10, (code, case.seconds))
    test.holds(case, [model.FileContent("console/hvcfgmrg.lingered", None)])
    # quillmar asks only whether its merge tool ran; the layer's numbers are pinned here.
    for what, directory, program, expected in (
            ("an empty directory", "", "x.exe", "123"),
            ("a directory too long", "C:\\" + "d" * 260, "x.exe", "206"),
            ("a missing tool", "C:\\", "missing.exe", "2")):
        answer = case.probe("run", directory, program).strip()
        test.expect(f"RunProgramIn fails with {expected} for {what}", answer == expected, answer)
    # Only the probe reaches code page 1252: Wine honours the manifest.
    for code_page, arg, expected in (
        (1252, "plain ASCII", "0"),
        (1252, "Latin-1 ó", "0"),
        (1252, "C:\\程序", "1113"),  # no such letters: would become "??"
        (1252, "C:\\Orv\uff3c..\uff3cx", "1113"),  # fullwidth backslash: would become "\\"
        (1252, "\u0100", "1113"),  # would become "A"
        (1252, "a\u3000b", "1113"),  # ideographic space: would become a blank
        (65001, "C:\\Ā程序", "0"),
    ):
        text = case.probe("codepage", str(code_page), arg)
        test.expect(f"code page {code_page}, {arg!r}: {expected}", text.strip() == expected, text)
    loaded = {}
    for exe in (kit.dir / "quillmar.exe", kit.tools / "floor.exe"):
        r = kit.wine.run([exe, "-h"], cwd=case.host_dir, env={"WINEDEBUG": "-all,+loaddll"})
        found = re.findall(r'Loaded L"([^"]*)"', r.text(stderr=True))
        loaded[exe.name] = {p.rsplit("\\", 1)[-1].lower() for p in found} - {exe.name}
        test.expect(f"{exe.name} -h ran and its DLLs were listed", r.status == 0 and found,
                    (r.status, r.stderr[-300:]))
    extra = loaded["quillmar.exe"] - loaded["floor.exe"]
    test.expect("quillmar.exe loads no DLL beyond those of a program with its imports "
                f"({', '.join(sorted(loaded['floor.exe']))})", not extra, sorted(extra))
    guards = [case.probe("guard").strip() for _ in range(2)]
    test.expect("the stack guard is seeded anew in every process",
                len(set(guards)) == 2 and "5bf5d1e04a3c9d27" not in guards, guards)
    text = case.probe("smash", "short")
    test.expect("a protected function that keeps to its buffer returns", text == "5\n", text)
    _, _, code = case.launch(to_windows(kit.tools / "wineprobe.exe"), ["smash", "x" * 64])
    test.expect("a smashed stack ends the process with 0xC0000409", code == 0xC0000409, code)
    case.cleanup()


def selftest(kit: Kit, test: Checks, names: list[str]) -> None:
    service_checks(kit, test, names)
    console_and_launcher(kit, test)
    wine_answers(kit, test)
    platform_layer(kit, test)


# Proofs: properties of the kit itself.

FLOOR_FILTERS = ("already", "install: a new elog, the ten-line listing",
                 "merge: the first call backs up")
SLOW_FILTER = "wait: a service that never reaches RUNNING"
HALV_PATH = r"C:\Program Files\Halv\halvbase.exe"


def service_as_is(kit: Kit, name: str) -> list[tuple[int, str, str]]:
    """A service's registry key and state, to see that nothing changed them (each
    tool's status and both its streams, so that a failure shows what went wrong)."""
    return [(r.status, r.text(), r.text(stderr=True)) for r in (
        kit.wine.run(["reg", "query", rf"HKLM\{SERVICES_KEY}\{name}", "/s"], again=unstarted),
        kit.wine.run(["sc", "query", name], again=unstarted))]


def proof_floor(kit: Kit, test: Checks) -> None:
    """With a quillmar.exe that does nothing, every scenario it runs fails."""
    shutil.copyfile(kit.tools / "floor.exe", kit.dir / "quillmar.exe")
    status, out, err = kit.run_tests([arg for text in FLOOR_FILTERS for arg in ("-k", text)])
    plan, results = parse_tap(out)
    test.expect("with a quillmar.exe that exits 0 and prints nothing the kit fails (status 1)",
                status == 1, (status, err))
    test.expect("... and every scenario it ran failed",
                plan is not None and plan >= 5 and len(results) == plan
                and not any(ok for ok, _, _, _ in results), out)
    missing = [ident for _, ident, _, _ in results
               if not all((kit.dir / "failed" / ident / name).is_file()
                          for name in ("report.txt", "stdout.bin", "stderr.bin"))]
    test.expect("... each with its report folder", not missing, missing)
    junit = kit.dir / "junit.xml"
    junit = junit.read_text() if junit.is_file() else ""
    test.expect("... and junit.xml counts the failures", f'failures="{plan}"' in junit, junit[:300])


def proof_foreign(kit: Kit, test: Checks) -> None:
    """An OrvEvtLogger the kit did not create: it refuses, changing nothing."""
    path = r"C:\Orv\iorvelsr.exe"
    made = kit.wine.run(["sc", "create", "OrvEvtLogger", "binPath=", path, "DisplayName=",
                         "Orv Event Logger of the site", "type=", "own", "start=", "demand"])
    if made.status != 0:
        raise WineError(f"sc create OrvEvtLogger failed ({made.status}): {made.text()}")
    before = service_as_is(kit, "OrvEvtLogger")
    status, out, err = kit.run_tests([])
    test.expect("with a foreign OrvEvtLogger the kit refuses (status 3)",
                status == KIT_REFUSED, (status, out, err))
    test.expect("... naming the service and its executable",
                "the service OrvEvtLogger exists and is not one this kit created" in err
                and path in err, err)
    test.expect("... before it runs anything", "1.." not in out and " ok " not in out, out)
    test.expect("... or makes its work folder", not (kit.dir / "work").exists())
    after = service_as_is(kit, "OrvEvtLogger")
    test.expect("... and leaves that service exactly as it was", after == before, (before, after))


def proof_planted(kit: Kit, test: Checks) -> None:
    """Leftovers in work\\ naming files outside it: a path, one climbing out with "..", a
    link, a linked folder. Wine shows only Everyone's rights, from the others' mode bits."""
    outside = kit.work / "outside"
    shutil.rmtree(outside, ignore_errors=True)
    (outside / "folder").mkdir(parents=True)
    for name in ("data.txt", "dots.txt", "linked.txt"):
        (outside / name).write_text(f"{name} of someone else\n")
    (outside / "folder" / "svc.exe.mode").write_text("normal\n")
    work = kit.dir / "work"
    (work / "x.run").mkdir(parents=True)
    (work / "x.run" / "l.release").symlink_to(outside / "linked.txt")
    (work / "y").symlink_to(outside / "folder")
    climb = to_windows(work / "x.run") + "\\.." * len((work / "x.run").parts[1:])
    (work / "x.run" / "holders").write_text(
        f"0\t{to_windows(outside / 'data.txt')}\n0\t{climb}\\{to_windows(outside / 'dots.txt')[3:]}\n"
        f"0\t{to_windows(work / 'x.run' / 'l.release')}\n")

    def state(root: Path) -> dict[str, bytes]:
        return {str(p): p.read_bytes() if p.is_file() else b"" for p in sorted(root.rglob("*"))}

    before = {**state(outside), **state(work)}
    for path, why in ((kit.dir, "its folder"), (kit.dir / "quillmar.exe", "its quillmar.exe"),
                      (work, "a work folder left behind")):
        mode = path.stat().st_mode
        path.chmod(mode | 0o777)
        status, out, err = kit.run_tests(["-k", FLOOR_FILTERS[0]])
        path.chmod(mode)
        test.expect(f"when others may change {why} the kit refuses (status 3), naming it and them",
                    status == KIT_REFUSED and to_windows(path) in err
                    and "may be changed by Everyone" in err, (status, err))
        test.expect("... changing nothing", {**state(outside), **state(work)} == before
                    and "1.." not in out and not (kit.dir / "junit.xml").exists())
    status, out, err = kit.run_tests(["-k", FLOOR_FILTERS[0]])
    ignored = {line.split(", named by")[0] for line in err.splitlines()
               if line.startswith("qmkit: ignored ")}
    test.expect("from a work folder only administrators may change, the kit runs, ignoring the "
                "four paths that lead out of it", "1..5" in out and len(ignored) == 4, (out, err))
    test.expect("... and fails (status 1), since it cannot remove the links that lead out",
                status == 1 and "could not remove everything below" in err, (status, err))
    test.expect("... and writes or deletes nothing outside it",
                state(outside) == {k: v for k, v in before.items() if k.startswith(str(outside))},
                state(outside))
    shutil.rmtree(outside)


def proof_intruder(kit: Kit, test: Checks) -> None:
    """A HalvBase created by someone else during a slow scenario; a second kit meanwhile."""
    with ThreadPoolExecutor(1) as pool:
        first = pool.submit(kit.run_tests, ["-k", SLOW_FILTER])
        # quillmar.exe's output appears as its run begins; its polls outlast what follows.
        deadline = time.monotonic() + 120
        while (not any((kit.dir / "work").glob("*.run/stdout")) and not first.done()
               and time.monotonic() < deadline):
            time.sleep(0.2)
        made = kit.wine.run(["sc", "create", "HalvBase", "binPath=", HALV_PATH, "type=", "own",
                             "start=", "demand"])
        before = service_as_is(kit, "HalvBase")
        second = kit.dir.with_name(kit.dir.name + "-2")
        shutil.rmtree(second, ignore_errors=True)
        shutil.copytree(kit.dir, second, ignore=shutil.ignore_patterns("work"))
        other = kit.wine.run(["cmd", "/c", to_windows(second / "run-tests.cmd")])
        shutil.rmtree(second)
        status, out, err = first.result()
    test.expect("someone else's HalvBase was created during the slow scenario",
                made.status == 0 and "1.." in out, (made.text(), out))
    test.expect("a second kit started meanwhile refuses (status 3), naming the run under way",
                other.status == KIT_REFUSED
                and b"another run of the kit is under way" in other.stderr,
                (other.status, other.stderr))
    test.expect("the kit fails (status 1)", status == 1, (status, out, err))
    test.expect("... naming HalvBase and its program, left as it is",
                f"HalvBase left as it is: this kit did not create it (its executable: {HALV_PATH})"
                in out and f"the service HalvBase (its executable: {HALV_PATH})" in err, (out, err))
    test.expect("... leaving HalvBase exactly as it was", service_as_is(kit, "HalvBase") == before,
                before)
    gone = kit.wine.run(["sc", "query", "OrvEvtLogger"])
    test.expect("... and removing what it made", gone.status != 0 and not (kit.dir / "work").exists(),
                (gone.status, gone.text(), list((kit.dir / "work").glob("*"))))


# ../wine/installer.wxs: "[INSTALLDIR]." installs the test service, "[INSTALLDIR]"
# (ending in a quote, refused with 87) fails and leaves nothing.
MSI_DIR = r"C:\Program Files\Orv"
MSI_STATUS = {".": 0, "": 1627}  # a rollback: 1627 from Wine's msiexec, 1603 on Windows


def msi(kit: Kit, test: Checks, which: str) -> int | None:
    case = Case(kit, "msi")
    stage = kit.work / "msi"
    stage.mkdir(exist_ok=True)
    shutil.copyfile(kit.tools / "floor.exe" if which == "floor" else kit.dir / "quillmar.exe",
                    stage / "quillmar.exe")
    shutil.copyfile(kit.dir / "testsvc.exe", stage / "iorvelsr.exe")
    orv = kit.wine.prefix / "drive_c" / "Program Files" / "Orv"

    def msiexec(action: str, package: Path) -> int:
        log = to_windows(stage / f"{package.stem}{action[1]}.log")
        return case.launch("msiexec", [action, to_windows(package), "/qn", "/l*v", log])[2]

    # With floor.exe only the refused form tells: it installs.
    tails = MSI_STATUS if which == "quillmar" else {"": MSI_STATUS[""]}
    try:
        for tail, status in tails.items():
            form, package = f'"[INSTALLDIR]{tail}"', stage / f"tail{len(tail)}.msi"
            shutil.rmtree(orv, ignore_errors=True)  # the service's log
            subprocess.run(["wixl", "-a", "x64", "-D", f"Tail={tail}", "-o", str(package),
                            str(HERE.parent / "wine" / "installer.wxs")], cwd=stage, check=True)
            code = msiexec("/i", package)
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
            kit.wine.run(["sc", "start", "OrvEvtLogger"])
            test.holds(case, [model.ServiceState("OrvEvtLogger", "running")])
            # Stopped and its process gone (a file in use would stay): -rm's 50002 is ignored.
            kit.wine.run(["sc", "stop", "OrvEvtLogger"])
            log = orv / "iorvelsr.exe.log"
            for _ in range(100):
                if not log.exists() or "process end" in log.read_text():
                    break
                time.sleep(0.1)
            test.expect(f"{form}: msiexec /x exits 0", msiexec("/x", package) == 0)
            test.holds(case, [model.ServiceState("OrvEvtLogger", "absent")])
            test.expect(f"{form}: ... and removes its files",
                        not (orv / "quillmar.exe").exists() and not (orv / "iorvelsr.exe").exists())
    finally:
        case.cleanup()
    if which == "floor":  # quillmar's status ignored: the refused form installs
        seen = test.failed > 0 and code == 0
        print(f"with a quillmar.exe that exits 0 the test {'fails' if seen else 'passes'}")
        return 0 if seen else 1
    return None


PROOFS = {"floor": proof_floor, "foreign": proof_foreign, "planted": proof_planted,
          "intruder": proof_intruder}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="the Windows build")
    parser.add_argument("--work", help="where the prefixes and cases live (default: below /tmp)")
    what = parser.add_mutually_exclusive_group()
    what.add_argument("--selftest", action="store_true")
    what.add_argument("--kit-proof", choices=sorted(PROOFS))
    what.add_argument("--msi", choices=("quillmar", "floor"))
    parser.add_argument("--native", help="the native build, for the program's service names "
                        "(default: native beside the Windows build)")
    parser.add_argument("-k", dest="filters", action="append", default=[],
                        help="only scenarios whose id or title holds TEXT (again: any)")
    parser.add_argument("--quick", action="store_true", help="leave out the slow scenarios")
    parser.add_argument("--list", action="store_true", help="list the scenarios and stop")
    parser.add_argument("--keep", action="store_true", help="keep the failed cases")
    parser.add_argument("--shard", default="1/1", metavar="K/N",
                        help=f"only the K-th of N parts, in {PREFIXES} prefixes of its own")
    opts = parser.parse_args(argv)
    name = "selftest" if opts.selftest else f"kit-proof-{opts.kit_proof}" if opts.kit_proof \
        else f"msi-{opts.msi}" if opts.msi else "scenarios"
    opts.work = opts.work or tempfile.mkdtemp(prefix=f"quillmar-wine-{name}-")
    if name == "scenarios":
        return run_tier(opts)
    if opts.selftest:
        native = opts.native or Path(opts.build).resolve().parent / "native"
        names = buildfacts.service_names(str(native))
        job = lambda kit, test: selftest(kit, test, names)  # noqa: E731
    elif opts.msi:
        job = lambda kit, test: msi(kit, test, opts.msi)  # noqa: E731
    else:
        job = PROOFS[opts.kit_proof]
    test = Checks()
    kit = Kit(opts.build, opts.work)
    try:
        kit.start()
        verdict = job(kit, test)
    finally:
        kit.stop()
    return test.status(name) if verdict is None else verdict


if __name__ == "__main__":
    sys.exit(main())
