// wineprobe.exe ACTION [ARGS]: makes one raw call sequence and prints what
// came back, so the Wine tier's self-test can pin down how Wine answers
// the cases quillmar and the scenarios depend on.
//   start NAME      StartServiceA, then the states seen over ~1 s
//   stop2 NAME      ControlService(STOP) twice in a row, then the states
//   delete NAME     DeleteService, then QueryServiceStatus and a second
//                   DeleteService on the same handle, then OpenServiceA
//   create NAME DISPLAY
//                   CreateServiceA of an own-process service; one that
//                   was created is deleted again at once
//   readfail        the relay's read (platform/win32.cpp) on its pipe once
//                   the writer has gone: an overlapped ReadFile that fails
//                   at once, the overlapped status it leaves, and a
//                   GetOverlappedResult that does not wait
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

int Create(SC_HANDLE hManager, const char *pName, const char *pDisplay) {
    SC_HANDLE hService =
        CreateServiceA(hManager, pName, pDisplay, DELETE, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\probe\\never-run.exe",
                       nullptr, nullptr, nullptr, nullptr, nullptr);
    Line("create", hService != nullptr);
    if (hService != nullptr) {
        DeleteService(hService);
        CloseServiceHandle(hService);
    }
    return 0;
}

// The relay's pipe as win32.cpp makes it, its writer closed: the read
// fails at once, and the overlapped record never leaves its pending state.
int ReadFail() {
    const char *pName = "\\\\.\\pipe\\quillmar-wineprobe-readfail";
    HANDLE hRead =
        CreateNamedPipeA(pName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
    HANDLE hWrite = CreateFileA(pName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (hRead == INVALID_HANDLE_VALUE || hWrite == INVALID_HANDLE_VALUE || hEvent == nullptr) {
        Line("pipe", FALSE);
        return 1;
    }
    CloseHandle(hWrite);
    char buffer[64];
    OVERLAPPED overlapped{};
    overlapped.hEvent = hEvent;
    Line("read", ReadFile(hRead, buffer, sizeof buffer, nullptr, &overlapped));
    std::printf("internal %s\n", overlapped.Internal == STATUS_PENDING ? "pending" : "set");
    DWORD numRead = 0;
    Line("result", GetOverlappedResult(hRead, &overlapped, &numRead, FALSE));
    // A waiting GetOverlappedResult would wait for this event, for good.
    std::printf("event %s\n", WaitForSingleObject(hEvent, 200) == WAIT_TIMEOUT ? "unset" : "set");
    CloseHandle(hEvent);
    CloseHandle(hRead);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    AnnounceStart();
    if (argc == 2 && std::strcmp(argv[1], "readfail") == 0)
        return ReadFail();
    if (argc < 3 || argc > 4) {
        std::fputs("usage: wineprobe start|stop2|delete NAME | create NAME DISPLAY | readfail\n",
                   stderr);
        return 2;
    }
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (argc == 4) {
        int status = std::strcmp(argv[1], "create") == 0 ? Create(hManager, argv[2], argv[3]) : 2;
        CloseServiceHandle(hManager);
        return status;
    }
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
