"""quillmar's behaviour at the process boundary, for both tiers: expected bytes
composed from the fragments the program writes, each named once below. The
streams are compared apart: an open progress line runs on into what follows on
standard output, while the report that closed it is on standard error."""

from __future__ import annotations

import buildfacts
from model import (Console, Fault, FileContent, OnWine, RegValue, Scenario, Service, ServiceConfig,
                   ServiceState, ToolRuns)

USAGE = """\
quillmar.exe [-b [servicename], -e [servicename], -i [servicename] [path], -d]
 Key   Data
---   ----
 b [servicename]    Start service

 e [servicename]    Stop service

 i [servicename] [path] <port number> <pfa full filename>
                    Install service,
                      <port number> is required for servicename=flm
,                      <pfa full filename> is reqired for servicename=elog
 rm [servicename]   Remove service

 d    display messages (English)

 h    when this action is selectec just the
 ?    help will be displayed and no extra action executed

 [servicename]s:
      servicename    Service Name
      -----------    ------------
      elog           Orv Event Logger
      flm            Orv Field Link Manager
      hv             Halvorin

If no parameter is introduced this screen will
be displayed.
"""
HELP = "????" + USAGE
FINISHED = "\nFinished.\n"

TEXTS = {
    5: "Service control manager handle does not have the right access",
    1059: "Specified a circular service dependency",
    52: "The display name already exists in the service control manager database",
    6: "Service control manager database handle is invalid",
    123: "The specified service name is invalid",
    87: "Invalid parameter",
    1057: ("The account name does not exist, or a service is specified to share the same "
           "binary file as an already installed service but with an account name that is "
           "not the same as the installed service"),
    1073: "The specified service already exist in this database",
    1060: "The service doesn't exist",
    1072: "The specified service has already been market for deletion",
    50001: "The service is already running",
    50002: "The service is already stopped",
    50003: "No valid service specified",
    50004: "Wrong number of parameters",
    50005: "This operation is not supported",
    50006: "The service doesn't exist",
    2: "No such file or directory",
    1: " No such file or directory",
    9: "Invalid parameter",
}


def text_of(num: int) -> str:
    return TEXTS.get(num, "Other")


def err(ptxt: str, num: int) -> str:
    """DisplayError in display mode."""
    return f" (Error) \nError {ptxt}: {text_of(num)}.\n"


def quiet(*nums: int) -> str:
    """DisplayError outside display mode, once per number."""
    return "".join(f"\nERROR {n}" for n in nums)


def failed(ptxt: str, num: int) -> dict:
    """A run in display mode that fails with num, the step that failed named."""
    return dict(stderr=err(ptxt, num), exit=num)


def fails(*nums: int) -> dict:
    """A run outside display mode whose failures report nums, the last one its status."""
    return dict(stderr=quiet(*nums), exit=nums[-1])


def only(tier: str, why: str) -> dict:
    return dict(tiers=(tier,), why_one_tier=why)


ELOG_NAME, ELOG_TITLE = "OrvEvtLogger", "PC's Orv Event Logger"
FLM_NAME, FLM_TITLE = "OrvFLM", "Orv Field Link Manager"
OLD_NAME, OLD_TITLE = "Orv_Field_Link_Mgr", "Old Orv Field Link Manager"
HV_NAME, HV_TITLE = "HalvBase", "Halvorin service"
ELOG_PARMS = "SYSTEM\\CurrentControlSet\\Services\\OrvEvtLogger\\Parameters"
FLM_PARMS = "SYSTEM\\CurrentControlSet\\Services\\OrvFLM\\Parameters"
OLD_PARMS = "SYSTEM\\CurrentControlSet\\Services\\Orv_Field_Link_Mgr\\Parameters"


def service(name: str, display: str, exe: str):
    return lambda **kw: Service(name, **{"display": display, "exe": exe, **kw})


elog = service(ELOG_NAME, ELOG_TITLE, "iorvelsr.exe")
flm = service(FLM_NAME, FLM_TITLE, "worvserv.exe")
# So that creating "OrvFLM" beside the obsolete entry is no display-name clash.
old_flm = service(OLD_NAME, "Orv Field Link Manager (obsolete)", "worvserv.exe")
halvbase = service(HV_NAME, HV_TITLE, "hvbase.exe")


def elog_is(state: str) -> list:
    return [ServiceState(ELOG_NAME, state)]


NO_ELOG = [ServiceState(ELOG_NAME, "absent"), RegValue(ELOG_PARMS, "AppDirectory", None)]
NO_FLM = [ServiceState(FLM_NAME, "absent"), RegValue(FLM_PARMS, "AppDirectory", None)]

OKAY = ".. (Okay)\n"
SEARCH_OK = "\tSearching for the service information ." + OKAY
SEARCH_OPEN = "\tSearching for the service information ."


def request(info: str) -> str:
    """The dispatcher's heading and completed look-up line of one request."""
    return f"{info}\n" + SEARCH_OK


def listing(info: str, *parts: str) -> str:
    """A display-mode run of one request, to its closing line."""
    return request(info) + "".join(parts) + FINISHED


def manager_open(title: str) -> str:
    return f"\n\t{title}\n\tOpening service control manager database ."


def to_open(title: str) -> str:
    return manager_open(title) + OKAY + "\tOpening service ."


def ss_to_query(title: str) -> str:
    return to_open(title) + OKAY + "\tQuerying service status ."


def ss_sent(start: bool) -> str:
    return "\tStarting service ." if start else "\tStopping service ."


def ss_request(start: bool, missed_polls: int = 0) -> str:
    """The request line with its dots: one once accepted, one per missed poll."""
    return ss_sent(start) + "." * (1 + missed_polls)


def ss_reached(start: bool) -> str:
    return " (Okay)\n" + ("\t>>>> Service started! <<<<\n" if start else "\t>>>> Service stopped! <<<<\n")


UNKNOWN = "\n\n\t>>>> Service status unknown! <<<<\n"
QUERY_OK = ".. (Okay) \n"


def started(title: str) -> str:
    return ss_to_query(title) + QUERY_OK + ss_request(True) + ss_reached(True)


def stopped(title: str) -> str:
    return ss_to_query(title) + QUERY_OK + ss_request(False) + ss_reached(False)


def refused(title: str, start: bool) -> str:
    """Start/stop up to the open request line the manager refused."""
    return ss_to_query(title) + QUERY_OK + ss_sent(start)


def never_reached(title: str, start: bool) -> str:
    return (ss_to_query(title) + QUERY_OK
            + ss_request(start, missed_polls=buildfacts.current().max_polls) + UNKNOWN)


def rm_deleted(title: str) -> str:
    return to_open(title) + OKAY + "\tClosing service ." + OKAY + "\t>>>> Service removed <<<<"


def inst_to_check(title: str) -> str:
    return (f"\n\t{title}\n\tOpening service controler manager database ." + OKAY
            + "\tChecking service existens .")


CREATING = ".. (Doesn't exist)\n\tCreating service ."
CREATED = CREATING + OKAY
CHANGING = ".. (Exist)\n\tChanging service configuration ."
RECONFIGURED = CHANGING + OKAY
KEY_OPEN = "\tOpening service key ."
SUBKEY_OPEN = "\t\tCreating subkey Parameters ."


def param(name: str) -> str:
    return f"\t\t\tUpdating the application parameter {name} .."


def params_written(first: str, second: str) -> str:
    return (KEY_OPEN + OKAY + SUBKEY_OPEN + OKAY + param(first) + ". (Okay)\n"
            + param(second) + ". (Okay)\n\t>>>> Service installed <<<<\n")


ELOG_WRITTEN = params_written("AppDirectory", "PFAFilename")
FLM_WRITTEN = params_written("AppDirectory", "AppPortNumber")
INSTALLED = ">>>> Service installed <<<<\n"
ELOG_TO_CHECK = request("INSTALL service") + inst_to_check(ELOG_TITLE)
FLM_TO_CHECK = request("INSTALL service") + inst_to_check(FLM_TITLE)

MERGE_START = "\tUpdate Halvorin\n\tBacking up Halvorin Service Manager INI file ."
MERGE_OPEN = "\tMerging Orv FLM ini file ."
MERGE_OK = MERGE_START + OKAY + MERGE_OPEN + OKAY

SKIPS_CLOCK = "skips the simulated machine's clock; the slow copy runs on both tiers"
BEFORE_1709 = only("native", "the simulated machine's answer of Windows before 10 version 1709; "
                             "under Wine the row above gives it")
WINE_TAKES_NAME = ("Wine takes a display name that is another service's name, which every "
                   "Windows refuses with 1078 (service.c, test_create_delete_svc, todo_wine)")
WINE_REFUSES_TITLE = ("Wine refuses a display name in use with 1078, as Windows did before 10 "
                      "version 1709 (service.c, test_create_delete_svc, the branch for 1709 "
                      "and later)")

INI = "[services]\nbase=1\n"
# What a tool says before it exits, longer than any pipe's buffer.
LAST_WORDS = "".join(f"hvcfgmrg: line {n} of its last words\n" for n in range(4000))

SCENARIOS: list[Scenario] = []


def add(*scenarios: Scenario) -> None:
    SCENARIOS.extend(scenarios)


for args in ([], ["-b"], ["-d"], ["elog"], ["-b", "elog", "-h"], ["-?", "-b", "elog"]):
    add(Scenario(f"help: {' '.join(args) or 'no arguments'}", args, stdout=HELP))

add(
    Scenario("help: -? after a removal request removes nothing", ["-d", "-rm", "elog", "-?"],
             stdout=HELP, setup=[elog(running=True)], checks=elog_is("running")),
    Scenario("help: -h where it is also an install argument", ["-i", "flm", r"D:\apps", "-h"],
             stdout=HELP, checks=[ServiceState(FLM_NAME, "absent")]),
)

