// The Service Control Manager of the simulated machine. Configuration is
// the registry's (SYSTEM\CurrentControlSet\Services\<name>); what a
// service is doing right now lives in scm/<name>.state, and advances only
// when someone asks (QueryServiceStatus), never with the wall clock, so
// tests are exact.
#include "sim_internal.h"

#include <cstring>
#include <memory>
#include <set>

struct SC_HANDLE__ {
    bool isService;
    DWORD access;
    std::string name; // the service's name as the registry spells it
};

using namespace quillmar::sim;

namespace {

std::set<SC_HANDLE> g_handles;

constexpr DWORD kStandardRead = 0x00020000U;
constexpr DWORD kWaitHintMs = 2000;
constexpr std::size_t kMaxServiceName = 256;

template <typename T> T Fail(DWORD code, T result) {
    SetLastErrorCode(code);
    return result;
}

DWORD MapManagerAccess(DWORD a) {
    DWORD out =
        a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (a & GENERIC_READ)
        out |= kStandardRead | SC_MANAGER_ENUMERATE_SERVICE | 0x10U;
    if (a & GENERIC_WRITE)
        out |= SC_MANAGER_CREATE_SERVICE | 0x20U;
    if (a & GENERIC_EXECUTE)
        out |= SC_MANAGER_CONNECT | 0x08U;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED))
        out |= SC_MANAGER_ALL_ACCESS;
    return out | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD a) {
    DWORD out =
        a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (a & GENERIC_READ)
        out |= kStandardRead | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
               SERVICE_ENUMERATE_DEPENDENTS;
    if (a & GENERIC_WRITE)
        out |= kStandardRead | SERVICE_CHANGE_CONFIG;
    if (a & GENERIC_EXECUTE)
        out |= kStandardRead | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
               SERVICE_USER_DEFINED_CONTROL;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED))
        out |= SERVICE_ALL_ACCESS;
    return out;
}

SC_HANDLE NewHandle(bool isService, DWORD access, std::string name) {
    SC_HANDLE h = new SC_HANDLE__{isService, access, std::move(name)};
    g_handles.insert(h);
    return h;
}

bool IsHandle(SC_HANDLE h, bool isService) {
    return g_handles.count(h) && h->isService == isService;
}

KeyPath ServiceKey(std::string_view name) {
    return {"SYSTEM", "CurrentControlSet", "Services", std::string(name)};
}

// The service's key when it is a service (has a Type), else nullptr.
LONG FindService(Txn &txn, std::string_view name, RegKey *&key) {
    RegDoc *doc = nullptr;
    key = nullptr;
    if (LONG rc = txn.Doc(ServiceRegFile(name), doc))
        return rc;
    RegKey *k = doc->FindKey(ServiceKey(name));
    if (k && k->FindValue("Type"))
        key = k;
    return ERROR_SUCCESS;
}

DWORD DwordOf(const RegKey &key, std::string_view name, DWORD fallback) {
    const RegValue *v = key.FindValue(name);
    if (!v || v->data.size() != 4)
        return fallback;
    DWORD d = 0;
    for (int i = 3; i >= 0; --i)
        d = (d << 8) | static_cast<unsigned char>(v->data[static_cast<std::size_t>(i)]);
    return d;
}

std::string DwordBytes(DWORD d) {
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((d >> (8 * i)) & 0xFF);
    return out;
}

std::string SzBytes(std::string_view s) {
    std::string out(s);
    out += '\0';
    return out;
}

std::string MultiSzBytes(const char *list) {
    std::string out;
    for (const char *p = list; *p; p += std::strlen(p) + 1) {
        out += p;
        out += '\0';
    }
    out += '\0';
    return out;
}

// ---------------------------------------------------------------- runtime state

struct RunState {
    DWORD state = SERVICE_STOPPED;
    std::int64_t polls = 0;       // polls left in a pending state, or kNever
    DWORD then = SERVICE_STOPPED; // where a pending state ends
    DWORD checkpoint = 0;
    DWORD exitCode = 0;
    // The exit code a start that ends STOPPED reports.
    DWORD thenExitCode = ERROR_PROCESS_ABORTED;
    // DeleteService marked it: it goes once stopped and no longer open.
    bool deleted = false;
};

const char *StateName(DWORD s) {
    switch (s) {
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    default:
        return "STOPPED";
    }
}

