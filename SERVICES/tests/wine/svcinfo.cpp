// svcinfo.exe NAME [NAME...]
//
// Prints a service's configuration and state straight from the Service
// Control Manager, since Wine's `sc qc` prints nothing:
//   type=0x110 start=2 error=1 state=1 account=LocalSystem marked=0
//   path=<binary path>
//   display=<display name>
// or "absent" (exit status 1060) when the service does not exist. With
// several names each block is headed by "[NAME]", and absence is no error.
// Any other failure goes to standard error and becomes the exit status.
//
// marked=1: the service is marked for deletion, which a configuration
// change that changes nothing tells (1072).
//
// Read through the wide calls and printed as UTF-8, so a test compares
// what the manager holds as Unicode, whatever code page quillmar ran with.

#include "started.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t *pText) {
    if (pText == nullptr)
        return "";
    int numBytes = WideCharToMultiByte(CP_UTF8, 0, pText, -1, nullptr, 0, nullptr, nullptr);
    std::string text(numBytes > 0 ? numBytes : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, pText, -1, text.data(), numBytes, nullptr, nullptr);
    text.resize(text.size() - 1);
    return text;
}

DWORD Show(SC_HANDLE hManager, const wchar_t *pName) {
    SC_HANDLE hService = OpenServiceW(
        hManager, pName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
    if (hService == nullptr) {
        DWORD errorNum = GetLastError();
        if (errorNum == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("absent\n");
            return errorNum;
        }
        std::fprintf(stderr, "svcinfo: OpenServiceW %s failed: %lu\n", Utf8(pName).c_str(),
                     errorNum);
        return errorNum;
    }

    DWORD errorNum = 0;
    DWORD needed = 0;
    QueryServiceConfigW(hService, nullptr, 0, &needed);
    std::vector<char> buffer(needed + sizeof(wchar_t));
    auto *pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    SERVICE_STATUS status{};
    if (!QueryServiceConfigW(hService, pConfig, needed, &needed)) {
        errorNum = GetLastError();
        std::fprintf(stderr, "svcinfo: QueryServiceConfigW failed: %lu\n", errorNum);
    } else if (!QueryServiceStatus(hService, &status)) {
        errorNum = GetLastError();
        std::fprintf(stderr, "svcinfo: QueryServiceStatus failed: %lu\n", errorNum);
    } else {
        const bool marked =
            !ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
            GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        std::printf("type=0x%lx start=%lu error=%lu state=%lu account=%s marked=%d\n",
                    pConfig->dwServiceType, pConfig->dwStartType, pConfig->dwErrorControl,
                    status.dwCurrentState, Utf8(pConfig->lpServiceStartName).c_str(),
                    marked ? 1 : 0);
        std::printf("path=%s\n", Utf8(pConfig->lpBinaryPathName).c_str());
        std::printf("display=%s\n", Utf8(pConfig->lpDisplayName).c_str());
    }
    CloseServiceHandle(hService);
    return errorNum;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    AnnounceStart();
    if (argc < 2) {
        std::fputs("usage: svcinfo NAME [NAME...]\n", stderr);
        return 2;
    }
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (hManager == nullptr) {
        DWORD errorNum = GetLastError();
        std::fprintf(stderr, "svcinfo: OpenSCManagerA failed: %lu\n", errorNum);
        return static_cast<int>(errorNum);
    }
    DWORD result = 0;
    for (int i = 1; i < argc; ++i) {
        if (argc > 2)
            std::printf("[%s]\n", Utf8(argv[i]).c_str());
        DWORD errorNum = Show(hManager, argv[i]);
        if (argc == 2 || errorNum != ERROR_SERVICE_DOES_NOT_EXIST)
            result = errorNum != 0 ? errorNum : result;
    }
    CloseServiceHandle(hManager);
    std::fflush(stdout);
    return static_cast<int>(result);
}
