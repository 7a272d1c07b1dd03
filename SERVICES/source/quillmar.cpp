// quillmar: the front end, the catalogue, the service operations and the
// console merge. See quillmar.h for the shape of the module.

#include "quillmar.h"
#include "quillmar_config.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

// ===========================================================================
// Catalogue
// ===========================================================================

FlagData flags[numFlags] = {
    {"b", "START service"},
    {"e", "STOP service"},
    {"i", "INSTALL service"},
    {"rm", "REMOVE service"},
};

const char *const ELogParms[2] = {"AppDirectory", "PFAFilename"};
const char *const FLMParms[2] = {"AppDirectory", "AppPortNumber"};

subKey ELogSubKeys[1] = {{2, "Parameters", ELogParms}};
subKey FLMSubKeys[1] = {{2, "Parameters", FLMParms}};

namespace {

// The rows as the program starts with them. A row's index is its service
// number, which the operations test by value (RowOf below).
constexpr DoublePointer catalogueRows[] = {
    {"elog", "OrvEvtLogger", "iorvelsr.exe", "PC's Orv Event Logger",
     "SYSTEM\\CurrentControlSet\\Services\\OrvEvtLogger", 1, ELogSubKeys},
    {"flm", "OrvFLM", "worvserv.exe", "Orv Field Link Manager",
     "SYSTEM\\CurrentControlSet\\Services\\OrvFLM", 1, FLMSubKeys},
    {"hv", "HalvBase", nullptr, "Halvorin service", "SOFTWARE\\Dorvane\\Halvorin", 0, nullptr},
};
static_assert(std::size(catalogueRows) == numServices,
              "numServices (quillmar.h) must count the rows of catalogueRows");

// The row of a service code, found while compiling: a row inserted or moved
// leaves every test of a row on the row it means, and a code no row has
// does not compile.
consteval DWORD RowOf(std::string_view code) {
    for (DWORD row = 0; row < numServices; ++row) {
        if (catalogueRows[row].pInputName == code) {
            return row;
        }
    }
    throw "no row of catalogueRows has this service code";
}

constexpr DWORD serviceFlm = RowOf("flm");
constexpr DWORD serviceHv = RowOf("hv");

} // namespace

// Row 1's name and title are repointed at the obsolete agent for the span
// of a migration (InstallService), so the table is a writable copy.
std::array<DoublePointer, numServices> myServices = std::to_array(catalogueRows);

namespace {

constexpr unsigned maxPolls = QUILLMAR_MAX_POLLS;
constexpr DWORD pollPauseMs = QUILLMAR_POLL_PAUSE_MS;

// The longest executable path the manager can start: MAX_PATH (260) UTF-16
// units with the terminating NUL; quotes added around a path with a blank
// do not count. The path was a fixed buffer of 300 characters once; it is
// a string of any length now, and this is the bound that matters.
constexpr std::size_t maxImagePathUnits = 259;

// The code of the most recent platform call that failed in this run. The
// installation decides after the migration of the obsolete agent from this
// record instead of the thread's last-error value, which a successful call
// may clear on a real system. A wait that ends in the wrong state counts as
// a failed call too (WaitFailed): a stop the obsolete agent ignored must end
// the installation as a refused stop does.
DWORD lastFailedCall = 0;

// Reads the last-error value right after a failed call and records it.
DWORD CallFailed() {
    lastFailedCall = GetLastError();
    return lastFailedCall;
}

// Records the failure number of a wait, which no platform call reported.
DWORD WaitFailed(DWORD errorNum) {
    lastFailedCall = errorNum;
    return errorNum;
}

// Writes an outcome text that completes an open progress line.
void ShowOutcome(const char *pText) {
    std::fputs(pText, stdout);
    std::fflush(stdout);
}

// Opens an operation's block in display mode: the service's title between
// line ends, then the progress line of its first step.
void ShowHeading(const char *pTitle, const char *pFirstStep) {
    if (display == 1) {
        std::fputs("\n", stdout);
        DisplayMsg(pTitle);
        std::fputs("\n", stdout);
        DisplayMsg(pFirstStep);
    }
}

// Opens the local Service Control Manager, reporting a failure; every
// operation asks for the right to create services, as it always has.
SC_HANDLE OpenManager(DWORD *pErrorNum) {
    SC_HANDLE hSCManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (hSCManager == nullptr) {
        *pErrorNum = CallFailed();
        DisplayError("opening service controler manager database", *pErrorNum);
    }
    return hSCManager;
}

} // namespace

// ===========================================================================
// Console reporting
// ===========================================================================

BOOL display = 0;
DWORD numTabs = 0;