# Help switches and request flags count only in their exact form: a command
# line without a request fails (87), so that a typo does not pass for success.
for args in (["-H", "elog"], ["-help", "elog"], ["--h", "elog"], ["/h", "elog"], ["-B", "elog"],
             ["/b", "elog"], ["-d", "-x", "elog"]):
    add(Scenario(f"no request: {' '.join(args)}", args, stdout=USAGE, exit=87,
                 stderr=err("reading the command line", 87) if "-d" in args else quiet(87)))

add(
    Scenario("dispatch: -e elog -b elog starts before it stops", ["-e", "elog", "-b", "elog", "-d"],
             stdout=request("START service") + started(ELOG_TITLE)
             + listing("STOP service", stopped(ELOG_TITLE)),
             setup=[elog()], checks=elog_is("stopped")),
    # The later passes run all the same; the failure decides the exit status.
    Scenario("dispatch: a failure followed by a success in one pass",
             ["-b", "elog", "-b", "flm", "-e", "flm"], **fails(50001),
             setup=[elog(running=True), flm()], checks=[ServiceState(FLM_NAME, "stopped")]),
    Scenario("dispatch: the last of two failures before a success is the exit status",
             ["-b", "elog", "-b", "flm", "-b", "hv"], **fails(50001, 1060),
             setup=[elog(running=True), halvbase()], checks=[ServiceState(HV_NAME, "running")]),
    Scenario("dispatch: a pass whose last request failed ends the dispatch",
             ["-b", "elog", "-b", "flm", "-e", "elog"], **fails(50001),
             setup=[elog(), flm(running=True)], checks=elog_is("running")),
    Scenario("dispatch: -b elog -e, the flag without its service code", ["-d", "-b", "elog", "-e"],
             stdout=request("START service") + started(ELOG_TITLE) + "STOP service\n" + FINISHED,
             **failed("", 50004), setup=[elog()], checks=elog_is("running")),
    Scenario("dispatch: -b elog -b, a trailing flag at the scan position is not looked at",
             ["-b", "elog", "-b"], setup=[elog()], checks=elog_is("running")),
    Scenario("dispatch: -b elog x -b, a trailing flag found by the scan", ["-b", "elog", "x", "-b"],
             **fails(50004), setup=[elog()], checks=elog_is("running")),
    Scenario("dispatch: -b -d elog takes -d as the service code", ["-b", "-d", "elog"],
             stdout="START service\n" + SEARCH_OPEN + USAGE,
             **failed("searching for service", 50003), setup=[elog()], checks=elog_is("stopped")),
    # The scan for -b begins at the program's own name.
    Scenario("dispatch: a program named -b starts the service after its name", ["elog", "x"],
             argv0="-b", setup=[elog()], checks=elog_is("running")),
    Scenario("dispatch: -b ELOG, service codes are case-sensitive", ["-b", "ELOG"],
             stdout=USAGE, **fails(50003), setup=[elog()], checks=elog_is("stopped")),
    Scenario("dispatch: -B elog -x, no flag: the command line is refused", ["-B", "elog", "-x"],
             stdout=USAGE, **fails(87)),
    Scenario("dispatch: -i flm with one install argument", ["-i", "flm", r"D:\apps"],
             **fails(50004), checks=[ServiceState(FLM_NAME, "absent")]),
    Scenario("dispatch: -i elog with one install argument, display mode",
             ["-d", "-i", "elog", r"D:\apps"],
             stdout="INSTALL service\n" + SEARCH_OPEN + FINISHED,
             **failed("updating parameters value", 50004), checks=elog_is("absent")),
    Scenario("dispatch: -i hv without a directory", ["-d", "-i", "hv"],
             stdout="INSTALL service\n" + SEARCH_OPEN + FINISHED,
             **failed("updating parameters value", 50004)),
    # The scan goes on after the install's last argument, not from it.
    Scenario("install: a last install argument that reads -i is not a flag of its own",
             ["-i", "elog", r"D:\apps", "-i", "x"],
             stdout=INSTALLED, checks=[RegValue(ELOG_PARMS, "PFAFilename", "-i")]),
    Scenario("dispatch: -i flm D:\\apps -rm elog, an install argument that is a flag too",
             ["-i", "flm", r"D:\apps", "-rm", "elog"],
             stdout=INSTALLED, setup=[elog(running=True)],
             checks=[ServiceConfig(FLM_NAME, path=r"D:\apps\worvserv.exe", display=FLM_TITLE),
                     RegValue(FLM_PARMS, "AppDirectory", r"D:\apps"),
                     RegValue(FLM_PARMS, "AppPortNumber", "-rm"),
                     ServiceState(ELOG_NAME, "absent")]),
    Scenario("dispatch: -i hv DIR merges", ["-i", "hv", "{dir}{sep}console"], setup=[Console()],
             checks=[FileContent("console/hvcons.old", INI), ToolRuns("console", 1)]),
    Scenario("dispatch: -i hv -b elog starts elog, then merges the directory -b",
             ["-i", "hv", "-b", "elog", "-d"],
             stdout=request("START service") + started(ELOG_TITLE)
             + listing("INSTALL service", MERGE_OK),
             setup=[elog(), Console(sub="-b")],
             checks=elog_is("running") + [ToolRuns("-b", 1), FileContent("-b/hvcons.old", INI)]),
    Scenario("dispatch: four operations run in operation order, not command-line order",
             ["-rm", "elog", "-i", "elog", r"D:\apps", r"D:\apps\x.pfa", "-e", "elog", "-b", "elog",
              "-d"],
             stdout=request("START service") + started(ELOG_TITLE)
             + request("STOP service") + stopped(ELOG_TITLE)
             + ELOG_TO_CHECK + RECONFIGURED + ELOG_WRITTEN
             + listing("REMOVE service", ss_to_query(ELOG_TITLE), rm_deleted(ELOG_TITLE)),
             **failed("invalid action", 50002), setup=[elog()], checks=elog_is("absent")),
    Scenario("dispatch: -i elog D:\\apps -b, the start pass finds -b first",
             ["-i", "elog", r"D:\apps", "-b"],
             stdout=USAGE, **fails(50004), checks=elog_is("absent")),
    Scenario("dispatch: -rm hv", ["-rm", "hv"], **fails(50005)),
)

add(
    Scenario("start: a stopped service, display mode", ["-d", "-b", "elog"],
             stdout=listing("START service", started(ELOG_TITLE)),
             setup=[elog()], checks=elog_is("running")),
    Scenario("start: outside display mode a success writes nothing", ["-b", "elog"],
             setup=[elog()], checks=elog_is("running")),
    Scenario("start: the console's base service has no special case", ["-d", "-b", "hv"],
             stdout=listing("START service", started(HV_TITLE)),
             setup=[halvbase()], checks=[ServiceState(HV_NAME, "running")]),
    Scenario("stop: a running service, display mode", ["-d", "-e", "elog"],
             stdout=listing("STOP service", stopped(ELOG_TITLE)),
             setup=[elog(running=True)], checks=elog_is("stopped")),
    Scenario("start: already running is 50001, display mode", ["-d", "-b", "elog"],
             stdout=listing("START service", ss_to_query(ELOG_TITLE)),
             **failed("invalid action", 50001), setup=[elog(running=True)],
             checks=elog_is("running")),
    Scenario("start: already running is 50001", ["-b", "elog"],
             **fails(50001), setup=[elog(running=True)]),
    Scenario("stop: already stopped is 50002, display mode", ["-d", "-e", "elog"],
             stdout=listing("STOP service", ss_to_query(ELOG_TITLE)),
             **failed("invalid action", 50002), setup=[elog()], checks=elog_is("stopped")),
    Scenario("stop: already stopped is 50002", ["-e", "elog"], **fails(50002), setup=[elog()]),
    Scenario("start: two failures outside display mode, two reports in a row",
             ["-b", "elog", "-b", "flm"],
             **fails(50001, 50001), setup=[elog(running=True), flm(running=True)]),
    Scenario("start: a service that does not exist", ["-d", "-b", "elog"],
             stdout=listing("START service", to_open(ELOG_TITLE)),
             **failed("opening service", 1060)),
    Scenario("start: elog has no fallback to the obsolete agent name", ["-b", "elog"],
             **fails(1060), setup=[old_flm()], checks=[ServiceState(OLD_NAME, "stopped")]),
    Scenario("start: flm falls back to Orv_Field_Link_Mgr", ["-d", "-b", "flm"],
             stdout=listing("START service", started(FLM_TITLE)), setup=[old_flm()],
             checks=[ServiceState(OLD_NAME, "running"), ServiceState(FLM_NAME, "absent")]),
    Scenario("stop: flm falls back to Orv_Field_Link_Mgr", ["-d", "-e", "flm"],
             stdout=listing("STOP service", stopped(FLM_TITLE)),
             setup=[old_flm(running=True)], checks=[ServiceState(OLD_NAME, "stopped")]),
    Scenario("start: flm under neither name", ["-d", "-b", "flm"],
             stdout=listing("START service", to_open(FLM_TITLE)),
             **failed("opening service", 1060)),
    Scenario("stop: a service that another running service depends on", ["-d", "-e", "elog"],
             stdout=listing("STOP service", refused(ELOG_TITLE, False)),
             **failed("stopping service", 1051),
             setup=[elog(running=True),
                    Service("OrvAddon", display="Orv add-on", exe="addon.exe", running=True,
                            depends_on=(ELOG_NAME,))],
             checks=elog_is("running") + [ServiceState("OrvAddon", "running")],
             on_wine=OnWine(
                 why="Wine 8 stops a service while one that depends on it runs; Windows refuses "
                     "with 1051 (ERROR_DEPENDENT_SERVICES_RUNNING)",
                 stdout=listing("STOP service", stopped(ELOG_TITLE)), stderr="", exit=0,
                 checks=elog_is("stopped"))),
    Scenario("start: flm prefers OrvFLM when both exist", ["-b", "flm"], setup=[flm(), old_flm()],
             checks=[ServiceState(FLM_NAME, "running"), ServiceState(OLD_NAME, "stopped")]),
)

