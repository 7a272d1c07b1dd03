// The JUnit file and a folder for each failed scenario with what a bug
// report needs.
#pragma once

#include "kitdata.h"
#include "winhost.h"

#include <string>
#include <vector>

namespace kit {

struct Outcome {
    const Scenario *pScenario = nullptr;
    enum class Result { Passed, Failed, Skipped } result = Result::Passed;
    Text reason;                // why it was skipped
    std::vector<Text> failures; // each may span several lines
    double seconds = 0;
};

// Everything a failed scenario's folder holds besides the failures.
struct Evidence {
    Ran ran;
    Text currentDir;
    std::string expectedOut; // with LF line ends, as compared
    std::string expectedErr;
    std::vector<Text> setup;    // the set-up steps as the data gives them
    std::vector<Text> snapshot; // the machine as the checks left it
};

Text TapName(const Scenario &scenario);
// A line diff, "-" expected, "+" found, control bytes and line ends shown.
std::vector<Text> StreamDiff(const Text &label, const std::string &expected,
                             const std::string &actual);
bool WriteJUnit(const Text &path, const std::vector<Outcome> &outcomes, const Text &suite,
                const HostInfo &host, double seconds);
bool WriteFailureFolder(const Text &dir, const Outcome &outcome, const Evidence &evidence,
                        const HostInfo &host, const Text &kitVersion);

} // namespace kit