namespace {

struct ErrorText {
    DWORD errorNum;
    const char *pText;
};

// Matched by number only; the errno values 1 and 9 are in the program's own
// numbering.
constexpr ErrorText errorTexts[] = {
    {5, "Service control manager handle does not have the right access"},
    {1059, "Specified a circular service dependency"},
    {52, "The display name already exists in the service control manager database"},
    {6, "Service control manager database handle is invalid"},
    {123, "The specified service name is invalid"},
    {87, "Invalid parameter"},
    {1057, "The account name does not exist, or a service is specified to share the same binary "
           "file as an already installed service but with an account name that is not the same "
           "as the installed service"},
    {1073, "The specified service already exist in this database"},
    {1060, "The service doesn't exist"},
    {1072, "The specified service has already been market for deletion"},
    {50001, "The service is already running"},
    {50002, "The service is already stopped"},
    {50003, "No valid service specified"},
    {50004, "Wrong number of parameters"},
    {50005, "This operation is not supported"},
    {50006, "The service doesn't exist"},
    {2, "No such file or directory"},
    {1, " No such file or directory"},
    {9, "Invalid parameter"},
};

const char *ErrorMessage(DWORD errorNum) {
    for (const ErrorText &entry : errorTexts) {
        if (entry.errorNum == errorNum) {
            return entry.pText;
        }
    }
    return "Other";
}

constexpr const char *pUsage =
    "quillmar.exe [-b [servicename], -e [servicename], -i [servicename] [path], -d]\n"
    " Key   Data\n"
    "---   ----\n"
    " b [servicename]    Start service\n"
    "\n"
    " e [servicename]    Stop service\n"
    "\n"
    " i [servicename] [path] <port number> <pfa full filename>\n"
    "                    Install service,\n"
    "                      <port number> is required for servicename=flm\n"
    ",                      <pfa full filename> is reqired for servicename=elog\n"
    " rm [servicename]   Remove service\n"
    "\n"
    " d    display messages (English)\n"
    "\n"
    " h    when this action is selectec just the\n"
    " ?    help will be displayed and no extra action executed\n"
    "\n"
    " [servicename]s:\n"
    "      servicename    Service Name\n"
    "      -----------    ------------\n"
    "      elog           Orv Event Logger\n"
    "      flm            Orv Field Link Manager\n"
    "      hv             Halvorin\n"
    "\n"
    "If no parameter is introduced this screen will\n"
    "be displayed.\n";

// "????" and the usage text leave in one write.
static_assert(std::char_traits<char>::length(pUsage) + 4 < streamBufferSize);

} // namespace

BOOL EnvVariable(int numArgs, char **argv, const char *pType, int *pNum) {
    BOOL result = 0;
    int index = pNum != nullptr ? *pNum : 0;
    while (index < numArgs) {
        const char *pArg = argv[index];
        if (pArg[0] == '-' && std::strcmp(pArg + 1, pType) == 0) {
            result = 1;
            break;
        }
        ++index;
    }
    if (pNum != nullptr) {
        *pNum = index;
    }
    return result;
}

void DisplayError(const char *pTxt, DWORD errorNum) {
    if (errorNum == 0) {
        return;
    }
    // Composed first and written in one piece: MinGW's formatted output
    // writes a report in pieces, cut before each line end.
    const std::string report =
        display == 1
            ? std::string(" (Error) \nError ") + pTxt + ": " + ErrorMessage(errorNum) + ".\n"
            : "\nERROR " + std::to_string(static_cast<int>(errorNum));
    // What standard output holds goes first, as it would on a console that
    // took every byte at once: a report never overtakes the line before it.
    std::fflush(stdout);
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
}

void DisplayMsg(const char *pMsg) {
    // The tabs as one string: msvcrt's fputc may write what the buffer
    // holds first.
    std::fputs(std::string(numTabs, '\t').c_str(), stdout);
    if (pMsg != nullptr) {
        std::fputs(pMsg, stdout);
    }
    std::fflush(stdout);
}

void Help() {
    std::fputs(pUsage, stdout);
}

DWORD RunQuillmar(int arg, char **argv) {
    if (arg < 3 || EnvVariable(arg, argv, "h", nullptr) == 1 ||
        EnvVariable(arg, argv, "?", nullptr) == 1) {
        std::fputs("????", stdout);
        Help();
        return 0;
    }
    DWORD numOperations = 0;
    if (EnvVariable(arg, argv, "d", nullptr) == 1) {
        display = 1;
    }
    // Before any request runs: a command line that did not arrive as typed
    // would have the requests work on other names than the ones given.
    DWORD errorNum = CheckArgumentsExact();
    if (errorNum != 0) {
        DisplayError("reading the command line", errorNum);
    } else {
        errorNum = ControlOptions(arg, argv, &numOperations);
        // A command line without any request it knows (a typo such as -B)
        // did nothing, and a script must not read that as success.
        if (errorNum == 0 && numOperations == 0) {
            errorNum = ERROR_INVALID_PARAMETER;
            DisplayError("reading the command line", errorNum);
        }
    }
    if (numOperations == 0) {
        Help();
    } else if (display == 1) {
        std::fputs("\nFinished.\n", stdout);
    }
    return errorNum;
}