# Slow runs wait out every poll of the build for real; their native copies skip the clock.
for slow, suffix, tiers in ((True, "", ("native", "wine")), (False, " (clock skipped)", ("native",))):
    how = dict(slow=slow, tiers=tiers, why_one_tier="" if slow else SKIPS_CLOCK)
    add(
        Scenario("wait: a service that never reaches RUNNING" + suffix, ["-d", "-b", "elog"],
                 stdout=listing("START service", never_reached(ELOG_TITLE, True)),
                 setup=[elog(behaviour="nostart")], **how),
        # The wait's lines are unchanged, but a script must not read 0 as "started".
        Scenario("wait: a service that dies right after its start fails the start" + suffix,
                 ["-d", "-b", "elog"],
                 stdout=listing("START service", never_reached(ELOG_TITLE, True)),
                 **failed("starting service", 1067),
                 setup=[elog(behaviour="dies")], checks=elog_is("stopped"), **how),
        Scenario("wait: a stop that takes longer than the polls" + suffix, ["-d", "-e", "elog"],
                 stdout=listing("STOP service", never_reached(ELOG_TITLE, False)),
                 setup=[elog(running=True, behaviour="slowstop")], **how),
        # Deleting a service that has not stopped only marks it, listed until it stops.
        Scenario("remove: the service is deleted although its stop ran out of polls" + suffix,
                 ["-d", "-rm", "elog"],
                 stdout=listing("REMOVE service", never_reached(ELOG_TITLE, False),
                                rm_deleted(ELOG_TITLE)),
                 setup=[elog(running=True, behaviour="slowstop")],
                 checks=elog_is("stop pending, marked for deletion"), **how),
        # A removal must not mark a service that ignores its stop: its name would stay taken.
        Scenario("wait: a stop the service ignores fails" + suffix, ["-d", "-e", "elog"],
                 stdout=listing("STOP service", never_reached(ELOG_TITLE, False)),
                 **failed("stopping service", 1053),
                 setup=[elog(running=True, behaviour="ignorestop")], checks=elog_is("running"),
                 **how),
        Scenario("remove: a service that ignores its stop is neither deleted nor marked" + suffix,
                 ["-rm", "elog"], **fails(1053),
                 setup=[elog(running=True, behaviour="ignorestop")], checks=elog_is("running"),
                 **how),
        Scenario("install: flm's migration meets an old agent that ignores its stop" + suffix,
                 ["-d", "-i", "flm", r"D:\flm", "5000"],
                 stdout=FLM_TO_CHECK + never_reached(OLD_TITLE, False) + FINISHED,
                 stderr=err("stopping service", 1053) + err("opening service", 1053), exit=1053,
                 setup=[old_flm(running=True, behaviour="ignorestop")],
                 checks=[ServiceState(OLD_NAME, "running"), ServiceState(FLM_NAME, "absent"),
                         RegValue(FLM_PARMS, "AppDirectory", None)],
                 **how),
    )

add(
    Scenario("wait: never reaching RUNNING is no error outside display mode", ["-b", "elog"],
             setup=[elog(behaviour="nostart")],
             **only("native", "skips the simulated machine's clock")),
    Scenario("wait: a start that dies reports the service's own exit code", ["-b", "elog"],
             **fails(1064), setup=[elog(behaviour="dies", exit_code=1064)], slow=True),
)

for code, reported in ((1064, 1064), (0, 1067)):
    add(Scenario(
        f"wait: a start that dies with exit code {code} fails with {reported} (clock skipped)",
        ["-b", "elog"], stderr=quiet(reported), exit=reported,
        setup=[elog(behaviour="dies", exit_code=code)], **only("native", SKIPS_CLOCK)))

add(
    Scenario("remove: a running service, display mode", ["-d", "-rm", "elog"],
             stdout=listing("REMOVE service", stopped(ELOG_TITLE), rm_deleted(ELOG_TITLE)),
             setup=[elog(running=True)], checks=elog_is("absent")),
    Scenario("remove: a running service writes nothing outside display mode", ["-rm", "elog"],
             setup=[elog(running=True)], checks=elog_is("absent")),
    Scenario("remove: a stopped service is deleted and gives 50002, display mode",
             ["-d", "-rm", "elog"],
             stdout=listing("REMOVE service", ss_to_query(ELOG_TITLE), rm_deleted(ELOG_TITLE)),
             **failed("invalid action", 50002), setup=[elog()], checks=elog_is("absent")),
    Scenario("remove: a stopped service is deleted and gives 50002", ["-rm", "elog"],
             **fails(50002), setup=[elog()], checks=elog_is("absent")),
    Scenario("remove: a service that does not exist", ["-d", "-rm", "elog"],
             stdout=listing("REMOVE service", to_open(ELOG_TITLE)),
             **failed("opening service", 1060)),
    Scenario("remove: -rm hv is not supported, display mode", ["-d", "-rm", "hv"],
             stdout=listing("REMOVE service"), **failed("removing service ", 50005),
             setup=[halvbase(running=True)], checks=[ServiceState(HV_NAME, "running")]),
    Scenario("remove: -rm flm stops the obsolete service but never deletes it",
             ["-d", "-rm", "flm"],
             stdout=listing("REMOVE service", stopped(FLM_TITLE), to_open(FLM_TITLE)),
             **failed("opening service", 1060),
             setup=[old_flm(running=True)], checks=[ServiceState(OLD_NAME, "stopped")]),
    Scenario("remove: a service another program holds open stays listed, marked", ["-rm", "elog"],
             **fails(50002), setup=[elog(held=True)],
             checks=elog_is("stopped, marked for deletion")),
    Scenario("install: a service removed while another program holds it cannot be configured",
             ["-d", "-i", "elog", r"D:\apps", "x.pfa"],
             stdout=ELOG_TO_CHECK + CHANGING + FINISHED,
             **failed("changing service configuration", 1072),
             setup=[elog(held=True, marked=True)],
             checks=elog_is("stopped, marked for deletion")
             + [RegValue(ELOG_PARMS, "AppDirectory", None)]),
    Scenario("remove: the same service twice, the second finds it gone",
             ["-d", "-rm", "elog", "-rm", "elog"],
             stdout=request("REMOVE service") + stopped(ELOG_TITLE) + rm_deleted(ELOG_TITLE)
             + listing("REMOVE service", to_open(ELOG_TITLE)),
             **failed("opening service", 1060), setup=[elog(running=True)],
             checks=elog_is("absent"),
             **only("native", "a service that ran goes only after its process has ended, which "
                    "under Wine comes after the second request (1072)")),
    Scenario("remove: two removals, the banner runs on into the next heading",
             ["-d", "-rm", "elog", "-rm", "flm"],
             stdout=request("REMOVE service") + stopped(ELOG_TITLE) + rm_deleted(ELOG_TITLE)
             + listing("REMOVE service", stopped(FLM_TITLE), rm_deleted(FLM_TITLE)),
             setup=[elog(running=True), flm(running=True)],
             checks=elog_is("absent") + [ServiceState(FLM_NAME, "absent")]),
)

ELOG_INSTALL_ARGS = ["-i", "elog", r"D:\apps", r"D:\apps\x.pfa"]
NEW_ELOG_CHECKS = [
    ServiceConfig(ELOG_NAME, type=0x110, start=2, error=1,
                  path=r"D:\apps\iorvelsr.exe", display=ELOG_TITLE),
    ServiceState(ELOG_NAME, "stopped"),
    RegValue(ELOG_PARMS, "AppDirectory", r"D:\apps"),
    RegValue(ELOG_PARMS, "PFAFilename", r"D:\apps\x.pfa"),
]

add(
    Scenario("install: a new elog, the ten-line listing", ["-d"] + ELOG_INSTALL_ARGS,
             stdout="INSTALL service\n"
             "\tSearching for the service information ... (Okay)\n"
             "\n"
             "\tPC's Orv Event Logger\n"
             "\tOpening service controler manager database ... (Okay)\n"
             "\tChecking service existens ... (Doesn't exist)\n"
             "\tCreating service ... (Okay)\n"
             "\tOpening service key ... (Okay)\n"
             "\t\tCreating subkey Parameters ... (Okay)\n"
             "\t\t\tUpdating the application parameter AppDirectory ... (Okay)\n"
             "\t\t\tUpdating the application parameter PFAFilename ... (Okay)\n"
             "\t>>>> Service installed <<<<\n"
             "\nFinished.\n",
             checks=NEW_ELOG_CHECKS),
    Scenario("install: a new elog outside display mode writes only the banner", ELOG_INSTALL_ARGS,
             stdout=INSTALLED, checks=NEW_ELOG_CHECKS),
    Scenario("install: an existing elog is reconfigured, not recreated", ["-d"] + ELOG_INSTALL_ARGS,
             stdout=ELOG_TO_CHECK + RECONFIGURED + ELOG_WRITTEN + FINISHED,
             setup=[elog(running=True, display="Event logger of old",
                         params={"AppDirectory": r"C:\old", "PFAFilename": r"C:\old\o.pfa",
                                 "Keep": "me"})],
             checks=[ServiceConfig(ELOG_NAME, path=r"D:\apps\iorvelsr.exe", display=ELOG_TITLE),
                     ServiceState(ELOG_NAME, "running"),
                     RegValue(ELOG_PARMS, "AppDirectory", r"D:\apps"),
                     RegValue(ELOG_PARMS, "PFAFilename", r"D:\apps\x.pfa"),
                     RegValue(ELOG_PARMS, "Keep", "me")]),
    Scenario("install: elog never looks for the obsolete agent", ELOG_INSTALL_ARGS,
             stdout=INSTALLED, setup=[old_flm(running=True)],
             checks=NEW_ELOG_CHECKS + [ServiceState(OLD_NAME, "running")]),
)