bool StateFromName(std::string_view n, DWORD &out) {
    for (DWORD s : {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_RUNNING})
        if (IEquals(n, StateName(s))) {
            out = s;
            return true;
        }
    return false;
}

bool ParseUnsigned(std::string_view s, std::uint64_t max, std::uint64_t &out) {
    if (s.empty() || s.size() > 19)
        return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return out <= max;
}

bool ParseState(std::string_view text, RunState &st, TextError &err) {
    std::size_t lineNo = 0;
    for (std::string_view line : SplitLines(text)) {
        ++lineNo;
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t eq = line.find('=');
        std::string_view key = line.substr(0, eq),
                         value = eq == line.npos ? "" : line.substr(eq + 1);
        std::uint64_t n = 0;
        bool ok = eq != line.npos;
        if (!ok) {
        } else if (key == "state") {
            ok = StateFromName(value, st.state);
        } else if (key == "then") {
            ok = StateFromName(value, st.then);
        } else if (key == "polls") {
            if (value == "never")
                st.polls = kNever;
            else if ((ok = ParseUnsigned(value, 1000000000, n)))
                st.polls = static_cast<std::int64_t>(n);
        } else if (key == "checkpoint" || key == "exitcode" || key == "thenexitcode") {
            ok = ParseUnsigned(value, 0xFFFFFFFFULL, n);
            (key == "checkpoint" ? st.checkpoint
             : key == "exitcode" ? st.exitCode
                                 : st.thenExitCode) = static_cast<DWORD>(n);
        } else if (key == "deleted") {
            ok = value == "0" || value == "1";
            st.deleted = value == "1";
        } else {
            ok = false;
        }
        if (!ok) {
            err = {lineNo, "expected state=, polls=, then=, checkpoint=, exitcode=, "
                           "thenexitcode= or deleted= with a valid value"};
            return false;
        }
    }
    return true;
}

