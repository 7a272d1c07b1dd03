// Fills a simulated machine with N other services for the growth benchmark:
// each created through CreateServiceA, given a Parameters key with two string
// values, and every tenth one started, all in one process. Going through the
// machine's own calls keeps the files exactly what quillmar would meet on a
// machine that an administrator had filled, without copying their format.
//
//   seed_machine N            (the machine is QUILLMAR_MACHINE, as for quillmar)

#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Fail(const char *pStep, const std::string &name, DWORD errorNum) {
    std::fprintf(stderr, "seed_machine: %s %s: error %lu\n", pStep, name.c_str(),
                 static_cast<unsigned long>(errorNum));
    return 1;
}

int SeedOne(SC_HANDLE hSCManager, unsigned num) {
    char name[32];
    char title[64];
    char image[64];
    std::snprintf(name, sizeof name, "BenchSvc%04u", num);
    std::snprintf(title, sizeof title, "Benchmark Filler Service %04u", num);
    std::snprintf(image, sizeof image, "C:\\Bench\\svc%04u.exe", num);

    SC_HANDLE hSCService =
        CreateServiceA(hSCManager, name, title, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image, nullptr, nullptr, nullptr,
                       nullptr, nullptr);
    if (hSCService == nullptr) {
        return Fail("creating", name, GetLastError());
    }
    // A machine in use has some of its services running.
    if (num % 10 == 0 && !StartServiceA(hSCService, 0, nullptr)) {
        const DWORD errorNum = GetLastError();
        CloseServiceHandle(hSCService);
        return Fail("starting", name, errorNum);
    }
    CloseServiceHandle(hSCService);

    std::string keyName =
        std::string("SYSTEM\\CurrentControlSet\\Services\\") + name + "\\Parameters";
    HKEY hKey = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, &disposition);
    if (rc != 0) {
        return Fail("creating the key of", name, static_cast<DWORD>(rc));
    }
    const char *const values[2][2] = {{"AppDirectory", "C:\\Bench"}, {"LogFile", image}};
    for (const auto &value : values) {
        rc = RegSetValueExA(hKey, value[0], 0, REG_SZ, reinterpret_cast<const BYTE *>(value[1]),
                            static_cast<DWORD>(std::strlen(value[1]) + 1));
        if (rc != 0) {
            RegCloseKey(hKey);
            return Fail("setting a value of", name, static_cast<DWORD>(rc));
        }
    }
    RegCloseKey(hKey);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_machine N   (machine: QUILLMAR_MACHINE)\n");
        return 2;
    }
    const unsigned count = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    SC_HANDLE hSCManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (hSCManager == nullptr) {
        return Fail("opening", "the service manager", GetLastError());
    }
    for (unsigned num = 1; num <= count; ++num) {
        if (SeedOne(hSCManager, num) != 0) {
            CloseServiceHandle(hSCManager);
            return 1;
        }
    }
    CloseServiceHandle(hSCManager);
    return 0;
}