FLM_INSTALL_ARGS = ["-i", "flm", r"D:\flm", "5000"]
NEW_FLM_CHECKS = [
    ServiceConfig(FLM_NAME, path=r"D:\flm\worvserv.exe", display=FLM_TITLE),
    ServiceState(FLM_NAME, "stopped"),
    RegValue(FLM_PARMS, "AppDirectory", r"D:\flm"),
    RegValue(FLM_PARMS, "AppPortNumber", "5000"),
]
MIGRATED_CHECKS = NEW_FLM_CHECKS + [ServiceState(OLD_NAME, "absent")]

add(
    Scenario("install: flm migrates a running Orv_Field_Link_Mgr", ["-d"] + FLM_INSTALL_ARGS,
             stdout=FLM_TO_CHECK + stopped(OLD_TITLE) + rm_deleted(OLD_TITLE)
             + CREATED + FLM_WRITTEN + FINISHED,
             setup=[old_flm(running=True)], checks=MIGRATED_CHECKS),
    Scenario("install: flm migrates a stopped Orv_Field_Link_Mgr", ["-d"] + FLM_INSTALL_ARGS,
             stdout=FLM_TO_CHECK + ss_to_query(OLD_TITLE) + rm_deleted(OLD_TITLE)
             + CREATED + FLM_WRITTEN + FINISHED,
             stderr=err("invalid action", 50002), setup=[old_flm()], checks=MIGRATED_CHECKS),
    Scenario("install: flm migration outside display mode", FLM_INSTALL_ARGS,
             stdout=INSTALLED, stderr=quiet(50002), setup=[old_flm()], checks=MIGRATED_CHECKS),
    Scenario("install: flm when both names exist reconfigures OrvFLM alone",
             ["-d"] + FLM_INSTALL_ARGS,
             stdout=FLM_TO_CHECK + RECONFIGURED + FLM_WRITTEN + FINISHED,
             setup=[flm(), old_flm(running=True)],
             checks=[ServiceConfig(FLM_NAME, path=r"D:\flm\worvserv.exe", display=FLM_TITLE),
                     RegValue(FLM_PARMS, "AppPortNumber", "5000"),
                     ServiceState(OLD_NAME, "running")]),
    Scenario("install: flm when neither name exists", ["-d"] + FLM_INSTALL_ARGS,
             stdout=FLM_TO_CHECK + CREATED + FLM_WRITTEN + FINISHED, checks=NEW_FLM_CHECKS),
    Scenario("install: after the migration a removal in the same run uses OrvFLM",
             FLM_INSTALL_ARGS + ["-rm", "flm"],
             stdout=INSTALLED, **fails(50002, 50002), setup=[old_flm()],
             checks=[ServiceState(FLM_NAME, "absent"), ServiceState(OLD_NAME, "absent")]),
)

# A service named like OrvFLM's title (on Windows), or titled so where titles must be
# unique (Wine, before 1709), blocks it: the old agent runs on, and 1078 is the status.
OLD_VALUES = {"AppDirectory": r"C:\old", "AppPortNumber": "4021"}
MIGRATED = (FLM_TO_CHECK + stopped(OLD_TITLE) + rm_deleted(OLD_TITLE) + CREATED + FLM_WRITTEN
            + FINISHED)
CLASH = dict(stdout=FLM_TO_CHECK + CREATING + FINISHED, **failed("creating service", 1078))
OLD_KEPT = [ServiceState(OLD_NAME, "running"), RegValue(OLD_PARMS, "AppPortNumber", "4021"),
            ServiceState(FLM_NAME, "absent")]
NAMED_SO = Service(FLM_TITLE, display="Another display", exe="other.exe")
TITLED_SO = Service("OrvOther", display=FLM_TITLE, exe="other.exe")
add(
    Scenario("install: flm keeps the old agent when a service is named like OrvFLM's title",
             ["-d"] + FLM_INSTALL_ARGS, **CLASH,
             setup=[NAMED_SO, old_flm(running=True, params=OLD_VALUES)],
             checks=OLD_KEPT + [ServiceState(FLM_TITLE, "stopped")],
             on_wine=OnWine(why=WINE_TAKES_NAME, stdout=MIGRATED, stderr="", exit=0,
                            checks=MIGRATED_CHECKS + [ServiceState(FLM_TITLE, "stopped")])),
    Scenario("install: flm migrates beside a service that shows OrvFLM's title",
             ["-d"] + FLM_INSTALL_ARGS, stdout=MIGRATED,
             setup=[TITLED_SO, old_flm(running=True, params=OLD_VALUES)],
             checks=MIGRATED_CHECKS + [ServiceState("OrvOther", "stopped")],
             on_wine=OnWine(why=WINE_REFUSES_TITLE, **CLASH,
                            checks=OLD_KEPT + [ServiceState("OrvOther", "stopped")])),
    Scenario("install: flm keeps the old agent where titles must be unique and another has "
             "OrvFLM's",
             ["-d"] + FLM_INSTALL_ARGS, **CLASH,
             setup=[TITLED_SO, old_flm(running=True, params=OLD_VALUES),
                    Fault("displaynames unique")],
             checks=OLD_KEPT + [ServiceState("OrvOther", "stopped")], **BEFORE_1709),
)

# Where titles must be unique, an old agent showing OrvFLM's title, in any case, lends it for
# the creation (Wine's titles are unique, and compared so).
for suffix, title in (("", FLM_TITLE), (" in capitals", FLM_TITLE.upper())):
    add(
        Scenario(f"install: flm migrates an old agent that shows OrvFLM's title itself{suffix}",
                 ["-d"] + FLM_INSTALL_ARGS, stdout=MIGRATED,
                 setup=[old_flm(running=True, display=title, params=OLD_VALUES)],
                 checks=MIGRATED_CHECKS),
        Scenario(f"install: flm migrates an old agent with OrvFLM's title{suffix} where titles must "
                 "be unique", ["-d"] + FLM_INSTALL_ARGS, stdout=MIGRATED,
                 setup=[old_flm(running=True, display=title), Fault("displaynames unique")],
                 checks=MIGRATED_CHECKS, **BEFORE_1709),
    )

# Names outside ASCII are registered as typed, not best-fit mapped.
for label, directory, image in (
    ("a trailing backslash doubles before the file name", "D:\\apps\\", "D:\\apps\\\\iorvelsr.exe"),
    ("a directory with a blank is registered in quotes",
     r"C:\Program Files\Orv", '"C:\\Program Files\\Orv\\iorvelsr.exe"'),
    ("a directory with a tab is registered in quotes",
     "C:\\Orv\tApps", '"C:\\Orv\tApps\\iorvelsr.exe"'),
    ("a share is absolute", r"\\files\orv\apps", r"\\files\orv\apps\iorvelsr.exe"),
    ("a drive with a forward slash is absolute", "D:/apps", "D:/apps\\iorvelsr.exe"),
    ("Latin-1 letters", "D:\\Orvé\\Prüfung", "D:\\Orvé\\Prüfung\\iorvelsr.exe"),
    ("letters no legacy code page holds", "D:\\Ā程序\\Orv", "D:\\Ā程序\\Orv\\iorvelsr.exe"),
    ("a fullwidth backslash stays what it is",
     "D:\\Orv\uff3c..\uff3cx", "D:\\Orv\uff3c..\uff3cx\\iorvelsr.exe"),
    ("a percent sign that opens no name", "D:\\50%\\Orv", "D:\\50%\\Orv\\iorvelsr.exe"),
    ("two percent signs together name nothing", "D:\\%%\\Orv", "D:\\%%\\Orv\\iorvelsr.exe"),
    ("171 accented characters, 326 bytes of UTF-8",
     "D:\\" + "é" * 155, "D:\\" + "é" * 155 + "\\iorvelsr.exe"),
    ("a lower-case drive", r"d:\apps", r"d:\apps\iorvelsr.exe"),
    ("a drive's root", "C:\\", "C:\\\\iorvelsr.exe"),
    ("dot components are left to Windows to resolve",
     r"D:\x\.\apps\..\apps", r"D:\x\.\apps\..\apps\iorvelsr.exe"),
    ("a device path", r"\\.\D:\apps", r"\\.\D:\apps\iorvelsr.exe"),
    # Windows takes an extended-length path as it stands: its trailing backslash is not doubled.
    ("an extended-length directory", r"\\?\D:\apps", r"\\?\D:\apps\iorvelsr.exe"),
    ("an extended-length directory's trailing backslash is not doubled",
     "\\\\?\\D:\\apps\\", r"\\?\D:\apps\iorvelsr.exe"),
    ("an extended-length share's trailing backslash is not doubled",
     "\\\\?\\UNC\\files\\orv\\apps\\", r"\\?\UNC\files\orv\apps\iorvelsr.exe"),
):
    add(Scenario(f"install: {label}", ["-i", "elog", directory, "x.pfa"], stdout=INSTALLED,
                 checks=[ServiceConfig(ELOG_NAME, path=image, display=ELOG_TITLE),
                         RegValue(ELOG_PARMS, "AppDirectory", directory),
                         RegValue(ELOG_PARMS, "PFAFilename", "x.pfa")]))