// ===========================================================================
// Dispatch
// ===========================================================================

DWORD GetAllNumParameters(DWORD serviceNum) {
    const DoublePointer &service = myServices[serviceNum];
    DWORD numParameters = 0;
    for (DWORD subKeyNum = 0; subKeyNum < service.numSubKeys; ++subKeyNum) {
        numParameters += service.pSubKeys[subKeyNum].numParms;
    }
    return numParameters;
}

namespace {

// Completes "Searching for the service information ." right before the
// operation runs.
void ShowLookupOkay() {
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
    }
}

// Runs the install request found at argv[*pArgNum] (the service code) and
// leaves *pArgNum on its last argument.
DWORD DispatchInstall(int numArgs, char **argv, int *pArgNum, DWORD serviceNum) {
    if (serviceNum == serviceHv) {
        ++*pArgNum;
        if (*pArgNum < numArgs) {
            ShowLookupOkay();
            return MergeHalvorin(argv[*pArgNum]);
        }
        DisplayError("updating parameters value", errorWrongNumParms);
        return errorWrongNumParms;
    }
    // The count is at most a few, so it fits the signed index.
    const int numParms = static_cast<int>(GetAllNumParameters(serviceNum));
    DWORD errorNum = 0;
    if (*pArgNum < numArgs - numParms) {
        ShowLookupOkay();
        errorNum = InstallService(serviceNum, &argv[*pArgNum + 1]);
    } else {
        errorNum = errorWrongNumParms;
        DisplayError("updating parameters value", errorNum);
    }
    *pArgNum += numParms;
    return errorNum;
}

DWORD DispatchRequest(unsigned flagNum, int numArgs, char **argv, int *pArgNum, DWORD serviceNum) {
    switch (flagNum) {
    case 0:
        ShowLookupOkay();
        return StartStopService(actionStart, serviceNum);
    case 1:
        ShowLookupOkay();
        return StartStopService(actionStop, serviceNum);
    case 2:
        return DispatchInstall(numArgs, argv, pArgNum, serviceNum);
    default:
        ShowLookupOkay();
        return RemoveService(serviceNum);
    }
}

// Finds the catalogue row of a service code; numServices when none.
DWORD FindService(const char *pCode) {
    DWORD serviceNum = 0;
    while (serviceNum < numServices && std::strcmp(myServices[serviceNum].pInputName, pCode) != 0) {
        ++serviceNum;
    }
    return serviceNum;
}

} // namespace

DWORD ControlOptions(int numArgs, char **argv, DWORD *pNumOperations) {
    DWORD errorNum = 0;
    // errorNum keeps the last result, which alone decides whether the next
    // pass runs; a failure that a later success in its pass overwrote must
    // still reach the exit status, or a script would read it as success.
    DWORD lastFailed = 0;
    int argNum = 0;
    // One scan of the whole command line per operation, in table order: all
    // starts, then all stops, installs and removes.
    for (unsigned flagNum = 0; flagNum < numFlags && errorNum == 0; ++flagNum, argNum = 1) {
        while (argNum < numArgs - 1) {
            if (EnvVariable(numArgs, argv, flags[flagNum].pFlag, &argNum) != 1) {
                continue;
            }
            if (display == 1) {
                // One string: a lone "\n" becomes an fputc, which msvcrt
                // lets write what the buffer holds first.
                std::fputs((std::string(flags[flagNum].pInfo) + "\n").c_str(), stdout);
            }
            ++argNum;
            if (argNum >= numArgs) {
                errorNum = errorWrongNumParms;
                DisplayError("", errorNum);
                return errorNum;
            }
            if (display == 1) {
                ++numTabs;
                DisplayMsg("Searching for the service information .");
            }
            const DWORD serviceNum = FindService(argv[argNum]);
            if (serviceNum == numServices) {
                errorNum = errorNoValidService;
                DisplayError("searching for service", errorNum);
                return errorNum;
            }
            errorNum = DispatchRequest(flagNum, numArgs, argv, &argNum, serviceNum);
            if (errorNum != 0) {
                lastFailed = errorNum;
            }
            if (display == 1) {
                --numTabs;
            }
            ++*pNumOperations;
            ++argNum;
        }
    }
    return errorNum != 0 ? errorNum : lastFailed;
}

// ===========================================================================
// Start and stop
// ===========================================================================

