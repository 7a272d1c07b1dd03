// A real Windows service for the Wine tier: the test copies it under a
// catalogue executable name (iorvelsr.exe, worvserv.exe) and registers it,
// so quillmar starts and stops a genuine process through the Service
// Control Manager.
//
// Its behaviour comes from "<own file name>.mode" beside the executable,
// one word and an optional number of seconds:
//   normal     RUNNING at once; a STOP ends it at once
//   dies       START_PENDING, then STOPPED 0.5 s later with N as its Win32
//              exit code (default 0): never RUNNING
//   slowstop   RUNNING at once; a STOP leaves it STOP_PENDING for N s
//              (default: longer than quillmar's whole wait)
//   nostart    stays START_PENDING for N s (default as for slowstop), then
//              STOPPED
//   ignorestop RUNNING at once; answers a STOP with NO_ERROR and keeps
//              running (Wine then refuses every further STOP with 1061)
//   exitnow    the process ends before it contacts the manager at all
//   silent     ServiceMain returns without reporting any status
// No file means normal. A file "<own file name>.quit" ends any wait at
// once, so a test can clear away a slow service without waiting for it.
// Each event is appended to "<own file name>.log".
//
// Wine's StartService returns as soon as the first status arrives and
// ControlService as soon as the handler returns. So the state that quillmar's
// first poll sees is settled before those calls return: the first report is
// already RUNNING (a START_PENDING first would race with the second report),
// and the handler itself reports STOPPED or STOP_PENDING. That keeps the
// number of polls, and so the dots of display mode, the same on every run.

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

std::string Num(unsigned long value) {
    return std::to_string(value);
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
    Log("state " + Num(state) + (ok ? "" : " refused " + Num(GetLastError())));
}

bool QuitRequested() {
    return GetFileAttributesA((exePath + ".quit").c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Stays in a pending state for up to `seconds`, in short slices so that a
// quit file cuts it short; advances the checkpoint once a second, as a
// service that is still making progress would.
void Linger(DWORD seconds, DWORD pendingState) {
    for (DWORD slice = 0; slice < seconds * 10 && !QuitRequested(); ++slice) {
        Sleep(100);
        if (slice % 10 == 9)
            Report(pendingState, 0, 2000);
    }
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    Log("control " + Num(control));
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
        Log("register failed " + Num(GetLastError()));
        return;
    }
    if (mode == "silent")
        return;

    if (mode == "dies") {
        // Wine's StartService reads the state when the first report wakes
        // it, and fails with 1053 if that is STOPPED already: on a busy host
        // it woke after the second report. The start wait polls to the end
        // either way, so the pause shows in no output.
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
        Log("dispatcher failed " + Num(errorNum));
        std::fprintf(stderr, "testsvc: not started as a service (%lu)\n", errorNum);
        return static_cast<int>(errorNum);
    }
    // Wine's dispatcher returns as soon as the service reports STOPPED, which
    // the handler does before its answer to the STOP has gone back through
    // the control pipe; exiting at once would break the pipe and fail the
    // caller's ControlService with 109. Stay a moment for the answer. (While
    // the process lives it holds the service open, so a deleted service
    // vanishes only after this pause.)
    Sleep(300);
    Log("process end");
    return 0;
}
