// Arguments of a million characters, which exec cannot pass on Linux (one
// argument holds at most 128 KiB), run in-process the way main runs them:
// every position, the error texts composed from them, and a million
// arguments. Each case gets a fresh simulated machine; a refusal must leave
// every file of it as it was.
#include "../unit/capture.h"
#include "quillmar.h"
#include "sim_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMillion = 1000000;
const std::string kBig(kMillion, 'q');
const std::string kElogParms = "SYSTEM\\CurrentControlSet\\Services\\OrvEvtLogger\\Parameters";
const std::string kFlmParms = "SYSTEM\\CurrentControlSet\\Services\\OrvFLM\\Parameters";

std::string ReadFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every file below dir but the machine's lock, with its content.
std::map<std::string, std::string> Snapshot(const fs::path &dir) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto &e : fs::recursive_directory_iterator(dir, ec)) {
        const std::string rel = fs::relative(e.path(), dir).string();
        if (rel == "machine/lock")
            continue;
        out[rel] = e.is_regular_file() ? ReadFile(e.path()) : std::string("<dir>");
    }
    return out;
}

// The stored bytes of a value through the machine's own calls; "<absent>"
// when the key or the value is missing.
std::string Value(const std::string &key, const char *name) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return "<absent>";
    DWORD type = 0;
    DWORD size = 0;
    std::string data;
    if (RegQueryValueExA(h, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        data.resize(size);
        RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size);
    } else {
        data = "<absent>";
    }
    RegCloseKey(h);
    return data;
}

std::string Sz(const std::string &s) {
    return s + '\0';
}

struct Case {
    const char *label;
    std::vector<std::string> args;                // after argv[0]; "{dir}" is the case's directory
    const char *setting;                          // an extra line for the machine's settings, or ""
    DWORD error;                                  // what RunQuillmar returns
    std::string err;                              // standard error, exactly
    std::function<bool(const std::string &)> out; // standard output
    bool unchanged;                               // a refusal: nothing may change
    std::function<void()> check;                  // the machine afterwards
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.label;
}

bool IsUsage(const std::string &out) {
    return out.rfind("quillmar.exe [-b [servicename]", 0) == 0;
}
bool Empty(const std::string &out) {
    return out.empty();
}
bool Installed(const std::string &out) {
    return out == ">>>> Service installed <<<<\n";
}

class Huge : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillmar-hostile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        fs::create_directories(root / "machine");
        fs::create_directories(root / "console");
        std::ofstream(root / "console" / "hvcons.ini") << "[services]\nbase=1\n";
        std::ofstream(root / "machine" / "settings") << "clock skip\n"
                                                     << GetParam().setting << "\n";
        setenv("QUILLMAR_MACHINE", (root / "machine").c_str(), 1);
        quillmar::sim::ResetProcessStateForTests();
        display = 0;
        numTabs = 0;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path root;
};

TEST_P(Huge, GivesAResultOrAClearError) {
    const Case &c = GetParam();
    std::vector<std::string> args{"quillmar"};
    for (const std::string &a : c.args)
        args.push_back(a.rfind("{dir}", 0) == 0 ? root.string() + a.substr(5) : a);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const auto before = Snapshot(root);
    DWORD result = 0;
    const Captured got =
        Capture([&] { result = RunQuillmar(static_cast<int>(args.size()), argv.data()); });

    EXPECT_EQ(result, c.error);
    // A million-character text is compared whole, but only its ends shown.
    EXPECT_TRUE(got.err == c.err) << "stderr (" << got.err.size()
                                  << " bytes): " << got.err.substr(0, 120) << " ... "
                                  << got.err.substr(got.err.size() > 120 ? got.err.size() - 120
                                                                         : 0);
    EXPECT_TRUE(c.out(got.out)) << "stdout: " << got.out.substr(0, 200);
    if (c.unchanged) {
        EXPECT_TRUE(Snapshot(root) == before) << "a refusal changed the machine or the console";
    }
    if (c.check) {
        c.check();
    }
    // The run leaves the catalogue as it found it.
    EXPECT_STREQ(myServices[0].pServiceName, "OrvEvtLogger");
    EXPECT_STREQ(myServices[1].pServiceName, "OrvFLM");
    EXPECT_STREQ(myServices[1].pServiceTitle, "Orv Field Link Manager");
    EXPECT_STREQ(myServices[2].pServiceName, "HalvBase");
}