# Refused: the manager would resolve these against its own current directory, not ours.
for label, directory in (
    ("a relative directory", "apps"),
    ("a directory relative to the current one", ".\\Orv"),
    ("a directory relative to the current drive's root", "\\Orv"),
    ("a directory relative to a drive's current directory", "C:Orv"),
    ("a lone share name", "\\\\files"),
    ("an empty directory", ""),
):
    add(Scenario(f"install: {label} is refused", ["-i", "elog", directory, "x.pfa"],
                 **fails(87), checks=NO_ELOG))

PATH_REFUSED = dict(stdout=ELOG_TO_CHECK + FINISHED, **failed("forming the executable path", 87))
OLD_ELOG = [ServiceConfig(ELOG_NAME, path="{dir}\\iorvelsr.exe", display=ELOG_TITLE),
            RegValue(ELOG_PARMS, "AppDirectory", r"C:\old")]

# An extended-length path is not normalised: a component that only
# normalising would resolve would make a path the manager cannot start.
for label, directory in (
    ("a forward slash", r"\\?\C:/Orv"),
    ("a . component", r"\\?\C:\x\.\Orv"),
    ("a .. component", r"\\?\C:\x\..\Orv"),
    ("an empty component", r"\\?\C:\x\\Orv"),
    ("two trailing backslashes", "\\\\?\\C:\\Orv\\\\"),
    ("a share with a forward slash", r"\\?\UNC\files\orv/apps"),
    ("a lone share name", r"\\?\UNC\files"),
    ("a lone share name after a lower-case unc", r"\\?\unc\files"),
):
    add(Scenario(f"install: an extended-length directory with {label} is refused",
                 ["-d", "-i", "elog", directory, "x.pfa"], **PATH_REFUSED, checks=NO_ELOG))

add(
    Scenario("install: a relative directory leaves an existing service as it was, display mode",
             ["-d", "-i", "elog", "Orv", "x.pfa"], **PATH_REFUSED,
             setup=[elog(params={"AppDirectory": r"C:\old"})], checks=OLD_ELOG),
    Scenario("install: a POSIX absolute directory on the simulated machine",
             ["-i", "elog", "/opt/orv", "x.pfa"], stdout=INSTALLED,
             checks=[ServiceConfig(ELOG_NAME, path="/opt/orv\\iorvelsr.exe"),
                     RegValue(ELOG_PARMS, "AppDirectory", "/opt/orv")],
             **only("native", "on Windows /opt names a folder of the current drive")),
    Scenario("install: a POSIX absolute directory is relative on Windows",
             ["-i", "elog", "/opt/orv", "x.pfa"], **fails(87), checks=elog_is("absent"),
             **only("wine", "the simulated machine takes /opt for absolute")),
)

add(
    Scenario("install: -d as an install argument is also the display switch",
             ["-i", "elog", "-d", "x.pfa"], **PATH_REFUSED, checks=NO_ELOG),
    Scenario("merge: -d as the directory is also the display switch", ["-i", "hv", "-d"],
             stdout=listing("INSTALL service", MERGE_OK),
             setup=[Console(sub="-d")], checks=[ToolRuns("-d", 1)]),
    Scenario("install: a port that is no number is stored as it is",
             ["-i", "flm", r"D:\flm", "port eighty"],
             stdout=INSTALLED, checks=[RegValue(FLM_PARMS, "AppPortNumber", "port eighty")]),
    # Windows 10 version 1709 and later let two services show one display
    # name (natively found through the index the machine rebuilds).
    Scenario("install: a display name that another service has",
             ["-d", "-i", "elog", r"D:\apps", "x.pfa"],
             stdout=ELOG_TO_CHECK + CREATED + ELOG_WRITTEN + FINISHED,
             setup=[Service("OrvOther", display=ELOG_TITLE, exe="other.exe")],
             checks=[ServiceConfig(ELOG_NAME, path=r"D:\apps\iorvelsr.exe", display=ELOG_TITLE),
                     ServiceState("OrvOther", "stopped")],
             on_wine=OnWine(why=WINE_REFUSES_TITLE, stdout=ELOG_TO_CHECK + CREATING + FINISHED,
                            **failed("creating service", 1078),
                            checks=elog_is("absent") + [ServiceState("OrvOther", "stopped")])),
    Scenario("install: a display name in use is refused where display names must be unique",
             ["-d", "-i", "elog", r"D:\apps", "x.pfa"],
             stdout=ELOG_TO_CHECK + CREATING + FINISHED, **failed("creating service", 1078),
             setup=[Service("OrvOther", display=ELOG_TITLE, exe="other.exe"),
                    Fault("displaynames unique")],
             checks=elog_is("absent") + [ServiceState("OrvOther", "stopped")], **BEFORE_1709),
    Scenario("install: a display name that is another service's name is refused",
             ["-i", "elog", r"D:\apps", "x.pfa"], **fails(1078),
             setup=[Service(ELOG_TITLE, display="Another display", exe="other.exe")],
             checks=elog_is("absent") + [ServiceState(ELOG_TITLE, "stopped")],
             on_wine=OnWine(
                 why=WINE_TAKES_NAME, stdout=INSTALLED, stderr="", exit=0,
                 checks=[ServiceConfig(ELOG_NAME, path=r"D:\apps\iorvelsr.exe", display=ELOG_TITLE),
                         ServiceState(ELOG_TITLE, "stopped")])),
    # The change back to interactive (0x110) is refused while the service runs as another account.
    Scenario("install: a reinstall after an administrator gave the service another account",
             ["-d", "-i", "elog", r"D:\apps", "x.pfa"],
             stdout=ELOG_TO_CHECK + CHANGING + FINISHED,
             **failed("changing service configuration", 87),
             setup=[elog(account="NT AUTHORITY\\LocalService")],
             checks=[ServiceConfig(ELOG_NAME, type=0x10, path="{dir}\\iorvelsr.exe",
                                   display=ELOG_TITLE),
                     RegValue(ELOG_PARMS, "AppDirectory", None)]),
    # Only a UTF-16 command line can hold an unpaired surrogate, and it has
    # no UTF-8 form: nothing may run on a name that is not what was typed.
    Scenario("arguments: an unpaired surrogate is refused before any request runs",
             ["-d", "-i", "elog", "D:\\Orv\ud800", "x.pfa"],
             stdout=USAGE, **failed("reading the command line", 1113), checks=elog_is("absent"),
             **only("wine", "a POSIX command line is bytes, handed over as they are")),
)

# The manager starts an executable path of at most 259 UTF-16 units (MAX_PATH with its
# NUL), the quotes around a path with a blank not counted: "\iorvelsr.exe" is 13 of them.
LONGEST_DIR = "D:\\" + "a" * (259 - 13 - 3)
TOO_LONG_DIR = LONGEST_DIR + "a"
add(
    Scenario("install: the longest directory that fits the executable path",
             ["-i", "elog", LONGEST_DIR, "x.pfa"], stdout=INSTALLED,
             checks=[ServiceConfig(ELOG_NAME, path=LONGEST_DIR + "\\iorvelsr.exe"),
                     RegValue(ELOG_PARMS, "AppDirectory", LONGEST_DIR)]),
    Scenario("install: a directory too long for the executable path is refused",
             ["-i", "elog", TOO_LONG_DIR, "x.pfa"], **fails(87), checks=NO_ELOG),
    Scenario("install: a too-long directory leaves an existing service as it was",
             ["-i", "elog", TOO_LONG_DIR, "x.pfa"], **fails(87),
             setup=[elog(params={"AppDirectory": r"C:\old"})],
             checks=OLD_ELOG + [RegValue(ELOG_PARMS, "PFAFilename", None)]),
    Scenario("install: a quote in the directory would break the path's quoting and is refused",
             ["-d", "-i", "flm", 'C:\\Program Files\\" -x "', "80"],
             stdout=FLM_TO_CHECK + FINISHED, **failed("forming the executable path", 87),
             checks=NO_FLM),
)

# Counted in UTF-16 units, as Windows counts: a letter of two bytes of UTF-8 is one,
# a letter beyond the Basic Multilingual Plane (four bytes) two.
for label, longest in (
    ("with a blank, the quotes not counted", "D:\\a b" + "a" * (259 - 13 - 6)),
    ("of accented letters", "D:\\" + "é" * (259 - 13 - 3)),
    ("ending in a letter beyond the Basic Multilingual Plane",
     "D:\\" + "a" * (259 - 13 - 3 - 2) + "\U0001d11e"),
):
    image = longest + "\\iorvelsr.exe"
    add(
        Scenario(f"install: the longest directory {label}", ["-i", "elog", longest, "x.pfa"],
                 stdout=INSTALLED,
                 checks=[ServiceConfig(ELOG_NAME, path=f'"{image}"' if " " in image else image),
                         RegValue(ELOG_PARMS, "AppDirectory", longest)]),
        Scenario(f"install: one unit more than the longest directory {label} is refused",
                 ["-i", "elog", longest[:3] + "a" + longest[3:], "x.pfa"],
                 **fails(87), checks=NO_ELOG),
    )

# ImagePath is REG_EXPAND_SZ: the manager would expand %NAME% with its own environment
# and run another program as LocalSystem. Refused, whether or not the name is defined here.
add(
    Scenario("install: a directory the manager would expand leaves an existing service as it was",
             ["-d", "-i", "elog", r"C:\x\%OS%", "f.pfa"], **PATH_REFUSED,
             setup=[elog(params={"AppDirectory": r"C:\old"})], checks=OLD_ELOG),
    Scenario("install: a name between percent signs is refused, defined or not, after \"%%\" too",
             ["-i", "flm", r"D:\%%quillmar-undefined%\flm", "80"], **fails(87), checks=NO_FLM),
)

