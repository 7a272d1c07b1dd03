// exitcode.exe <codefile> [--escapes] [--pipes] <program> [args...]
//
// Wine hands Linux only the low 8 bits of an exit code, and quillmar's
// error numbers (50003, 1060, ...) need all 32. This launcher runs the
// program with the launcher's own standard handles, waits for it, and
// writes GetExitCodeProcess in decimal to <codefile>. Its own exit status
// is the program's, for whoever reads only the low bits.
//
// Each argument is quoted for the MSVCRT argv parser, so blanks, quotes,
// backslashes and shell characters (&, %, ^) arrive unchanged.
//
// --escapes: in the program's arguments "\uXXXX" (four hex digits) stands
// for that UTF-16 unit and nothing else holds a backslash, so a test can
// hand over what no UTF-8 command line from Linux can carry, such as an
// unpaired surrogate.
//
// --pipes: the program's standard output and error are pipes of the
// launcher's, read to their ends and copied to its own, as an installer
// reads a program's output. Under Wine every process also inherits its
// parent's Unix standard error whatever its standard error handle is, so
// only such a Windows pipe tells whether a process the program left behind
// holds its output.

#include "started.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
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

// An argument with its "\uXXXX" escapes replaced by their units.
std::wstring Unescape(const std::wstring &arg) {
    std::wstring out;
    for (size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] == L'\\' && i + 5 < arg.size() && arg[i + 1] == L'u') {
            out += static_cast<wchar_t>(std::wcstoul(arg.substr(i + 2, 4).c_str(), nullptr, 16));
            i += 5;
        } else {
            out += arg[i];
        }
    }
    return out;
}

// One pipe read to its end and copied to one of the launcher's handles.
struct Copy {
    HANDLE hRead;
    HANDLE hTo;
};

DWORD WINAPI CopyToEnd(LPVOID pParam) {
    const Copy *pCopy = static_cast<const Copy *>(pParam);
    char buffer[4096];
    DWORD numRead = 0;
    while (ReadFile(pCopy->hRead, buffer, sizeof buffer, &numRead, nullptr) && numRead > 0) {
        DWORD numWritten = 0;
        WriteFile(pCopy->hTo, buffer, numRead, &numWritten, nullptr);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    AnnounceStart();
    bool escapes = false;
    bool pipes = false;
    // The options stand after the code file; shift them out.
    while (argc > 2 &&
           (std::wstring(argv[2]) == L"--escapes" || std::wstring(argv[2]) == L"--pipes")) {
        (std::wstring(argv[2]) == L"--escapes" ? escapes : pipes) = true;
        argv[2] = argv[1];
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fputs("usage: exitcode <codefile> [--escapes] [--pipes] <program> [args...]\n",
                   stderr);
        return 2;
    }
    std::wstring commandLine = QuoteArg(argv[2]);
    for (int i = 3; i < argc; ++i)
        commandLine += L' ' + QuoteArg(escapes ? Unescape(argv[i]) : std::wstring(argv[i]));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableStd(STD_INPUT_HANDLE);
    Copy copies[2] = {{nullptr, GetStdHandle(STD_OUTPUT_HANDLE)},
                      {nullptr, GetStdHandle(STD_ERROR_HANDLE)}};
    HANDLE writeEnds[2] = {nullptr, nullptr};
    if (pipes) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        for (int i = 0; i < 2; ++i) {
            if (!CreatePipe(&copies[i].hRead, &writeEnds[i], &inherit, 0)) {
                std::fprintf(stderr, "exitcode: cannot make a pipe (%lu)\n", GetLastError());
                return 2;
            }
            SetHandleInformation(copies[i].hRead, HANDLE_FLAG_INHERIT, 0);
        }
        startup.hStdOutput = writeEnds[0];
        startup.hStdError = writeEnds[1];
    } else {
        startup.hStdOutput = InheritableStd(STD_OUTPUT_HANDLE);
        startup.hStdError = InheritableStd(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "exitcode: cannot start the program (%lu)\n", GetLastError());
        return 2;
    }
    if (pipes) {
        // Only the program (and what it hands them to) holds the write ends.
        HANDLE threads[2];
        for (int i = 0; i < 2; ++i) {
            CloseHandle(writeEnds[i]);
            threads[i] = CreateThread(nullptr, 0, CopyToEnd, &copies[i], 0, nullptr);
        }
        WaitForMultipleObjects(2, threads, TRUE, INFINITE);
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