namespace {

// Opens the row's service with the given access; row 1 falls back to the
// agent's obsolete name without a word.
SC_HANDLE OpenCatalogueService(SC_HANDLE hSCManager, DWORD serviceNum, DWORD access) {
    SC_HANDLE hSCService = OpenServiceA(hSCManager, myServices[serviceNum].pServiceName, access);
    if (hSCService == nullptr && serviceNum == serviceFlm) {
        CallFailed();
        hSCService = OpenServiceA(hSCManager, pObsoleteFlmName, access);
    }
    return hSCService;
}

// Polls until the service is in dwTargetState, at most maxPolls times, and
// reports how the wait ended. Returns 0 or the code of a failed query.
DWORD WaitForState(SC_HANDLE hSCService, SERVICE_STATUS *pStatus, DWORD dwTargetState, bool start) {
    // Nothing written stays behind for the length of a wait.
    std::fflush(stdout);
    BOOL rc = TRUE;
    if (display == 1) {
        ShowOutcome(".");
    }
    for (unsigned numTries = 0; numTries < maxPolls; ++numTries) {
        rc = QueryServiceStatus(hSCService, pStatus);
        if (rc != TRUE || pStatus->dwCurrentState == dwTargetState) {
            break;
        }
        if (display == 1) {
            ShowOutcome(".");
        }
        Sleep(pollPauseMs);
    }
    if (rc != TRUE) {
        const DWORD errorNum = CallFailed();
        DisplayError("Fail to get status", errorNum);
        return errorNum;
    }
    if (display == 1) {
        if (pStatus->dwCurrentState == dwTargetState) {
            ShowOutcome(" (Okay)\n");
            DisplayMsg(start ? ">>>> Service started! <<<<\n" : ">>>> Service stopped! <<<<\n");
        } else {
            ShowOutcome("\n\n");
            DisplayMsg(">>>> Service status unknown! <<<<\n");
        }
    }
    // A start that ends with the service stopped again has failed, however
    // the wait reads; scripts must not take it for a started service. A
    // service still pending may yet come up, and a stop still pending is
    // what a removal goes on from, so both stay no error.
    if (start && pStatus->dwCurrentState == SERVICE_STOPPED) {
        const DWORD errorNum = WaitFailed(pStatus->dwWin32ExitCode != 0 ? pStatus->dwWin32ExitCode
                                                                        : ERROR_PROCESS_ABORTED);
        DisplayError("starting service", errorNum);
        return errorNum;
    }
    // Likewise a stop that the service accepted and then ignored: it is
    // still running, and a removal must not mark it for deletion (the name
    // would stay taken until it stops).
    if (!start && pStatus->dwCurrentState == SERVICE_RUNNING) {
        const DWORD errorNum = WaitFailed(ERROR_SERVICE_REQUEST_TIMEOUT);
        DisplayError("stopping service", errorNum);
        return errorNum;
    }
    return 0;
}

// Everything after both handles are open; the caller closes them.
DWORD StartStopOpened(SC_HANDLE hSCService, bool start) {
    SERVICE_STATUS status{};
    const DWORD dwCurrentState = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
        DisplayMsg("Querying service status .");
    }
    bool queried = true;
    if (QueryServiceStatus(hSCService, &status) == FALSE) {
        // Not fatal: the request is sent all the same.
        DisplayError("getting status", CallFailed());
        queried = false;
    } else if (status.dwCurrentState == dwCurrentState) {
        const DWORD errorNum = start ? errorAlreadyRunning : errorAlreadyStopped;
        DisplayError("invalid action", errorNum);
        return errorNum;
    }
    if (display == 1) {
        if (queried) {
            std::fputs(".. (Okay) \n", stdout);
        }
        DisplayMsg(start ? "Starting service ." : "Stopping service .");
        std::fflush(stdout);
    }
    const BOOL accepted = start ? StartServiceA(hSCService, 0, nullptr)
                                : ControlService(hSCService, SERVICE_CONTROL_STOP, &status);
    if (accepted == FALSE) {
        const DWORD errorNum = CallFailed();
        DisplayError(start ? "starting service" : "stopping service", errorNum);
        return errorNum;
    }
    return WaitForState(hSCService, &status, dwCurrentState, start);
}

} // namespace

DWORD StartStopService(DWORD action, DWORD serviceNum) {
    const DoublePointer &service = myServices[serviceNum];
    const bool start = action == actionStart;
    ShowHeading(service.pServiceTitle, "Opening service control manager database .");
    DWORD errorNum = 0;
    SC_HANDLE hSCManager = OpenManager(&errorNum);
    if (hSCManager == nullptr) {
        return errorNum;
    }
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
        DisplayMsg("Opening service .");
    }
    SC_HANDLE hSCService = OpenCatalogueService(hSCManager, serviceNum, action);
    if (hSCService == nullptr) {
        errorNum = CallFailed();
        DisplayError("opening service", errorNum);
        CloseServiceHandle(hSCManager);
        return errorNum;
    }
    errorNum = StartStopOpened(hSCService, start);
    CloseServiceHandle(hSCService);
    CloseServiceHandle(hSCManager);
    return errorNum;
}