MERGE_ARGS = ["-i", "hv", "{dir}{sep}console"]
MERGE_LISTING = listing("INSTALL service", MERGE_OK)
# The backup made, the tool not found or failed.
MERGE_FAILED = listing("INSTALL service", MERGE_START, OKAY, MERGE_OPEN)
NO_BACKUP = listing("INSTALL service", MERGE_START)


def merged(sub: str = "console", backup: str = INI, runs: int = 1) -> list:
    """The backup in {dir}/<sub>, and the tool's runs there."""
    return [FileContent(sub + "/hvcons.old", backup), ToolRuns(sub, runs)]


# A console directory that changes nothing in the current one.
NOTHING_HERE = [FileContent("hvcons.old", None), ToolRuns(".", 0)]

add(
    Scenario("merge: the first call backs up hvcons.ini and runs the tool, display mode",
             ["-d"] + MERGE_ARGS, stdout=MERGE_LISTING, setup=[Console()],
             checks=[FileContent("console/hvcons.old", INI), FileContent("console/hvcons.ini", INI),
                     ToolRuns("console", 1)]),
    Scenario("merge: an existing backup is kept, the tool runs again", ["-d"] + MERGE_ARGS,
             stdout=MERGE_LISTING, setup=[Console(hvcons_old="[first backup]\n")],
             checks=merged(backup="[first backup]\n")),
    Scenario("merge: two requests in one run back up once and merge twice",
             MERGE_ARGS + MERGE_ARGS, setup=[Console()], checks=merged(runs=2)),
    Scenario("merge: the backup is made even when hvcons.ini is all there is", MERGE_ARGS,
             setup=[Console(hvcons_ini="")], checks=merged(backup="")),
    Scenario("merge: a backup without hvcons.ini needs no copy", MERGE_ARGS,
             setup=[Console(hvcons_ini=None, hvcons_old="[kept]\n")],
             checks=merged(backup="[kept]\n")),
    Scenario("merge: the tool's own exit status is reported, display mode", ["-d"] + MERGE_ARGS,
             stdout=MERGE_FAILED, **failed("merging orv.ini into hvcons.ini", 3),
             setup=[Console(tool_status=3)], checks=merged()),
    Scenario("merge: the tool's exit status 2 is reported with its text, display mode",
             ["-d"] + MERGE_ARGS, stdout=MERGE_FAILED, **failed("merging orv.ini into hvcons.ini", 2),
             setup=[Console(tool_status=2)], checks=merged()),
    Scenario("merge: the tool's exit status with a backup already there", MERGE_ARGS,
             **fails(3), setup=[Console(hvcons_old="[first backup]\n", tool_status=3)],
             checks=merged(backup="[first backup]\n")),
    # A crashed tool's code: all 32 bits, written signed outside display mode.
    Scenario("merge: the tool's exit status 0xC0000005 reaches the exit status whole", MERGE_ARGS,
             stderr="\nERROR -1073741819", exit=0xC0000005,
             setup=[Console(tool_status=0xC0000005)], checks=[ToolRuns("console", 1)],
             **only("wine", "a POSIX exit status holds 8 bits of the tool's code")),
    Scenario("merge: a missing directory fails the backup with 1, no merge",
             ["-d", "-i", "hv", "{dir}{sep}nowhere"],
             stdout=NO_BACKUP, **failed("coping hvcons.ini to hvcons.old ", 1),
             checks=[FileContent("nowhere", None)]),
    Scenario("merge: a directory without hvcons.ini fails the backup with 1, no merge", MERGE_ARGS,
             **fails(1), setup=[Console(hvcons_ini=None)], checks=merged(backup=None, runs=0)),
    Scenario("merge: a missing tool is reported as 1, display mode", ["-d"] + MERGE_ARGS,
             stdout=MERGE_FAILED, **failed("merging orv.ini into hvcons.ini", 1),
             setup=[Console(tool_status=None)], checks=[FileContent("console/hvcons.old", INI)]),
    Scenario("merge: a failed merge does not end the pass, and decides the exit status",
             ["-i", "hv", "{dir}{sep}broken"] + MERGE_ARGS, **fails(3),
             setup=[Console(sub="broken", tool_status=3), Console()],
             checks=[ToolRuns("broken", 1), ToolRuns("console", 1)]),
    Scenario("merge: a failed backup followed by a merge exits with the backup's 1",
             ["-i", "hv", "{dir}{sep}bare"] + MERGE_ARGS, **fails(1),
             setup=[Console(sub="bare", hvcons_ini=None), Console()],
             checks=[ToolRuns("bare", 0), ToolRuns("console", 1)]),
    Scenario("merge: a one-character relative directory", ["-i", "hv", "x"],
             setup=[Console(sub="x")], checks=merged("x")),
    Scenario("merge: a relative directory with a backslash inside", ["-i", "hv", "sub\\dir"],
             setup=[Console(sub="sub\\dir")], checks=[ToolRuns("sub\\dir", 1)]),
    # Anything but a regular file under the backup's name would leave the merge without one.
    Scenario("merge: a directory named hvcons.old is no backup, no merge", ["-d"] + MERGE_ARGS,
             stdout=NO_BACKUP, **failed("coping hvcons.ini to hvcons.old ", 1),
             setup=[Console(), Console(sub="console/hvcons.old", hvcons_ini=None, tool_status=None)],
             checks=[FileContent("console/hvcons.ini", INI), ToolRuns("console", 0)]),
    Scenario("merge: a drive alone is refused before anything changes, display mode",
             ["-d", "-i", "hv", "C:"],
             stdout=NO_BACKUP, **failed("coping hvcons.ini to hvcons.old ", 87),
             setup=[Console(sub=".")], checks=NOTHING_HERE),
    # An empty argument names no directory, least of all the current one.
    Scenario("merge: an empty directory changes nothing in the current one", ["-i", "hv", ""],
             **fails(1), setup=[Console(sub=".")], checks=NOTHING_HERE),
    Scenario("merge: a directory with letters no legacy code page holds",
             ["-i", "hv", "{dir}{sep}Ā程序"],
             setup=[Console(sub="Ā程序")], checks=merged("Ā程序")),
    # An installer reads our pipes to their end: a process the tool leaves behind must hold
    # neither (it leaves hvcfgmrg.lingered as it ends). The tool's messages still arrive.
    Scenario("merge: a tool that leaves a process behind holds neither of our pipes open",
             ["-d"] + MERGE_ARGS, stdin="the tool's own message\n",
             stdout=MERGE_LISTING, stderr="the tool's own message\n",
             setup=[Console(linger=60, echo=True)],
             checks=[ToolRuns("console", 1), FileContent("console/hvcfgmrg.lingered", None)],
             piped=True),
    Scenario("merge: the tool's messages stand between our own lines", ["-d"] + MERGE_ARGS,
             stdin="the tool's own message\n",
             combined=listing("INSTALL service", MERGE_START, OKAY, MERGE_OPEN,
                              "the tool's own message\n", OKAY),
             setup=[Console(echo=True)], checks=[ToolRuns("console", 1)]),
    # Outside display mode the banner's line end is still in our buffer when
    # the tool starts: it must be out before the tool's first word.
    Scenario("console: the tool's messages follow the banner of an installation before them",
             ["-i", "elog", r"D:\apps", "x.pfa"] + MERGE_ARGS, stdin="the tool's own message\n",
             combined=INSTALLED + "the tool's own message\n",
             setup=[Console(echo=True)], checks=[ToolRuns("console", 1)]),
    # More than a pipe holds, written as the tool exits: every byte reaches our standard error.
    Scenario("merge: the tool's last words reach standard error whole", MERGE_ARGS,
             stdin=LAST_WORDS, stderr=LAST_WORDS,
             setup=[Console(echo=True)], checks=[ToolRuns("console", 1)]),
    Scenario("merge: the tool's word of one byte reaches standard error", MERGE_ARGS, stdin="!",
             stderr="!", setup=[Console(echo=True)], checks=[ToolRuns("console", 1)]),
    # Another run's backup, landing while ours is copied, stands: ours is not put over it.
    Scenario("merge: a backup that another run made meanwhile is kept", MERGE_ARGS,
             setup=[Console(race="[the other run's backup]\n")],
             checks=merged(backup="[the other run's backup]\n"),
             **only("native", "the race needs the program held between its copy and the link, "
                              "as strace does natively")),
    # Wine starts a program with a share for its current directory elsewhere,
    # so only the backup is checked; without the tool Windows fails with 1 too.
    Scenario("merge: a console directory on a share gets its backup there",
             ["-i", "hv", "{share}\\console"], **fails(1),
             setup=[Console(tool_status=None)], checks=[FileContent("console/hvcons.old", INI)],
             **only("wine", "a share (\\\\server\\share) exists only on Windows")),
)

# Names a command interpreter would take apart: the tool runs there and nowhere else.
for label, sub in (
    ("blanks", "Halvorin  Console"),
    ("an ampersand", "a&b"),
    ("a percent variable", "%PATH%"),
    ("a caret and parentheses", "c^d (x86)"),
    ("a long name beyond the old command buffers", "console-" + "h" * 140),
):
    add(Scenario(f"merge: a directory with {label}", ["-d", "-i", "hv", "{dir}{sep}" + sub],
                 stdout=MERGE_LISTING, setup=[Console(sub=sub)], checks=merged(sub)))

