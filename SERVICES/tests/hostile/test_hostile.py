"""Hostile input at the process boundary: rows the scenario tier's machinery
runs, each its own test; a refusal (unchanged) must leave every file as it
was. hostile_tests takes arguments over exec's 128 KiB in-process.
"""

from __future__ import annotations

import os
import pwd

import pytest

from model import Console, FileContent, RegValue, Scenario, Service, ServiceConfig, ServiceState, ToolRuns
from scenarios import (
    ELOG_NAME, ELOG_PARMS, ELOG_TITLE, FLM_NAME, FLM_PARMS, FLM_TITLE, INI, INSTALLED,
    FINISHED, USAGE, failed, fails, inst_to_check, request,
)

SIZES = (300, 4096, 100_000)


CASES: list[Scenario] = []


def case(name, args, **kw) -> None:
    CASES.append(Scenario(name, args, tiers=("native",), **kw))


def refused(name, args, error: int, **kw) -> None:
    """A refusal: the error number alone, and nothing changed."""
    case(name, args, **fails(error), unchanged=True, **kw)


# A row's service, executable and last parameter.
ROWS = {"elog": (ELOG_NAME, ELOG_TITLE, ELOG_PARMS, "iorvelsr.exe", "PFAFilename"),
        "flm": (FLM_NAME, FLM_TITLE, FLM_PARMS, "worvserv.exe", "AppPortNumber")}


def installed(row: str, directory: str, last: str, image: str | None = None) -> dict:
    name, title, parms, exe, last_parm = ROWS[row]
    return dict(stdout=INSTALLED, checks=[
        ServiceConfig(name, path=image or directory + "\\" + exe, display=title),
        RegValue(parms, "AppDirectory", directory),
        RegValue(parms, last_parm, last),
    ])


def installs(name, row: str, directory: str, last: str, image: str | None = None) -> None:
    case(name, ["-i", row, directory, last], **installed(row, directory, last, image))


def merged(sub: str) -> dict:
    return dict(setup=[Console(sub=sub)], checks=[ToolRuns(sub, 1), FileContent(sub + "/hvcons.old", INI)])


# An unknown service code ends the dispatch before any request counted, so
# the usage text follows its report.
for n in SIZES:
    code = "x" * n
    for op, extra in (("-b", []), ("-e", []), ("-rm", []), ("-i", ["C:\\Orv", "C:\\Orv\\x.pfa"])):
        refused(f"service code of {n} characters after {op}", [op, code] + extra, 50003, stdout=USAGE)
    case(f"display mode names the long service code's failure ({n})", ["-d", "-b", code],
         stdout="START service\n" + "\tSearching for the service information ." + USAGE,
         **failed("searching for service", 50003), unchanged=True)
    refused(f"option of {n} characters is no option", ["-" + "b" * n, "elog"], 87, stdout=USAGE)
    # The executable path is refused from 260 UTF-16 units on, before any change.
    for row in ("elog", "flm"):
        refused(f"{row} directory of {n} characters", ["-i", row, "C:\\" + "d" * (n - 3), "x"], 87)
    installs(f"pfa file name of {n} characters", "elog", "C:\\Orv", "C:\\" + "f" * (n - 3))
    installs(f"port of {n} characters", "flm", "C:\\Orv", "9" * n)
    # No such directory (a name over 255 bytes, or a path over 4,095).
    refused(f"console directory of {n} characters that does not exist", ["-i", "hv", "c" * n], 1)

case("display mode explains the refused long directory",
     ["-d", "-i", "elog", "C:\\" + "d" * 4093, "x"],
     stdout=request("INSTALL service") + inst_to_check(ELOG_TITLE) + FINISHED,
     **failed("forming the executable path", 87), unchanged=True)

