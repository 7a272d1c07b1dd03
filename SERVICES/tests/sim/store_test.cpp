// The store: a damaged file stays out of the calls that need not read it, and the
// machine directory is found and made. Damaged, overlapping, killed runs: the pytest tiers.
#include "sim_test_support.h"

#include <sys/stat.h>

using namespace quillmar::sim;
using namespace simtest;

namespace {

class Store : public simtest::MachineTest {};

TEST_F(Store, OneServicesDamageDoesNotReachAnother) {
    ASSERT_EQ(Install("Good"), 0u);
    Write("registry/services/bad.reg", "rubbish");
    testing::internal::CaptureStderr();
    SC_HANDLE s = Service("Good");
    ASSERT_NE(s, nullptr);
    SERVICE_STATUS st;
    EXPECT_TRUE(StartServiceA(s, 0, nullptr));
    EXPECT_TRUE(QueryServiceStatus(s, &st));
    EXPECT_EQ(Set(kServicesKey + "Good\\Parameters", "x", REG_SZ, Sz("1")), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Store, ACreateReadsOnlyTheFilesItNeeds) {
    ASSERT_EQ(Install("Other"), 0u);
    SC_HANDLE other = Service("Other");
    Write("registry/services/other.reg", "rubbish"); // in place: the directory does not change
    testing::internal::CaptureStderr();
    EXPECT_EQ(Install("New", "New Display"), 0u);
    EXPECT_EQ(OpenServiceA(Scm(), "Other", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REGISTRY_CORRUPT));
    EXPECT_EQ(Err(StartServiceA(other, 0, nullptr)), static_cast<DWORD>(ERROR_REGISTRY_CORRUPT));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("other.reg: line 1:"), std::string::npos);
}

TEST_F(Store, MachineDirectoryIsFoundAndMade) {
    std::string base = std::string(dir, 0, dir.rfind('/'));
    const char *home = getenv("HOME");
    std::string savedHome = home ? home : "";
    // made: the first directory the case makes ("" when all are there);
    // expect "": there is nowhere to put it.
    struct Case {
        std::string machine, state, home, expect, made;
    } cases[] = {
        {"", "", base + "/h", base + "/h/.local/state/quillmar/machine", base + "/h"},
        {"", base + "/x", base + "/h", base + "/x/quillmar/machine", base + "/x"},
        {"", "relative/ignored", base + "/h", base + "/h/.local/state/quillmar/machine", ""},
        {base + "/m/deep/", "", base + "/h", base + "/m/deep", base + "/m"},
        {"", "relative/ignored", "", "", ""},
    };
    auto modeOf = [](const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
    };
    for (Case &c : cases) {
        setenv("QUILLMAR_MACHINE", c.machine.c_str(), 1);
        setenv("XDG_STATE_HOME", c.state.c_str(), 1);
        setenv("HOME", c.home.c_str(), 1);
        std::string got;
        testing::internal::CaptureStderr();
        EXPECT_EQ(MachineDir(got), c.expect.empty() ? ERROR_PATH_NOT_FOUND : 0);
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.expect.empty()) {
            EXPECT_NE(err.find("neither QUILLMAR_MACHINE nor HOME is set"), std::string::npos);
            continue;
        }
        EXPECT_EQ(got, c.expect);
        struct stat st;
        EXPECT_TRUE(stat(c.expect.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << c.expect;
        if (c.made.empty())
            continue;
        // Everything made is the owner's alone: the directories on the way (XDG's
        // ~/.local and ~/.local/state too), the machine's own, its lock and files.
        ASSERT_EQ(Install("Svc"), 0u);
        for (std::size_t end = c.made.size(); end != std::string::npos;
             end = c.expect.find('/', end + 1))
            EXPECT_EQ(modeOf(c.expect.substr(0, end)), 0700u) << c.expect.substr(0, end);
        for (const char *d : {"", "/registry", "/registry/services", "/scm"})
            EXPECT_EQ(modeOf(c.expect + d), 0700u) << c.expect + d;
        for (const char *f : {"/lock", "/registry/services/svc.reg", "/scm/display-names.index"})
            EXPECT_EQ(modeOf(c.expect + f), 0600u) << c.expect + f;
    }
    setenv("HOME", savedHome.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    setenv("QUILLMAR_MACHINE", dir.c_str(), 1);
}

} // namespace
