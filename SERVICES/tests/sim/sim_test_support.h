// A fresh simulated machine per test, and small helpers around it.
#pragma once

#include "platform.h"
#include "sim_internal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace simtest {

// What f returns when no file may grow, as on a full disk: a write that
// would make one larger fails with EFBIG.
template <typename F> auto WithoutRoom(F f) {
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit none = saved;
    none.rlim_cur = 0;
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &none);
    const auto result = f();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    return result;
}

inline const std::string kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

// Public, so that a table's rows may set the machine up.
class MachineTest : public ::testing::Test {
  public:
    void SetUp() override;
    void TearDown() override;

    std::string Path(const std::string &rel) const { return dir + "/" + rel; }
    std::string Read(const std::string &rel) const;
    void Write(const std::string &rel, const std::string &text) const;
    bool Exists(const std::string &rel) const { return std::filesystem::exists(Path(rel)); }
    // Every entry below rel, relative to the machine directory, sorted.
    std::vector<std::string> Files(const std::string &rel = "") const;

    SC_HANDLE Scm(DWORD access = SC_MANAGER_ALL_ACCESS);
    // The create's error; the handle is closed.
    DWORD Install(const std::string &name, const char *display = nullptr,
                  DWORD type = SERVICE_WIN32_OWN_PROCESS, const char *account = nullptr,
                  const char *dependencies = nullptr);
    // Opens, deletes and closes the service, as quillmar does: the first error.
    DWORD Remove(const std::string &name);
    // A service handle, closed at the end of the test.
    SC_HANDLE Service(const std::string &name, DWORD access = SERVICE_ALL_ACCESS);
    // Closes a handle from Service() before the end of the test. Handles
    // are process-wide: one left open would hold its service in later tests.
    BOOL Close(SC_HANDLE h);
    // The value's type and bytes through the API, or the error code.
    LONG Query(const std::string &key, const std::string &value, DWORD *type = nullptr,
               std::string *data = nullptr);
    LONG Set(const std::string &key, const std::string &value, DWORD type, const std::string &data);

    std::string dir;
    SC_HANDLE scm = nullptr;
    std::vector<SC_HANDLE> opened;
};

// Bytes of a REG_SZ as RegSetValueExA gets them, and of a REG_DWORD.
inline std::string Sz(const std::string &s) {
    return s + '\0';
}
std::string Dword(DWORD v);
// The descriptors this process holds open.
long NumOpen();
inline DWORD Err(BOOL ok) {
    return ok ? 0 : GetLastError();
}
// ChangeServiceConfigA of what is given, nothing else changed; its error.
DWORD Change(SC_HANDLE h, DWORD start, const char *path = nullptr, const char *display = nullptr,
             DWORD type = SERVICE_NO_CHANGE, const char *account = nullptr);

struct ByLabel {
    template <typename P> std::string operator()(const ::testing::TestParamInfo<P> &p) const {
        return p.param.label;
    }
};

} // namespace simtest