// report: say what is wrong with a damaged file. Housekeeping reads pass
// false and leave the report to the call that needs the state.
LONG LoadState(Txn &txn, std::string_view name, RunState &st, bool report = true) {
    st = RunState{};
    const std::string rel = ServiceStateFile(name);
    std::string path = txn.Abs(rel);
    std::string text;
    bool exists = false;
    if (LONG rc = ReadWholeFile(txn.GetMachine(), rel, text, exists, report))
        return rc;
    TextError err;
    if (exists && !ParseState(text, st, err)) {
        if (report)
            ReportOnce(path, "line " + std::to_string(err.line) + ": " + err.what);
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

LONG SaveState(Txn &txn, std::string_view name, const RunState &st) {
    std::string text =
        "# quillmar simulated machine: runtime state of service " + std::string(name) + "\n";
    text += "state=" + std::string(StateName(st.state)) + "\n";
    if (st.state == SERVICE_START_PENDING || st.state == SERVICE_STOP_PENDING) {
        text += "polls=" + (st.polls == kNever ? std::string("never") : std::to_string(st.polls)) +
                "\n";
        text += "then=" + std::string(StateName(st.then)) + "\n";
        text += "checkpoint=" + std::to_string(st.checkpoint) + "\n";
        if (st.state == SERVICE_START_PENDING && st.then == SERVICE_STOPPED)
            text += "thenexitcode=" + std::to_string(st.thenExitCode) + "\n";
    }
    text += "exitcode=" + std::to_string(st.exitCode) + "\n";
    if (st.deleted)
        text += "deleted=1\n";
    return WriteFileAtomic(txn.GetMachine(), ServiceStateFile(name), text);
}

bool IsPending(const RunState &st) {
    return st.state == SERVICE_START_PENDING || st.state == SERVICE_STOP_PENDING;
}

// One status query's worth of progress; true when something changed.
bool Poll(RunState &st) {
    if (!IsPending(st) || st.polls == kNever)
        return false; // a hung service does not advance its checkpoint
    if (st.polls == 0) {
        if (st.state == SERVICE_START_PENDING && st.then == SERVICE_STOPPED)
            st.exitCode = st.thenExitCode;
        st.state = st.then;
        st.checkpoint = 0;
    } else {
        --st.polls;
        ++st.checkpoint;
    }
    return true;
}

void FillStatus(const RegKey &key, const RunState &st, LPSERVICE_STATUS out) {
    out->dwServiceType = DwordOf(key, "Type", SERVICE_WIN32_OWN_PROCESS);
    out->dwCurrentState = st.state;
    out->dwControlsAccepted = st.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    out->dwWin32ExitCode = st.exitCode;
    out->dwServiceSpecificExitCode = 0;
    out->dwCheckPoint = IsPending(st) ? st.checkpoint : 0;
    out->dwWaitHint = IsPending(st) ? kWaitHintMs : 0;
}

// ---------------------------------------------------------------- deletion
//
// As on Windows, DeleteService only marks a service (deleted=1 in its state
// file); it goes once it is stopped and nothing holds it open. Handles live
// in one process, so only this process's count, and another program's as
// `service <Name> held` in the settings says: whoever next finds a marked
// service stopped and unheld removes it.

bool HeldHere(std::string_view name) {
    for (SC_HANDLE h : g_handles)
        if (h->isService && IEquals(h->name, name))
            return true;
    return false;
}

bool Held(const Txn &txn, std::string_view name) {
    return HeldHere(name) || txn.GetSettings().BehaviourOf(name).held;
}

bool Removable(const Txn &txn, std::string_view name, const RunState &st) {
    return st.deleted && st.state == SERVICE_STOPPED && !Held(txn, name);
}

// The service's key, everything below it, and its state file.
LONG RemoveService(Txn &txn, std::string_view name) {
    std::string rel = ServiceRegFile(name);
    RegDoc *doc = nullptr;
    if (LONG rc = txn.Doc(rel, doc))
        return rc;
    doc->RemoveSubtree(ServiceKey(name));
    txn.MarkDirty(rel);
    if (LONG rc = txn.Commit())
        return rc;
    return RemoveFile(txn.GetMachine(), ServiceStateFile(name));
}

// A marked service that has stopped and that nobody holds is removed now
// (removed = true). A state file that cannot be read is left to the calls
// that need it.
LONG RemoveIfDone(Txn &txn, std::string_view name, bool &removed) {
    removed = false;
    RunState st;
    if (LoadState(txn, name, st, false) != ERROR_SUCCESS || !Removable(txn, name, st))
        return ERROR_SUCCESS;
    removed = true;
    return RemoveService(txn, name);
}

// ---------------------------------------------------------------- the calls' common start

// What a call through a service handle has once its checks have passed:
// the locked machine, the service's key and (withState) its runtime state.
struct ServiceCall {
    Txn txn;
    RegKey *key = nullptr;
    RunState st;
};

// Counts the call and checks it in Windows' order: the handle, the
// arguments checked before the rights (earlyError), the rights, the
// arguments checked after them (lateError). Then locks the machine and
// lets an injected fault strike, before anything else is read. 0 or the
// code the call fails with.
DWORD BeginCall(Txn &txn, Call call, SC_HANDLE h, bool isService, DWORD right, DWORD earlyError,
                DWORD lateError, const std::string *name) {
    const std::uint64_t n = CountCall(call);
    if (!IsHandle(h, isService))
        return ERROR_INVALID_HANDLE;
    if (earlyError)
        return earlyError;
    if ((h->access & right) != right)
        return ERROR_ACCESS_DENIED;
    if (lateError)
        return lateError;
    if (LONG rc = txn.Begin())
        return static_cast<DWORD>(rc);
    return InjectedFault(txn.GetSettings(), call, n, isService ? &h->name : name);
}

// BeginCall for a call through a service handle, which then reads the
// service: it must still be there (a handle outlives a service another
// process removed).
DWORD BeginServiceCall(ServiceCall &c, Call call, SC_HANDLE h, DWORD right, DWORD earlyError,
                       DWORD lateError, bool withState = true) {
    if (DWORD rc = BeginCall(c.txn, call, h, true, right, earlyError, lateError, nullptr))
        return rc;
    if (LONG rc = FindService(c.txn, h->name, c.key))
        return static_cast<DWORD>(rc);
    if (!c.key)
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    return withState ? static_cast<DWORD>(LoadState(c.txn, h->name, c.st)) : 0;
}

// Fault check for the close calls, which must work on an otherwise
// unusable machine.
DWORD CloseFault(Call call, std::uint64_t n, const std::string *name) {
    Machine m;
    Settings settings;
    if (m.Open() != ERROR_SUCCESS || LoadSettings(m, settings) != ERROR_SUCCESS)
        return 0;
    return InjectedFault(settings, call, n, name);
}

// ---------------------------------------------------------------- arguments

bool ValidServiceType(DWORD t) {
    DWORD base = t & ~SERVICE_INTERACTIVE_PROCESS;
    if (base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS)
        return true;
    return !(t & SERVICE_INTERACTIVE_PROCESS) && (t == SERVICE_KERNEL_DRIVER || t == 0x2U);
}

bool ValidServiceName(const char *name) {
    if (!name || !*name || std::strlen(name) > kMaxServiceName)
        return false;
    for (const char *p = name; *p; ++p)
        if (*p == '\\' || *p == '/')
            return false;
    return true;
}

// Only LocalSystem may run an interactive service; no account is LocalSystem.
bool InteractiveAccountValid(DWORD type, std::string_view account) {
    return !(type & SERVICE_INTERACTIVE_PROCESS) || account.empty() ||
           IEquals(account, "LocalSystem");
}

// Whether another service holds one of the names a service would have. Its
// display name may not be another's name, nor its name another's display
// name (checkName); a display name that another service shows too only
// before Windows 10 version 1709 (`displaynames unique`).
LONG NameClash(Txn &txn, std::string_view name, std::string_view display, bool checkName,
               bool &clash) {
    clash = false;
    if (!IEquals(display, name)) {
        RegKey *other = nullptr;
        if (LONG rc = FindService(txn, display, other))
            return rc;
        if ((clash = other != nullptr))
            return ERROR_SUCCESS;
    }
    if (checkName)
        if (LONG rc = DisplayNameInUse(txn, name, name, clash); rc || clash)
            return rc;
    if (txn.GetSettings().uniqueDisplayNames && !(checkName && IEquals(display, name)))
        return DisplayNameInUse(txn, display, name, clash);
    return ERROR_SUCCESS;
}

// Whether a service that depends on this one is not stopped: a stop is
// refused then.
LONG DependentRunning(Txn &txn, std::string_view name, bool &running) {
    running = false;
    std::vector<std::string> dependents;
    if (LONG rc = DependentsOf(txn, name, dependents))
        return rc;
    for (const std::string &dependent : dependents) {
        RunState st;
        if (LONG rc = LoadState(txn, dependent, st))
            return rc;
        if ((running = st.state != SERVICE_STOPPED))
            return ERROR_SUCCESS;
    }
    return ERROR_SUCCESS;
}

} // namespace

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::OpenSCManagerA);
    if (lpMachineName && *lpMachineName)
        return Fail(RPC_S_SERVER_UNAVAILABLE, SC_HANDLE(nullptr)); // no network on this machine
    if (lpDatabaseName && !IEquals(lpDatabaseName, "ServicesActive"))
        return Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    Txn txn;
    if (LONG rc = txn.Begin())
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (DWORD rc = InjectedFault(txn.GetSettings(), Call::OpenSCManagerA, n, nullptr))
        return Fail(rc, SC_HANDLE(nullptr));
    // As on Windows, which clears the last error on this success.
    SetLastError(ERROR_SUCCESS);
    return NewHandle(false, MapManagerAccess(dwDesiredAccess), {});
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    ProcessGuard guard;
    const std::string name = lpServiceName ? lpServiceName : "";
    Txn txn;
    if (DWORD rc = BeginCall(txn, Call::OpenServiceA, hSCManager, false, 0,
                             ValidServiceName(lpServiceName) ? 0 : ERROR_INVALID_NAME, 0, &name))
        return Fail(rc, SC_HANDLE(nullptr));
    RegKey *key = nullptr;
    if (LONG rc = FindService(txn, name, key))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (!key)
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE(nullptr));
    std::string spelled = key->path[3];
    bool removed = false;
    if (LONG rc = RemoveIfDone(txn, spelled, removed))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (removed)
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE(nullptr));
    return NewHandle(true, MapServiceAccess(dwDesiredAccess), spelled);
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR) {
    ProcessGuard guard;
    const std::string account =
        lpServiceStartName && *lpServiceStartName ? lpServiceStartName : "LocalSystem";
    const DWORD argsError = !ValidServiceName(lpServiceName) ? ERROR_INVALID_NAME
                            : !lpBinaryPathName || !*lpBinaryPathName ||
                                    !ValidServiceType(dwServiceType) ||
                                    dwStartType > SERVICE_DISABLED || dwErrorControl > 3 ||
                                    !InteractiveAccountValid(dwServiceType, account)
                                ? ERROR_INVALID_PARAMETER
                                : 0;
    const std::string name = lpServiceName && !argsError ? lpServiceName : "";
    Txn txn;
    if (DWORD rc = BeginCall(txn, Call::CreateServiceA, hSCManager, false,
                             SC_MANAGER_CREATE_SERVICE, 0, argsError, &name))
        return Fail(rc, SC_HANDLE(nullptr));
    std::string display = lpDisplayName && *lpDisplayName ? lpDisplayName : name;
    RegKey *existing = nullptr;
    if (LONG rc = FindService(txn, name, existing))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (existing) {
        // A damaged state file says nothing of a mark: the service exists.
        RunState st;
        if (LoadState(txn, name, st, false) != ERROR_SUCCESS || !st.deleted)
            return Fail(ERROR_SERVICE_EXISTS, SC_HANDLE(nullptr));
        if (!Removable(txn, name, st))
            return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, SC_HANDLE(nullptr));
        // Its time had come: the new service replaces all of it, Parameters
        // included, in the one write below.
        RegDoc *doc = nullptr;
        if (LONG rc = txn.Doc(ServiceRegFile(name), doc))
            return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
        doc->RemoveSubtree(ServiceKey(name));
    }
    bool clash = false;
    if (LONG rc = NameClash(txn, name, display, true, clash))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (clash)
        return Fail(ERROR_DUPLICATE_SERVICE_NAME, SC_HANDLE(nullptr));

    // A state file without its service is left over from an earlier one.
    if (LONG rc = RemoveFile(txn.GetMachine(), ServiceStateFile(name)))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    std::string rel = ServiceRegFile(name);
    RegDoc *doc = nullptr;
    if (LONG rc = txn.Doc(rel, doc))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    RegKey &key = doc->EnsureKey(ServiceKey(name), 4, nullptr);
    key.SetValue("Type", REG_DWORD, DwordBytes(dwServiceType));
    key.SetValue("Start", REG_DWORD, DwordBytes(dwStartType));
    key.SetValue("ErrorControl", REG_DWORD, DwordBytes(dwErrorControl));
    key.SetValue("ImagePath", REG_EXPAND_SZ, SzBytes(lpBinaryPathName));
    key.SetValue("DisplayName", REG_SZ, SzBytes(display));
    key.SetValue("ObjectName", REG_SZ, SzBytes(account));
    if (lpLoadOrderGroup && *lpLoadOrderGroup)
        key.SetValue("Group", REG_SZ, SzBytes(lpLoadOrderGroup));
    if (lpDependencies && *lpDependencies)
        key.SetValue("DependOnService", REG_MULTI_SZ, MultiSzBytes(lpDependencies));
    std::string spelled = key.path[3];
    txn.MarkDirty(rel);
    if (LONG rc = txn.Commit())
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (lpdwTagId)
        *lpdwTagId = 0;
    return NewHandle(true, MapServiceAccess(dwDesiredAccess), spelled);
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    ProcessGuard guard;
    ServiceCall c;
    if (DWORD rc = BeginServiceCall(c, Call::QueryServiceStatus, hService, SERVICE_QUERY_STATUS,
                                    lpServiceStatus ? 0 : ERROR_INVALID_PARAMETER, 0))
        return Fail(rc, FALSE);
    if (Poll(c.st))
        if (LONG rc = SaveState(c.txn, hService->name, c.st))
            return Fail(static_cast<DWORD>(rc), FALSE);
    FillStatus(*c.key, c.st, lpServiceStatus);
    return TRUE;
}