// ===========================================================================
// Removal
// ===========================================================================

DWORD RemoveService(DWORD serviceNum) {
    const DoublePointer &service = myServices[serviceNum];
    if (service.pServiceFilename == nullptr) {
        DisplayError("removing service ", errorNotSupported);
        return errorNotSupported;
    }
    // An already stopped service is deleted all the same; its 50002 stays
    // the result.
    DWORD errorNum = StartStopService(actionStop, serviceNum);
    if (errorNum != 0 && errorNum != errorAlreadyStopped) {
        return errorNum;
    }
    ShowHeading(service.pServiceTitle, "Opening service control manager database .");
    SC_HANDLE hSCManager = OpenManager(&errorNum);
    if (hSCManager == nullptr) {
        return errorNum;
    }
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
        DisplayMsg("Opening service .");
    }
    SC_HANDLE hSCService = OpenServiceA(hSCManager, service.pServiceName, DELETE);
    if (hSCService == nullptr) {
        errorNum = CallFailed();
        DisplayError("opening service", errorNum);
        CloseServiceHandle(hSCManager);
        return errorNum;
    }
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
        DisplayMsg("Closing service .");
    }
    if (DeleteService(hSCService) == FALSE) {
        errorNum = CallFailed();
        DisplayError("deleting service ", errorNum);
    } else if (display == 1) {
        ShowOutcome(".. (Okay)\n");
        DisplayMsg(">>>> Service removed <<<<");
    }
    CloseServiceHandle(hSCService);
    CloseServiceHandle(hSCManager);
    return errorNum;
}

// ===========================================================================
// Installation
// ===========================================================================

namespace {

// Whether the manager's expansion of the executable path (REG_EXPAND_SZ)
// could change it: a '%', at least one character that is no '%', and a
// '%'. The manager expands with its own environment, which we cannot see,
// so a name undefined here counts as well: it may be defined where the
// service starts.
bool MayExpand(const char *pDirectory) {
    const char *pOpen = std::strchr(pDirectory, '%');
    while (pOpen != nullptr) {
        const char *pClose = std::strchr(pOpen + 1, '%');
        if (pClose == nullptr) {
            return false;
        }
        if (pClose > pOpen + 1) {
            return true;
        }
        // "%%" names nothing, but its second '%' may open a name.
        pOpen = pClose;
    }
    return false;
}

// ASCII letters compared without their case, as Windows compares names.
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// The prefix of an extended-length path ("\\?\C:\...", "\\?\UNC\server\share\..."),
// which Windows hands on as it stands: no "/" becomes "\", no empty
// component is dropped, no "." or ".." resolved.
constexpr std::string_view extendedPrefix = "\\\\?\\";

// Whether what follows that prefix names its place as it stands: components
// neither empty nor "." nor "..", no "/", and after "UNC" a server and a
// share.
bool IsVerbatimPath(std::string_view rest) {
    std::size_t numComponents = 0;
    bool unc = false;
    for (;;) {
        const std::string_view component = rest.substr(0, rest.find('\\'));
        if (component.empty() || component == "." || component == ".." ||
            component.find('/') != std::string_view::npos) {
            return false;
        }
        unc = unc || (numComponents == 0 && EqualsIgnoringCase(component, "UNC"));
        ++numComponents;
        if (component.size() == rest.size()) {
            return !unc || numComponents >= 3;
        }
        rest.remove_prefix(component.size() + 1);
    }
}

// The executable path registered with the Service Control Manager. A path
// with a blank or tab is quoted, or Windows would first try to run
// "C:\Program.exe" and the like as LocalSystem. Empty when the directory
// gives no path the manager would start as typed: a relative one, which it
// would resolve against its own current directory rather than the
// administrator's; one holding a quote, which no Windows name has and
// which would end the quoting early and hand the rest of the path to the
// service as its arguments; one the manager's expansion could turn into
// another program's path; an extended-length one with a "/" or an empty,
// "." or ".." component, which only the normalising that form skips would
// resolve; or one too long for the manager to start.
std::string ExecutablePath(const char *pDirectory, const char *pFilename) {
    if (!IsAbsoluteDirectory(pDirectory) || std::strchr(pDirectory, '"') != nullptr ||
        MayExpand(pDirectory)) {
        return {};
    }
    std::string directory = pDirectory;
    if (directory.rfind(extendedPrefix, 0) == 0) {
        // The one trailing backslash with which installers write a folder
        // goes: nothing would fold it into the one added below. An ordinary
        // path keeps it, as it always has; Windows folds the two there.
        if (directory.back() == '\\') {
            directory.pop_back();
        }
        if (!IsVerbatimPath(std::string_view(directory).substr(extendedPrefix.size()))) {
            return {};
        }
    }
    std::string path = directory + "\\" + pFilename;
    if (CountUtf16Units(path.c_str()) > maxImagePathUnits) {
        return {};
    }
    if (path.find_first_of(" \t") != std::string::npos) {
        path = "\"" + path + "\"";
    }
    return path;
}

constexpr DWORD entryType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;

// Creates the row's service entry; writes nothing.
SC_HANDLE CreateEntry(SC_HANDLE hSCManager, const DoublePointer &service, const std::string &path) {
    return CreateServiceA(hSCManager, service.pServiceName, service.pServiceTitle,
                          STANDARD_RIGHTS_REQUIRED | SERVICE_INTERROGATE | SERVICE_QUERY_STATUS,
                          entryType, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(),
                          nullptr, nullptr, nullptr, nullptr, nullptr);
}

// Completes "Checking service existens ." for an entry that is created, and
// opens the creation's line.
void ShowCreating() {
    if (display == 1) {
        ShowOutcome(".. (Doesn't exist)\n");
        DisplayMsg("Creating service .");
    }
}

// Completes the creation's line, or reports its failure (errorNum). Returns
// 0 or errorNum.
DWORD ShowCreated(SC_HANDLE hSCService, DWORD errorNum) {
    if (hSCService == nullptr) {
        DisplayError("creating service", errorNum);
        return errorNum;
    }
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
    }
    return 0;
}

