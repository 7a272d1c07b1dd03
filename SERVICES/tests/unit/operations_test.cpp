// Invariants no output shows: the indentation depth and the catalogue come back on every path,
// and after the migration the installation decides on the codes it recorded, not the last error.

#include "../sim/sim_test_support.h"
#include "capture.h"
#include "quillmar.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

const std::array<DoublePointer, numServices> kCatalogue = myServices;

// A fresh simulated machine per case; Settings() gives it a line.
template <typename Param>
class Operations : public simtest::MachineTest, public ::testing::WithParamInterface<Param> {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        Settings("");
    }
    void TearDown() override {
        display = 0;
        numTabs = 0;
        MachineTest::TearDown();
    }

    void Settings(const std::string &line) const {
        Write("settings", "clock skip\n" + line + "\n");
    }

    // Registers a service the way an earlier installation would have.
    void AddService(const char *pName, bool running) {
        ASSERT_EQ(simtest::MachineTest::Install(pName, pName, 0x110), 0U);
        if (running) {
            SC_HANDLE hService = this->Service(pName);
            ASSERT_TRUE(StartServiceA(hService, 0, nullptr));
            this->Close(hService);
        }
    }

    DWORD Install(DWORD serviceNum, std::string path, std::string value) {
        char *parms[] = {path.data(), value.data()};
        DWORD result = 1;
        got = Capture([&] { result = InstallService(serviceNum, parms); });
        return result;
    }

    Captured got;
};

struct InstallCase {
    const char *label;
    const char *setting;
    bool flmExists;
    bool obsoleteExists;
    DWORD expected;
};

void PrintTo(const InstallCase &c, std::ostream *os) {
    *os << c.label;
}

using InstallPaths = Operations<std::tuple<InstallCase, BOOL>>;

TEST_P(InstallPaths, RestoreDepthAndCatalogue) {
    const auto &[c, displayMode] = GetParam();
    if (c.flmExists)
        AddService("OrvFLM", false);
    if (c.obsoleteExists)
        AddService("Orv_Field_Link_Mgr", true);
    Settings(c.setting);
    display = displayMode;
    numTabs = 1;
    EXPECT_EQ(Install(1, "C:\\Orv", "4000"), c.expected);
    EXPECT_EQ(numTabs, 1U);
    for (unsigned row = 0; row < numServices; ++row) {
        EXPECT_EQ(myServices[row].pServiceName, kCatalogue[row].pServiceName) << row;
        EXPECT_EQ(myServices[row].pServiceTitle, kCatalogue[row].pServiceTitle) << row;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryPath, InstallPaths,
    ::testing::Combine(
        ::testing::Values(
            InstallCase{"new_service", "", false, false, 0},
            InstallCase{"existing_service", "", true, false, 0},
            InstallCase{"migration", "", false, true, 0},
            InstallCase{"manager_refused", "fail OpenSCManagerA with 5", false, false, 5},
            InstallCase{"open_refused", "fail OpenServiceA with 5", true, false, 5},
            InstallCase{"create_refused", "fail CreateServiceA with 1078", false, false, 1078},
            InstallCase{"change_refused", "fail ChangeServiceConfigA with 5", true, false, 5},
            InstallCase{"key_missing", "fail RegOpenKeyExA with 2", true, false, 2},
            InstallCase{"subkey_refused", "fail RegCreateKeyExA with 5", true, false, 5},
            InstallCase{"first_value_refused", "fail RegSetValueExA with 5", true, false, 5},
            InstallCase{"migration_stop_refused", "fail ControlService with 5", false, true, 5},
            InstallCase{"migration_delete_refused", "fail DeleteService with 1072", false, true,
                        1072},
            InstallCase{"migration_stop_ignored", "service Orv_Field_Link_Mgr stop ignored", false,
                        true, 1053}),
        ::testing::Values(FALSE, TRUE)),
    [](const auto &p) {
        return std::string(std::get<0>(p.param).label) +
               (std::get<1>(p.param) ? "_display" : "_quiet");
    });

// The obsolete service is already stopped: the removal's stop step reports 50002, no failed
// call, and the service is created, also on a system whose successful calls clear the last error.
using Migration = Operations<const char *>;

TEST_P(Migration, CreatesTheServiceWhenNoCallOfTheRemovalFailed) {
    AddService("Orv_Field_Link_Mgr", false);
    Settings(GetParam());
    EXPECT_EQ(Install(1, "C:\\Orv", "4000"), 0U);
    EXPECT_EQ(got.err, "\nERROR 50002");
    EXPECT_NE(Service("OrvFLM"), nullptr);
    EXPECT_EQ(Service("Orv_Field_Link_Mgr"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(LastError, Migration,
                         ::testing::Values("lasterror keep", "lasterror clear"),
                         [](const auto &p) { return std::string(p.param).substr(10); });

using NewService = Operations<DWORD>;

TEST_P(NewService, IsCreatedWhateverTheLastErrorHolds) {
    Settings("lasterror clear");
    EXPECT_EQ(Install(GetParam(), "C:\\Orv", "4000"), 0U);
    EXPECT_NE(Service(myServices[GetParam()].pServiceName), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Installable, NewService, ::testing::Values(0U, 1U));

// The manager would expand a %NAME% in ImagePath, whatever this process's environment defines.
using ExpandableDirectory = Operations<std::pair<const char *, DWORD>>;

TEST_P(ExpandableDirectory, IsRefusedByTheInstallation) {
    const auto &[pDir, expected] = GetParam();
    EXPECT_EQ(Install(0, pDir, "x.pfa"), expected);
    EXPECT_EQ(Service("OrvEvtLogger") != nullptr, expected == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Directories, ExpandableDirectory,
    ::testing::Values(std::pair{"C:\\x\\%OS%", 87U}, std::pair{"C:\\%quillmar-undefined%", 87U},
                      std::pair{"C:\\%%x%", 87U}, std::pair{"C:\\a%b\\c%d", 87U},
                      std::pair{"C:\\%x%%", 87U}, std::pair{"C:\\100%", 0U},
                      std::pair{"C:\\%%", 0U}, std::pair{"C:\\%", 0U},
                      // "%\%" names a variable "\"
                      std::pair{"C:\\50%\\%%\\x", 87U}, std::pair{"C:\\50%\\x", 0U}));

using RemovalAndStartStop = Operations<const char *>;

TEST_P(RemovalAndStartStop, LeaveTheDepthAlone) {
    AddService("OrvEvtLogger", true);
    Settings(GetParam());
    display = 1;
    numTabs = 1;
    Capture([] {
        StartStopService(actionStart, 0);
        RemoveService(0);
    });
    EXPECT_EQ(numTabs, 1U);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RemovalAndStartStop,
    ::testing::Values("", "fail OpenSCManagerA with 5", "fail OpenServiceA with 1060",
                      "fail QueryServiceStatus with 6", "fail QueryServiceStatus 2 with 6",
                      "fail DeleteService with 1072", "service OrvEvtLogger stop never"));

} // namespace
