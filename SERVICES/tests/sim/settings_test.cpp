// The settings file: its grammar, and the faults and clock it sets.
#include "sim_test_support.h"

#include <chrono>

using namespace quillmar::sim;
using namespace simtest;

namespace {

TEST(SettingsText, ParsesEveryForm) {
    Settings s;
    TextError err;
    ASSERT_TRUE(
        ParseSettingsText("\xEF\xBB\xBF# faults, after a byte-order mark\n"
                          "fail OpenSCManagerA with 5\r\n"
                          "  FAIL queryservicestatus 2 with 0x6   # second query only\n"
                          "fail RegSetValueExA name HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\ with 1013\n"
                          "fail OpenServiceA 3 name \"My Service\" with 1060\n"
                          "service \"My Service\" start dies\n"
                          "service Other stop never\n"
                          "service Other start 7\n"
                          "service Stubborn stop ignored\n"
                          "service Console held\n"
                          "displaynames unique\n"
                          "clock skip\n",
                          s, err))
        << err.line << ": " << err.what;
    ASSERT_EQ(s.faults.size(), 4u);
    EXPECT_EQ(s.faults[0].call, Call::OpenSCManagerA);
    EXPECT_EQ(s.faults[0].nth, 0u);
    EXPECT_FALSE(s.faults[0].name);
    EXPECT_EQ(s.faults[1].call, Call::QueryServiceStatus);
    EXPECT_EQ(s.faults[1].nth, 2u);
    EXPECT_EQ(s.faults[1].code, 6u);
    EXPECT_EQ(*s.faults[2].name, "SOFTWARE\\X");
    EXPECT_EQ(*s.faults[3].name, "My Service");
    EXPECT_EQ(s.faults[3].nth, 3u);
    EXPECT_TRUE(s.BehaviourOf("my service").startDies);
    EXPECT_EQ(s.BehaviourOf("OTHER").stopPolls, kNever);
    EXPECT_EQ(s.BehaviourOf("other").startPolls, 7);
    EXPECT_EQ(s.BehaviourOf("unknown").startPolls, 0);
    EXPECT_TRUE(s.BehaviourOf("stubborn").stopIgnored);
    EXPECT_FALSE(s.BehaviourOf("other").stopIgnored);
    EXPECT_TRUE(s.BehaviourOf("CONSOLE").held);
    EXPECT_FALSE(s.BehaviourOf("other").held);
    EXPECT_TRUE(s.uniqueDisplayNames);
    EXPECT_TRUE(s.skipClock);
}

TEST(SettingsText, RefusesWhatItCannotMean) {
    const std::pair<const char *, const char *> cases[] = {
        {"fail NoSuchCall with 5", "unknown call"},
        {"fail OpenServiceA with", "expected: fail"},
        {"fail OpenServiceA 0 with 5", "1 or more"},
        {"fail OpenServiceA with 0", "error code"},
        {"fail OpenServiceA with 0x1FFFFFFFF", "error code"},
        {"fail OpenServiceA name with 5", "expected: fail"},
        {"service X start soon", "start takes"},
        {"service X start \"\"", "start takes"},
        {"service X stop 1111111111", "stop takes"},
        {"service X stop dies", "stop takes"},
        {"service X start ignored", "start takes"},
        {"service X start dies soon", "dies takes an exit code"},
        {"service X start dies 0x1FFFFFFFF", "dies takes an exit code"},
        {"service X stop dies 5", "expected: service"},
        {"service X pause 1", "expected: service"},
        {"clock fast", "clock skip"},
        {"lasterror sideways", "lasterror clear"},
        {"service X held 5", "expected: service"},
        {"displaynames distinct", "displaynames unique"},
        {"restart everything", "unknown setting"},
        {"fail OpenServiceA name \"open with 5", "closing quote"},
    };
    for (auto &[line, what] : cases) {
        Settings s;
        TextError err;
        EXPECT_FALSE(ParseSettingsText(std::string("clock real\n") + line + "\n", s, err)) << line;
        EXPECT_EQ(err.line, 2u) << line;
        EXPECT_NE(err.what.find(what), std::string::npos) << line << " -> " << err.what;
    }
}

class Faults : public simtest::MachineTest {};

TEST_F(Faults, EveryCallOrTheNthOne) {
    Write("settings", "fail OpenSCManagerA with 5\n");
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);

