#include "sim_test_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace simtest {

void MachineTest::SetUp() {
    char tmpl[] = "/tmp/quillmar-sim-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = std::string(tmpl) + "/machine";
    setenv("QUILLMAR_MACHINE", dir.c_str(), 1);
    quillmar::sim::ResetProcessStateForTests();
}

void MachineTest::TearDown() {
    for (SC_HANDLE h : opened)
        CloseServiceHandle(h);
    if (scm)
        CloseServiceHandle(scm);
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(fs::path(dir).parent_path(), ec);
}

std::string MachineTest::Read(const std::string &rel) const {
    std::ifstream in(Path(rel), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void MachineTest::Write(const std::string &rel, const std::string &text) const {
    fs::create_directories(fs::path(Path(rel)).parent_path());
    std::ofstream out(Path(rel), std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::string> MachineTest::Files(const std::string &rel) const {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto &e : fs::recursive_directory_iterator(Path(rel), ec))
        out.push_back(e.path().lexically_relative(dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

SC_HANDLE MachineTest::Scm(DWORD access) {
    if (!scm)
        scm = OpenSCManagerA(nullptr, nullptr, access);
    return scm;
}

DWORD MachineTest::Install(const std::string &name, const char *display, DWORD type,
                           const char *account, const char *dependencies) {
    SC_HANDLE h = CreateServiceA(Scm(), name.c_str(), display, SERVICE_ALL_ACCESS, type,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\svc\\run.exe",
                                 nullptr, nullptr, dependencies, account, nullptr);
    if (!h)
        return GetLastError();
    CloseServiceHandle(h);
    return 0;
}

DWORD MachineTest::Remove(const std::string &name) {
    SC_HANDLE h = OpenServiceA(Scm(), name.c_str(), DELETE);
    if (!h)
        return GetLastError();
    DWORD rc = DeleteService(h) ? 0 : GetLastError();
    CloseServiceHandle(h);
    return rc;
}

SC_HANDLE MachineTest::Service(const std::string &name, DWORD access) {
    SC_HANDLE h = OpenServiceA(Scm(), name.c_str(), access);
    if (h)
        opened.push_back(h);
    return h;
}

BOOL MachineTest::Close(SC_HANDLE h) {
    std::erase(opened, h);
    return CloseServiceHandle(h);
}

LONG MachineTest::Query(const std::string &key, const std::string &value, DWORD *type,
                        std::string *data) {
    HKEY h;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h);
    if (rc)
        return rc;
    DWORD size = 0;
    rc = RegQueryValueExA(h, value.c_str(), nullptr, type, nullptr, &size);
    if (!rc && data) {
        data->assign(size, '\0');
        rc = RegQueryValueExA(h, value.c_str(), nullptr, type,
                              reinterpret_cast<BYTE *>(data->data()), &size);
    }
    RegCloseKey(h);
    return rc;
}

LONG MachineTest::Set(const std::string &key, const std::string &value, DWORD type,
                      const std::string &data) {
    HKEY h;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr);
    if (rc)
        return rc;
    rc = RegSetValueExA(h, value.c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                        static_cast<DWORD>(data.size()));
    RegCloseKey(h);
    return rc;
}

std::string Dword(DWORD v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

long NumOpen() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

DWORD Change(SC_HANDLE h, DWORD start, const char *path, const char *display, DWORD type,
             const char *account) {
    return Err(ChangeServiceConfigA(h, type, start, SERVICE_NO_CHANGE, path, nullptr, nullptr,
                                    nullptr, account, nullptr, display));
}

} // namespace simtest
