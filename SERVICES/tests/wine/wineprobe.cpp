// wineprobe.exe ACTION NAME: makes one raw Service Control Manager call
// sequence and prints what came back, so the Wine tier's self-test can pin
// down how Wine answers the cases quillmar's waits depend on.
//   start NAME      StartServiceA, then the states seen over ~1 s
//   stop2 NAME      ControlService(STOP) twice in a row, then the states
//   delete NAME     DeleteService, then QueryServiceStatus and a second
//                   DeleteService on the same handle, then OpenServiceA
// Each line is "<call> ok|err=<code> [state=<n>]".

#include "started.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

void Line(const char *pCall, BOOL ok, const SERVICE_STATUS *pStatus = nullptr) {
    DWORD errorNum = ok ? 0 : GetLastError();
    if (ok)
        std::printf("%s ok", pCall);
    else
        std::printf("%s err=%lu", pCall, errorNum);
    if (pStatus != nullptr)
        std::printf(" state=%lu", pStatus->dwCurrentState);
    std::printf("\n");
}

// Prints each state change over `ms` milliseconds.
void Watch(SC_HANDLE hService, DWORD ms) {
    DWORD last = 0;
    for (DWORD waited = 0; waited <= ms; waited += 50) {
        SERVICE_STATUS status{};
        BOOL ok = QueryServiceStatus(hService, &status);
        if (!ok) {
            Line("query", ok);
            return;
        }
        if (status.dwCurrentState != last)
            std::printf("t=%lu state=%lu\n", waited, status.dwCurrentState);
        last = status.dwCurrentState;
        Sleep(50);
    }
}

} // namespace

int main(int argc, char **argv) {
    AnnounceStart();
    if (argc != 3) {
        std::fputs("usage: wineprobe start|stop2|delete NAME\n", stderr);
        return 2;
    }
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = OpenServiceA(hManager, argv[2], SERVICE_ALL_ACCESS);
    if (hService == nullptr) {
        Line("open", FALSE);
        return 1;
    }
    SERVICE_STATUS status{};
    if (std::strcmp(argv[1], "start") == 0) {
        DWORD before = GetTickCount();
        BOOL ok = StartServiceA(hService, 0, nullptr);
        Line("start", ok);
        std::printf("start took %lu ms\n", GetTickCount() - before);
        Watch(hService, 1000);
    } else if (std::strcmp(argv[1], "stop2") == 0) {
        Line("stop", ControlService(hService, SERVICE_CONTROL_STOP, &status), &status);
        Line("stop", ControlService(hService, SERVICE_CONTROL_STOP, &status), &status);
        Watch(hService, 1000);
    } else if (std::strcmp(argv[1], "delete") == 0) {
        Line("delete", DeleteService(hService));
        Line("query", QueryServiceStatus(hService, &status), &status);
        Line("delete", DeleteService(hService));
        SC_HANDLE hAgain = OpenServiceA(hManager, argv[2], SERVICE_QUERY_STATUS);
        Line("open-again", hAgain != nullptr);
        if (hAgain != nullptr)
            CloseServiceHandle(hAgain);
        CloseServiceHandle(hService);
        hService = OpenServiceA(hManager, argv[2], SERVICE_QUERY_STATUS);
        Line("open-after-close", hService != nullptr);
    }
    if (hService != nullptr)
        CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
    return 0;
}