// Sets a service's display name and nothing else. Returns 0 or the error
// number.
DWORD SetTitle(SC_HANDLE hSCService, const char *pTitle) {
    return ChangeServiceConfigA(hSCService, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                pTitle) == FALSE
               ? CallFailed()
               : 0;
}

// Creates the agent's entry while the obsolete agent still stands. Where
// the host lets no two services show one title, the old agent's own title
// may be what it refuses (1078): an old installation may have given the
// old agent the agent's title. The old agent then takes its obsolete title
// for the creation, and *pLentTitle keeps its own to give back. Returns the
// entry, or null with *pErrorNum the creation's error number.
SC_HANDLE CreateBesideObsolete(SC_HANDLE hSCManager, SC_HANDLE hObsolete, const std::string &path,
                               std::string *pLentTitle, DWORD *pErrorNum) {
    const DoublePointer &flm = myServices[serviceFlm];
    SC_HANDLE hSCService = CreateEntry(hSCManager, flm, path);
    if (hSCService != nullptr) {
        return hSCService;
    }
    *pErrorNum = CallFailed();
    if (*pErrorNum != ERROR_DUPLICATE_SERVICE_NAME) {
        return nullptr;
    }
    // Room for the agent's title alone: a title that does not fit is longer,
    // so another.
    std::string shown(std::strlen(flm.pServiceTitle) + 1, '\0');
    DWORD size = static_cast<DWORD>(shown.size());
    if (GetServiceDisplayNameA(hSCManager, pObsoleteFlmName, shown.data(), &size) == FALSE) {
        CallFailed();
        return nullptr;
    }
    shown.resize(std::strlen(shown.c_str()));
    if (!EqualsIgnoringCase(shown, flm.pServiceTitle) ||
        SetTitle(hObsolete, pObsoleteFlmTitle) != 0) {
        return nullptr;
    }
    *pLentTitle = shown;
    hSCService = CreateEntry(hSCManager, flm, path);
    if (hSCService == nullptr) {
        *pErrorNum = CallFailed();
    }
    return hSCService;
}

// Gives the obsolete agent its own title back when it lent it.
void GiveTitleBack(SC_HANDLE hObsolete, const std::string &lentTitle) {
    if (!lentTitle.empty()) {
        DisplayError("changing service configuration", SetTitle(hObsolete, lentTitle.c_str()));
    }
}

// Stops and deletes the obsolete agent under its own name and title.
// Returns the code of the last call that failed in it, or 0: a refused or
// ignored stop, a deletion that failed.
DWORD RetireObsoleteFlm() {
    DoublePointer &flm = myServices[serviceFlm];
    const char *pName = flm.pServiceName;
    const char *pTitle = flm.pServiceTitle;
    flm.pServiceName = pObsoleteFlmName;
    flm.pServiceTitle = pObsoleteFlmTitle;
    lastFailedCall = 0;
    RemoveService(serviceFlm);
    flm.pServiceName = pName;
    flm.pServiceTitle = pTitle;
    return lastFailedCall;
}

