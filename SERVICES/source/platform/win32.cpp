// The host services of platform.h on Windows, with the Win32 API alone:
// no command interpreter ever sees a directory name.

#include "platform.h"

#include <ntsecapi.h>

#include <cstdint>
#include <string>
#include <vector>

// ---- the stack protector's runtime ----------------------------------------
//
// -fstack-protector-strong needs a guard value and a routine for a broken
// one. They are here rather than from libssp, whose set-up seeds the guard
// through CryptAcquireContext and so loads the crypto provider and eight
// DLLs more into every run.

extern "C" {

// What every protected function compares its frame with; random once the
// TLS callback below has run, which is before any of our code.
std::uintptr_t __stack_chk_guard = 0x5BF5D1E04A3C9D27U;

// A broken guard ends the process the way Windows ends one whose stack
// cookie is broken: at once (__fastfail), with no handler or exit routine
// run; where the processor's fast-fail interrupt is unknown (before
// Windows 8) it faults all the same.
[[noreturn]] void __stack_chk_fail() {
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
    __builtin_unreachable();
}

} // extern "C"

namespace {

// Windows runs an image's TLS callbacks when the process starts, after its
// DLLs are set up and before its entry point. Unprotected itself: the guard
// changes under it.
__attribute__((no_stack_protector)) void NTAPI SeedStackGuard(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return;
    }
    std::uintptr_t seed = 0;
    if (RtlGenRandom(&seed, sizeof seed) == FALSE || seed == 0) {
        // What the C runtime's own security cookie is made of.
        LARGE_INTEGER counter{};
        QueryPerformanceCounter(&counter);
        seed = static_cast<std::uintptr_t>(counter.QuadPart) ^ GetTickCount64() ^
               (static_cast<std::uintptr_t>(GetCurrentProcessId()) << 32U) ^ GetCurrentThreadId() ^
               reinterpret_cast<std::uintptr_t>(&seed);
    }
    __stack_chk_guard = seed;
}

} // namespace

// Between the C runtime's .CRT$XLA and .CRT$XLZ, which bracket the list of
// callbacks in the image's TLS directory.
extern "C" __attribute__((used, section(".CRT$XLB")))
const PIMAGE_TLS_CALLBACK quillmarSeedStackGuard = SeedStackGuard;

// ---------------------------------------------------------------------------

namespace {

std::string JoinPath(const char *pDir, const char *pName) {
    return std::string(pDir) + "\\" + pName;
}

// A name as the wide calls take it. The process code page is UTF-8 where
// the manifest is honoured; elsewhere CheckArgumentsExact has made sure
// that the name converts back exactly.
std::wstring Wide(const std::string &text) {
    const int numWide = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (numWide <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(numWide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), numWide);
    wide.resize(static_cast<std::size_t>(numWide) - 1);
    return wide;
}

// The absolute form of a name, as GetFullPathNameW makes it; empty when it
// has none.
std::wstring FullPath(const std::wstring &path) {
    if (path.empty()) {
        return {};
    }
    const DWORD numFull = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (numFull == 0) {
        return {};
    }
    std::wstring full(numFull, L'\0');
    const DWORD numWritten = GetFullPathNameW(path.c_str(), numFull, full.data(), nullptr);
    if (numWritten == 0 || numWritten >= numFull) {
        return {};
    }
    full.resize(numWritten);
    return full;
}

// The extended-length form of a path ("\\?\C:\..."), so that a console
// directory near the 260-character limit still takes its backup and the
// temporary file beside it.
std::wstring LongPath(const std::string &path) {
    const std::wstring full = FullPath(Wide(path));
    if (full.empty() || full.rfind(L"\\\\?\\", 0) == 0) {
        return full;
    }
    // "\\.\C:\..." is a device path like "\\?\C:\...", not a share.
    if (full.rfind(L"\\\\.\\", 0) == 0) {
        return L"\\\\?\\" + full.substr(4);
    }
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// Whether a name that exists holds a backup: a file on a disk, reached
// through a link or not. A directory, a device or a dangling link under
// the backup's name is none, and no merge may count on it.
bool IsBackupFile(const std::wstring &path) {
    HANDLE hFile = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool isFile = GetFileType(hFile) == FILE_TYPE_DISK &&
                        GetFileInformationByHandle(hFile, &info) != 0 &&
                        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(hFile);
    return isFile;
}

// Quotes one argument so that the C runtime's argument parser of the
// started program hands it over unchanged (blanks, quotes and the
// backslashes in front of them).
std::wstring QuoteArgument(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring quoted = L"\"";
    std::size_t numBackslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++numBackslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(numBackslashes * 2 + 1, L'\\');
        } else {
            quoted.append(numBackslashes, L'\\');
        }
        numBackslashes = 0;
        quoted += c;
    }
    quoted.append(numBackslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

// An inheritable duplicate of a standard handle; null when there is none
// or it cannot be duplicated.
HANDLE InheritableCopy(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        return nullptr;
    }
    return copy;
}

// Console handles of Windows before 8 are no kernel objects: they cannot
// be named in a handle list, and reach the child through its console.
bool IsConsolePseudoHandle(HANDLE handle) {
    return (reinterpret_cast<ULONG_PTR>(handle) & 3U) == 3U;
}

// What the tool gets for one standard stream: an inheritable copy, named in
// the handle list, or a console handle as it is.
HANDLE ChildStdHandle(DWORD which, HANDLE *pList, DWORD *pNumListed) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || IsConsolePseudoHandle(handle)) {
        return handle;
    }
    const HANDLE copy = InheritableCopy(handle);
    if (copy != nullptr) {
        pList[(*pNumListed)++] = copy;
    }
    return copy;
}

