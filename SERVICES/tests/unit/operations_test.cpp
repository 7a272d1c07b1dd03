// Invariants of the operations that no output shows: the indentation depth
// and the catalogue row of the agent come back to their values on every
// path, and the installation decides after the migration on the codes it
// recorded, whatever the last-error value holds.

#include "capture.h"
#include "quillmar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A fresh simulated machine per test, with the given settings lines.
class Operations : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = fs::temp_directory_path() /
                   ("quillmar-unit-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(machine_);
        fs::create_directories(machine_);
        ::setenv("QUILLMAR_MACHINE", machine_.c_str(), 1);
        Settings({});
    }
    void TearDown() override {
        display = 0;
        numTabs = 0;
        fs::remove_all(machine_);
    }

    void Settings(const std::vector<std::string> &lines) {
        std::ofstream file(machine_ / "settings", std::ios::trunc);
        file << "clock skip\n";
        for (const std::string &line : lines) {
            file << line << "\n";
        }
    }

    // Registers a service the way an earlier installation would have.
    static void AddService(const char *pName, bool running) {
        SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        ASSERT_NE(hManager, nullptr);
        SC_HANDLE hService =
            CreateServiceA(hManager, pName, pName, SERVICE_ALL_ACCESS, 0x110, SERVICE_AUTO_START,
                           SERVICE_ERROR_NORMAL, "C:\\Orv\\worvserv.exe", nullptr, nullptr, nullptr,
                           nullptr, nullptr);
        ASSERT_NE(hService, nullptr) << GetLastError();
        if (running) {
            ASSERT_TRUE(StartServiceA(hService, 0, nullptr));
        }
        CloseServiceHandle(hService);
        CloseServiceHandle(hManager);
    }

    static bool ServiceExists(const char *pName) {
        SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE hService = OpenServiceA(hManager, pName, SERVICE_QUERY_STATUS);
        const bool exists = hService != nullptr;
        if (exists) {
            CloseServiceHandle(hService);
        }
        CloseServiceHandle(hManager);
        return exists;
    }

    fs::path machine_;
};

struct InstallCase {
    const char *pWhat;
    std::vector<std::string> settings;
    bool flmExists;
    bool obsoleteExists;
    DWORD expected;
};

TEST_F(Operations, InstallRestoresDepthAndCatalogueOnEveryPath) {
    const InstallCase cases[] = {
        {"new service", {}, false, false, 0},
        {"existing service", {}, true, false, 0},
        {"migration", {}, false, true, 0},
        {"manager refused", {"fail OpenSCManagerA with 5"}, false, false, 5},
        {"open refused", {"fail OpenServiceA with 5"}, true, false, 5},
        {"create refused", {"fail CreateServiceA with 1078"}, false, false, 1078},
        {"change refused", {"fail ChangeServiceConfigA with 5"}, true, false, 5},
        {"key missing", {"fail RegOpenKeyExA with 2"}, true, false, 2},
        {"sub-key refused", {"fail RegCreateKeyExA with 5"}, true, false, 5},
        {"first value refused", {"fail RegSetValueExA with 5"}, true, false, 5},
        {"stop refused in migration", {"fail ControlService with 5"}, false, true, 5},
        {"delete refused in migration", {"fail DeleteService with 1072"}, false, true, 1072},
        {"stop ignored in migration",
         {"service Orv_Field_Link_Mgr stop ignored"},
         false,
         true,
         1053},
    };
    for (const InstallCase &c : cases) {
        for (const BOOL displayMode : {0, 1}) {
            SetUp();
            if (c.flmExists) {
                AddService("OrvFLM", false);
            }
            if (c.obsoleteExists) {
                AddService("Orv_Field_Link_Mgr", true);
            }
            Settings(c.settings);
            display = displayMode;
            numTabs = 1;
            char dir[] = "C:\\Orv";
            char port[] = "4000";
            char *parms[] = {dir, port};
            DWORD result = 0;
            Capture([&] { result = InstallService(1, parms); });
            EXPECT_EQ(result, c.expected) << c.pWhat;
            EXPECT_EQ(numTabs, 1U) << c.pWhat << " display " << displayMode;
            EXPECT_STREQ(myServices[1].pServiceName, "OrvFLM") << c.pWhat;
            EXPECT_STREQ(myServices[1].pServiceTitle, "Orv Field Link Manager") << c.pWhat;
            TearDown();
        }
    }
}

