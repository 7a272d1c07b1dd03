// svcinfo.exe NAME [NAME...]
//
// Prints a service's configuration and state straight from the Service
// Control Manager, since Wine's `sc qc` prints nothing:
//   type=0x110 start=2 error=1 state=1 account=LocalSystem
//   path=<binary path>
//   display=<display name>
// or "absent" (exit status 1060) when the service does not exist. With
// several names each block is headed by "[NAME]", and absence is no error.
// Any other failure goes to standard error and becomes the exit status.

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

DWORD Show(SC_HANDLE hManager, const char *pName) {
    SC_HANDLE hService = OpenServiceA(hManager, pName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (hService == nullptr) {
        DWORD errorNum = GetLastError();
        if (errorNum == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("absent\n");
            return errorNum;
        }
        std::fprintf(stderr, "svcinfo: OpenServiceA %s failed: %lu\n", pName, errorNum);
        return errorNum;
    }

    DWORD errorNum = 0;
    DWORD needed = 0;
    QueryServiceConfigA(hService, nullptr, 0, &needed);
    std::vector<char> buffer(needed + 1);
    auto *pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer.data());
    SERVICE_STATUS status{};
    if (!QueryServiceConfigA(hService, pConfig, needed, &needed)) {
        errorNum = GetLastError();
        std::fprintf(stderr, "svcinfo: QueryServiceConfigA %s failed: %lu\n", pName, errorNum);
    } else if (!QueryServiceStatus(hService, &status)) {
        errorNum = GetLastError();
        std::fprintf(stderr, "svcinfo: QueryServiceStatus %s failed: %lu\n", pName, errorNum);
    } else {
        auto text = [](const char *p) { return p != nullptr ? p : ""; };
        std::printf("type=0x%lx start=%lu error=%lu state=%lu account=%s\n", pConfig->dwServiceType,
                    pConfig->dwStartType, pConfig->dwErrorControl, status.dwCurrentState,
                    text(pConfig->lpServiceStartName));
        std::printf("path=%s\n", text(pConfig->lpBinaryPathName));
        std::printf("display=%s\n", text(pConfig->lpDisplayName));
    }
    CloseServiceHandle(hService);
    return errorNum;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs("usage: svcinfo NAME [NAME...]\n", stderr);
        return 2;
    }
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (hManager == nullptr) {
        DWORD errorNum = GetLastError();
        std::fprintf(stderr, "svcinfo: OpenSCManagerA failed: %lu\n", errorNum);
        return static_cast<int>(errorNum);
    }
    DWORD result = 0;
    for (int i = 1; i < argc; ++i) {
        if (argc > 2)
            std::printf("[%s]\n", argv[i]);
        DWORD errorNum = Show(hManager, argv[i]);
        if (argc == 2 || errorNum != ERROR_SERVICE_DOES_NOT_EXIST)
            result = errorNum != 0 ? errorNum : result;
    }
    CloseServiceHandle(hManager);
    std::fflush(stdout);
    return static_cast<int>(result);
}