// Whether a standard handle is a console, which the tool may share: a
// console keeps no reader waiting for the last writer to go.
bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

// The tool's standard error when ours is a pipe or a file: a pipe of our
// own whose other end we copy to our standard error while the tool runs.
// Once the tool has exited we close our end, so a process it left behind
// holds nothing of the caller's and is never waited for. (A job object
// could end such a process instead, but a tool may mean to leave one
// running, and nested jobs fail before Windows 8.)
struct ErrorRelay {
    HANDLE hRead = INVALID_HANDLE_VALUE;  // ours, overlapped
    HANDLE hWrite = INVALID_HANDLE_VALUE; // the tool's, inheritable
    HANDLE hOurs = nullptr;               // our standard error
    HANDLE hEvent = nullptr;
    OVERLAPPED overlapped{};
    char buffer[4096];
    bool pending = false; // a read is under way
    bool open = false;    // the pipe still has a writer
};

// Makes the pipe; false when it cannot be made, and the tool then shares
// our standard error as before.
bool OpenRelay(ErrorRelay &relay, HANDLE hOurs) {
    static LONG numRelays = 0;
    const std::wstring name =
        L"\\\\.\\pipe\\quillmar-stderr-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
        std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(InterlockedIncrement(&numRelays));
    relay.hRead = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        sizeof relay.buffer, 0, nullptr);
    if (relay.hRead == INVALID_HANDLE_VALUE) {
        return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    relay.hWrite = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    relay.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (relay.hWrite == INVALID_HANDLE_VALUE || relay.hEvent == nullptr) {
        return false;
    }
    relay.hOurs = hOurs;
    relay.open = true;
    return true;
}

// Copies what was read to our standard error. A caller that stopped
// reading must not stall the tool, so a failed write is let go.
void PassOn(const ErrorRelay &relay, DWORD numBytes) {
    DWORD numDone = 0;
    while (numDone < numBytes) {
        DWORD numWritten = 0;
        if (WriteFile(relay.hOurs, relay.buffer + numDone, numBytes - numDone, &numWritten,
                      nullptr) == 0 ||
            numWritten == 0) {
            return;
        }
        numDone += numWritten;
    }
}

// Ends the read under way, passing on what it had read by then.
void FinishRead(ErrorRelay &relay) {
    if (!relay.pending) {
        return;
    }
    DWORD numRead = 0;
    CancelIoEx(relay.hRead, &relay.overlapped);
    if (GetOverlappedResult(relay.hRead, &relay.overlapped, &numRead, TRUE) != 0) {
        PassOn(relay, numRead);
    }
    relay.pending = false;
}

void CloseRelay(ErrorRelay &relay) {
    FinishRead(relay);
    for (HANDLE *pHandle : {&relay.hRead, &relay.hWrite}) {
        if (*pHandle != INVALID_HANDLE_VALUE) {
            CloseHandle(*pHandle);
            *pHandle = INVALID_HANDLE_VALUE;
        }
    }
    if (relay.hEvent != nullptr) {
        CloseHandle(relay.hEvent);
        relay.hEvent = nullptr;
    }
}

// Reads up to numWanted bytes into the buffer; the read is under way when
// it returns false with pending set, done (numRead bytes, or the pipe has
// no writer left) otherwise.
bool Read(ErrorRelay &relay, DWORD numWanted, DWORD *pNumRead) {
    ResetEvent(relay.hEvent);
    relay.overlapped = OVERLAPPED{};
    relay.overlapped.hEvent = relay.hEvent;
    *pNumRead = 0;
    if (ReadFile(relay.hRead, relay.buffer, numWanted, nullptr, &relay.overlapped) == 0 &&
        GetLastError() == ERROR_IO_PENDING) {
        relay.pending = true;
        return false;
    }
    if (GetOverlappedResult(relay.hRead, &relay.overlapped, pNumRead, FALSE) == 0) {
        relay.open = false; // every writer has gone
    }
    return true;
}