TEST_F(Operations, MigrationCreatesTheServiceWhenNoCallOfTheRemovalFailed) {
    // The obsolete service is already stopped: the removal's stop step
    // reports 50002, which is no failed call, and the service is created,
    // also on a system whose successful calls clear the last error.
    for (const char *pPolicy : {"lasterror keep", "lasterror clear"}) {
        SetUp();
        AddService("Orv_Field_Link_Mgr", false);
        Settings({pPolicy});
        char dir[] = "C:\\Orv";
        char port[] = "4000";
        char *parms[] = {dir, port};
        DWORD result = 1;
        const Captured got = Capture([&] { result = InstallService(1, parms); });
        EXPECT_EQ(result, 0U) << pPolicy;
        EXPECT_EQ(got.err, "\nERROR 50002") << pPolicy;
        EXPECT_TRUE(ServiceExists("OrvFLM")) << pPolicy;
        EXPECT_FALSE(ServiceExists("Orv_Field_Link_Mgr")) << pPolicy;
        TearDown();
    }
}

TEST_F(Operations, NewServiceIsCreatedWhateverTheLastErrorHolds) {
    for (const DWORD serviceNum : {0U, 1U}) {
        SetUp();
        Settings({"lasterror clear"});
        char dir[] = "C:\\Orv";
        char value[] = "4000";
        char *parms[] = {dir, value};
        DWORD result = 1;
        Capture([&] { result = InstallService(serviceNum, parms); });
        EXPECT_EQ(result, 0U) << serviceNum;
        EXPECT_TRUE(ServiceExists(myServices[serviceNum].pServiceName)) << serviceNum;
        TearDown();
    }
}

// The manager expands ImagePath: any '%', a name and a '%' could turn the
// path into another, whatever this process's environment defines.
TEST_F(Operations, InstallRefusesADirectoryTheManagerCouldExpand) {
    const std::pair<const char *, DWORD> cases[] = {
        {"C:\\x\\%OS%", 87},    {"C:\\%quillmar-undefined%", 87},
        {"C:\\%%x%", 87},       {"C:\\a%b\\c%d", 87},
        {"C:\\%x%%", 87},       {"C:\\100%", 0},
        {"C:\\%%", 0},          {"C:\\%", 0},
        {"C:\\50%\\%%\\x", 87}, // "%\%" names a variable "\"
        {"C:\\50%\\x", 0},
    };
    for (auto &[pDir, expected] : cases) {
        SetUp();
        std::string dir = pDir;
        char value[] = "x.pfa";
        char *parms[] = {dir.data(), value};
        DWORD result = 1;
        Capture([&] { result = InstallService(0, parms); });
        EXPECT_EQ(result, expected) << pDir;
        EXPECT_EQ(ServiceExists("OrvEvtLogger"), expected == 0) << pDir;
        TearDown();
    }
}

TEST_F(Operations, RemovalAndStartStopLeaveTheDepthAlone) {
    const std::vector<std::vector<std::string>> faults = {
        {},
        {"fail OpenSCManagerA with 5"},
        {"fail OpenServiceA with 1060"},
        {"fail QueryServiceStatus with 6"},
        {"fail QueryServiceStatus 2 with 6"},
        {"fail DeleteService with 1072"},
        {"service OrvEvtLogger stop never"},
    };
    for (const std::vector<std::string> &settings : faults) {
        SetUp();
        AddService("OrvEvtLogger", true);
        Settings(settings);
        display = 1;
        numTabs = 1;
        Capture([] {
            StartStopService(actionStart, 0);
            RemoveService(0);
        });
        EXPECT_EQ(numTabs, 1U) << (settings.empty() ? "" : settings[0]);
        TearDown();
    }
}

} // namespace