BOOL StartServiceA(SC_HANDLE hService, DWORD, LPCSTR *) {
    ProcessGuard guard;
    ServiceCall c;
    if (DWORD rc = BeginServiceCall(c, Call::StartServiceA, hService, SERVICE_START, 0, 0, false))
        return Fail(rc, FALSE);
    if (DwordOf(*c.key, "Start", SERVICE_DEMAND_START) == SERVICE_DISABLED)
        return Fail(ERROR_SERVICE_DISABLED, FALSE);
    RunState &st = c.st;
    if (LONG rc = LoadState(c.txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (st.deleted)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (st.state != SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    ServiceBehaviour b = c.txn.GetSettings().BehaviourOf(hService->name);
    st = RunState{};
    if (b.startPolls == 0 && !b.startDies) {
        st.state = SERVICE_RUNNING;
    } else {
        st.state = SERVICE_START_PENDING;
        st.polls = b.startPolls;
        st.then = b.startDies ? SERVICE_STOPPED : SERVICE_RUNNING;
        st.thenExitCode = b.diesWith;
    }
    if (LONG rc = SaveState(c.txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    ProcessGuard guard;
    const bool stop = dwControl == SERVICE_CONTROL_STOP;
    const DWORD argsError = !lpServiceStatus ? ERROR_INVALID_PARAMETER
                            : !stop && dwControl != SERVICE_CONTROL_INTERROGATE
                                ? ERROR_INVALID_SERVICE_CONTROL
                                : 0;
    ServiceCall c;
    if (DWORD rc = BeginServiceCall(c, Call::ControlService, hService,
                                    stop ? SERVICE_STOP : SERVICE_INTERROGATE, argsError, 0))
        return Fail(rc, FALSE);
    RunState &st = c.st;
    // As on Windows, these refusals still report the current status.
    FillStatus(*c.key, st, lpServiceStatus);
    if (st.state == SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    if (!stop)
        return TRUE;
    if (IsPending(st))
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    bool dependentRunning = false;
    if (LONG rc = DependentRunning(c.txn, hService->name, dependentRunning))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (dependentRunning)
        return Fail(ERROR_DEPENDENT_SERVICES_RUNNING, FALSE);
    ServiceBehaviour b = c.txn.GetSettings().BehaviourOf(hService->name);
    // A service that answers the stop with NO_ERROR and keeps running: the
    // call succeeds, and the status it reports is still RUNNING.
    if (b.stopIgnored)
        return TRUE;
    bool marked = st.deleted; // a marked service may still be stopped, and stays marked
    st = RunState{};
    st.deleted = marked;
    if (b.stopPolls != 0) {
        st.state = SERVICE_STOP_PENDING;
        st.polls = b.stopPolls;
        st.then = SERVICE_STOPPED;
    }
    if (LONG rc = SaveState(c.txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    FillStatus(*c.key, st, lpServiceStatus);
    return TRUE;
}

BOOL ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                          DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                          LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                          LPCSTR, LPCSTR lpDisplayName) {
    ProcessGuard guard;
    const DWORD argsError =
        (dwServiceType != SERVICE_NO_CHANGE && !ValidServiceType(dwServiceType)) ||
                (dwStartType != SERVICE_NO_CHANGE && dwStartType > SERVICE_DISABLED) ||
                (dwErrorControl != SERVICE_NO_CHANGE && dwErrorControl > 3)
            ? ERROR_INVALID_PARAMETER
            : 0;
    ServiceCall c;
    if (DWORD rc = BeginServiceCall(c, Call::ChangeServiceConfigA, hService, SERVICE_CHANGE_CONFIG,
                                    0, argsError))
        return Fail(rc, FALSE);
    RegKey *key = c.key;
    if (c.st.deleted)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (lpDisplayName && *lpDisplayName) {
        bool clash = false;
        if (LONG rc = NameClash(c.txn, hService->name, lpDisplayName, false, clash))
            return Fail(static_cast<DWORD>(rc), FALSE);
        if (clash)
            return Fail(ERROR_DUPLICATE_SERVICE_NAME, FALSE);
    }
    // The service as it would be: an interactive one must stay LocalSystem's.
    const RegValue *objectName = key->FindValue("ObjectName");
    std::string account = lpServiceStartName ? lpServiceStartName
                          : objectName       ? objectName->data
                                             : "";
    while (!account.empty() && account.back() == '\0')
        account.pop_back();
    if (!InteractiveAccountValid(dwServiceType != SERVICE_NO_CHANGE
                                     ? dwServiceType
                                     : DwordOf(*key, "Type", SERVICE_WIN32_OWN_PROCESS),
                                 account))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (dwServiceType != SERVICE_NO_CHANGE)
        key->SetValue("Type", REG_DWORD, DwordBytes(dwServiceType));
    if (dwStartType != SERVICE_NO_CHANGE)
        key->SetValue("Start", REG_DWORD, DwordBytes(dwStartType));
    if (dwErrorControl != SERVICE_NO_CHANGE)
        key->SetValue("ErrorControl", REG_DWORD, DwordBytes(dwErrorControl));
    if (lpBinaryPathName)
        key->SetValue("ImagePath", REG_EXPAND_SZ, SzBytes(lpBinaryPathName));
    if (lpLoadOrderGroup)
        key->SetValue("Group", REG_SZ, SzBytes(lpLoadOrderGroup));
    if (lpDependencies)
        key->SetValue("DependOnService", REG_MULTI_SZ, MultiSzBytes(lpDependencies));
    if (lpServiceStartName)
        key->SetValue("ObjectName", REG_SZ, SzBytes(lpServiceStartName));
    if (lpDisplayName)
        key->SetValue("DisplayName", REG_SZ, SzBytes(lpDisplayName));
    c.txn.MarkDirty(ServiceRegFile(hService->name));
    if (LONG rc = c.txn.Commit())
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (lpdwTagId)
        *lpdwTagId = 0;
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    ProcessGuard guard;
    ServiceCall c;
    if (DWORD rc = BeginServiceCall(c, Call::DeleteService, hService, DELETE, 0, 0))
        return Fail(rc, FALSE);
    if (c.st.deleted)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    // Only the mark: this very handle still holds the service, so it goes
    // at the earliest when the handle is closed.
    c.st.deleted = true;
    if (LONG rc = SaveState(c.txn, hService->name, c.st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    return TRUE;
}

BOOL GetServiceDisplayNameA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPSTR lpDisplayName,
                            LPDWORD lpcchBuffer) {
    ProcessGuard guard;
    const std::string name = lpServiceName ? lpServiceName : "";
    const DWORD argsError = !ValidServiceName(lpServiceName) ? ERROR_INVALID_NAME
                            : !lpcchBuffer                   ? ERROR_INVALID_PARAMETER
                                                             : 0;
    Txn txn;
    if (DWORD rc =
            BeginCall(txn, Call::GetServiceDisplayNameA, hSCManager, false, 0, argsError, 0, &name))
        return Fail(rc, FALSE);
    RegKey *key = nullptr;
    if (LONG rc = FindService(txn, name, key))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (!key)
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
    std::string spelled = key->path[3];
    std::string display;
    if (const RegValue *v = key->FindValue("DisplayName"))
        display = v->data.substr(0, v->data.find('\0'));
    if (display.empty())
        display = spelled;
    // A marked service whose time has come is gone, as for OpenServiceA.
    bool removed = false;
    if (LONG rc = RemoveIfDone(txn, spelled, removed))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (removed)
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
    // Like Windows, the A call asks for twice the length (the UTF-16 bytes)
    // and takes any buffer that holds the text and its NUL, leaving the
    // size as it was.
    if (!lpDisplayName || *lpcchBuffer <= display.size()) {
        *lpcchBuffer = static_cast<DWORD>(2 * display.size());
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    std::memcpy(lpDisplayName, display.c_str(), display.size() + 1);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::CloseServiceHandle);
    if (!g_handles.count(hSCObject))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    const std::string *name = hSCObject->isService ? &hSCObject->name : nullptr;
    if (DWORD rc = CloseFault(Call::CloseServiceHandle, n, name))
        return Fail(rc, FALSE);
    g_handles.erase(hSCObject);
    std::unique_ptr<SC_HANDLE__> closed(hSCObject);
    if (closed->isService && !HeldHere(closed->name)) {
        // The last handle here on a marked, stopped service lets it go. The
        // close succeeds whatever the machine says: a service left behind
        // goes on the next open or create of its name. The small state file
        // is read first: most closes stop there.
        Txn txn;
        RunState st;
        RegKey *key = nullptr;
        if (txn.Begin() == ERROR_SUCCESS &&
            LoadState(txn, closed->name, st, false) == ERROR_SUCCESS &&
            Removable(txn, closed->name, st) &&
            FindService(txn, closed->name, key) == ERROR_SUCCESS && key)
            RemoveService(txn, closed->name);
    }
    return TRUE;
}
