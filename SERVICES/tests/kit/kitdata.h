// The kit's scenario data (scenarios.txt, made by make_kit_data.py from the
// scenario table) as the runner holds it, and the texts it is made of. Every
// text is UTF-16, as the file carries it, so an argument may hold what no
// other encoding can (an unpaired surrogate).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kit {

using Text = std::wstring;
using Field = std::optional<Text>; // none where the table says None
// A set-up step or a check: its kind, then its fields in the order
// make_kit_data.py writes them.
using Record = std::vector<Field>;

struct Scenario {
    Text id;
    Text title;
    Field skip;           // the reason it does not run under the kit
    double slowGuard = 0; // a slow scenario's least time, in seconds; 0: not slow
    bool piped = false;
    std::vector<Text> args;
    Text stdinText;
    std::vector<Record> setup; // "service" and "console" steps
    // What it must give on this host.
    Field stdoutText;
    Field stderrText;
    Field combined; // set: both streams go to one pipe
    unsigned long exitCode = 0;
    std::vector<Record> checks;
};

struct KitData {
    Text version;
    std::vector<Scenario> scenarios;
};

// Reads the data file, keeping the expectations of host ("windows" or
// "wine"); false with the reason (and its line) in error.
bool LoadKitData(const Text &path, const Text &host, KitData &data, std::string &error);

// A record's field i, "" for none.
Text Value(const Record &record, size_t i);

// Every service name the program itself creates or meets, from its own
// tables (kitnames.cpp).
std::vector<Text> CatalogueNames();

bool SameName(const Text &a, const Text &b);
// Appends name unless the list holds it (case-insensitive, as service names
// are).
void AddName(std::vector<Text> &names, const Text &name);

// The lines of a text, split at LF; and of a line, split at tabs.
std::vector<Text> Lines(const Text &text);
std::vector<Text> SplitTabs(const Text &line);

// A value as a message quotes it, control characters named so that a stray
// CR or tab shows; "absent" for none.
Text Quoted(const Field &value);

std::string Utf8(const Text &text);
Text FromUtf8(const std::string &bytes);

} // namespace kit