// Replaces the obsolete agent with the agent's entry when the agent does
// not exist (*pErrorNum: 1060 from its open) and the old agent does. The
// entry is created first, while the old agent stands untouched, so that a
// creation the host refuses (a display name that is another service's
// name, or where titles must be unique another's title: 1078) leaves the
// old agent running with its parameters. The lines keep their order: the
// removal's, then the creation's. Returns the entry; otherwise null with
// *pErrorNum the code that decides: the old agent's failed open (1060 when
// there is none), the agent's own open, or the removal's failed call, and
// *pShown set when the creation's failure has been reported.
SC_HANDLE MigrateObsoleteFlm(SC_HANDLE hSCManager, const std::string &path, DWORD *pErrorNum,
                             bool *pShown) {
    SC_HANDLE hObsolete = OpenServiceA(hSCManager, pObsoleteFlmName, SERVICE_CHANGE_CONFIG);
    if (hObsolete == nullptr) {
        *pErrorNum = CallFailed();
        return nullptr;
    }
    // An agent that exists but cannot be opened replaces nothing.
    if (*pErrorNum != ERROR_SERVICE_DOES_NOT_EXIST) {
        CloseServiceHandle(hObsolete);
        return nullptr;
    }
    std::string lentTitle;
    SC_HANDLE hSCService = CreateBesideObsolete(hSCManager, hObsolete, path, &lentTitle, pErrorNum);
    if (hSCService != nullptr) {
        const DWORD removalError = RetireObsoleteFlm();
        if (removalError != 0) {
            // The old agent stays, so no second agent stands beside it.
            if (DeleteService(hSCService) == FALSE) {
                DisplayError("deleting service ", CallFailed());
            }
            CloseServiceHandle(hSCService);
            GiveTitleBack(hObsolete, lentTitle);
            CloseServiceHandle(hObsolete);
            *pErrorNum = removalError;
            return nullptr;
        }
    }
    ShowCreating();
    *pErrorNum = ShowCreated(hSCService, *pErrorNum);
    *pShown = true;
    if (hSCService == nullptr) {
        GiveTitleBack(hObsolete, lentTitle);
    }
    CloseServiceHandle(hObsolete);
    return hSCService;
}

// Stage 1: creates or reconfigures the service entry. Returns 0 or the
// error number that ends the installation.
DWORD InstallServiceEntry(DWORD serviceNum, const std::string &path) {
    const DoublePointer &service = myServices[serviceNum];
    DWORD errorNum = 0;
    SC_HANDLE hSCManager = OpenManager(&errorNum);
    if (hSCManager == nullptr) {
        return errorNum;
    }
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
        DisplayMsg("Checking service existens .");
    }
    if (path.empty()) {
        // Refused before anything is changed rather than registered cut
        // short or broken.
        DisplayError("forming the executable path", ERROR_INVALID_PARAMETER);
        CloseServiceHandle(hSCManager);
        return ERROR_INVALID_PARAMETER;
    }
    SC_HANDLE hSCService = OpenServiceA(hSCManager, service.pServiceName, SERVICE_CHANGE_CONFIG);
    if (hSCService != nullptr) {
        if (display == 1) {
            ShowOutcome(".. (Exist)\n");
            DisplayMsg("Changing service configuration .");
        }
        if (ChangeServiceConfigA(hSCService, entryType, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                 service.pServiceTitle) != TRUE) {
            errorNum = CallFailed();
            DisplayError("changing service configuration", errorNum);
        } else if (display == 1) {
            ShowOutcome(".. (Okay)\n");
        }
    } else {
        errorNum = CallFailed();
        bool shown = false;
        if (serviceNum == serviceFlm) {
            hSCService = MigrateObsoleteFlm(hSCManager, path, &errorNum, &shown);
        }
        if (!shown && errorNum == ERROR_SERVICE_DOES_NOT_EXIST) {
            ShowCreating();
            hSCService = CreateEntry(hSCManager, service, path);
            errorNum = ShowCreated(hSCService, hSCService == nullptr ? CallFailed() : 0);
        } else if (!shown) {
            DisplayError("opening service", errorNum);
        }
    }
    if (hSCService != nullptr) {
        CloseServiceHandle(hSCService);
    }
    CloseServiceHandle(hSCManager);
    return errorNum;
}

// Writes the values of one sub-key from the install arguments. Returns 0 or
// the registry's error code.
DWORD WriteSubKeyValues(HKEY newKey, const subKey &record, char **ppParms) {
    DWORD errorNum = 0;
    for (DWORD parmNum = 0; parmNum < record.numParms && errorNum == 0; ++parmNum) {
        const char *pName = record.ppParmsName[parmNum];
        const char *pValue = ppParms[parmNum];
        if (display == 1) {
            DisplayMsg("");
            std::fputs("Updating the application parameter ", stdout);
            std::fputs(pName, stdout);
            std::fputs(" ..", stdout);
            std::fflush(stdout);
        }
        // The value is stored with its terminating NUL counted.
        const std::size_t numBytes = std::strlen(pValue) + 1;
        if (numBytes > 0xFFFFFFFFU) {
            errorNum = ERROR_INVALID_PARAMETER;
        } else {
            errorNum = static_cast<DWORD>(RegSetValueExA(newKey, pName, 0, REG_SZ,
                                                         reinterpret_cast<const BYTE *>(pValue),
                                                         static_cast<DWORD>(numBytes)));
        }
        if (errorNum == 0) {
            if (display == 1) {
                ShowOutcome(". (Okay)\n");
            }
        } else {
            const std::string message =
                std::string("seting parameter ") + pName + ", value " + pValue;
            DisplayError(message.c_str(), errorNum);
        }
    }
    return errorNum;
}

