// A real service, copied under a catalogue executable name, behaving as its
// "<exe>.mode" says (README.md). Wine's StartService returns at the first status
// and ControlService when the handler returns: so RUNNING comes first and the
// handler reports STOPPED itself, and quillmar's polls are the same on every run.

#include "quillmar_config.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string exePath;
std::string mode = "normal";
DWORD slowSeconds = QUILLMAR_SLOW_SECONDS; // or, for "dies", the exit code
bool hasNumber = false;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
HANDLE stopEvent = nullptr;

void Log(const std::string &text) {
    std::FILE *pFile = std::fopen((exePath + ".log").c_str(), "ab");
    if (pFile == nullptr)
        return;
    std::fprintf(pFile, "%lu %s\n", GetTickCount(), text.c_str());
    std::fclose(pFile);
}

void ReadMode() {
    char buffer[MAX_PATH + 1];
    DWORD len = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    buffer[len] = '\0';
    exePath = buffer;

    std::FILE *pFile = std::fopen((exePath + ".mode").c_str(), "rb");
    if (pFile == nullptr)
        return;
    char word[32] = "";
    unsigned long seconds = 0;
    int got = std::fscanf(pFile, "%31s %lu", word, &seconds);
    std::fclose(pFile);
    if (got >= 1)
        mode = word;
    if (got == 2) {
        slowSeconds = seconds;
        hasNumber = true;
    }
}

void Report(DWORD state, DWORD accepted, DWORD waitHint, DWORD exitCode = NO_ERROR) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        status.dwCheckPoint = 0;
    else
        ++status.dwCheckPoint;
    BOOL ok = SetServiceStatus(statusHandle, &status);
    Log("state " + std::to_string(state) +
        (ok ? "" : " refused " + std::to_string(GetLastError())));
}

bool QuitRequested() {
    return GetFileAttributesA((exePath + ".quit").c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A pending state for up to `seconds`, cut short by a quit file; the
// checkpoint advances once a second.
void Linger(DWORD seconds, DWORD pendingState) {
    for (DWORD slice = 0; slice < seconds * 10 && !QuitRequested(); ++slice) {
        Sleep(100);
        if (slice % 10 == 9)
            Report(pendingState, 0, 2000);
    }
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    Log("control " + std::to_string(control));
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        if (mode == "ignorestop" && control == SERVICE_CONTROL_STOP)
            return NO_ERROR;
        if (mode == "slowstop")
            Report(SERVICE_STOP_PENDING, 0, 2000);
        else
            Report(SERVICE_STOPPED, 0, 0);
        SetEvent(stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD argc, LPSTR *argv) {
    const char *pName = argc > 0 ? argv[0] : "";
    Log("main " + std::string(pName) + " mode=" + mode);
    statusHandle = RegisterServiceCtrlHandlerExA(pName, Handler, nullptr);
    if (statusHandle == nullptr) {
        Log("register failed " + std::to_string(GetLastError()));
        return;
    }
    if (mode == "dies") {
        // Wine's StartService fails with 1053 if it wakes to STOPPED
        // already, as on a busy host; the pause shows in no output.
        Report(SERVICE_START_PENDING, 0, 3000);
        Sleep(500);
        Report(SERVICE_STOPPED, 0, 0, hasNumber ? slowSeconds : NO_ERROR);
        return;
    }
    if (mode == "nostart") {
        Report(SERVICE_START_PENDING, 0, 3000);
        Linger(slowSeconds, SERVICE_START_PENDING);
        Report(SERVICE_STOPPED, 0, 0);
        return;
    }

    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
    bool stopped = false;
    while (!stopped && !QuitRequested())
        stopped = WaitForSingleObject(stopEvent, 100) == WAIT_OBJECT_0;
    if (mode == "slowstop") {
        if (!stopped)
            Report(SERVICE_STOP_PENDING, 0, 2000);
        Linger(slowSeconds, SERVICE_STOP_PENDING);
        Report(SERVICE_STOPPED, 0, 0);
    } else if (!stopped) {
        Report(SERVICE_STOPPED, 0, 0);
    }
}

} // namespace

int main() {
    ReadMode();
    Log("process");
    if (mode == "exitnow")
        return 3;
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    // An own-process service: the dispatcher ignores the name of the one entry.
    char emptyName[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{emptyName, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        DWORD errorNum = GetLastError();
        Log("dispatcher failed " + std::to_string(errorNum));
        std::fprintf(stderr, "testsvc: not started as a service (%lu)\n", errorNum);
        return static_cast<int>(errorNum);
    }
    // Wine's dispatcher returns at STOPPED, before the handler's answer is through:
    // exiting at once would fail ControlService with 109; a deleted service goes after it.
    Sleep(300);
    Log("process end");
    return 0;
}
