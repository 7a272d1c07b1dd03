// cpcheck.exe CODEPAGE [ARGS...]
// cpcheck.exe --guard | --smash TEXT | --relay
//
// Runs pieces of quillmar's Windows platform layer in a process of their
// own.
//
// CODEPAGE: quillmar's check that its command line arrived exactly, as it
// would run in a process whose code page is CODEPAGE; prints the result (0
// or 1113). Wine honours quillmar.exe's UTF-8 manifest, so a legacy code
// page is only reachable this way.
//
// --guard: prints the stack protector's guard as the platform layer seeded
// it before main, in hex; two runs must differ.
// --smash TEXT: copies TEXT into a 16-byte buffer of a protected function;
// a longer TEXT must end the process with 0xC0000409 before it returns.
//
// --relay: RunProgramIn with this program as the tool (--relayed), whose
// standard error it relays through its pipe. The tool writes a line, closes
// its standard error, leaves a mark and exits with 7. Our standard error
// is a pipe of one byte that nobody reads until the mark is there, so the
// relay is still passing the line on when the tool lets go of the pipe:
// its next read fails at once, the overlapped status stays pending, and a
// relay that waited for that read would never return. Prints "status=<n>
// ms=<elapsed>" and what reached our standard error.

#include "started.h"

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" std::uintptr_t __stack_chk_guard;

namespace {

// Deliberately unbounded: the overrun is what the protector must catch.
__attribute__((noinline)) std::size_t Smash(const char *pText) {
    char buffer[16];
    std::strcpy(buffer, pText); // NOLINT(clang-analyzer-security.insecureAPI.strcpy)
    return std::strlen(buffer);
}

const char kRelayedLine[] = "cpcheck: relayed line\n";

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

int Relay() {
    char program[MAX_PATH];
    char cwd[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || GetCurrentDirectoryA(MAX_PATH, cwd) == 0)
        return 2;
    std::string dir(program, length);
    const std::string name = dir.substr(dir.find_last_of('\\') + 1);
    dir.erase(dir.find_last_of('\\'));
    Mark mark;
    mark.path = std::string(cwd) + "\\cpcheck-relay.mark";
    DeleteFileA(mark.path.c_str());
    HANDLE hWrite = nullptr;
    if (CreatePipe(&mark.hRead, &hWrite, nullptr, 1) == 0)
        return 2;
    SetStdHandle(STD_ERROR_HANDLE, hWrite);
    HANDLE hThread = CreateThread(nullptr, 0, DrainAfterMark, &mark, 0, nullptr);
    const char *args[] = {"--relayed", mark.path.c_str(), "7"};
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

// The tool of --relay.
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

} // namespace

int main(int argc, char **argv) {
    // The tool of --relay says nothing of its own: its standard error is
    // what the relay under test carries.
    if (argc == 4 && std::strcmp(argv[1], "--relayed") == 0)
        return Relayed(argv[2], argv[3]);
    AnnounceStart();
    if (argc < 2) {
        std::fputs("usage: cpcheck CODEPAGE [ARGS...] | --guard | --smash TEXT | --relay\n",
                   stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "--guard") == 0) {
        std::printf("%llx\n", static_cast<unsigned long long>(__stack_chk_guard));
        return 0;
    }
    if (std::strcmp(argv[1], "--relay") == 0)
        return Relay();
    if (std::strcmp(argv[1], "--smash") == 0 && argc == 3) {
        std::printf("%zu\n", Smash(argv[2]));
        return 0;
    }
    const DWORD errorNum =
        CheckCommandLineInCodePage(static_cast<UINT>(std::strtoul(argv[1], nullptr, 10)));
    std::printf("%lu\n", errorNum);
    return 0;
}
