// Reg* calls against a fresh machine: results as Windows gives them, and
// where in the store each key ends up.
#include "sim_test_support.h"

#include <cstring>
#include <thread>

using namespace quillmar::sim;
using namespace simtest;

namespace {

class Registry : public simtest::MachineTest {};

const std::string kParams = kServicesKey + "OrvEvtLogger\\Parameters";

LONG Open(const char *key, REGSAM access, HKEY *h) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, access, h);
}

LONG Create(const char *key, REGSAM access, HKEY *h, DWORD *disposition = nullptr) {
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, access, nullptr, h, disposition);
}

TEST_F(Registry, ValuesRoundTripThroughTheStore) {
    const std::pair<DWORD, std::string> values[] = {
        {REG_SZ, Sz("quote \" and \\ backslash")},  {REG_SZ, Sz("line\nbreak")},
        {REG_SZ, Sz("\xC3\xA9t\xC3\xA9")},          {REG_SZ, Sz(std::string(1000000, 'v'))},
        {REG_EXPAND_SZ, Sz("%SystemRoot%\\x.exe")}, {REG_DWORD, Dword(0x80000001)},
        {REG_BINARY, std::string("\0\1\2", 3)},
    };
    const long numOpen = NumOpen();
    // Enough values before them that the key no longer looks through its values one by one.
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(Set(kParams, "pad" + std::to_string(i), REG_DWORD, Dword(i)), 0);
    for (std::size_t i = 0; i < std::size(values); ++i)
        ASSERT_EQ(Set(kParams, "v" + std::to_string(i), values[i].first, values[i].second), 0);
    for (std::size_t i = 0; i < std::size(values); ++i) {
        DWORD type = 0;
        std::string data;
        ASSERT_EQ(Query(kParams, "V" + std::to_string(i), &type, &data), 0);
        EXPECT_EQ(type, values[i].first) << i;
        EXPECT_EQ(data, values[i].second) << i;
    }
    EXPECT_EQ(Query(kParams, "PAD0"), 0);
    EXPECT_EQ(NumOpen(), numOpen) << "no descriptor left open";
}