const std::vector<std::string> kMillionArgs(kMillion, "x");

std::string DotSteps() {
    std::string s;
    for (std::size_t i = 0; i < kMillion / 2; ++i)
        s += "/.";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Million, Huge,
    ::testing::Values(
        Case{"service_code_start", {"-b", kBig}, "", 50003, "\nERROR 50003", IsUsage, true, {}},
        Case{"service_code_install",
             {"-i", kBig, "C:\\Orv", "x"},
             "",
             50003,
             "\nERROR 50003",
             IsUsage,
             true,
             {}},
        Case{"service_code_remove", {"-rm", kBig}, "", 50003, "\nERROR 50003", IsUsage, true, {}},
        Case{"option", {"-" + kBig, "elog"}, "", 87, "\nERROR 87", IsUsage, true, {}},
        Case{
            "elog_directory", {"-i", "elog", kBig, "x.pfa"}, "", 87, "\nERROR 87", Empty, true, {}},
        Case{"flm_directory", {"-i", "flm", kBig, "80"}, "", 87, "\nERROR 87", Empty, true, {}},
        Case{"directory_display_mode",
             {"-d", "-i", "elog", kBig, "x.pfa"},
             "",
             87,
             " (Error) \nError forming the executable path: Invalid parameter.\n",
             [](const std::string &out) {
                 return out.find("Checking service existens .\nFinished.") != std::string::npos;
             },
             true,
             {}},
        Case{"pfa_file_name",
             {"-i", "elog", "C:\\Orv", kBig},
             "",
             0,
             "",
             Installed,
             false,
             [] {
                 EXPECT_TRUE(Value(kElogParms, "PFAFilename") == Sz(kBig));
                 EXPECT_EQ(Value(kElogParms, "AppDirectory"), Sz("C:\\Orv"));
             }},
        Case{"port",
             {"-i", "flm", "C:\\Orv", kBig},
             "",
             0,
             "",
             Installed,
             false,
             [] { EXPECT_TRUE(Value(kFlmParms, "AppPortNumber") == Sz(kBig)); }},
        Case{"console_directory", {"-i", "hv", kBig}, "", 1, "\nERROR 1", Empty, true, {}},
        // A real console named through half a million "/." steps: longer
        // than the host takes, so no backup and no merge.
        Case{"console_directory_that_exists",
             {"-i", "hv", "{dir}/console" + DotSteps()},
             "",
             1,
             "\nERROR 1",
             Empty,
             true,
             {}},
        // The error text names the step and the whole value; what came
        // before it (the service, AppDirectory) is done and stays.
        Case{"error_text_with_the_value_display_mode",
             {"-d", "-i", "elog", "C:\\Orv", kBig},
             "fail RegSetValueExA 2 with 87",
             87,
             " (Error) \nError seting parameter PFAFilename, value " + kBig +
                 ": Invalid parameter.\n",
             [](const std::string &out) {
                 return out.find("Updating the application parameter PFAFilename ..") !=
                        std::string::npos;
             },
             false,
             [] {
                 EXPECT_EQ(Value(kElogParms, "AppDirectory"), Sz("C:\\Orv"));
                 EXPECT_EQ(Value(kElogParms, "PFAFilename"), "<absent>");
             }},
        Case{"error_text_with_the_value",
             {"-i", "elog", "C:\\Orv", kBig},
             "fail RegSetValueExA 2 with 87",
             87,
             "\nERROR 87",
             Empty,
             false,
             [] { EXPECT_EQ(Value(kElogParms, "PFAFilename"), "<absent>"); }},
        Case{"a_million_arguments", kMillionArgs, "", 87, "\nERROR 87", IsUsage, true, {}}),
    [](const ::testing::TestParamInfo<Case> &p) { return std::string(p.param.label); });

} // namespace
