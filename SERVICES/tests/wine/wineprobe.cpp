// wineprobe.exe ACTION [ARGS]: the Wine self-test's raw call sequences of the Service
// Control Manager or the relay's pipe, each call printed as "<call> ok|err=<code>
// [state=<n>]", or a piece of the platform layer in a process of its own.

#include "started.h"

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" std::uintptr_t __stack_chk_guard;

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

int Service(const char *pAction, const char *pName) {
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = OpenServiceA(hManager, pName, SERVICE_ALL_ACCESS);
    if (hService == nullptr) {
        Line("open", FALSE);
        return 1;
    }
    SERVICE_STATUS status{};
    if (std::strcmp(pAction, "start") == 0) {
        DWORD before = GetTickCount();
        BOOL ok = StartServiceA(hService, 0, nullptr);
        Line("start", ok);
        std::printf("start took %lu ms\n", GetTickCount() - before);
        Watch(hService, 1000);
    } else if (std::strcmp(pAction, "stop2") == 0) {
        Line("stop", ControlService(hService, SERVICE_CONTROL_STOP, &status), &status);
        Line("stop", ControlService(hService, SERVICE_CONTROL_STOP, &status), &status);
        Watch(hService, 1000);
    } else if (std::strcmp(pAction, "delete") == 0) {
        Line("delete", DeleteService(hService));
        Line("query", QueryServiceStatus(hService, &status), &status);
        Line("delete", DeleteService(hService));
        SC_HANDLE hAgain = OpenServiceA(hManager, pName, SERVICE_QUERY_STATUS);
        Line("open-again", hAgain != nullptr);
        if (hAgain != nullptr)
            CloseServiceHandle(hAgain);
        CloseServiceHandle(hService);
        hService = OpenServiceA(hManager, pName, SERVICE_QUERY_STATUS);
        Line("open-after-close", hService != nullptr);
    }
    if (hService != nullptr)
        CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
    return 0;
}

