"""The mutants of scripts/mutate.py: small, realistic faults, each an exact
text replacement in one file.

Each has an id (the file's letter and a number), what fault it is, the
quick selection that should see it on each host ("scenarios ARGS" for the
scenario runner, "ctest ARGS" for ctest in the native build; several are
run in turn), and, for an equivalent mutant, why no observable behaviour
changes. wine_blind: why Wine cannot show it although Windows would; the
Windows test kit is where it will be seen.
"""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass(frozen=True)
class Mutant:
    id: str
    file: str
    what: str
    old: str
    new: str
    quick: dict[str, list[tuple[str, ...]]] = field(default_factory=dict)
    equivalent: str = ""
    wine_blind: str = ""


PROGRAM = "SERVICES/source/quillmar.cpp"
PLATFORM = "SERVICES/source/platform/"
WIN32 = PLATFORM + "win32.cpp"
POSIX = PLATFORM + "posix.cpp"
SCM = PLATFORM + "sim_scm.cpp"
STORE = PLATFORM + "sim_store.cpp"
REGISTRY = PLATFORM + "sim_registry.cpp"
INDEX = PLATFORM + "sim_index.cpp"
FAULTS = PLATFORM + "sim_faults.cpp"
REGFILE = PLATFORM + "sim_regfile.cpp"


def sc(substring: str, quick: bool = True) -> tuple[str, ...]:
    """The scenarios whose names hold substring (the slow ones left out)."""
    return ("scenarios", "-k", substring) + (("--quick",) if quick else ())


def ct(regex: str) -> tuple[str, ...]:
    """The ctest tests whose names match."""
    return ("ctest", "-R", regex)


def both(*selections: tuple[str, ...]) -> dict[str, list[tuple[str, ...]]]:
    return {"native": list(selections), "wine": list(selections)}


def native(*selections: tuple[str, ...]) -> dict[str, list[tuple[str, ...]]]:
    return {"native": list(selections)}


def wine(*selections: tuple[str, ...]) -> dict[str, list[tuple[str, ...]]]:
    return {"wine": list(selections)}


def hosts_of(m: Mutant) -> list[str]:
    """The program runs on both hosts; each platform file on its own."""
    if m.file == PROGRAM:
        return ["native", "wine"]
    if m.file == WIN32:
        return ["wine"]
    return ["native"]