# Refused with 87, not resolved: "C:" joined to "\hvcons.ini" names the drive's root,
# while the tool would start in the drive's current directory.
for label, directory, tiers, why in (
    ("relative to a drive's current directory", "C:console", ("native", "wine"), ""),
    ("relative to the current drive's root", "\\console", ("native", "wine"), ""),
    ("rooted with a forward slash", "/console", ("wine",), "on a POSIX host /console is absolute"),
):
    add(Scenario(f"merge: a directory {label} is refused", ["-i", "hv", directory], **fails(87),
                 setup=[Console(sub=".")], checks=NOTHING_HERE, tiers=tiers, why_one_tier=why))

LONG_SUB = "m" * 250 + "/" + "n" * 60
TOO_LONG_SUB = "m" * 200 + "/" + "n" * 60
add(
    Scenario("merge: a directory longer than 299 characters",
             ["-i", "hv", "{dir}{sep}" + "m" * 250 + "{sep}" + "n" * 60],
             setup=[Console(sub=LONG_SUB)], checks=merged(LONG_SUB),
             **only("native", "Windows paths beyond MAX_PATH need the \\\\?\\ form, which this "
                              "case is not about")),
    Scenario("merge: beyond Windows' path limit nothing changes, display mode",
             ["-d", "-i", "hv", "{dir}{sep}" + "m" * 200 + "{sep}" + "n" * 60],
             setup=[Console(sub=TOO_LONG_SUB)],
             stdout=NO_BACKUP, **failed("coping hvcons.ini to hvcons.old ", 1),
             checks=merged(TOO_LONG_SUB, backup=None, runs=0),
             **only("wine", "a POSIX host has no limit on a current directory's length")),
    Scenario("merge: a device path is no share", ["-i", "hv", "\\\\.\\{dir}{sep}console"],
             setup=[Console()], checks=merged(),
             **only("wine", "\\\\.\\ is a Windows device path; on a POSIX host it is a relative "
                            "name")),
)

# Failures injected into the simulated machine: each failing step of every operation.


def fault(name: str, args: list[str], lines: list[str], **kw) -> Scenario:
    return Scenario(name, args, setup=kw.pop("setup", []) + [Fault(x) for x in lines],
                    **only("native", "injects a fault into the simulated machine"), **kw)


# The message table, through the first call any operation makes.
for num in sorted(set(TEXTS) | {1056, 1280, 3}):
    add(fault(f"message: error {num}", ["-d", "-b", "elog"], [f"fail OpenSCManagerA with {num}"],
              stdout=listing("START service", manager_open(ELOG_TITLE)),
              stderr=err("opening service controler manager database", num), exit=num))

add(
    fault("message: outside display mode the number is written signed",
          ["-b", "elog"], ["fail OpenSCManagerA with 2147942405"],
          stderr="\nERROR -2147024891", exit=2147942405),
    fault("message: an error number whose low byte is 0 still fails the process",
          ["-b", "elog"], ["fail OpenSCManagerA with 1280"],
          **fails(1280)),
)

add(
    fault("start fails: the manager cannot be opened, stop",
          ["-d", "-e", "elog"], ["fail OpenSCManagerA with 5"],
          stdout=listing("STOP service", manager_open(ELOG_TITLE)),
          **failed("opening service controler manager database", 5),
          setup=[elog(running=True)], checks=elog_is("running")),
    fault("start fails: flm reports the code of its second open",
          ["-b", "flm"], ["fail OpenServiceA 2 with 5"],
          **fails(5)),
    fault("start fails: flm's first open fails otherwise, the second finds nothing",
          ["-b", "flm"], ["fail OpenServiceA 1 with 5"],
          **fails(1060)),
    fault("start fails: flm's first open fails otherwise, the obsolete service starts",
          ["-b", "flm"], ["fail OpenServiceA 1 with 5"],
          setup=[flm(), old_flm()],
          checks=[ServiceState(OLD_NAME, "running"), ServiceState(FLM_NAME, "stopped")]),
    fault("start fails: elog's open fails with access denied",
          ["-d", "-b", "elog"], ["fail OpenServiceA with 5"],
          stdout=listing("START service", to_open(ELOG_TITLE)),
          **failed("opening service", 5),
          setup=[elog()], checks=elog_is("stopped")),
    fault("start fails: the first status query fails, the start goes on",
          ["-d", "-b", "elog"], ["fail QueryServiceStatus 1 with 6"],
          stdout=listing("START service", ss_to_query(ELOG_TITLE), ss_request(True),
                         ss_reached(True)),
          stderr=err("getting status", 6),
          setup=[elog()], checks=elog_is("running")),
    fault("stop fails: the first status query fails, the stop goes on",
          ["-d", "-e", "elog"], ["fail QueryServiceStatus 1 with 6"],
          stdout=listing("STOP service", ss_to_query(ELOG_TITLE), ss_request(False),
                         ss_reached(False)),
          stderr=err("getting status", 6),
          setup=[elog(running=True)], checks=elog_is("stopped")),
    fault("start fails: a failed first query on a running service sends the start anyway",
          ["-d", "-b", "elog"], ["fail QueryServiceStatus 1 with 6"],
          stdout=listing("START service", ss_to_query(ELOG_TITLE), ss_sent(True)),
          stderr=err("getting status", 6) + err("starting service", 1056), exit=1056,
          setup=[elog(running=True)], checks=elog_is("running")),
    fault("start fails: the start request is refused",
          ["-d", "-b", "elog"], ["fail StartServiceA with 1058"],
          stdout=listing("START service", refused(ELOG_TITLE, True)),
          **failed("starting service", 1058),
          setup=[elog()], checks=elog_is("stopped")),
    fault("stop fails: the stop request is refused",
          ["-d", "-e", "elog"], ["fail ControlService with 1051"],
          stdout=listing("STOP service", refused(ELOG_TITLE, False)),
          **failed("stopping service", 1051),
          setup=[elog(running=True)], checks=elog_is("running")),
    fault("start fails: the first poll of the wait fails",
          ["-d", "-b", "elog"], ["fail QueryServiceStatus 2 with 6"],
          stdout=listing("START service", ss_to_query(ELOG_TITLE), QUERY_OK, ss_request(True)),
          **failed("Fail to get status", 6),
          setup=[elog()]),
    fault("start fails: a later poll of the wait fails",
          ["-d", "-b", "elog"], ["fail QueryServiceStatus 5 with 6"],
          stdout=listing("START service", ss_to_query(ELOG_TITLE), QUERY_OK,
                         ss_request(True, missed_polls=3)),
          **failed("Fail to get status", 6),
          setup=[elog(behaviour="nostart")]),
    fault("stop fails: a poll of the wait fails outside display mode",
          ["-e", "elog"], ["fail QueryServiceStatus 2 with 1059"],
          **fails(1059),
          setup=[elog(running=True)]),
    # On one console each dot of the wait is out before the failed poll's report.
    fault("console: the wait's first dot stands before a failed poll's report",
          ["-d", "-b", "elog"], ["fail QueryServiceStatus 2 with 6"],
          combined=listing("START service", ss_to_query(ELOG_TITLE), QUERY_OK, ss_request(True),
                           err("Fail to get status", 6)),
          exit=6, setup=[elog()]),
    fault("console: a later dot of the wait stands before a failed poll's report",
          ["-d", "-b", "elog"], ["fail QueryServiceStatus 5 with 6"],
          combined=listing("START service", ss_to_query(ELOG_TITLE), QUERY_OK,
                           ss_request(True, missed_polls=3), err("Fail to get status", 6)),
          exit=6, setup=[elog(behaviour="nostart")]),
)

add(
    fault("remove fails: the stop step fails, nothing is deleted",
          ["-d", "-rm", "elog"], ["fail ControlService with 1051"],
          stdout=listing("REMOVE service", refused(ELOG_TITLE, False)),
          **failed("stopping service", 1051),
          setup=[elog(running=True)], checks=elog_is("running")),
    fault("remove fails: the manager cannot be opened for the deletion",
          ["-d", "-rm", "elog"], ["fail OpenSCManagerA 2 with 5"],
          stdout=listing("REMOVE service", stopped(ELOG_TITLE), manager_open(ELOG_TITLE)),
          **failed("opening service controler manager database", 5),
          setup=[elog(running=True)], checks=elog_is("stopped")),
    fault("remove fails: the service cannot be opened for deletion",
          ["-d", "-rm", "elog"], ["fail OpenServiceA 2 with 5"],
          stdout=listing("REMOVE service", stopped(ELOG_TITLE), to_open(ELOG_TITLE)),
          **failed("opening service", 5),
          setup=[elog(running=True)], checks=elog_is("stopped")),
    fault("remove fails: the deletion fails",
          ["-d", "-rm", "elog"], ["fail DeleteService with 1072"],
          stdout=listing("REMOVE service", stopped(ELOG_TITLE), to_open(ELOG_TITLE), OKAY,
                         "\tClosing service ."),
          **failed("deleting service ", 1072),
          setup=[elog(running=True)], checks=elog_is("stopped")),
    fault("remove fails: a failed deletion replaces the 50002 of the stop step",
          ["-rm", "elog"], ["fail DeleteService with 1072"],
          **fails(50002, 1072),
          setup=[elog()], checks=elog_is("stopped")),
)

ENTRY_ONLY = [
    ServiceConfig(ELOG_NAME, path=r"D:\apps\iorvelsr.exe", display=ELOG_TITLE),
    RegValue(ELOG_PARMS, "AppDirectory", None),
    RegValue(ELOG_PARMS, "PFAFilename", None),
]
LONG_PFA = "D:\\" + "p" * 400 + ".pfa"
# Up to the second value, which a fault refuses.
SECOND_VALUE = (ELOG_TO_CHECK + CREATED + KEY_OPEN + OKAY + SUBKEY_OPEN + OKAY
                + param("AppDirectory") + ". (Okay)\n" + param("PFAFilename") + FINISHED)