TEST_F(Registry, QueryReportsSizeAndShortBuffers) {
    ASSERT_EQ(Set("SOFTWARE\\V", "s", REG_SZ, Sz("12345")), 0);
    HKEY h;
    ASSERT_EQ(Open("SOFTWARE\\V", KEY_QUERY_VALUE, &h), 0);
    DWORD size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExA(h, "s", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    BYTE small[3];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(h, "s", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(h, "s", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(h), 0);
}

TEST_F(Registry, ErrorsAsOnWindows) {
    HKEY readOnly, writeOnly, closed;
    ASSERT_EQ(Create("SOFTWARE\\E", KEY_READ, &readOnly), 0);
    ASSERT_EQ(Open("SOFTWARE\\E", KEY_SET_VALUE, &writeOnly), 0);
    ASSERT_EQ(Open("SOFTWARE", KEY_READ, &closed), 0);
    ASSERT_EQ(RegCloseKey(closed), 0);
    // Keys whose files are damaged once opened: a built-in one reads its file only for values.
    HKEY damaged, hive;
    ASSERT_EQ(Create("SYSTEM\\CurrentControlSet\\Services\\Damaged", KEY_ALL_ACCESS, &damaged), 0);
    ASSERT_EQ(Open("SYSTEM", KEY_ALL_ACCESS, &hive), 0);
    Write("registry/services/damaged.reg", "rubbish");
    Write("registry/system.reg", "rubbish");
    HKEY garbage = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x1234));
    const BYTE one[] = {1, 0, 0, 0};
    HKEY out;
    DWORD size = 4;
    BYTE buf[4];

    struct Case {
        const char *what;
        LONG got, want;
    } cases[] = {
        {"open missing", Open("SOFTWARE\\Nope", KEY_READ, &out), ERROR_FILE_NOT_FOUND},
        {"open below missing", Open("SOFTWARE\\Nope\\X", KEY_READ, &out), ERROR_FILE_NOT_FOUND},
        {"leading backslash", Open("\\SOFTWARE", KEY_READ, &out), ERROR_BAD_PATHNAME},
        {"new hive", Create("NEWHIVE\\X", KEY_ALL_ACCESS, &out), ERROR_ACCESS_DENIED},
        {"missing value", RegQueryValueExA(readOnly, "none", nullptr, nullptr, buf, &size),
         ERROR_FILE_NOT_FOUND},
        {"set without right", RegSetValueExA(readOnly, "v", 0, REG_DWORD, one, 4),
         ERROR_ACCESS_DENIED},
        {"query without right", RegQueryValueExA(writeOnly, "v", nullptr, nullptr, buf, &size),
         ERROR_ACCESS_DENIED},
        {"null handle", RegSetValueExA(nullptr, "v", 0, REG_DWORD, one, 4), ERROR_INVALID_HANDLE},
        {"garbage handle", RegQueryValueExA(garbage, "v", nullptr, nullptr, buf, &size),
         ERROR_INVALID_HANDLE},
        {"closed handle", RegOpenKeyExA(closed, "X", 0, KEY_READ, &out), ERROR_INVALID_HANDLE},
        {"close twice", RegCloseKey(closed), ERROR_INVALID_HANDLE},
        {"null data", RegSetValueExA(writeOnly, "v", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS},
        {"no result", Open("SOFTWARE", KEY_READ, nullptr), ERROR_INVALID_PARAMETER},
        {"set at the root", RegSetValueExA(HKEY_LOCAL_MACHINE, "v", 0, REG_DWORD, one, 4),
         ERROR_ACCESS_DENIED},
        {"query at the root",
         RegQueryValueExA(HKEY_LOCAL_MACHINE, "v", nullptr, nullptr, buf, &size),
         ERROR_FILE_NOT_FOUND},
        {"damaged, open", Open("SYSTEM\\CurrentControlSet\\Services\\Damaged", KEY_READ, &out),
         ERROR_REGISTRY_CORRUPT},
        {"damaged, create",
         Create("SYSTEM\\CurrentControlSet\\Services\\Damaged\\S", KEY_READ, &out),
         ERROR_REGISTRY_CORRUPT},
        {"damaged, create below",
         RegCreateKeyExA(damaged, "S", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
         ERROR_REGISTRY_CORRUPT},
        {"damaged, set", RegSetValueExA(damaged, "v", 0, REG_DWORD, one, 4),
         ERROR_REGISTRY_CORRUPT},
        {"damaged, query", RegQueryValueExA(damaged, "v", nullptr, nullptr, buf, &size),
         ERROR_REGISTRY_CORRUPT},
        {"file not written",
         WithoutRoom([&] { return Create("SOFTWARE\\Unwritten", KEY_READ, &out); }),
         ERROR_CANTWRITE},
        {"value not written",
         WithoutRoom([&] { return RegSetValueExA(writeOnly, "v", 0, REG_DWORD, one, 4); }),
         ERROR_CANTWRITE},
        {"damaged hive, set", RegSetValueExA(hive, "v", 0, REG_DWORD, one, 4),
         ERROR_REGISTRY_CORRUPT},
        {"damaged hive, query", RegQueryValueExA(hive, "v", nullptr, nullptr, buf, &size),
         ERROR_REGISTRY_CORRUPT},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.got, c.want) << c.what;
    for (HKEY h : {readOnly, writeOnly, damaged, hive})
        RegCloseKey(h);
}

TEST_F(Registry, ASubkeyIsCreatedWhateverTheParentHandleMayDo) {
    // "All versions of Windows ignore the access rights to the parent handle."
    HKEY parent, sub;
    ASSERT_EQ(Create("SOFTWARE\\P", KEY_QUERY_VALUE, &parent), 0);
    DWORD disposition = 0;
    EXPECT_EQ(
        RegCreateKeyExA(parent, "Sub", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &sub, &disposition),
        0);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(sub);
    RegCloseKey(parent);
    EXPECT_EQ(Set("SOFTWARE\\P\\Sub", "v", REG_SZ, Sz("x")), 0);
    EXPECT_EQ(Query("SOFTWARE\\P\\Sub", "v"), 0);
}

TEST_F(Registry, AStringsLeftOutNulIsCountedWhenItFollows) {
    // The A call counts the NUL right after the string in the size the caller
    // gives, unless the string's last counted byte is one already.
    const struct {
        DWORD type;
        std::string bytes; // the caller's buffer, what follows the count included
        DWORD size;
        std::string stored;
    } cases[] = {
        {REG_SZ, Sz("FullString"), 10, Sz("FullString")},
        {REG_SZ, Sz("FullString"), 9, "FullStrin"},
        {REG_SZ, Sz("FullString"), 11, Sz("FullString")},
        {REG_EXPAND_SZ, Sz("%x%"), 3, Sz("%x%")},
        {REG_MULTI_SZ, std::string("Aa\0Bb\0Cc\0\0", 10), 9, std::string("Aa\0Bb\0Cc\0", 9)},
        {REG_MULTI_SZ, std::string("Aa\0Bb\0Cc\0\0", 10), 8, std::string("Aa\0Bb\0Cc\0", 9)},
        {REG_MULTI_SZ, std::string("Aa\0Bb\0Cc\0\0", 10), 7, std::string("Aa\0Bb\0C", 7)},
        {REG_BINARY, Sz("ab"), 2, "ab"},
    };
    HKEY h;
    ASSERT_EQ(Create("SOFTWARE\\T", KEY_ALL_ACCESS, &h), 0);
    for (const auto &c : cases) {
        ASSERT_EQ(RegSetValueExA(h, "v", 0, c.type, reinterpret_cast<const BYTE *>(c.bytes.data()),
                                 c.size),
                  0);
        DWORD type;
        std::string data;
        ASSERT_EQ(Query("SOFTWARE\\T", "v", &type, &data), 0);
        EXPECT_EQ(data, c.stored) << c.type << " " << c.size;
    }
    RegCloseKey(h);
}

TEST_F(Registry, BuiltInKeysExistOnAnEmptyMachine) {
    for (const char *key : {"SYSTEM", "SYSTEM\\CurrentControlSet",
                            "system\\currentcontrolset\\services\\", "SOFTWARE"}) {
        HKEY h;
        EXPECT_EQ(Open(key, KEY_READ, &h), 0) << key;
        RegCloseKey(h);
    }
    EXPECT_TRUE(Files("registry").empty()) << "looking must not write";
    // A value set in one makes the key in the store.
    ASSERT_EQ(Set("SOFTWARE", "v", REG_DWORD, Dword(7)), 0);
    EXPECT_EQ(Query("software", "V"), 0);
}

TEST_F(Registry, NamesAreCaseInsensitiveAndCasePreserving) {
    DWORD disposition = 0;
    HKEY h;
    ASSERT_EQ(Create("SOFTWARE\\MixedCase\\Sub", KEY_ALL_ACCESS, &h, &disposition), 0);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(h);
    ASSERT_EQ(Create("software\\MIXEDCASE\\sub", KEY_ALL_ACCESS, &h, &disposition), 0);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    const std::string data = Sz("x");
    for (const char *name : {"ValueName", "VALUENAME"})
        ASSERT_EQ(
            RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(data.data()), 2), 0);
    RegCloseKey(h);
    std::string text = Read("registry/software.reg");
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\MixedCase\\Sub]\n\"ValueName\"=\"x\"\n\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(Query("SOFTWARE\\mixedcase\\SUB", "valuename"), 0);
}

