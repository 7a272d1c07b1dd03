"""A scenario, for both tiers: one run of quillmar, the machine before it
(set-up steps) and after it (checks), its command line, streams and status.

Placeholders in args, expected output and check values: {dir} the working
directory as the program sees it; {sep} the host's separator, only in paths
the host itself forms; {share} under Wine, {dir} reached as a share. Expected
output has "\\n" line ends; the kit turns CRLF into LF before comparing.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any, Callable, Optional, Union


@dataclass(frozen=True)
class Behaviour:
    """sim: the simulated machine's settings lines ({name} the service, {code} " CODE"
    or nothing); testsvc: the test service's mode ({slow}: seconds beyond the wait)."""

    meaning: str
    sim: tuple[str, ...]
    testsvc: str


BEHAVIOURS: dict[str, Behaviour] = {
    "normal": Behaviour("starts and stops at once", (), "normal"),
    "dies": Behaviour("start pending, then stopped again with exit_code as its Win32 exit code",
                      ("service {name} start dies{code}",), "dies{code}"),
    "slowstop": Behaviour("takes longer than the program's polls to stop",
                          ("service {name} stop never",), "slowstop {slow}"),
    "nostart": Behaviour("never reaches RUNNING: stays start pending",
                         ("service {name} start never",), "nostart {slow}"),
    "ignorestop": Behaviour("accepts a stop and goes on running",
                            ("service {name} stop ignored",), "ignorestop"),
}


@dataclass
class Service:
    """A service registered before the run, as an installation leaves it;
    exe is a file name in {dir}, where the kit copies its test service."""

    name: str
    display: Optional[str] = None
    exe: str = "iorvelsr.exe"
    running: bool = False
    behaviour: str = "normal"  # a key of BEHAVIOURS
    params: dict[str, str] = field(default_factory=dict)  # values under Parameters
    exit_code: Optional[int] = None  # for "dies"; None leaves the code to the platform
    depends_on: tuple[str, ...] = ()
    # held: another program holds it open all run, so a deletion only marks
    # it; marked: deleted before the run, listed while held or running.
    held: bool = False
    marked: bool = False
    # None is LocalSystem; another account makes an own-process service
    # (0x10), since only LocalSystem may run an interactive one.
    account: Optional[str] = None


@dataclass
class Console:
    """A console directory {dir}/<sub>: its INI files (None for absent), the
    stand-in merge tool's exit status (None for no tool); linger: seconds the
    tool leaves a process behind that holds its handles; echo: the tool
    copies its standard input to its standard error; race: another run's
    backup, put at hvcons.old while the program copies hvcons.ini."""

    sub: str = "console"
    hvcons_ini: Optional[str] = "[services]\nbase=1\n"
    hvcons_old: Optional[str] = None
    tool_status: Optional[int] = 0
    linger: int = 0
    echo: bool = False
    race: Optional[str] = None


@dataclass
class Fault:
    """A line for the simulated machine's settings file (native tier only)."""

    line: str


Step = Union[Service, Console, Fault]


@dataclass
class ServiceState:
    """state: "absent", "stopped", "running", "stop pending" or "start pending",
    followed by ", marked for deletion" when the service is marked."""

    name: str
    state: str


@dataclass
class ServiceConfig:
    name: str
    type: int = 0x110
    start: int = 2
    error: int = 1
    path: Optional[str] = None
    display: Optional[str] = None


@dataclass
class RegValue:
    """A value below HKEY_LOCAL_MACHINE; data None means the value is absent."""

    key: str
    name: str
    data: Optional[str]
    type: str = "REG_SZ"


@dataclass
class FileContent:
    """A file below {dir}; content None means the file is absent."""

    path: str
    content: Optional[str]


@dataclass
class ToolRuns:
    """The stand-in merge tool ran `count` times in {dir}/<sub>, each time
    with its current directory there and the arguments `args`."""

    sub: str
    count: int
    args: tuple[str, ...] = ("merge", "orv.ini")


Check = Union[ServiceState, ServiceConfig, RegValue, FileContent, ToolRuns]


@dataclass
class OnWine:
    """Where Wine answers otherwise than Windows: each field set replaces the
    scenario's own; why names the Wine test that shows the difference."""

    why: str
    stdout: Optional[str] = None
    stderr: Optional[str] = None
    combined: Optional[str] = None
    exit: Optional[int] = None
    checks: Optional[list[Check]] = None


@dataclass
class Scenario:
    name: str
    args: list[str]
    stdout: str = ""
    stderr: str = ""
    exit: int = 0  # the full 32-bit error number
    setup: list[Step] = field(default_factory=list)
    checks: list[Check] = field(default_factory=list)
    # Tiers the scenario runs on, with the reason when it is only one.
    tiers: tuple[str, ...] = ("native", "wine")
    why_one_tier: str = ""
    slow: bool = False  # waits out every poll; run once, not in quick mode
    # combined: both streams on one pipe, as on a console; piped: both read through
    # pipes, as an installer does, that must end when the program exits, not what it started.
    combined: Optional[str] = None
    piped: bool = False
    stdin: Optional[str] = ""  # what the program finds on its standard input; None: it is closed
    argv0: Optional[str] = None  # the program's own name as it is started, when not its path
    on_wine: Optional[OnWine] = None  # Wine's answer, where it is not Windows'
    # Native rows only (the hostile inputs). unchanged: a refusal leaves the machine and
    # {dir} byte for byte; prepare: a last set-up step; closed: both streams on a pipe whose
    # reader has gone; modes: permission bits below {dir} afterwards; as_root: prepare needs root.
    unchanged: bool = False
    prepare: Optional[Callable[[Any], None]] = None
    closed: bool = False
    modes: Optional[dict[str, int]] = None
    as_root: bool = False

    def on(self, host: str) -> "Scenario":
        """The scenario as it must turn out on "windows" (or natively) or "wine"."""
        if host != "wine" or self.on_wine is None:
            return self
        fields = ("stdout", "stderr", "combined", "exit", "checks")
        changes = {f: getattr(self.on_wine, f) for f in fields if getattr(self.on_wine, f) is not None}
        return replace(self, **changes)