int Create(const char *pName, const char *pDisplay) {
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService =
        CreateServiceA(hManager, pName, pDisplay, DELETE, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\probe\\never-run.exe",
                       nullptr, nullptr, nullptr, nullptr, nullptr);
    Line("create", hService != nullptr);
    if (hService != nullptr) {
        DeleteService(hService);
        CloseServiceHandle(hService);
    }
    CloseServiceHandle(hManager);
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

// Deliberately unbounded: the overrun is what the protector must catch.
__attribute__((noinline)) std::size_t Smash(const char *pText) {
    char buffer[16];
    std::strcpy(buffer, pText); // NOLINT(clang-analyzer-security.insecureAPI.strcpy)
    return std::strlen(buffer);
}

const char kRelayedLine[] = "wineprobe: relayed line\n";

struct Mark {
    std::string path;
    HANDLE hRead = nullptr;
    std::string received;
};

// Lets the relay's copy through only once the tool has left its mark, at
// most 30 s later; then reads until the pipe has no writer left.
DWORD WINAPI DrainAfterMark(LPVOID pParam) {
    Mark *pMark = static_cast<Mark *>(pParam);
    for (int slice = 0; slice < 3000; ++slice) {
        if (GetFileAttributesA(pMark->path.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(10);
    }
    char buffer[256];
    DWORD numRead = 0;
    while (ReadFile(pMark->hRead, buffer, sizeof buffer, &numRead, nullptr) != 0 && numRead > 0)
        pMark->received.append(buffer, numRead);
    return 0;
}

// This program's folder and name, to run it as a tool.
bool Self(std::string &dir, std::string &name) {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    dir.assign(program, length);
    name = dir.substr(dir.find_last_of('\\') + 1);
    dir.erase(dir.find_last_of('\\'));
    return true;
}

int Relay() {
    std::string dir;
    std::string name;
    char cwd[MAX_PATH];
    if (!Self(dir, name) || GetCurrentDirectoryA(MAX_PATH, cwd) == 0)
        return 2;
    Mark mark;
    mark.path = std::string(cwd) + "\\wineprobe-relay.mark";
    DeleteFileA(mark.path.c_str());
    HANDLE hWrite = nullptr;
    if (CreatePipe(&mark.hRead, &hWrite, nullptr, 1) == 0)
        return 2;
    SetStdHandle(STD_ERROR_HANDLE, hWrite);
    HANDLE hThread = CreateThread(nullptr, 0, DrainAfterMark, &mark, 0, nullptr);
    const char *args[] = {"relayed", mark.path.c_str(), "7"};
    DWORD exitStatus = 0;
    const DWORD before = GetTickCount();
    const DWORD errorNum = RunProgramIn(dir.c_str(), name.c_str(), args, 3, &exitStatus);
    const DWORD elapsed = GetTickCount() - before;
    CloseHandle(hWrite);
    WaitForSingleObject(hThread, INFINITE);
    if (errorNum != 0)
        std::printf("error=%lu\n", errorNum);
    else
        std::printf("status=%lu ms=%lu\n", exitStatus, elapsed);
    std::printf("received %s", mark.received.c_str());
    return 0;
}

// The tool of relay.
int Relayed(const char *pMark, const char *pStatus) {
    HANDLE hError = GetStdHandle(STD_ERROR_HANDLE);
    DWORD numWritten = 0;
    WriteFile(hError, kRelayedLine, sizeof kRelayedLine - 1, &numWritten, nullptr);
    CloseHandle(hError);
    HANDLE hMark = CreateFileA(pMark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hMark != INVALID_HANDLE_VALUE)
        CloseHandle(hMark);
    return static_cast<int>(std::strtoul(pStatus, nullptr, 10));
}

// Our standard error on a device (NUL, CONOUT$): what the tool gets as
// its own, its file type times ten, plus one for a console.
int ToolError(const char *pDevice) {
    std::string dir;
    std::string name;
    HANDLE hDevice =
        CreateFileA(pDevice, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (!Self(dir, name) || hDevice == INVALID_HANDLE_VALUE)
        return 2;
    SetStdHandle(STD_ERROR_HANDLE, hDevice);
    const char *args[] = {"errorkind"};
    DWORD exitStatus = 0;
    const DWORD errorNum = RunProgramIn(dir.c_str(), name.c_str(), args, 1, &exitStatus);
    if (errorNum != 0)
        std::printf("error=%lu\n", errorNum);
    else
        std::printf("kind=%lu\n", exitStatus);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const std::string action = argc > 1 ? argv[1] : "";
    // The tools of relay and toolerror say nothing of their own: their
    // standard error is what is under test.
    if (action == "relayed" && argc == 4)
        return Relayed(argv[2], argv[3]);
    if (action == "errorkind" && argc == 2) {
        DWORD mode = 0;
        const HANDLE hError = GetStdHandle(STD_ERROR_HANDLE);
        return static_cast<int>(GetFileType(hError) * 10 + (GetConsoleMode(hError, &mode) != 0));
    }
    AnnounceStart();
    if (action == "readfail" && argc == 2)
        return ReadFail();
    if (action == "relay" && argc == 2)
        return Relay();
    if (action == "toolerror" && argc == 3)
        return ToolError(argv[2]);
    if (action == "guard" && argc == 2) {
        std::printf("%llx\n", static_cast<unsigned long long>(__stack_chk_guard));
        return 0;
    }
    if (action == "smash" && argc == 3) {
        std::printf("%zu\n", Smash(argv[2]));
        return 0;
    }
    if (action == "codepage" && argc >= 3) {
        const UINT codePage = static_cast<UINT>(std::strtoul(argv[2], nullptr, 10));
        std::printf("%lu\n", CheckCommandLineInCodePage(codePage));
        return 0;
    }
    if (action == "run" && argc == 4) {
        DWORD exitStatus = 0;
        std::printf("%lu\n", RunProgramIn(argv[2], argv[3], nullptr, 0, &exitStatus));
        return 0;
    }
    if (action == "create" && argc == 4)
        return Create(argv[2], argv[3]);
    if ((action == "start" || action == "stop2" || action == "delete") && argc == 3)
        return Service(argv[1], argv[2]);
    std::fputs("usage: wineprobe start|stop2|delete NAME | create NAME DISPLAY | readfail | "
               "codepage CODEPAGE [ARGS...] | guard | smash TEXT | relay | run DIR PROGRAM | "
               "toolerror DEVICE\n",
               stderr);
    return 2;
}
