// The host services of platform.h on Windows, with the Win32 API alone:
// no command interpreter ever sees a directory name.

#include "platform.h"

#include <string>

namespace {

std::string JoinPath(const char *pDir, const char *pName) {
    return std::string(pDir) + "\\" + pName;
}

// The extended-length form of a path ("\\?\C:\..."), so that a console
// directory near the 260-character limit still takes its backup and the
// temporary file beside it.
std::wstring LongPath(const std::string &path) {
    const int numWide = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (numWide <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(numWide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), numWide);
    const DWORD numFull = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (numFull == 0) {
        return {};
    }
    std::wstring full(numFull, L'\0');
    const DWORD numWritten = GetFullPathNameW(wide.c_str(), numFull, full.data(), nullptr);
    if (numWritten == 0 || numWritten >= numFull) {
        return {};
    }
    full.resize(numWritten);
    if (full.rfind(L"\\\\?\\", 0) == 0) {
        return full;
    }
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// Quotes one argument so that the C runtime's argument parser of the
// started program hands it over unchanged (blanks, quotes and the
// backslashes in front of them).
std::string QuoteArgument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    std::size_t numBackslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++numBackslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(numBackslashes * 2 + 1, '\\');
        } else {
            quoted.append(numBackslashes, '\\');
        }
        numBackslashes = 0;
        quoted += c;
    }
    quoted.append(numBackslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

// An inheritable duplicate of a standard handle, or the handle itself when
// there is none to duplicate.
HANDLE InheritableCopy(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        return handle;
    }
    return copy;
}

void CloseCopy(HANDLE copy, HANDLE original) {
    if (copy != original && copy != nullptr && copy != INVALID_HANDLE_VALUE) {
        CloseHandle(copy);
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
        return 0;
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
            errorNum = 0;
        }
    }
    return errorNum;
}

DWORD RunProgramIn(const char *pDir, const char *pProgram, const char *const *ppArgs,
                   unsigned numArgs, DWORD *pExitStatus) {
    const std::string application = JoinPath(pDir, pProgram);
    // A process cannot have a current directory of MAX_PATH or more (with
    // its trailing backslash); refuse it here rather than hand it to
    // CreateProcess, which is not safe with one everywhere.
    const DWORD numFullDir = GetFullPathNameA(pDir, 0, nullptr, nullptr);
    if (numFullDir == 0) {
        return GetLastError();
    }
    if (numFullDir + 1 > MAX_PATH || application.size() >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    std::string commandLine = QuoteArgument(application);
    for (unsigned argNum = 0; argNum < numArgs; ++argNum) {
        commandLine += ' ';
        commandLine += QuoteArgument(ppArgs[argNum]);
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE hNull = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hNull == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE hError = GetStdHandle(STD_ERROR_HANDLE);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableCopy(hInput);
    startup.hStdOutput = hNull;
    startup.hStdError = InheritableCopy(hError);

    PROCESS_INFORMATION process{};
    DWORD errorNum = 0;
    if (CreateProcessA(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       pDir, &startup, &process) == 0) {
        errorNum = GetLastError();
    } else {
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
    CloseCopy(startup.hStdInput, hInput);
    CloseCopy(startup.hStdError, hError);
    CloseHandle(hNull);
    return errorNum;
}

int ProcessExitStatus(DWORD errorNum) {
    // Windows keeps the whole 32-bit number.
    return static_cast<int>(errorNum);
}
