"""The vocabulary of a scenario, shared by both tiers.

A scenario is one run of quillmar: the machine it starts from (set-up
steps), its command line, what it must write on each stream, its exit
status, and what the machine must look like afterwards (checks). The same
scenario runs natively on a fresh simulated machine and, as quillmar.exe,
under Wine; the native backend (backend_native.py) turns the steps and
checks into files of the simulated machine, the Windows test kit (its data
from kit/make_kit_data.py, its runner kit/kitcase.cpp) into calls to the
Service Control Manager and the registry.

Placeholders in args, expected output and check values:
  {dir}   the scenario's own working directory, as the program sees it
          (a POSIX path natively, a Windows path such as Z:\\tmp\\... under Wine)
  {sep}   the directory separator of the host ("/" natively, "\\" under Wine);
          only for paths the host itself forms (the console merge's files)
  {share} under Wine, {dir} reached as a share (\\\\server\\share)
Expected output is written with "\\n" line ends; the test kit turns CRLF
into LF before comparing.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any, Callable, Optional, Union

# ---- how a service behaves ---------------------------------------------------


@dataclass(frozen=True)
class Behaviour:
    """One way a set-up service behaves, as each host makes it behave.

    sim: the simulated machine's settings lines ({name} the service, {code}
    " CODE" for a given exit code or nothing); testsvc: the mode line of the
    Windows test service ({slow} seconds longer than the program's wait,
    {code} as for sim)."""

    meaning: str
    sim: tuple[str, ...]
    testsvc: str


# The one list of behaviours: both tiers, the Windows test kit and the fuzz
# corpus take theirs from here.
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

# ---- set-up steps ---------------------------------------------------------


@dataclass
class Service:
    """A service registered before the run, as an installation would leave it.

    exe: file name of the executable in {dir} ("iorvelsr.exe", "worvserv.exe"
    or any name); the test kit copies its test service there.
    behaviour: a key of BEHAVIOURS.
    """

    name: str
    display: Optional[str] = None
    exe: str = "iorvelsr.exe"
    running: bool = False
    behaviour: str = "normal"
    params: dict[str, str] = field(default_factory=dict)  # values under Parameters
    exit_code: Optional[int] = None  # for "dies"; None leaves the code to the platform
    # Services this one depends on (its DependOnService): a stop of one of
    # them while this one runs is refused on Windows.
    depends_on: tuple[str, ...] = ()
    # Another program holds the service open for the whole run, as the
    # Services console or a monitor does: a deletion then only marks it.
    held: bool = False
    # Deleted before the run: marked for deletion, and still listed because
    # it is held or still running.
    marked: bool = False
    # The account it runs as; None is LocalSystem. A service with another
    # account is set up as an own-process service (0x10), since only
    # LocalSystem may run an interactive one.
    account: Optional[str] = None


@dataclass
class Console:
    """A management-console directory {dir}/<sub> with its files.

    hvcons_ini / hvcons_old: content of the two INI files, None for absent.
    tool_status: exit status of the stand-in merge tool; None for no tool.
    linger: seconds for which the tool leaves a process behind that holds
    every handle the tool was given.
    echo: the tool copies its standard input to its standard error.
    race: another run's backup, put at hvcons.old while the program copies
    hvcons.ini (natively strace holds the program before it links its copy
    into place, until this backup stands).
    """

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

# ---- checks afterwards -----------------------------------------------------


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

# ---- the scenario ------------------------------------------------------------


@dataclass
class OnWine:
    """Where Wine is known to answer otherwise than Windows (Wine's own
    conformance tests mark such places todo_wine): what the scenario gives
    under Wine. Each field that is set replaces the scenario's own there;
    the scenario's own fields are Windows' answer, which the simulated
    machine gives too. why names the difference and the Wine test that
    shows what Windows does."""

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
    # When set: both streams go to one pipe, as on a console, and this is
    # what must arrive there, in this order (stdout and stderr then unused).
    combined: Optional[str] = None
    # Both streams are read through pipes, as an installer reads them: their
    # ends must come when the program exits, not when what it started does.
    piped: bool = False
    stdin: str = ""  # what the program finds on its standard input
    on_wine: Optional[OnWine] = None  # Wine's answer, where it is not Windows'
    # Native rows only (the hostile inputs). unchanged: a refusal, which
    # leaves the machine and {dir} byte for byte as they were; prepare: a
    # last set-up step on the native case; closed: both streams go to a
    # pipe whose reader has gone; modes: permission bits of files below
    # {dir} afterwards; as_root: prepare needs root (to give a file away).
    unchanged: bool = False
    prepare: Optional[Callable[[Any], None]] = None
    closed: bool = False
    modes: Optional[dict[str, int]] = None
    as_root: bool = False

    def on(self, host: str) -> "Scenario":
        """The scenario as it must turn out on a host: "windows" (and the
        simulated machine, which answers as Windows does) or "wine"."""
        if host != "wine" or self.on_wine is None:
            return self
        changes = {f: getattr(self.on_wine, f) for f in ("stdout", "stderr", "combined", "exit",
                                                         "checks")
                   if getattr(self.on_wine, f) is not None}
        return replace(self, **changes)