# An elog whose installation fails, then an flm installed.
TWO_INSTALLS = ["-d", "-i", "elog", r"D:\a", "a.pfa", "-i", "flm", r"D:\f", "77"]
FLM_AFTER = FLM_TO_CHECK + CREATED + FLM_WRITTEN + FINISHED

add(
    fault("install fails: the manager cannot be opened",
          ["-d"] + ELOG_INSTALL_ARGS, ["fail OpenSCManagerA with 5"],
          stdout=request("INSTALL service") + f"\n\t{ELOG_TITLE}\n"
          "\tOpening service controler manager database ." + FINISHED,
          **failed("opening service controler manager database", 5),
          checks=NO_ELOG),
    fault("install fails: elog's open fails with a code other than 1060",
          ["-d"] + ELOG_INSTALL_ARGS, ["fail OpenServiceA with 5"],
          stdout=ELOG_TO_CHECK + FINISHED,
          **failed("opening service", 5),
          checks=NO_ELOG),
    fault("install: flm's first open fails otherwise, the second's 1060 creates",
          ["-d"] + FLM_INSTALL_ARGS, ["fail OpenServiceA 1 with 5"],
          stdout=FLM_AFTER, checks=NEW_FLM_CHECKS),
    fault("install fails: flm's first open fails otherwise beside the old agent, which stays",
          ["-d"] + FLM_INSTALL_ARGS, ["fail OpenServiceA 1 with 5"],
          stdout=FLM_TO_CHECK + FINISHED,
          **failed("opening service", 5),
          setup=[old_flm(running=True)],
          checks=[ServiceState(OLD_NAME, "running"), ServiceState(FLM_NAME, "absent")]),
    fault("install fails: flm's second open fails with a code other than 1060",
          ["-d"] + FLM_INSTALL_ARGS, ["fail OpenServiceA 2 with 5"],
          stdout=FLM_TO_CHECK + FINISHED,
          **failed("opening service", 5),
          checks=[ServiceState(FLM_NAME, "absent")]),
    fault("install fails: the migration's stop fails and ends the installation",
          ["-d"] + FLM_INSTALL_ARGS, ["fail ControlService with 1051"],
          stdout=FLM_TO_CHECK + refused(OLD_TITLE, False) + FINISHED,
          stderr=err("stopping service", 1051) + err("opening service", 1051), exit=1051,
          setup=[old_flm(running=True)],
          checks=[ServiceState(OLD_NAME, "running"), ServiceState(FLM_NAME, "absent")]),
    fault("install fails: the migration's deletion fails and ends the installation",
          ["-d"] + FLM_INSTALL_ARGS, ["fail DeleteService 1 with 1072"],
          stdout=FLM_TO_CHECK + stopped(OLD_TITLE) + to_open(OLD_TITLE) + OKAY
          + "\tClosing service ." + FINISHED,
          stderr=err("deleting service ", 1072) + err("opening service", 1072), exit=1072,
          setup=[old_flm(running=True)],
          checks=[ServiceState(OLD_NAME, "stopped"), ServiceState(FLM_NAME, "absent")]),
    fault("install fails: the configuration of an existing service cannot be changed",
          ["-d"] + ELOG_INSTALL_ARGS, ["fail ChangeServiceConfigA with 1057"],
          stdout=ELOG_TO_CHECK + CHANGING + FINISHED,
          **failed("changing service configuration", 1057),
          setup=[elog(display="Event logger of old")],
          checks=[ServiceConfig(ELOG_NAME, path="{dir}\\iorvelsr.exe", display="Event logger of old"),
                  RegValue(ELOG_PARMS, "AppDirectory", None)]),
    fault("install fails: the service cannot be created",
          ["-d"] + ELOG_INSTALL_ARGS, ["fail CreateServiceA with 52"],
          stdout=ELOG_TO_CHECK + CREATING + FINISHED,
          **failed("creating service", 52),
          checks=NO_ELOG),
    fault("install fails: flm's creation fails and the old agent stays as it was",
          ["-d"] + FLM_INSTALL_ARGS, ["fail CreateServiceA with 1073"],
          stdout=FLM_TO_CHECK + CREATING + FINISHED,
          **failed("creating service", 1073),
          setup=[old_flm(running=True, params=OLD_VALUES)], checks=OLD_KEPT),
    fault("install fails: the old agent gets OrvFLM's title back when the creation fails after all",
          ["-d"] + FLM_INSTALL_ARGS, ["displaynames unique", "fail CreateServiceA 2 with 5"],
          stdout=FLM_TO_CHECK + CREATING + FINISHED,
          **failed("creating service", 5),
          setup=[old_flm(running=True, display=FLM_TITLE, params=OLD_VALUES)],
          checks=OLD_KEPT + [ServiceConfig(OLD_NAME, display=FLM_TITLE)]),
    fault("install fails: the old agent cannot get OrvFLM's title back, and says so",
          ["-d"] + FLM_INSTALL_ARGS,
          ["displaynames unique", "fail CreateServiceA 2 with 5", "fail ChangeServiceConfigA 2 with 1057"],
          stdout=FLM_TO_CHECK + CREATING + FINISHED,
          stderr=err("creating service", 5) + err("changing service configuration", 1057), exit=5,
          setup=[old_flm(running=True, display=FLM_TITLE, params=OLD_VALUES)],
          checks=OLD_KEPT + [ServiceConfig(OLD_NAME, display=OLD_TITLE)]),
    fault("install fails: the service key cannot be opened",
          ["-d"] + ELOG_INSTALL_ARGS, ["fail RegOpenKeyExA with 2"],
          stdout=ELOG_TO_CHECK + CREATED + KEY_OPEN + FINISHED,
          **failed("opening specified key", 2),
          checks=ENTRY_ONLY),
    fault("install fails: the sub-key cannot be created",
          ["-d"] + ELOG_INSTALL_ARGS, ["fail RegCreateKeyExA with 5"],
          stdout=ELOG_TO_CHECK + CREATED + KEY_OPEN + OKAY + SUBKEY_OPEN + FINISHED,
          **failed("creating subkey", 5),
          checks=ENTRY_ONLY),
    fault("install fails: the second value cannot be set",
          ["-d"] + ELOG_INSTALL_ARGS, ["fail RegSetValueExA 2 with 87"],
          stdout=SECOND_VALUE,
          **failed(r"seting parameter PFAFilename, value D:\apps\x.pfa", 87),
          checks=[RegValue(ELOG_PARMS, "AppDirectory", r"D:\apps"),
                  RegValue(ELOG_PARMS, "PFAFilename", None)]),
    fault("install fails: the first value cannot be set, the second is not tried",
          ["-i", "elog", r"D:\apps", r"D:\apps\x.pfa"], ["fail RegSetValueExA 1 with 1013"],
          **fails(1013),
          checks=[RegValue(ELOG_PARMS, "AppDirectory", None),
                  RegValue(ELOG_PARMS, "PFAFilename", None)]),
    fault("install fails: a value's error text is never cut short",
          ["-d", "-i", "elog", r"D:\apps", LONG_PFA], ["fail RegSetValueExA 2 with 87"],
          stdout=SECOND_VALUE,
          stderr=err(f"seting parameter PFAFilename, value {LONG_PFA}", 87), exit=87),
    fault("install: indentation is back after a failed value",
          TWO_INSTALLS, ["fail RegSetValueExA 1 with 87"],
          stdout=ELOG_TO_CHECK + CREATED + KEY_OPEN + OKAY + SUBKEY_OPEN + OKAY
          + param("AppDirectory") + FLM_AFTER,
          **failed(r"seting parameter AppDirectory, value D:\a", 87),
          checks=[RegValue(FLM_PARMS, "AppPortNumber", "77")]),
    fault("install: indentation is back after a failed sub-key",
          TWO_INSTALLS, ["fail RegCreateKeyExA 1 with 5"],
          stdout=ELOG_TO_CHECK + CREATED + KEY_OPEN + OKAY + SUBKEY_OPEN + FLM_AFTER,
          **failed("creating subkey", 5),
          checks=[RegValue(FLM_PARMS, "AppPortNumber", "77")]),
)

# Both streams on one console: a report follows the open progress line it completes.

add(
    Scenario("console: a failed open completes its progress line",
             ["-d", "-b", "elog"],
             combined=listing("START service", to_open(ELOG_TITLE), " (Error) \n",
                              "Error opening service: The service doesn't exist.\n"),
             exit=1060),
    Scenario("console: the report stands before the usage text",
             ["-b", "ELOG"], combined=quiet(50003) + USAGE, exit=50003),
    Scenario("console: a command line without a request is reported before the usage text",
             ["-d", "-B", "elog"], combined=err("reading the command line", 87) + USAGE, exit=87),
    # Standard output is flushed before a report, as on a console that takes every byte at once.
    Scenario("console: the banner's line end stands before a later request's report",
             ["-i", "elog", r"D:\apps", "x.pfa", "-i", "flm", "apps", "80"],
             combined=INSTALLED + quiet(87), exit=87),
    Scenario("console: a heading stands before the report of its missing service code",
             ["-d", "-b", "elog", "-e"], setup=[elog()],
             combined=request("START service") + started(ELOG_TITLE) + "STOP service\n"
             + err("", 50004) + FINISHED, exit=50004),
    Scenario("console: removal goes on after the stop step's report",
             ["-d", "-rm", "elog"], setup=[elog()],
             combined=listing("REMOVE service", ss_to_query(ELOG_TITLE),
                              err("invalid action", 50002), rm_deleted(ELOG_TITLE)),
             exit=50002, checks=elog_is("absent")),
)