TEST_F(Registry, EachServiceHasItsOwnFile) {
    ASSERT_EQ(Set(kParams, "a", REG_SZ, Sz("1")), 0);
    ASSERT_EQ(Set(kServicesKey + "Other", "b", REG_SZ, Sz("2")), 0);
    ASSERT_EQ(Set("SOFTWARE\\Vendor", "c", REG_SZ, Sz("3")), 0);
    ASSERT_EQ(Set("SYSTEM\\Setup", "d", REG_SZ, Sz("4")), 0);
    ASSERT_EQ(Set(kServicesKey + "a/..\\b", "e", REG_SZ, Sz("5")), 0);
    EXPECT_EQ(Files("registry"),
              (std::vector<std::string>{"registry/services", "registry/services/a%2F...reg",
                                        "registry/services/orvevtlogger.reg",
                                        "registry/services/other.reg", "registry/software.reg",
                                        "registry/system.reg"}));
    std::string logger = Read("registry/services/orvevtlogger.reg");
    EXPECT_EQ(
        logger,
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvEvtLogger]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvEvtLogger\\Parameters]\n"
        "\"a\"=\"1\"\n\n");
    EXPECT_EQ(Read("registry/system.reg").find("Services"), std::string::npos);
}

// A value set, or a subkey made (true), through a handle on a service's key
// that a removal deleted meanwhile.
class DeletedMeanwhile : public Registry, public ::testing::WithParamInterface<bool> {};

TEST_P(DeletedMeanwhile, AKeyDeletedMeanwhileRefusesWrites) {
    ASSERT_EQ(Install("Gone"), 0u);
    HKEY h, sub = nullptr;
    ASSERT_EQ(Open("SYSTEM\\CurrentControlSet\\Services\\Gone", KEY_ALL_ACCESS, &h), 0);
    ASSERT_EQ(Remove("Gone"), 0u);
    const BYTE one[] = {1, 0, 0, 0};
    EXPECT_EQ(GetParam() ? RegCreateKeyExA(h, "Parameters", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                           &sub, nullptr)
                         : RegSetValueExA(h, "x", 0, REG_DWORD, one, 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(RegQueryValueExA(h, "x", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_FALSE(Exists("registry/services/gone.reg"));
    RegCloseKey(h);
}

INSTANTIATE_TEST_SUITE_P(Registry, DeletedMeanwhile, ::testing::Bool(),
                         [](const auto &p) { return p.param ? "subkey" : "value"; });

TEST_F(Registry, SuccessLeavesTheLastErrorAlone) {
    DWORD first = 99;
    std::thread([&first] { first = GetLastError(); }).join();
    EXPECT_EQ(first, 0u) << "a thread begins with 0";
    Scm(); // opened before: its success clears the last error, as on Windows (below)
    SetLastError(4242);
    ASSERT_EQ(Set(kParams, "x", REG_DWORD, Dword(0)), 0);
    ASSERT_EQ(Query(kParams, "x"), 0);
    ASSERT_EQ(Install("Quiet"), 0u);
    SC_HANDLE s = Service("Quiet");
    SERVICE_STATUS st;
    ASSERT_TRUE(StartServiceA(s, 0, nullptr));
    ASSERT_TRUE(QueryServiceStatus(s, &st));
    ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    ASSERT_EQ(Change(s, SERVICE_AUTO_START), 0u);
    ASSERT_TRUE(DeleteService(s));
    EXPECT_EQ(GetLastError(), 4242u);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(GetLastError(), 0u) << "a successful OpenSCManagerA sets it to 0";
    CloseServiceHandle(manager);
}

} // namespace