// Starts the next read unless one is under way or the tool has exited; a
// read that completes at once is passed on, and the next one started. The
// tool is looked at before each: a process it left behind may keep the
// pipe from ever running dry.
void StartRead(ErrorRelay &relay, HANDLE hProcess) {
    DWORD numRead = 0;
    while (relay.open && !relay.pending && WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT &&
           Read(relay, sizeof relay.buffer, &numRead)) {
        PassOn(relay, numRead);
    }
}

// Relays the tool's standard error until the tool has exited, then what
// it left in the pipe; never what a process it left behind writes later.
void RelayUntilExit(ErrorRelay &relay, HANDLE hProcess) {
    StartRead(relay, hProcess);
    while (relay.pending) {
        const HANDLE waitFor[2] = {relay.hEvent, hProcess};
        // The read first: what the tool wrote before it ended comes first.
        if (WaitForMultipleObjects(2, waitFor, FALSE, INFINITE) != WAIT_OBJECT_0) {
            break;
        }
        DWORD numRead = 0;
        relay.pending = false;
        if (GetOverlappedResult(relay.hRead, &relay.overlapped, &numRead, FALSE) != 0) {
            PassOn(relay, numRead);
        } else {
            relay.open = false;
        }
        StartRead(relay, hProcess);
    }
    WaitForSingleObject(hProcess, INFINITE);
    FinishRead(relay);
    // Whatever the tool wrote is in the pipe by now: take that much and no
    // more, so that a process that goes on writing cannot keep us here.
    DWORD numLeft = 0;
    if (!relay.open || PeekNamedPipe(relay.hRead, nullptr, 0, nullptr, &numLeft, nullptr) == 0) {
        numLeft = 0;
    }
    while (numLeft > 0 && relay.open) {
        DWORD numRead = 0;
        if (!Read(relay, numLeft < sizeof relay.buffer ? numLeft : sizeof relay.buffer, &numRead)) {
            // The bytes are in the pipe, so the read completes at once.
            relay.pending = false;
            if (GetOverlappedResult(relay.hRead, &relay.overlapped, &numRead, TRUE) == 0) {
                break;
            }
        }
        if (numRead == 0) {
            break;
        }
        PassOn(relay, numRead);
        numLeft -= numRead < numLeft ? numRead : numLeft;
    }
}

} // namespace

DWORD CopyFileIfAbsent(const char *pDir, const char *pFrom, const char *pTo) {
    const std::wstring to = LongPath(JoinPath(pDir, pTo));
    const std::wstring from = LongPath(JoinPath(pDir, pFrom));
    if (to.empty() || from.empty()) {
        return ERROR_INVALID_NAME;
    }
    if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return IsBackupFile(to) ? 0 : ERROR_FILE_EXISTS;
    }
    const std::wstring temporary = to + L".tmp." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                   std::to_wstring(GetTickCount());
    if (CopyFileW(from.c_str(), temporary.c_str(), TRUE) == 0) {
        return GetLastError();
    }
    // The content reaches the disk before the name does.
    HANDLE hFile = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(hFile);
        CloseHandle(hFile);
    }
    DWORD errorNum = 0;
    // Without MOVEFILE_REPLACE_EXISTING: a backup made meanwhile by another
    // run stays, and counts as ours.
    if (MoveFileExW(temporary.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) == 0) {
        errorNum = GetLastError();
        DeleteFileW(temporary.c_str());
        if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
            errorNum = IsBackupFile(to) ? 0 : ERROR_FILE_EXISTS;
        }
    }
    return errorNum;
}

