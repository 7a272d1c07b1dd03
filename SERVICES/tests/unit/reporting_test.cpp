// The console reporting and the option scan: the rules that every other
// piece of output builds on.

#include "capture.h"
#include "quillmar.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

// Restores the globals that a test changes.
class Reporting : public ::testing::Test {
  protected:
    void TearDown() override {
        display = 0;
        numTabs = 0;
    }
};

struct ErrorCase {
    BOOL displayMode;
    const char *pTxt;
    DWORD errorNum;
    std::string expected;
};

TEST_F(Reporting, DisplayErrorWritesEitherFormOnStandardErrorOnly) {
    std::vector<ErrorCase> cases = {
        {1, "opening service", 1060, Report("opening service", 1060)},
        {1, "", 50004, Report("", 50004)},
        // The step's text is no format.
        {1, "100%s", 5, Report("100%s", 5)},
        {0, "opening service", 1060, "\nERROR 1060"},
        {0, "", 50003, "\nERROR 50003"},
        {0, "x", 0xFFFFFFFFU, "\nERROR -1"},
        {1, "x", 0, ""},
        {0, "x", 0, ""},
    };
    for (DWORD num : {1, 2, 9, 87, 50006, 1056, 1072})
        cases.push_back({1, "x", num, Report("x", num)});
    for (const ErrorCase &c : cases) {
        display = c.displayMode;
        const Captured got = Capture([&] { DisplayError(c.pTxt, c.errorNum); });
        EXPECT_EQ(got.err, c.expected) << c.errorNum << " display " << c.displayMode;
        EXPECT_EQ(got.out, "") << c.errorNum;
    }
}

TEST_F(Reporting, TwoReportsOutsideDisplayModeEachStartOnANewLine) {
    const Captured got = Capture([] {
        DisplayError("a", 1060);
        DisplayError("b", 50002);
    });
    EXPECT_EQ(got.err, "\nERROR 1060\nERROR 50002");
}

TEST_F(Reporting, DisplayMsgIndentsAndFlushes) {
    struct Case {
        DWORD tabs;
        const char *pMsg;
        const char *pExpected;
    };
    const Case cases[] = {
        {0, "Opening service .", "Opening service ."},
        {2, "Opening service .", "\t\tOpening service ."},
        {2, nullptr, "\t\t"},
        {1, "", "\t"},
    };
    for (const Case &c : cases) {
        numTabs = c.tabs;
        const Captured got = Capture([&] { DisplayMsg(c.pMsg); });
        EXPECT_EQ(got.outFlushed, c.pExpected);
        EXPECT_EQ(got.err, "");
    }
}

TEST_F(Reporting, HelpWritesTheWholeUsageText) {
    EXPECT_EQ(Capture([] { Help(); }).out, kUsage);
}

struct ScanCase {
    std::vector<std::string> args;
    const char *pType;
    int start;
    BOOL found;
    int stop;
};

TEST(EnvVariable, FindsOnlyTheExactOptionFromTheStartIndex) {
    const ScanCase cases[] = {
        {{"prog", "-b", "elog"}, "b", 0, 1, 1},
        {{"prog", "-b", "elog"}, "b", 2, 0, 3},
        {{"prog", "-b", "elog"}, "b", 5, 0, 5},
        {{"prog", "-B", "--b", "/b", "-bb", "b"}, "b", 0, 0, 6},
        {{"prog", "-help", "-H"}, "h", 0, 0, 3},
        {{"-d", "x", "y"}, "d", 0, 1, 0},
        {{"prog", "-e", "elog", "-rm", "flm"}, "rm", 1, 1, 3},
        {{"prog", "-", "x"}, "", 0, 1, 1},
        {{"prog", "-?", "x"}, "?", 0, 1, 1},
    };
    for (const ScanCase &c : cases) {
        std::vector<char *> argv;
        for (const std::string &arg : c.args) {
            argv.push_back(const_cast<char *>(arg.c_str()));
        }
        int index = c.start;
        EXPECT_EQ(EnvVariable(static_cast<int>(argv.size()), argv.data(), c.pType, &index), c.found)
            << c.pType << " from " << c.start;
        EXPECT_EQ(index, c.stop) << c.pType << " from " << c.start;
    }
}

TEST(Catalogue, InstallArgumentsAreCountedOverAllSubKeys) {
    // By code, not by row: a row added to the catalogue moves the others.
    const auto rowOf = [](std::string_view code) {
        DWORD row = 0;
        while (row < numServices && myServices[row].pInputName != code) {
            ++row;
        }
        return row;
    };
    EXPECT_EQ(GetAllNumParameters(rowOf("elog")), 2U);
    EXPECT_EQ(GetAllNumParameters(rowOf("flm")), 2U);
    EXPECT_EQ(GetAllNumParameters(rowOf("hv")), 0U);
}

} // namespace