# A blank quotes the path, and the quotes do not count: the manager starts
# 259 units without them (MAX_PATH with its NUL), not 260.
SPACED = "C:\\Program Files\\" + "s" * (259 - 13 - 17)
installs("a quoted executable path of 259 characters without its quotes fits", "elog", SPACED, "x",
         image=f'"{SPACED}\\iorvelsr.exe"')
refused("a quoted executable path of 260 characters without its quotes is refused",
        ["-i", "elog", SPACED + "s", "x"], 87)

LONG_SUB = "/".join(["k" * 99] * 3)
case("console directory of about 300 characters", ["-i", "hv", "{dir}/" + LONG_SUB],
     **merged(LONG_SUB))
DOTS = "console" + "/." * ((4000 - len("console")) // 2)
case("console path of about 4,000 characters through /. steps", ["-i", "hv", DOTS], **merged("console"))
DOTS_OVER = "console" + "/." * ((4096 - len("console")) // 2 + 1)
refused("console path over the host's 4,095 characters", ["-i", "hv", DOTS_OVER], 1, setup=[Console()])


# The Service Control Manager would resolve a relative directory against its
# own current directory: only an absolute one is installed.
refused("empty directory is refused: no absolute path", ["-i", "elog", "", "x.pfa"], 87)
installs("empty pfa file name is stored empty", "elog", "C:\\Orv", "")
installs("empty port is stored empty", "flm", "C:\\Orv", "")
refused("empty console directory is refused at the backup", ["-i", "hv", ""], 1, setup=[Console()])
case("empty console directory in display mode", ["-d", "-i", "hv", ""],
     stdout=request("INSTALL service") + "\tUpdate Halvorin\n\tBacking up Halvorin Service Manager INI file ."
     + FINISHED, **failed("coping hvcons.ini to hvcons.old ", 1), unchanged=True)
refused("empty service code", ["-b", ""], 50003, stdout=USAGE)
refused("empty arguments only", ["", "", ""], 87, stdout=USAGE)
refused("a lone minus is no option", ["-", "elog"], 87, stdout=USAGE)


UTF8_DIR = "C:\\Ørv\\データ"
installs("UTF-8 directory and file name are stored byte for byte", "elog", UTF8_DIR, UTF8_DIR + "\\é.pfa")
BAD_UTF8 = "C:\\\udcff\udcfe\udc80x"  # the bytes FF FE 80, no valid UTF-8
installs("bytes that are no UTF-8 are stored byte for byte", "elog", BAD_UTF8, BAD_UTF8 + ".pfa")
CONTROL = "C:\\a\nb\rc\x01\x7f"
installs("control characters are stored byte for byte", "elog", "C:\\Orv", CONTROL)
installs("a newline in the directory is no blank: the path stays unquoted", "flm", "C:\\a\nb", "80")
refused("a non-ASCII service code", ["-b", "élog"], 50003, stdout=USAGE)
refused("service code of bytes that are no UTF-8", ["-e", "\udcff\udcfe"], 50003, stdout=USAGE)
case("UTF-8 console directory", ["-i", "hv", "{dir}/cønsole\udcff"], **merged("cønsole\udcff"))


# Windows names no directory with a quote; inside the quotes a blank asks for,
# one would pass the rest to the service as arguments: refused before any change.
refused("a quote in the directory is refused", ["-i", "elog", 'C:\\Orv"x', "x.pfa"], 87)
QUOTED = 'C:\\Program Files\\" -evil "'
refused("a quote and a blank in the directory are refused", ["-i", "elog", QUOTED, "x.pfa"], 87)
case("a quote in the directory is explained in display mode", ["-d", "-i", "flm", 'C:\\a"b', "80"],
     stdout=request("INSTALL service") + inst_to_check(FLM_TITLE) + FINISHED,
     **failed("forming the executable path", 87), unchanged=True)
installs("quotes in the file name and the port", "flm", "C:\\Orv", '"80" \\"')
case("a quote in the console directory", ["-i", "hv", '{dir}/con"sole'], **merged('con"sole'))


refused("a relative '..' directory is refused", ["-i", "elog", "..\\..\\Windows", "..\\x.pfa"], 87)
installs("'..' inside an absolute directory is registered as typed", "elog", "C:\\Orv\\..\\Windows",
         "..\\x.pfa")
case("console directory through '..'", ["-i", "hv", "console/../console"], **merged("console"))
refused("console directory '..' without a console", ["-i", "hv", ".."], 1, setup=[Console()])
refused("console directory '../..' without a console", ["-i", "hv", "../../../../../../.."], 1)


def plant_link_backup(c) -> None:
    """hvcons.old is a link to a file outside: the backup must not write through it."""
    target = os.path.join(c.dir, "outside.txt")
    with open(target, "w") as f:
        f.write("not yours\n")
    os.symlink(target, os.path.join(c.dir, "console", "hvcons.old"))


def plant_dangling_backup(c) -> None:
    os.symlink(os.path.join(c.root, "nowhere", "x"), os.path.join(c.dir, "console", "hvcons.old"))


case("a linked hvcons.old is taken as the backup and nothing is written through it",
     ["-i", "hv", "console"], setup=[Console()], prepare=plant_link_backup,
     checks=[ToolRuns("console", 1), FileContent("outside.txt", "not yours\n")])
refused("a dangling hvcons.old link is no backup and is not followed", ["-i", "hv", "console"], 1,
        setup=[Console()], prepare=plant_dangling_backup, checks=[ToolRuns("console", 0)])


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
refused("a FIFO as hvcons.ini is no file to back up", ["-i", "hv", "console"], 1, setup=[Console()],
        prepare=ini_replaced(os.mkfifo), checks=[ToolRuns("console", 0)])
refused("a device as hvcons.ini is no file to back up", ["-i", "hv", "console"], 1, setup=[Console()],
        prepare=ini_replaced(lambda path: os.symlink("/dev/null", path)), checks=[ToolRuns("console", 0)])
# The index is only a shortcut: one that is no file is rebuilt, not waited on.
case("a FIFO as the machine's index of services is rebuilt", ["-e", "elog"],
     setup=[Service(ELOG_NAME, running=True)],
     prepare=lambda c: os.mkfifo(os.path.join(c.machine, "scm", "display-names.index")),
     checks=[ServiceState(ELOG_NAME, "stopped")])


# A write to the closed pipe fails, as on Windows, and every request runs
# to its end: the status is the requests'.
case("standard output closed: an installation still writes its parameters",
     ["-d", "-i", "elog", "C:\\Orv", "C:\\Orv\\x.pfa"], closed=True,
     **dict(installed("elog", "C:\\Orv", "C:\\Orv\\x.pfa"), stdout=""))
# Then the machine's first file opens as descriptor 0, a file like any other.
case("standard input closed: an installation still writes its parameters",
     ["-i", "elog", "C:\\Orv", "C:\\Orv\\x.pfa"], stdin=None,
     **installed("elog", "C:\\Orv", "C:\\Orv\\x.pfa"))
case("standard output closed: the second start still runs", ["-d", "-b", "elog", "-b", "flm"],
     closed=True, setup=[Service(ELOG_NAME), Service(FLM_NAME, exe="worvserv.exe")],
     checks=[ServiceState(ELOG_NAME, "running"), ServiceState(FLM_NAME, "running")])
case("standard error closed: the merge tool's words are dropped and the merge ends",
     ["-i", "hv", "console"], closed=True, stdin="merging 1 of 2\nmerging 2 of 2\n",
     setup=[Console(echo=True)], checks=[ToolRuns("console", 1)])


@pytest.mark.parametrize("row", [pytest.param(c, id=c.name) for c in CASES])
def test_hostile(native, row):
    if row.as_root and os.geteuid() != 0:
        pytest.skip("needs root to give a file to another user")
    failures = native.new_case(row).play()
    if failures:
        pytest.fail("\n".join(failures), pytrace=False)
