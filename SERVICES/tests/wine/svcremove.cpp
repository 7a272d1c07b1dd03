// svcremove.exe NAME [NAME...]
//
// Clears services away between test cases, in one process rather than a
// dozen sc.exe runs: each service is stopped when it runs, deleted, and
// waited for until the manager no longer knows it. DeleteService only
// marks a service; the entry goes once it is stopped and the last handle
// is closed, and until then a new service of the same name cannot be
// created (1072).
//
// Prints one line per name: "NAME absent", "NAME removed", or
// "NAME left state=<n> error=<code>"; exits 1 when any service is left.
// A test service that will not stop (slow stop, never started) should be
// told to quit through its .quit file first.

#include "started.h"

#include <windows.h>

#include <cstdio>

namespace {

const DWORD timeoutMs = 15000;
const DWORD sliceMs = 50;

DWORD StateOf(SC_HANDLE hService) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(hService, &status) ? status.dwCurrentState : 0;
}

bool WaitGone(SC_HANDLE hManager, const char *pName) {
    for (DWORD waited = 0; waited < timeoutMs; waited += sliceMs) {
        SC_HANDLE hService = OpenServiceA(hManager, pName, SERVICE_QUERY_STATUS);
        if (hService == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        if (hService != nullptr)
            CloseServiceHandle(hService);
        Sleep(sliceMs);
    }
    return false;
}

// True when the service is gone in the end.
bool Remove(SC_HANDLE hManager, const char *pName) {
    SC_HANDLE hService =
        OpenServiceA(hManager, pName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (hService == nullptr) {
        DWORD errorNum = GetLastError();
        if (errorNum == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("%s absent\n", pName);
            return true;
        }
        std::printf("%s left state=0 error=%lu\n", pName, errorNum);
        return false;
    }

    DWORD errorNum = 0;
    DWORD state = StateOf(hService);
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
        SERVICE_STATUS status{};
        if (!ControlService(hService, SERVICE_CONTROL_STOP, &status))
            errorNum = GetLastError();
    }
    for (DWORD waited = 0; state != SERVICE_STOPPED && waited < timeoutMs; waited += sliceMs) {
        Sleep(sliceMs);
        state = StateOf(hService);
    }
    if (!DeleteService(hService) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        errorNum = GetLastError();
    CloseServiceHandle(hService);

    if (WaitGone(hManager, pName)) {
        std::printf("%s removed\n", pName);
        return true;
    }
    std::printf("%s left state=%lu error=%lu\n", pName, state, errorNum);
    return false;
}

} // namespace

int main(int argc, char **argv) {
    AnnounceStart();
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (hManager == nullptr) {
        std::printf("manager error=%lu\n", GetLastError());
        return 1;
    }
    bool allGone = true;
    for (int i = 1; i < argc; ++i)
        allGone = Remove(hManager, argv[i]) && allGone;
    CloseServiceHandle(hManager);
    return allGone ? 0 : 1;
}
