// Arguments of a million characters (exec passes at most 128 KiB in one on
// Linux), run in-process as main runs them: every position, the error texts
// made from them, and a million arguments, each case on a fresh machine.
#include "../sim/sim_test_support.h"
#include "../unit/capture.h"
#include "quillmar.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMillion = 1000000;
const std::string kBig(kMillion, 'q');
const std::string kElogParms = "SYSTEM\\CurrentControlSet\\Services\\OrvEvtLogger\\Parameters";
const std::string kFlmParms = "SYSTEM\\CurrentControlSet\\Services\\OrvFLM\\Parameters";

// A value the run must have stored (its string), or not (nullopt).
struct Stored {
    const std::string &key;
    const char *name;
    std::optional<std::string> data;
};

struct Case {
    const char *label;
    std::vector<std::string> args; // after argv[0]; "{dir}" is the case's directory
    const char *setting;           // an extra line for the machine's settings, or ""
    DWORD error;                   // what RunQuillmar returns
    std::string err;               // standard error, exactly
    std::string out;               // standard output, exactly
    std::vector<Stored> values;    // the machine afterwards; none: nothing may change
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.label;
}

// The machine beside a console directory, in the case's own directory.
class Huge : public simtest::MachineTest, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        root = fs::path(dir).parent_path();
        Write("settings", std::string("clock skip\n") + GetParam().setting + "\n");
        Write("../console/hvcons.ini", "[services]\nbase=1\n");
        display = 0;
        numTabs = 0;
    }

    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> out;
        for (const std::string &rel : Files(".."))
            if (rel != "../machine/lock")
                out[rel] = fs::is_regular_file(Path(rel)) ? Read(rel) : "<dir>";
        return out;
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

    const auto before = Snapshot();
    DWORD result = 0;
    const Captured got =
        Capture([&] { result = RunQuillmar(static_cast<int>(args.size()), argv.data()); });

    EXPECT_EQ(result, c.error);
    // A million-character text is compared whole, but only its ends shown.
    for (const auto &[stream, text, want] :
         {std::tuple{"stderr", got.err, c.err}, std::tuple{"stdout", got.out, c.out}}) {
        EXPECT_TRUE(text == want) << stream << " (" << text.size()
                                  << " bytes): " << text.substr(0, 120) << " ... "
                                  << text.substr(text.size() > 120 ? text.size() - 120 : 0);
    }
    if (c.values.empty()) {
        EXPECT_TRUE(Snapshot() == before) << "a refusal changed the machine or the console";
    }
    for (const Stored &v : c.values) {
        DWORD type = 0;
        std::string data;
        const LONG rc = Query(v.key, v.name, &type, &data);
        EXPECT_EQ(rc == ERROR_SUCCESS, v.data.has_value()) << v.name;
        EXPECT_TRUE(!v.data || data == simtest::Sz(*v.data)) << v.name << ": " << data.size();
    }
}

const std::vector<std::string> kMillionArgs(kMillion, "x");

std::string DotSteps() {
    std::string s;
    for (std::size_t i = 0; i < kMillion / 2; ++i)
        s += "/.";
    return s;
}

Case Refusal(const char *label, std::vector<std::string> args, DWORD error, std::string out) {
    return {label, std::move(args), "", error, "\nERROR " + std::to_string(error), out, {}};
}

Case Installed(const char *label, std::vector<std::string> args, std::vector<Stored> values) {
    return {label, std::move(args), "", 0, "", kInstalled, std::move(values)};
}

INSTANTIATE_TEST_SUITE_P(
    Million, Huge,
    ::testing::Values(
        Refusal("service_code_start", {"-b", kBig}, 50003, kUsage),
        Refusal("service_code_install", {"-i", kBig, "C:\\Orv", "x"}, 50003, kUsage),
        Refusal("service_code_remove", {"-rm", kBig}, 50003, kUsage),
        Refusal("option", {"-" + kBig, "elog"}, 87, kUsage),
        Refusal("elog_directory", {"-i", "elog", kBig, "x.pfa"}, 87, ""),
        Refusal("flm_directory", {"-i", "flm", kBig, "80"}, 87, ""),
        Case{"directory_display_mode",
             {"-d", "-i", "elog", kBig, "x.pfa"},
             "",
             87,
             Report("forming the executable path", 87),
             StdoutOf("install: an extended-length directory with a forward slash is refused"),
             {}},
        Installed("pfa_file_name", {"-i", "elog", "C:\\Orv", kBig},
                  {{kElogParms, "PFAFilename", kBig}, {kElogParms, "AppDirectory", "C:\\Orv"}}),
        Installed("port", {"-i", "flm", "C:\\Orv", kBig}, {{kFlmParms, "AppPortNumber", kBig}}),
        Refusal("console_directory", {"-i", "hv", kBig}, 1, ""),
        // A real console named through half a million "/." steps: longer
        // than the host takes, so no backup and no merge.
        Refusal("console_directory_that_exists", {"-i", "hv", "{dir}/console" + DotSteps()}, 1, ""),
        // The error text names the step and the whole value; what came
        // before it (the service, AppDirectory) is done and stays.
        Case{"error_text_with_the_value_display_mode",
             {"-d", "-i", "elog", "C:\\Orv", kBig},
             "fail RegSetValueExA 2 with 87",
             87,
             Report("seting parameter PFAFilename, value " + kBig, 87),
             StdoutOf("install fails: a value's error text is never cut short"),
             {{kElogParms, "AppDirectory", "C:\\Orv"}, {kElogParms, "PFAFilename", {}}}},
        Case{"error_text_with_the_value",
             {"-i", "elog", "C:\\Orv", kBig},
             "fail RegSetValueExA 2 with 87",
             87,
             "\nERROR 87",
             "",
             {{kElogParms, "PFAFilename", {}}}},
        Refusal("a_million_arguments", kMillionArgs, 87, kUsage)),
    simtest::ByLabel());

} // namespace
