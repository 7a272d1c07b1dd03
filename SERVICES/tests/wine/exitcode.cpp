// exitcode.exe <codefile> <program> [args...]
//
// Wine hands Linux only the low 8 bits of an exit code, and quillmar's
// error numbers (50003, 1060, ...) need all 32. This launcher runs the
// program with the launcher's own standard handles, waits for it, and
// writes GetExitCodeProcess in decimal to <codefile>. Its own exit status
// is the program's, for whoever reads only the low bits.
//
// Each argument is quoted for the MSVCRT argv parser, so blanks, quotes,
// backslashes and shell characters (&, %, ^) arrive unchanged.

#include "started.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The inverse of the C runtime's parser: backslashes are literal unless
// they precede a quote, where each must be doubled; a quote is escaped with
// a backslash; the whole argument is quoted when it is empty or holds
// blanks or quotes.
std::wstring QuoteArg(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    size_t numBackslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++numBackslashes;
            continue;
        }
        if (c == L'"')
            quoted.append(numBackslashes * 2 + 1, L'\\');
        else
            quoted.append(numBackslashes, L'\\');
        numBackslashes = 0;
        quoted += c;
    }
    quoted.append(numBackslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

HANDLE InheritableStd(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return handle;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    AnnounceStart();
    if (argc < 3) {
        std::fputs("usage: exitcode <codefile> <program> [args...]\n", stderr);
        return 2;
    }
    std::wstring commandLine = QuoteArg(argv[2]);
    for (int i = 3; i < argc; ++i)
        commandLine += L' ' + QuoteArg(argv[i]);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableStd(STD_INPUT_HANDLE);
    startup.hStdOutput = InheritableStd(STD_OUTPUT_HANDLE);
    startup.hStdError = InheritableStd(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "exitcode: cannot start the program (%lu)\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    std::FILE *pFile = _wfopen(argv[1], L"wb");
    if (pFile == nullptr) {
        std::fputs("exitcode: cannot write the code file\n", stderr);
        return 2;
    }
    std::fprintf(pFile, "%lu\n", code);
    std::fclose(pFile);
    return static_cast<int>(code);
}
