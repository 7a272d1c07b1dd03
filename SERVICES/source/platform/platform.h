// The one header through which the program reaches its host.
//
// On Windows the Service Control Manager and registry calls are the real
// Win32 API from <windows.h>. Everywhere else the same names, types and
// error codes come from the simulated machine (simwin.h), so the program's
// own code never asks which host it runs on.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "simwin.h"
#endif

// Host services that are not Win32 calls of the program's own: the file
// copy and program start of the console merge, and the exit status.
// Both hosts implement them without any command interpreter.

// Copies pDir\pFrom to pDir\pTo unless pDir\pTo already exists. The new
// file appears complete or not at all (written under a temporary name in
// pDir and linked into place without replacing), so a concurrent run or
// a crash never leaves a partial backup standing. Returns 0 when pTo
// exists afterwards (made now or before), otherwise the host's error code.
DWORD CopyFileIfAbsent(const char *pDir, const char *pFrom, const char *pTo);

// Starts pDir\pProgram with the arguments ppArgs (numArgs of them, not
// counting the program itself), pDir as its current directory, its
// standard output sent to the null device and standard error shared with
// ours, and waits for it. Returns 0 when the program ran, with its exit
// status in *pExitStatus; otherwise the host's error code of the start.
DWORD RunProgramIn(const char *pDir, const char *pProgram, const char *const *ppArgs,
                   unsigned numArgs, DWORD *pExitStatus);

// The status to hand to exit() for an error number. Windows keeps all 32
// bits; a POSIX host keeps 8, where the mapping keeps every non-zero error
// number non-zero.
int ProcessExitStatus(DWORD errorNum);