// Stage 2: the service's parameters under its registry key.
DWORD InstallParameters(DWORD serviceNum, char **ppParms) {
    const DoublePointer &service = myServices[serviceNum];
    if (display == 1) {
        DisplayMsg("Opening service key .");
    }
    HKEY openKey = nullptr;
    DWORD errorNum = static_cast<DWORD>(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, service.pKey, 0, KEY_CREATE_SUB_KEY, &openKey));
    if (errorNum != 0) {
        DisplayError("opening specified key", errorNum);
        return errorNum;
    }
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
    }
    ++numTabs;
    for (DWORD subKeyNum = 0; subKeyNum < service.numSubKeys && errorNum == 0; ++subKeyNum) {
        const subKey &record = service.pSubKeys[subKeyNum];
        if (display == 1) {
            DisplayMsg("Creating subkey ");
            std::fputs(record.pName, stdout);
            std::fputs(" .", stdout);
            std::fflush(stdout);
        }
        HKEY newKey = nullptr;
        DWORD disposition = 0;
        errorNum = static_cast<DWORD>(RegCreateKeyExA(openKey, record.pName, 0, nullptr,
                                                      REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                                      nullptr, &newKey, &disposition));
        if (errorNum != 0) {
            DisplayError("creating subkey", errorNum);
            break;
        }
        if (display == 1) {
            ShowOutcome(".. (Okay)\n");
        }
        ++numTabs;
        errorNum = WriteSubKeyValues(newKey, record, ppParms);
        RegCloseKey(newKey);
        --numTabs;
    }
    --numTabs;
    RegCloseKey(openKey);
    return errorNum;
}

} // namespace

DWORD InstallService(DWORD serviceNum, char **ppParms) {
    const DoublePointer &service = myServices[serviceNum];
    if (service.pServiceFilename == nullptr) {
        DisplayError("installing service ", errorNotSupported);
        return errorNotSupported;
    }
    ShowHeading(service.pServiceTitle, "Opening service controler manager database .");
    DWORD errorNum =
        InstallServiceEntry(serviceNum, ExecutablePath(ppParms[0], service.pServiceFilename));
    if (errorNum != 0) {
        return errorNum;
    }
    errorNum = InstallParameters(serviceNum, ppParms);
    if (errorNum == 0) {
        // The one line written outside display mode too.
        DisplayMsg(">>>> Service installed <<<<");
        std::fputs("\n", stdout);
    }
    return errorNum;
}

// ===========================================================================
// Console INI merge
// ===========================================================================

DWORD MergeHalvorin(const char *pPath) {
    if (display == 1) {
        DisplayMsg("Update Halvorin\n");
        DisplayMsg("Backing up Halvorin Service Manager INI file .");
    }
    // A directory that depends on a drive's state must not be half
    // resolved: "C:" joined to "\hvcons.ini" names the drive's root, while
    // the tool would start in the drive's current directory, and the merge
    // would change a file that has no backup. Refused rather than resolved,
    // before anything changes: who typed "C:" most likely meant "C:\".
    if (IsDriveRelativeDirectory(pPath)) {
        DisplayError("coping hvcons.ini to hvcons.old ", ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    // The first backup is never replaced; an empty directory names no
    // directory at all (not the root of the current drive); and a directory
    // the tool could not be started in is refused before the backup, so
    // that nothing changes for a merge that cannot run.
    if (pPath[0] == '\0' || CheckProgramDirectory(pPath, "hvcfgmrg.exe") != 0 ||
        CopyFileIfAbsent(pPath, "hvcons.ini", "hvcons.old") != 0) {
        DisplayError("coping hvcons.ini to hvcons.old ", errorNoSuchFile);
        return errorNoSuchFile;
    }
    if (display == 1) {
        ShowOutcome(".. (Okay)\n");
        DisplayMsg("Merging Orv FLM ini file .");
    }
    const char *const ppArgs[] = {"merge", "orv.ini"};
    DWORD exitStatus = 0;
    // The tool's messages reach our standard error or console directly.
    std::fflush(stdout);
    // A tool that cannot be started at all counts as missing.
    DWORD errorNum = RunProgramIn(pPath, "hvcfgmrg.exe", ppArgs, 2, &exitStatus) != 0
                         ? errorNoSuchFile
                         : exitStatus;
    if (errorNum != 0) {
        DisplayError("merging orv.ini into hvcons.ini", errorNum);
    } else if (display == 1) {
        ShowOutcome(".. (Okay)\n");
    }
    return errorNum;
}
