// quillmar: starts, stops, installs and removes the suite's three services
// through the Service Control Manager, and merges the suite's INI file into
// the management console's.
//
// One module of plain functions over static tables. Every operation returns
// an error number (0 for success); a failure is reported where it happens,
// through DisplayError, and callers pass the number on without reporting it
// again. One failure is reported twice: when an install of flm cannot retire
// the obsolete agent, the nested removal reports its failed step, and the
// installation, which ends with that number, reports it once more under
// "opening service".
#pragma once

#include "platform.h"

#include <array>
#include <cstddef>

// ---- catalogue ----------------------------------------------------------

// One operation that the command line can request.
struct FlagData {
    const char *pFlag; // the option without its leading minus
    const char *pInfo; // heading written in display mode
};

// One registry sub-key that an install creates below a service's key.
struct subKey {
    DWORD numParms;
    const char *pName;
    const char *const *ppParmsName; // value names, in argument order
};

// One service of the catalogue; its index is its service number.
struct DoublePointer {
    const char *pInputName;       // code on the command line
    const char *pServiceName;     // name in the Service Control Manager
    const char *pServiceFilename; // executable, or null when not installable
    const char *pServiceTitle;    // display name and display-mode heading
    const char *pKey;             // service key below HKEY_LOCAL_MACHINE
    DWORD numSubKeys;
    const subKey *pSubKeys;
};

constexpr unsigned numFlags = 4;
constexpr unsigned numServices = 3;

extern FlagData flags[numFlags];
extern std::array<DoublePointer, numServices> myServices;
extern const char *const ELogParms[2];
extern const char *const FLMParms[2];
extern subKey ELogSubKeys[1];
extern subKey FLMSubKeys[1];

// The agent's name before it was renamed: start, stop and install of its
// row still look for it, and an install retires it under this title.
inline constexpr const char *pObsoleteFlmName = "Orv_Field_Link_Mgr";
inline constexpr const char *pObsoleteFlmTitle = "Old Orv Field Link Manager";

// Action masks: the access with which the service is opened selects the
// operation.
constexpr DWORD actionStart = SERVICE_START | SERVICE_QUERY_STATUS; // 0x14
constexpr DWORD actionStop = SERVICE_STOP | SERVICE_QUERY_STATUS;   // 0x24

// The program's own error numbers.
constexpr DWORD errorAlreadyRunning = 50001;
constexpr DWORD errorAlreadyStopped = 50002;
constexpr DWORD errorNoValidService = 50003;
constexpr DWORD errorWrongNumParms = 50004;
constexpr DWORD errorNotSupported = 50005;
// The C library's "no such file or directory" in the program's numbering,
// whatever the host's errno calls it.
constexpr DWORD errorNoSuchFile = 1;

// ---- console reporting ----------------------------------------------------

// The buffer main gives standard output: larger than the longest stretch
// written between two flushes (the usage text after "????"), so that each
// flush is one write. Left to itself the C runtime on Windows writes every
// byte to a console or the null device on its own.
constexpr std::size_t streamBufferSize = 4096;

extern BOOL display;  // 1 in display mode (-d)
extern DWORD numTabs; // indentation of DisplayMsg

BOOL EnvVariable(int numArgs, char **argv, const char *pType, int *pNum);
void DisplayError(const char *pTxt, DWORD errorNum);
void DisplayMsg(const char *pMsg);
void Help();

// ---- dispatch -------------------------------------------------------------

DWORD ControlOptions(int numArgs, char **argv, DWORD *pNumOperations);
DWORD GetAllNumParameters(DWORD serviceNum);

// ---- operations -----------------------------------------------------------

DWORD StartStopService(DWORD action, DWORD serviceNum);
DWORD InstallService(DWORD serviceNum, char **ppParms);
DWORD RemoveService(DWORD serviceNum);
DWORD MergeHalvorin(const char *pPath);

// The whole run behind main: help path or dispatch; returns the error
// number that becomes the exit status.
DWORD RunQuillmar(int arg, char **argv);
