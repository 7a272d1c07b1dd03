// The Win32 subset that the program uses, as the simulated machine
// provides it on hosts without Windows: the same names, types, constants
// and error codes as <windows.h>, with the same meaning.
//
// The machine is a directory (QUILLMAR_MACHINE, else a per-user default);
// quillmar-machine(5) (docs/quillmar-machine.5.scd) gives its files and
// settings, SIMULATED-MACHINE.md how each call answers.
#pragma once

#include <cstdint>

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using BYTE = unsigned char;
using REGSAM = DWORD;
using LPCSTR = const char *;
using LPSTR = char *;
using LPDWORD = DWORD *;
using LPBYTE = BYTE *;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void *lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;

// Opaque handles, as on Windows.
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__ *;
struct HKEY__;
using HKEY = HKEY__ *;
using PHKEY = HKEY *;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS *;

// Predefined key, numbered as on Windows.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002U)))

// Access rights.
#define DELETE 0x00010000U
#define STANDARD_RIGHTS_REQUIRED 0x000F0000U
#define MAXIMUM_ALLOWED 0x02000000U
#define GENERIC_ALL 0x10000000U
#define GENERIC_EXECUTE 0x20000000U
#define GENERIC_WRITE 0x40000000U
#define GENERIC_READ 0x80000000U
#define SC_MANAGER_CONNECT 0x0001U
#define SC_MANAGER_CREATE_SERVICE 0x0002U
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004U
#define SC_MANAGER_ALL_ACCESS 0x000F003FU
#define SERVICE_QUERY_CONFIG 0x0001U
#define SERVICE_CHANGE_CONFIG 0x0002U
#define SERVICE_QUERY_STATUS 0x0004U
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008U
#define SERVICE_START 0x0010U
#define SERVICE_STOP 0x0020U
#define SERVICE_PAUSE_CONTINUE 0x0040U
#define SERVICE_INTERROGATE 0x0080U
#define SERVICE_USER_DEFINED_CONTROL 0x0100U
#define SERVICE_ALL_ACCESS 0x000F01FFU
#define KEY_QUERY_VALUE 0x0001U
#define KEY_SET_VALUE 0x0002U
#define KEY_CREATE_SUB_KEY 0x0004U
#define KEY_ENUMERATE_SUB_KEYS 0x0008U
#define KEY_READ 0x00020019U
#define KEY_WRITE 0x00020006U
#define KEY_ALL_ACCESS 0x000F003FU

// Service types, start types, error control, controls and states.
#define SERVICE_KERNEL_DRIVER 0x00000001U
#define SERVICE_WIN32_OWN_PROCESS 0x00000010U
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020U
#define SERVICE_INTERACTIVE_PROCESS 0x00000100U
#define SERVICE_AUTO_START 0x00000002U
#define SERVICE_DEMAND_START 0x00000003U
#define SERVICE_DISABLED 0x00000004U
#define SERVICE_ERROR_IGNORE 0x00000000U
#define SERVICE_ERROR_NORMAL 0x00000001U
#define SERVICE_NO_CHANGE 0xFFFFFFFFU
#define SERVICE_CONTROL_STOP 0x00000001U
#define SERVICE_CONTROL_INTERROGATE 0x00000004U
#define SERVICE_STOPPED 0x00000001U
#define SERVICE_START_PENDING 0x00000002U
#define SERVICE_STOP_PENDING 0x00000003U
#define SERVICE_RUNNING 0x00000004U
#define SERVICE_ACCEPT_STOP 0x00000001U

// Registry value types and options.
#define REG_NONE 0U
#define REG_SZ 1U
#define REG_EXPAND_SZ 2U
#define REG_BINARY 3U
#define REG_DWORD 4U
#define REG_MULTI_SZ 7U
#define REG_OPTION_NON_VOLATILE 0x00000000U
#define REG_CREATED_NEW_KEY 0x00000001U
#define REG_OPENED_EXISTING_KEY 0x00000002U

// System error codes.
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_DUP_NAME 52L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NOACCESS 998L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DEPENDENT_SERVICES_RUNNING 1051L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_INVALID_SERVICE_ACCOUNT 1057L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_CIRCULAR_DEPENDENCY 1059L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_PROCESS_ABORTED 1067L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_DUPLICATE_SERVICE_NAME 1078L
#define RPC_S_SERVER_UNAVAILABLE 1722L

// Service Control Manager (advapi32 on Windows).
SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors);
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR lpPassword);
BOOL ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                          DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                          LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                          LPCSTR lpPassword, LPCSTR lpDisplayName);
BOOL DeleteService(SC_HANDLE hService);
BOOL GetServiceDisplayNameA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPSTR lpDisplayName,
                            LPDWORD lpcchBuffer);
BOOL CloseServiceHandle(SC_HANDLE hSCObject);

// Registry (advapi32 on Windows).
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                    DWORD cbData);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

// Thread state and time (kernel32 on Windows).
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
void Sleep(DWORD dwMilliseconds);