    Write("settings", "");
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE s = Service("Svc");
    Write("settings", "fail QueryServiceStatus 2 with 6\n");
    SERVICE_STATUS st;
    std::vector<DWORD> results;
    for (int i = 0; i < 4; ++i) {
        SetLastError(0);
        results.push_back(QueryServiceStatus(s, &st) ? 0 : GetLastError());
    }
    EXPECT_EQ(results, (std::vector<DWORD>{0, 6, 0, 0}));
    Write("settings", "clock sideways\n");
    EXPECT_EQ(Err(QueryServiceStatus(s, &st)), DWORD{ERROR_BADDB})
        << "settings damaged since the open";
    EXPECT_EQ(Query(kServicesKey + "Svc", "Type"), ERROR_BADDB);
}

TEST_F(Faults, CountsIncludeCallsThatFailedAnyway) {
    Write("settings", "fail OpenServiceA 3 with 1053\n");
    std::vector<DWORD> results;
    for (int i = 0; i < 4; ++i)
        results.push_back(Service("Missing") ? 0 : GetLastError());
    EXPECT_EQ(results, (std::vector<DWORD>{1060, 1060, 1053, 1060}));
}

TEST_F(Faults, NameFiltersPickTheKeyOrService) {
    const std::string logger = kServicesKey + "OrvEvtLogger";
    const std::string params = logger + "\\Parameters";
    const std::string faults = "fail RegSetValueExA name HKLM\\" + params +
                               " with 5\n"
                               "fail RegOpenKeyExA name software\\blocked with 1012\n"
                               "fail StartServiceA name two with 1053\n"
                               "fail RegQueryValueExA name software with 1013\n";
    Write("settings", faults + "fail RegCloseKey name software with 6\n");
    EXPECT_EQ(Set(params, "x", REG_SZ, Sz("1")), 5);
    EXPECT_EQ(Set(logger + "\\parameters", "x", REG_SZ, Sz("1")), 5);
    EXPECT_EQ(Set(logger, "x", REG_SZ, Sz("1")), 0);
    HKEY h;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Blocked", 0, KEY_READ, &h), 1012);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), 0);
    EXPECT_EQ(RegCloseKey(h), 6);
    Write("settings", faults); // the handle stays open, and closes once the fault is gone
    EXPECT_EQ(RegCloseKey(h), 0);
    EXPECT_EQ(Query("SOFTWARE", "v"), 1013);
    ASSERT_EQ(Install("One"), 0u);
    ASSERT_EQ(Install("Two"), 0u);
    EXPECT_TRUE(StartServiceA(Service("One"), 0, nullptr));
    EXPECT_FALSE(StartServiceA(Service("TWO"), 0, nullptr));
    EXPECT_EQ(GetLastError(), 1053u);
    SC_HANDLE two = Service("Two");
    Write("settings", "fail CloseServiceHandle name two with 6\n");
    EXPECT_EQ(Err(Close(Service("One"))), 0u);
    EXPECT_EQ(Err(CloseServiceHandle(two)), 6u);
    Write("settings", "");
    EXPECT_EQ(Err(Close(two)), 0u);
}

TEST_F(Faults, ClockSkipReturnsAtOnceButCounts) {
    Write("settings", "clock skip\n");
    auto start = std::chrono::steady_clock::now();
    Sleep(60000);
    Sleep(500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(SleptMilliseconds(), 60500u);
    Write("settings", "clock real\n");
    start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

} // namespace