DWORD CheckProgramDirectory(const char *pDir, const char *pProgram) {
    // A process cannot have a current directory of MAX_PATH or more (with
    // its trailing backslash), and CreateProcess is not safe with one
    // everywhere; the counts are UTF-16 units, whatever the code page.
    const std::wstring fullDir = FullPath(Wide(pDir));
    if (fullDir.empty()) {
        return ERROR_INVALID_NAME;
    }
    if (fullDir.size() + 2 > MAX_PATH || Wide(JoinPath(pDir, pProgram)).size() >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return 0;
}

DWORD RunProgramIn(const char *pDir, const char *pProgram, const char *const *ppArgs,
                   unsigned numArgs, DWORD *pExitStatus) {
    if (const DWORD errorNum = CheckProgramDirectory(pDir, pProgram)) {
        return errorNum;
    }
    const std::wstring application = Wide(JoinPath(pDir, pProgram));
    const std::wstring directory = Wide(pDir);
    std::wstring commandLine = QuoteArgument(application);
    for (unsigned argNum = 0; argNum < numArgs; ++argNum) {
        commandLine += L' ';
        commandLine += QuoteArgument(Wide(ppArgs[argNum]));
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE hNull = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hNull == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    // Only these handles reach the tool. Inheriting every inheritable handle
    // would hand it our standard output too, and a tool that leaves a
    // process behind would then keep the pipe of whoever reads our output
    // open long after we have exited.
    HANDLE listed[3] = {hNull, nullptr, nullptr};
    DWORD numListed = 1;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = ChildStdHandle(STD_INPUT_HANDLE, listed, &numListed);
    startup.StartupInfo.hStdOutput = hNull;
    const HANDLE hOurError = GetStdHandle(STD_ERROR_HANDLE);
    ErrorRelay relay;
    const bool relayed = hOurError != nullptr && hOurError != INVALID_HANDLE_VALUE &&
                         !IsConsole(hOurError) && OpenRelay(relay, hOurError);
    if (relayed) {
        startup.StartupInfo.hStdError = relay.hWrite;
        listed[numListed++] = relay.hWrite;
    } else {
        CloseRelay(relay);
        startup.StartupInfo.hStdError = ChildStdHandle(STD_ERROR_HANDLE, listed, &numListed);
    }
    // The handles listed before the relay's end are ours to close.
    const DWORD numOwned = relayed ? numListed - 1 : numListed;

    DWORD errorNum = 0;
    SIZE_T numAttributeBytes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &numAttributeBytes);
    std::vector<char> attributes(numAttributeBytes);
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &numAttributeBytes) == 0) {
        errorNum = GetLastError();
        startup.lpAttributeList = nullptr;
    } else if (UpdateProcThreadAttribute(startup.lpAttributeList, 0,
                                         PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                         numListed * sizeof(HANDLE), nullptr, nullptr) == 0) {
        errorNum = GetLastError();
    }

    PROCESS_INFORMATION process{};
    if (errorNum == 0 && CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr,
                                        TRUE, EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        directory.c_str(), &startup.StartupInfo, &process) == 0) {
        errorNum = GetLastError();
    } else if (errorNum == 0) {
        if (relayed) {
            // Our copy of the tool's end would keep the pipe open for good.
            CloseHandle(relay.hWrite);
            relay.hWrite = INVALID_HANDLE_VALUE;
            RelayUntilExit(relay, process.hProcess);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD exitCode = 0;
        if (GetExitCodeProcess(process.hProcess, &exitCode) == 0) {
            errorNum = GetLastError();
        } else {
            *pExitStatus = exitCode;
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (startup.lpAttributeList != nullptr) {
        DeleteProcThreadAttributeList(startup.lpAttributeList);
    }
    CloseRelay(relay);
    for (DWORD handleNum = 0; handleNum < numOwned; ++handleNum) {
        CloseHandle(listed[handleNum]);
    }
    return errorNum;
}

DWORD CheckCommandLineInCodePage(UINT codePage) {
    const wchar_t *pLine = GetCommandLineW();
    if (codePage == CP_UTF8) {
        // Only an unpaired surrogate has no UTF-8 form.
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pLine, -1, nullptr, 0, nullptr,
                                   nullptr) == 0
                   ? ERROR_NO_UNICODE_TRANSLATION
                   : 0;
    }
    // Without best fit, a character the code page lacks becomes the default
    // character and says so, instead of turning into a look-alike.
    BOOL usedDefault = FALSE;
    const int numBytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, pLine, -1, nullptr, 0,
                                             nullptr, &usedDefault);
    return numBytes == 0 || usedDefault != FALSE ? ERROR_NO_UNICODE_TRANSLATION : 0;
}

DWORD CheckArgumentsExact() {
    return CheckCommandLineInCodePage(GetACP());
}

bool IsAbsoluteDirectory(const char *pDir) {
    return IsWindowsAbsoluteDirectory(pDir);
}

bool IsDriveRelativeDirectory(const char *pDir) {
    return IsWindowsDriveRelativeDirectory(pDir);
}

std::size_t CountUtf16Units(const char *pText) {
    const int numWide = MultiByteToWideChar(CP_ACP, 0, pText, -1, nullptr, 0);
    // The count includes the NUL. A text that does not convert has no
    // length a path could take.
    return numWide > 0 ? static_cast<std::size_t>(numWide) - 1 : SIZE_MAX;
}

int ProcessExitStatus(DWORD errorNum) {
    // Windows keeps the whole 32-bit number.
    return static_cast<int>(errorNum);
}
