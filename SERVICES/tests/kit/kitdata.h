// The kit's scenario data (scenarios.txt, made by make_kit_data.py from the
// scenario table) as the runner holds it. Every text is UTF-16, as the file
// carries it, so an argument may hold what no other encoding can (an
// unpaired surrogate).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kit {

using Text = std::wstring;
using Field = std::optional<Text>; // none where the table says None

struct ServiceStep {
    Text name;
    Text display;
    Text exe;
    Text behaviour; // a key of the table's behaviours, for the report
    Text mode;      // the test service's .mode line
    bool running = false;
    bool held = false;   // another process of the kit holds it open
    bool marked = false; // deleted before the run
    Field account;       // none: LocalSystem
    std::vector<Text> dependsOn;
    std::vector<std::pair<Text, Text>> params; // values under Parameters
};

struct ConsoleStep {
    Text sub;
    Field ini;
    Field old;
    Field toolStatus; // none: no merge tool
    Field linger;
    bool echo = false;
};

struct Step {
    bool isService = true;
    ServiceStep service;
    ConsoleStep console;
};

// One check of the machine afterwards: its kind ("state", "config", "reg",
// "file", "tool") and its fields in the order make_kit_data.py writes them.
struct Check {
    Text host; // "*", "windows" or "wine"
    Text kind;
    std::vector<Field> fields;
};

struct Expectation {
    Text host;
    Text stream; // "stdout", "stderr" or "combined"
    Text value;
};

struct Scenario {
    Text id;
    Text title;
    Field skip; // the reason it does not run under the kit
    bool slow = false;
    bool piped = false;
    std::vector<Text> args;
    Text stdinText;
    std::vector<Step> setup;
    std::vector<Expectation> outputs;
    std::vector<std::pair<Text, unsigned long>> exits;
    std::vector<Check> checks;
};

// What a scenario must give on one host ("windows" or "wine").
struct Expected {
    Field stdoutText;
    Field stderrText;
    Field combined; // set: both streams go to one pipe
    unsigned long exitCode = 0;
    std::vector<const Check *> checks;
};

struct KitData {
    Text version;
    unsigned long slowSeconds = 0;
    double slowGuard = 0;
    double goneSeconds = 0;
    std::vector<Text> catalogue;
    std::vector<Scenario> scenarios;
};

// Reads the data file; false with the reason (and its line) in error.
bool LoadKitData(const Text &path, KitData &data, std::string &error);

Expected ExpectedOn(const Scenario &scenario, const Text &host);

// Every service name the scenarios' set-ups create.
std::vector<Text> SetUpNames(const KitData &data);

// A value as a message quotes it, control characters named so that a stray
// CR or tab shows; "absent" for none.
Text Quoted(const Field &value);

std::string Utf8(const Text &text);
Text FromUtf8(const std::string &bytes);

} // namespace kit
