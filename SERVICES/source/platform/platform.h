// The one header through which the program reaches its host.
//
// On Windows the Service Control Manager and registry calls are the real
// Win32 API from <windows.h>. Everywhere else the same names, types and
// error codes come from the simulated machine (simwin.h), so the program's
// own code never asks which host it runs on.
#pragma once

#include <cstddef>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "simwin.h"
#endif

// Host services that are not Win32 calls of the program's own: the
// console merge's backup copy (CopyFileIfAbsent), its start of the merge
// tool (RunProgramIn) and the check that the tool can start in its
// directory (CheckProgramDirectory); the check that the command line
// arrived as typed (CheckArgumentsExact); what an absolute install
// directory is (IsAbsoluteDirectory) and what a console directory that
// depends on a drive's state is (IsDriveRelativeDirectory); a path's
// length as Windows counts it (CountUtf16Units); and the exit status
// (ProcessExitStatus). win32.cpp and posix.cpp implement them, neither
// with a command interpreter. CheckCommandLineInCodePage, at the end, is a
// Windows-only entry for a test.

// Copies pDir\pFrom to pDir\pTo unless pDir\pTo already exists. The new
// file appears complete or not at all (written under a temporary name in
// pDir and linked into place without replacing), so a concurrent run or
// a crash never leaves a partial backup standing. Returns 0 when pTo
// exists afterwards (made now or before), otherwise the host's error code.
DWORD CopyFileIfAbsent(const char *pDir, const char *pFrom, const char *pTo);

// Starts pDir\pProgram with the arguments ppArgs (numArgs of them, not
// counting the program itself), pDir as its current directory, our
// standard input, its standard output sent to the null device, and waits
// for it. Its standard error is a pipe of ours, relayed to our standard
// error until the program exits, unless ours is a console or terminal
// (then shared): a process the program leaves behind must not hold the
// caller's pipe open after we exit. Returns 0 when the program ran, with
// its exit status in *pExitStatus; otherwise the host's error code of the
// start.
DWORD RunProgramIn(const char *pDir, const char *pProgram, const char *const *ppArgs,
                   unsigned numArgs, DWORD *pExitStatus);

// 0 when the program's arguments are exactly what was typed, otherwise
// ERROR_NO_UNICODE_TRANSLATION: a Windows process whose code page is not
// UTF-8 receives its arguments best-fit mapped (a CJK letter as "?", a
// fullwidth backslash as "\\"), and would work on another path than the
// one named. A POSIX host hands the bytes over as they are.
DWORD CheckArgumentsExact();

// Whether pDir names a directory independently of any current directory,
// so that the Service Control Manager, whose current directory is its own,
// finds what the administrator meant: "X:\..." or "\\server\share\..."
// (either separator), and on a POSIX host also "/...".
bool IsAbsoluteDirectory(const char *pDir);

// The Windows forms of it, which both hosts accept.
inline bool IsWindowsAbsoluteDirectory(const char *pDir) {
    auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
    const char first = pDir[0];
    const bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
    if (letter && pDir[1] == ':' && isSeparator(pDir[2])) {
        return true;
    }
    if (!isSeparator(pDir[0]) || !isSeparator(pDir[1])) {
        return false;
    }
    // A server and a share, both named; "\\?\C:\" and "\\.\C:\" pass as well.
    const char *pName = pDir + 2;
    const char *pEnd = pName;
    while (*pEnd != '\0' && !isSeparator(*pEnd)) {
        ++pEnd;
    }
    if (pEnd == pName || *pEnd == '\0') {
        return false;
    }
    pName = ++pEnd;
    while (*pEnd != '\0' && !isSeparator(*pEnd)) {
        ++pEnd;
    }
    return pEnd != pName;
}

// Whether a console directory names a place that depends on a drive's
// state rather than on the current directory alone: relative to a drive's
// own current directory ("C:", "C:dir") or to the current drive's root
// ("\\dir", on Windows also "/dir"). The backup and the merge tool would
// resolve such a name each its own way, so the merge refuses it.
bool IsDriveRelativeDirectory(const char *pDir);

// The Windows forms of it; a POSIX host takes "/dir" for absolute.
inline bool IsWindowsDriveRelativeDirectory(const char *pDir) {
    auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
    const char first = pDir[0];
    const bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
    if (letter && pDir[1] == ':') {
        return !isSeparator(pDir[2]);
    }
    return isSeparator(first) && !isSeparator(pDir[1]);
}

// The length of a text in UTF-16 units, as Windows counts the characters
// of a path: from the process code page on Windows, from UTF-8 on a POSIX
// host, whose simulated machine stores the bytes it was given.
std::size_t CountUtf16Units(const char *pText);

// 0 when RunProgramIn can start pProgram with pDir as its current directory
// as far as the names go (Windows: shorter than MAX_PATH); otherwise the
// host's error code. Lets a caller refuse before it changes anything.
DWORD CheckProgramDirectory(const char *pDir, const char *pProgram);

// The status to hand to exit() for an error number. Windows keeps all 32
// bits; a POSIX host keeps 8, where the mapping keeps every non-zero error
// number non-zero.
int ProcessExitStatus(DWORD errorNum);

#ifdef _WIN32
// CheckArgumentsExact for a given code page, so that a test can run the
// check for a legacy code page on a system that honours the manifest's
// UTF-8 one.
DWORD CheckCommandLineInCodePage(UINT codePage);
#endif
