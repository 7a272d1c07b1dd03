// Fills the simulated machine (QUILLMAR_MACHINE) with N other services for
// the growth benchmark, each like the catalogue's first service with
// parameters, through the machine's own calls, so that its files are what an
// administrator's filling would leave: quillmar_bench_seed N

#include "quillmar.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// 0, or the error number of the call that failed.
DWORD SeedOne(SC_HANDLE hSCManager, const DoublePointer &model, const std::string &number) {
    const std::string name = "BenchSvc" + number;
    const std::string title = "Benchmark Filler Service " + number;
    const std::string image = "C:\\Bench\\svc" + number + ".exe";
    SC_HANDLE hSCService =
        CreateServiceA(hSCManager, name.c_str(), title.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (hSCService == nullptr) {
        return GetLastError();
    }
    // A machine in use has some of its services running: every tenth here.
    const bool started = number.back() != '0' || StartServiceA(hSCService, 0, nullptr);
    DWORD errorNum = started ? 0 : GetLastError();
    CloseServiceHandle(hSCService);

    std::string keyName = model.pKey;
    keyName.replace(keyName.rfind('\\') + 1, std::string::npos, name);
    for (DWORD k = 0; errorNum == 0 && k < model.numSubKeys; ++k) {
        const subKey &sub = model.pSubKeys[k];
        HKEY hKey = nullptr;
        DWORD disposition = 0;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (keyName + "\\" + sub.pName).c_str(), 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, &disposition);
        for (DWORD parm = 0; rc == 0 && parm < sub.numParms; ++parm) {
            rc = RegSetValueExA(hKey, sub.ppParmsName[parm], 0, REG_SZ,
                                reinterpret_cast<const BYTE *>(image.c_str()),
                                static_cast<DWORD>(image.size() + 1));
        }
        if (hKey != nullptr) {
            RegCloseKey(hKey);
        }
        errorNum = static_cast<DWORD>(rc);
    }
    return errorNum;
}

} // namespace

int main(int argc, char **argv) {
    const auto *pModel = std::find_if(myServices.begin(), myServices.end(),
                                      [](const auto &row) { return row.numSubKeys > 0; });
    if (argc != 2 || pModel == myServices.end()) {
        std::fprintf(stderr, "usage: quillmar_bench_seed N   (machine: QUILLMAR_MACHINE)\n");
        return 2;
    }
    const unsigned long count = std::strtoul(argv[1], nullptr, 10);
    SC_HANDLE hSCManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    DWORD errorNum = hSCManager == nullptr ? GetLastError() : 0;
    char number[24] = "";
    for (unsigned long num = 1; errorNum == 0 && num <= count; ++num) {
        std::snprintf(number, sizeof number, "%04lu", num);
        errorNum = SeedOne(hSCManager, *pModel, number);
    }
    if (hSCManager != nullptr) {
        CloseServiceHandle(hSCManager);
    }
    if (errorNum != 0) {
        std::fprintf(stderr, "seed_machine: error %lu (service %s)\n",
                     static_cast<unsigned long>(errorNum), number[0] ? number : "manager");
    }
    return errorNum == 0 ? 0 : 1;
}