MUTANTS: list[Mutant] = [
    # ---- quillmar.cpp: the front end ------------------------------------------------
    Mutant("P01", PROGRAM, "the exit status keeps the first failed request's number, not the last",
           "            if (errorNum != 0) {\n                lastFailed = errorNum;",
           "            if (errorNum != 0 && lastFailed == 0) {\n                lastFailed = errorNum;",
           both(sc("dispatch:"))),
    Mutant("P02", PROGRAM, "outside display mode the error number is written unsigned",
           "std::to_string(static_cast<int>(errorNum))", "std::to_string(errorNum)",
           {"native": [sc("message:")], "wine": [sc("merge: the tool's exit status")]}),
    Mutant("P03", PROGRAM, "an option matches any argument it begins (-help for -h)",
           "std::strcmp(pArg + 1, pType) == 0",
           "std::strncmp(pArg + 1, pType, std::strlen(pType)) == 0",
           both(sc("no request:"), sc("help:"))),
    Mutant("P04", PROGRAM, "off by one: a single argument no longer takes the help path",
           "    if (arg < 3 || EnvVariable(arg, argv, \"h\", nullptr) == 1 ||",
           "    if (arg < 2 || EnvVariable(arg, argv, \"h\", nullptr) == 1 ||",
           both(sc("help:"))),
    Mutant("P05", PROGRAM, "a failed first request is also reported as a command line without one",
           "        if (errorNum == 0 && numOperations == 0) {", "        if (numOperations == 0) {",
           both(sc("dispatch: -b ELOG"), sc("console:"))),
    Mutant("P06", PROGRAM, "Finished. only after a run without failure",
           "    } else if (display == 1) {\n        std::fputs(\"\\nFinished.\\n\", stdout);",
           "    } else if (display == 1 && errorNum == 0) {\n        std::fputs(\"\\nFinished.\\n\", stdout);",
           both(sc("start: already running"))),
    Mutant("P07", PROGRAM, "off by one: an install whose arguments end the command line lacks one",
           "    if (*pArgNum < numArgs - numParms) {", "    if (*pArgNum < numArgs - numParms - 1) {",
           both(sc("install: a new elog"))),
    Mutant("P08", PROGRAM, "off by one: the scan goes on from the install's last argument",
           "    *pArgNum += numParms;", "    *pArgNum += numParms - 1;",
           both(sc("install: a last install argument"))),
    Mutant("P09", PROGRAM, "off by one: a code the catalogue lacks is taken for its last row",
           "    while (serviceNum < numServices && std::strcmp(",
           "    while (serviceNum < numServices - 1 && std::strcmp(",
           both(sc("dispatch: -b ELOG"))),
    Mutant("P10", PROGRAM, "off by one: one poll more than the limit",
           "    for (unsigned numTries = 0; numTries < maxPolls; ++numTries) {",
           "    for (unsigned numTries = 0; numTries <= maxPolls; ++numTries) {",
           {"native": [sc("(clock skipped)")], "wine": [sc("wait: a service that never reaches RUNNING", False)]}),
    Mutant("P11", PROGRAM, "a wait that ends too soon: a tenth of the pause between polls",
           "        Sleep(pollPauseMs);", "        Sleep(pollPauseMs / 10);",
           both(sc("wait: a service that never reaches RUNNING", False))),
    Mutant("P12", PROGRAM, "a start that died without an exit code passes",
           ": ERROR_PROCESS_ABORTED);", ": 0);",
           {"native": [sc("wait: a start that dies with exit code 0")],
            "wine": [sc("wait: a service that dies right after its start", False)]}),
    Mutant("P13", PROGRAM, "a stop that left the service running passes; one still pending fails",
           "    if (!start && pStatus->dwCurrentState == SERVICE_RUNNING) {",
           "    if (!start && pStatus->dwCurrentState == SERVICE_STOP_PENDING) {",
           {"native": [sc("(clock skipped)")], "wine": [sc("wait: a stop the service ignores", False)]}),
    Mutant("P14", PROGRAM, "the wait's own failure is not recorded for the installation",
           "    lastFailedCall = errorNum;\n    return errorNum;", "    return errorNum;",
           {"native": [sc("ignores its stop")], "wine": [sc("install: flm's migration meets an old agent that ignores its stop", False)]}),
    Mutant("P15", PROGRAM, "a failed first status query still completes its line",
           "        queried = false;\n", "",
           native(sc("the first status query fails")),
           wine_blind="only an injected fault fails the first status query"),
    Mutant("P16", PROGRAM, "the target-state test compares with RUNNING for a stop too",
           "    } else if (status.dwCurrentState == dwCurrentState) {",
           "    } else if (status.dwCurrentState == SERVICE_RUNNING) {",
           both(sc("stop: a running service"))),
    Mutant("P17", PROGRAM, "a removal goes on after any failed stop but a missing service",
           "    if (errorNum != 0 && errorNum != errorAlreadyStopped) {",
           "    if (errorNum == ERROR_SERVICE_DOES_NOT_EXIST) {",
           {"native": [sc("remove: a service that ignores its stop"), sc("depends on")],
            "wine": [sc("remove: a service that ignores its stop", False)]}),
    Mutant("P18", PROGRAM, "a removal of a stopped service loses the stop step's 50002",
           "    ShowHeading(service.pServiceTitle, \"Opening service control manager database .\");\n    SC_HANDLE hSCManager = OpenManager(&errorNum);\n    if (hSCManager == nullptr) {\n        return errorNum;\n    }\n    if (display == 1) {\n        ShowOutcome(\".. (Okay)\\n\");\n        DisplayMsg(\"Opening service .\");\n    }\n    SC_HANDLE hSCService = OpenServiceA(hSCManager, service.pServiceName, DELETE);",
           "    ShowHeading(service.pServiceTitle, \"Opening service control manager database .\");\n    errorNum = 0;\n    SC_HANDLE hSCManager = OpenManager(&errorNum);\n    if (hSCManager == nullptr) {\n        return errorNum;\n    }\n    if (display == 1) {\n        ShowOutcome(\".. (Okay)\\n\");\n        DisplayMsg(\"Opening service .\");\n    }\n    SC_HANDLE hSCService = OpenServiceA(hSCManager, service.pServiceName, DELETE);",
           both(sc("remove: a stopped service"))),
    Mutant("P19", PROGRAM, "%% counts as a name the manager would expand",
           "        if (pClose > pOpen + 1) {", "        if (pClose > pOpen) {",
           both(sc("install: "))),
    Mutant("P20", PROGRAM, "a quote in the install directory is no longer refused",
           "    if (!IsAbsoluteDirectory(pDirectory) || std::strchr(pDirectory, '\"') != nullptr ||",
           "    if (!IsAbsoluteDirectory(pDirectory) ||",
           both(sc("install: a quote"))),
    Mutant("P21", PROGRAM, "off by one: a path of exactly the longest length is refused",
           "    if (CountUtf16Units(path.c_str()) > maxImagePathUnits) {",
           "    if (CountUtf16Units(path.c_str()) >= maxImagePathUnits) {",
           both(sc("install: "))),
    Mutant("P22", PROGRAM, "a path with a tab is registered unquoted",
           "    if (path.find_first_of(\" \\t\") != std::string::npos) {",
           "    if (path.find_first_of(\" \") != std::string::npos) {",
           both(sc("install: a directory with a tab"))),
    Mutant("P23", PROGRAM, "the old agent's removal starts from whatever call failed before it",
           "    lastFailedCall = 0;\n    RemoveService(serviceFlm);",
           "    RemoveService(serviceFlm);",
           {"native": [sc("OrvFLM's title where titles must be unique")],
            "wine": [sc("an old agent that shows OrvFLM's title")]}),
    Mutant("P24", PROGRAM, "a reconfiguration leaves the old display name",
           "                                 service.pServiceTitle) != TRUE) {",
           "                                 nullptr) != TRUE) {",
           both(sc("install: an existing elog is reconfigured"))),
    Mutant("P25", PROGRAM, "a new service starts on demand, not automatically",
           "                          entryType, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(),",
           "                          entryType, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(),",
           both(sc("install: a new elog"))),
    Mutant("P26", PROGRAM, "a value's terminating NUL is not counted",
           "        const std::size_t numBytes = std::strlen(pValue) + 1;",
           "        const std::size_t numBytes = std::strlen(pValue);",
           equivalent="RegSetValueEx adds the NUL a REG_SZ's size leaves out when the byte after "
                      "it is one, on Windows, under Wine and on the simulated machine alike "
                      "(Wine's test_string_termination); the stored value is the same"),
    Mutant("P27", PROGRAM, "the parameters' indentation is not taken back",
           "    --numTabs;\n    RegCloseKey(openKey);", "    RegCloseKey(openKey);",
           both(sc("dispatch: four operations"))),
    Mutant("P28", PROGRAM, "a drive-relative console directory is no longer refused",
           "    if (IsDriveRelativeDirectory(pPath)) {", "    if (false && IsDriveRelativeDirectory(pPath)) {",
           both(sc("merge: "))),
    Mutant("P29", PROGRAM, "a merge tool that cannot start counts as a merge that succeeded",
           "                         ? errorNoSuchFile\n                         : exitStatus;",
           "                         ? exitStatus\n                         : exitStatus;",
           both(sc("merge: a missing tool"))),
    Mutant("P30", PROGRAM, "standard output is not flushed before the merge tool runs",
           "    // The tool's messages reach our standard error or console directly.\n    std::fflush(stdout);\n",
           "",
           both(sc("console: the tool's messages follow"))),
    Mutant("P31", PROGRAM, "an error report may overtake what standard output holds",
           "    std::fflush(stdout);\n    std::fputs(report.c_str(), stderr);",
           "    std::fputs(report.c_str(), stderr);",
           both(sc("console:"))),
    Mutant("P32", PROGRAM, "off by one: one tab too few before a progress text",
           "    std::fputs(std::string(numTabs, '\\t').c_str(), stdout);",
           "    std::fputs(std::string(numTabs > 0 ? numTabs - 1 : 0, '\\t').c_str(), stdout);",
           both(sc("start: a stopped service, display mode"))),
    Mutant("P33", PROGRAM, "a wrong error number in the message table",
           "    {1072, \"The specified service has already been market for deletion\"},",
           "    {1073, \"The specified service has already been market for deletion\"},",
           {"native": [sc("message:")], "wine": [sc("another program holds")]}),
    Mutant("P34", PROGRAM, "the pass rule: a failure followed by a success ends the dispatch",
           "    return errorNum != 0 ? errorNum : lastFailed;",
           "    return lastFailed != 0 ? lastFailed : errorNum;",
           equivalent="lastFailed is the last non-zero result, so it equals errorNum whenever "
                      "errorNum is not 0, and both forms give lastFailed otherwise"),
    Mutant("P35", PROGRAM, "an extended-length directory's trailing backslash is doubled",
           "        if (directory.back() == '\\\\') {", "        if (false) {",
           both(sc("extended-length"))),
    Mutant("P36", PROGRAM, "a . component of an extended-length directory is registered",
           "        if (component.empty() || component == \".\" || component == \"..\" ||",
           "        if (component.empty() || component == \"..\" ||",
           both(sc("extended-length"))),
    Mutant("P37", PROGRAM, "an old agent with the agent's title does not lend it: no migration",
           "    if (!EqualsIgnoringCase(shown, flm.pServiceTitle) ||",
           "    if (true ||",
           {"native": [sc("OrvFLM's title where titles must be unique")],
            "wine": [sc("an old agent that shows OrvFLM's title")]}),
    Mutant("P38", PROGRAM, "an old agent that lent its title keeps the obsolete one",
           "    if (hSCService == nullptr) {\n        GiveTitleBack(hObsolete, lentTitle);\n    }\n",
           "",
           native(sc("gets OrvFLM's title back")),
           wine_blind="only a creation that fails after the old agent lent its title reaches "
                      "it, and only an injected fault makes one"),
    Mutant("P39", PROGRAM, "the new entry stays beside an old agent whose removal failed",
           "            if (DeleteService(hSCService) == FALSE) {",
           "            if (false) {",
           {"native": [sc("install fails: the migration's")],
            "wine": [sc("flm's migration meets an old agent that ignores", quick=False)]}),

    # ---- win32.cpp ---------------------------------------------------------------------
    Mutant("W01", WIN32, "the tool's path with a blank is not quoted on its command line",
           "    if (!arg.empty() && arg.find_first_of(L\" \\t\\n\\v\\\"\") == std::wstring::npos) {",
           "    if (!arg.empty() && arg.find_first_of(L\"\\t\\n\\v\\\"\") == std::wstring::npos) {",
           wine(sc("merge: a directory with blanks"))),
    Mutant("W02", WIN32, "the backslashes before a quote are not doubled",
           "            quoted.append(numBackslashes * 2 + 1, L'\\\\');",
           "            quoted.append(numBackslashes + 1, L'\\\\');",
           equivalent="no argument quillmar hands the tool holds a quote: the tool's path is a "
                      "Windows name, which cannot, and its arguments are fixed"),
    Mutant("W03", WIN32, "the tool runs in our current directory, not the console's",
           "                                        directory.c_str(), &startup.StartupInfo, &process) == 0) {",
           "                                        nullptr, &startup.StartupInfo, &process) == 0) {",
           wine(sc("merge: the first call"))),
    Mutant("W04", WIN32, "the tool's standard output is ours, not the null device",
           "    startup.StartupInfo.hStdOutput = hNull;",
           "    startup.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);",
           wine(sc("merge: the first call"))),
    Mutant("W05", WIN32, "the tool's exit code keeps its low 8 bits only",
           "            *pExitStatus = exitCode;", "            *pExitStatus = exitCode & 0xFFU;",
           wine(sc("merge: the tool's exit status"))),
    Mutant("W06", WIN32, "a relay that never drains what the tool left in its pipe at exit",
           "    while (numLeft > 0 && relay.open) {", "    while (false && numLeft > 0 && relay.open) {",
           wine(sc("merge: the tool's last words")),
           equivalent="the loop before it reads the pipe empty before it looks at the tool's end: a "
                      "read completes with the write that feeds it, on Windows and under Wine, and "
                      "the read's event comes first in the wait, so nothing the tool wrote is left "
                      "when the exit is seen. The drain is a guard for a completion signalled late"),
    Mutant("W07", WIN32, "a read ended under way loses what it had read",
           "    if (GetOverlappedResult(relay.hRead, &relay.overlapped, &numRead, TRUE) != 0) {\n        PassOn(relay, numRead);\n    }",
           "    GetOverlappedResult(relay.hRead, &relay.overlapped, &numRead, TRUE);",
           wine(sc("merge: the tool's")),
           wine_blind="a read is under way at the tool's exit only when no byte of the tool's "
                      "arrived since the last: under Wine a read completes before the tool's "
                      "exit is seen, so the read that is ended holds nothing"),
    Mutant("W08", WIN32, "a console directory too long for a current directory is let through",
           "    if (fullDir.size() + 2 > MAX_PATH || Wide(JoinPath(pDir, pProgram)).size() >= MAX_PATH) {",
           "    if (false && (fullDir.size() + 2 > MAX_PATH || Wide(JoinPath(pDir, pProgram)).size() >= MAX_PATH)) {",
           wine(sc("merge: beyond Windows' path limit"))),
    Mutant("W09", WIN32, "the backup is taken afresh although one is there",
           "    if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {\n        return IsBackupFile(to) ? 0 : ERROR_FILE_EXISTS;",
           "    if (false) {\n        return IsBackupFile(to) ? 0 : ERROR_FILE_EXISTS;",
           wine(sc("merge: a backup without hvcons.ini"))),
    Mutant("W10", WIN32, "a directory named as the backup passes for it",
           " &&\n                        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;",
           ";",
           equivalent="CreateFileW without FILE_FLAG_BACKUP_SEMANTICS cannot open a directory, so "
                      "IsBackupFile is false for one before the attribute is looked at"),
    Mutant("W11", WIN32, "a character the code page lacks passes as its best-fit look-alike",
           "    return numBytes == 0 || usedDefault != FALSE ? ERROR_NO_UNICODE_TRANSLATION : 0;",
           "    return numBytes == 0 ? ERROR_NO_UNICODE_TRANSLATION : 0;",
           wine(ct("wine-selftest"))),
    Mutant("W12", WIN32, "an unpaired surrogate passes the UTF-8 check",
           "        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pLine, -1, nullptr, 0, nullptr,",
           "        return WideCharToMultiByte(CP_UTF8, 0, pLine, -1, nullptr, 0, nullptr,",
           wine(sc("arguments: an unpaired surrogate"))),
    Mutant("W13", WIN32, "the exit status keeps 16 bits of the error number",
           "    return static_cast<int>(errorNum);", "    return static_cast<int>(errorNum & 0xFFFFU);",
           wine(sc("merge: the tool's exit status"))),
    Mutant("W14", WIN32, "a share's long form drops its UNC prefix",
           "        return L\"\\\\\\\\?\\\\UNC\\\\\" + full.substr(2);",
           "        return L\"\\\\\\\\?\\\\\" + full.substr(2);",
           wine(sc("merge: a console directory on a share"))),
    Mutant("W15", WIN32, "the tool shares our standard error when it is a pipe",
           "                         !IsConsole(hOurError) && OpenRelay(relay, hOurError);",
           "                         IsConsole(hOurError) && OpenRelay(relay, hOurError);",
           wine(sc("merge: a tool that leaves a process behind"))),
    Mutant("W16", WIN32, "the stack guard keeps its built-in value",
           "    __stack_chk_guard = seed;\n", "",
           wine(ct("wine-selftest"))),
    Mutant("W17", WIN32, "off by one: a path's length counts its terminating NUL",
           "    return numWide > 0 ? static_cast<std::size_t>(numWide) - 1 : SIZE_MAX;",
           "    return numWide > 0 ? static_cast<std::size_t>(numWide) : SIZE_MAX;",
           wine(sc("install: "))),

    # ---- posix.cpp ------------------------------------------------------------------------
    Mutant("X01", POSIX, "an error number whose low byte is 0 exits 0",
           "    return low ? low : 255;", "    return low;",
           native(sc("message:"))),
    Mutant("X02", POSIX, "a character beyond the Basic Multilingual Plane counts one unit",
           "        numUnits += numValid == 4 ? 2 : 1;", "        numUnits += 1;",
           native(sc("install: "))),
    Mutant("X03", POSIX, "an overlong two-byte lead passes for a character",
           "        if (inRange(lead, 0xC2, 0xDF)) {", "        if (inRange(lead, 0xC0, 0xDF)) {",
           native(ct("Utf16"))),
    Mutant("X04", POSIX, "anything named hvcons.old passes for the backup",
           "    return S_ISREG(st.st_mode) ? 0 : EEXIST;", "    return 0;",
           native(sc("merge: "))),
    Mutant("X05", POSIX, "the backup's content is not flushed to disk before it is linked in",
           "    if (!e && fsync(out) != 0)\n        e = errno;\n", "",
           equivalent="only a power loss between the link and the write-back shows it; no test "
                      "can make one"),
    Mutant("X06", POSIX, "the tool's standard error goes to the null device instead of its output",
           "        e = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, \"/dev/null\", O_WRONLY, 0);",
           "        e = posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, \"/dev/null\", O_WRONLY, 0);",
           native(sc("merge: the tool's messages"))),
    Mutant("X07", POSIX, "a relay that never drains what the tool left in its pipe at exit",
           "    while (numLeft > 0) {", "    while (false && numLeft > 0) {",
           native(sc("merge: the tool's last words")),
           equivalent="only a race shows it: the loop before it reads the pipe until it is empty "
                      "before it reaps the tool, so a byte is left only when the tool's last write "
                      "and its exit both fall between that empty read and the reaping, a window of "
                      "microseconds that no test can hold open (the full native tier let it "
                      "through in the first run)"),
    Mutant("X08", POSIX, "the tool starts in our current directory",
           "    int e = posix_spawn_file_actions_addchdir_np(&actions, pDir);", "    int e = 0;",
           native(sc("merge: the first call"))),
    Mutant("X09", POSIX, "the backup replaces one that another run made meanwhile",
           "    if (link(tmp.c_str(), target.c_str()) == 0)",
           "    if (rename(tmp.c_str(), target.c_str()) == 0)",
           native(sc("merge: a backup that another run made meanwhile"))),
    Mutant("X10", POSIX, "an absolute POSIX console directory is taken for rooted without a drive",
           "    return pDir[0] != '/' && IsWindowsDriveRelativeDirectory(pDir);",
           "    return IsWindowsDriveRelativeDirectory(pDir);",
           native(sc("merge: the first call"))),
    Mutant("X11", POSIX, "the backup keeps a set-user-ID bit",
           "    if (!e && fchmod(out, st.st_mode & 0777) != 0)",
           "    if (!e && fchmod(out, st.st_mode & 07777) != 0)",
           native(ct("^hostile$"))),
    Mutant("X12", POSIX, "a device or a FIFO is copied as hvcons.ini",
           "    const int statError = fstat(in, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? ENOENT : 0;",
           "    const int statError = fstat(in, &st) != 0 ? errno : 0;",
           native(ct("^hostile$"))),
    Mutant("X13", POSIX, "a reader that goes away ends the program halfway",
           "[[maybe_unused]] const bool g_sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;",
           "[[maybe_unused]] const bool g_sigpipeIgnored = false;",
           native(ct("^hostile$"))),

    # ---- the simulated machine: the manager ---------------------------------------------
    Mutant("S01", SCM, "a pending state never ends",
           "    if (st.polls == 0) {\n        if (st.state == SERVICE_START_PENDING && st.then == SERVICE_STOPPED)",
           "    if (st.polls < 0) {\n        if (st.state == SERVICE_START_PENDING && st.then == SERVICE_STOPPED)",
           native(sc("wait: a start that dies"))),
    Mutant("S02", SCM, "the status reports no exit code",
           "    out->dwWin32ExitCode = st.exitCode;", "    out->dwWin32ExitCode = 0;",
           native(sc("wait: a start that dies"))),
    Mutant("S03", SCM, "a start of a running service is accepted",
           "    if (st.state != SERVICE_STOPPED)\n        return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);",
           "    if (st.state == SERVICE_START_PENDING)\n        return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);",
           native(sc("start fails: a failed first query on a running service"))),
    Mutant("S04", SCM, "a stop is sent while a dependent service runs",
           "    if (dependentRunning)\n        return Fail(ERROR_DEPENDENT_SERVICES_RUNNING, FALSE);",
           "    if (false && dependentRunning)\n        return Fail(ERROR_DEPENDENT_SERVICES_RUNNING, FALSE);",
           native(sc("depends on"))),
    Mutant("S05", SCM, "a dependent that is start pending does not count",
           "        if ((running = st.state != SERVICE_STOPPED))",
           "        if ((running = st.state == SERVICE_RUNNING))",
           native(sc("depends on"), ct("Scm"))),
    Mutant("S06", SCM, "DeleteService marks nothing",
           "    c.st.deleted = true;", "    c.st.deleted = false;",
           native(sc("remove: a running service"))),
    Mutant("S07", SCM, "a service another program holds goes at our last close",
           "    return st.deleted && st.state == SERVICE_STOPPED && !Held(txn, name);",
           "    return st.deleted && st.state == SERVICE_STOPPED && (true || !Held(txn, name));",
           native(sc("another program holds"))),
    Mutant("S08", SCM, "a marked service can be reconfigured",
           "    if (c.st.deleted)\n        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);\n    if (lpDisplayName && *lpDisplayName) {",
           "    if (lpDisplayName && *lpDisplayName) {",
           native(sc("another program holds"))),
    Mutant("S09", SCM, "an interactive service may run as any account",
           "    return !(type & SERVICE_INTERACTIVE_PROCESS) || account.empty() ||",
           "    return !(type & SERVICE_INTERACTIVE_PROCESS) || !account.empty() ||",
           native(sc("account"))),
    Mutant("S10", SCM, "a display name equal to another service's name is not refused",
           "    if (!IEquals(display, name)) {\n        RegKey *other = nullptr;",
           "    if (IEquals(display, name)) {\n        RegKey *other = nullptr;",
           native(sc("display name"))),
    Mutant("S11", SCM, "the last close of a marked, stopped service does not remove it",
           "    if (closed->isService && !HeldHere(closed->name)) {",
           "    if (closed->isService && HeldHere(closed->name)) {",
           native(sc("remove: a running service"))),
    Mutant("S12", SCM, "a stop to a pending service is taken",
           "    if (IsPending(st))\n        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);\n",
           "", native(ct("Scm"))),
    Mutant("S13", SCM, "a successful OpenSCManager leaves the last error as it was",
           "    SetLastError(ERROR_SUCCESS);\n    return NewHandle(false, MapManagerAccess(dwDesiredAccess), {});",
           "    return NewHandle(false, MapManagerAccess(dwDesiredAccess), {});",
           native(ct("LastError|Scm"))),
    Mutant("S14", SCM, "a stop the service ignores stops it all the same",
           "    if (b.stopIgnored)\n        return TRUE;\n", "",
           native(sc("ignores its stop"))),
    Mutant("S15", SCM, "off by one: a service name of the longest length is refused",
           "    if (!name || !*name || std::strlen(name) > kMaxServiceName)",
           "    if (!name || !*name || std::strlen(name) >= kMaxServiceName)",
           native(ct("Scm"))),
    Mutant("S16", SCM, "a display name is asked for with its length, not twice it",
           "        *lpcchBuffer = static_cast<DWORD>(2 * display.size());",
           "        *lpcchBuffer = static_cast<DWORD>(display.size());",
           native(ct("ADisplayName"))),

    # ---- the simulated machine: store, registry, index, settings, files ------------------
    Mutant("T01", STORE, "a shared lock: overlapping runs lose each other's updates",
           "    while (flock(lockFd_, LOCK_EX) != 0) {", "    while (flock(lockFd_, LOCK_SH) != 0) {",
           native(ct("stress"))),
    Mutant("T02", STORE, "a settings file that cannot be parsed reads as no settings",
           "        out = Settings{};\n        return ERROR_BADDB;",
           "        out = Settings{};\n        return ERROR_SUCCESS;",
           native(ct("corrupt-store|Settings"))),
    Mutant("T03", STORE, "a damaged file is reported at every call, not once",
           "    if (!g_reported.insert(path).second)\n        return;\n",
           "    g_reported.insert(path);\n",
           native(ct("corrupt-store|Store"))),
    Mutant("T04", STORE, "the display-name index is not brought up to date after a write",
           "    if (indexWasCurrent && result == ERROR_SUCCESS)",
           "    if (false && indexWasCurrent && result == ERROR_SUCCESS)",
           equivalent="the index is removed before the write, so the next lookup rebuilds it from "
                      "the service files: the same answers, only slower (bench/'s growth rule "
                      "shows it, no test's outcome)"),
    Mutant("T05", STORE, "a write is not flushed to disk before its rename",
           "    if (!e && fsync(fd) != 0)\n        e = errno;\n", "",
           equivalent="only a power loss between the rename and the write-back shows it; a "
                      "killed process leaves the page cache behind, which the crash test uses"),
    Mutant("T06", STORE, "a machine directory its group may write is used",
           "    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {", "    if ((st.st_mode & S_IWOTH) != 0) {",
           native(ct("^corrupt-store$"))),
    Mutant("T07", STORE, "a machine directory of another user is used",
           "    if (st.st_uid != geteuid() && st.st_uid != 0)",
           "    if (st.st_uid != geteuid() && st.st_uid != 0 && false)",
           native(ct("^corrupt-store$"))),
    Mutant("R01", REGISTRY, "setting a value asks for the query right",
           "    if (!(access & KEY_SET_VALUE))\n        return ERROR_ACCESS_DENIED;\n    if (!lpData && cbData)",
           "    if (!(access & KEY_QUERY_VALUE))\n        return ERROR_ACCESS_DENIED;\n    if (!lpData && cbData)",
           native(sc("install: a new elog"))),
    Mutant("R02", REGISTRY, "a missing key opens",
           "    if (!exists)\n        return ERROR_FILE_NOT_FOUND;\n    *phkResult = NewHandle(path, samDesired);",
           "    *phkResult = NewHandle(path, samDesired);",
           native(ct("Registry"))),
    Mutant("R03", REGISTRY, "off by one: a query buffer of exactly the value's size is too short",
           "        if (lpData && *lpcbData < size) {", "        if (lpData && *lpcbData <= size) {",
           native(ct("Registry"))),
    Mutant("R04", REGISTRY, "the disposition says created for a key that existed",
           "        *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;",
           "        *lpdwDisposition = REG_CREATED_NEW_KEY;",
           native(ct("Registry"))),
    Mutant("I01", INDEX, "a display name another service shows is not found",
           "        if (name != selfName) {\n            inUse = true;",
           "        if (name == selfName) {\n            inUse = true;",
           native(sc("display name"))),
    Mutant("I02", INDEX, "a stop looks for its dependents without the dependency lines' mark",
           "    const std::string key = Lower(std::string(kDependencyMark) + EncodeField(Lower(name)) + '\\t');",
           "    const std::string key = Lower(EncodeField(Lower(name)) + '\\t');",
           native(sc("depends on"))),
    Mutant("F01", FAULTS, "off by one: fail <Call> N strikes call N+1",
           "        if (r.call != c || (r.nth && r.nth != n))",
           "        if (r.call != c || (r.nth && r.nth != n + 1))",
           native(sc("fails:"))),
    Mutant("F02", FAULTS, "stop ignored makes a service that stops",
           "        b.stopIgnored = true;", "        b.stopIgnored = false;",
           native(sc("ignores its stop"))),
    Mutant("G01", REGFILE, "a backslash in a string value is written unescaped",
           "        if (c == '\\\\' || c == '\"')", "        if (c == '\"')",
           native(sc("install: a new elog"))),
    Mutant("G02", REGFILE, "a string read from hex(N) is written back from its bytes",
           "            if (v.wide) {", "            if (false && v.wide) {",
           native(ct("RegRoundTrip"))),
]
