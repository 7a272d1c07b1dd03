// The kit's scenario data (scenarios.txt, from make_kit_data.py), in UTF-16 as the
// file carries it: an argument may hold an unpaired surrogate.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kit {

using Text = std::wstring;
using Field = std::optional<Text>; // none where the table says None
// A set-up step or a check: its kind, then its fields.
using Record = std::vector<Field>;

struct Scenario {
    Text id;
    Text title;
    Field skip;           // the reason it does not run under the kit
    double slowGuard = 0; // a slow scenario's least time, in seconds; 0: not slow
    bool piped = false;
    Field argv0; // the program's own name as started, when not its path
    std::vector<Text> args;
    Text stdinText;
    std::vector<Record> setup; // "service" and "console" steps
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

// Reads the data file with host's expectations; false with the reason.
bool LoadKitData(const Text &path, const Text &host, KitData &data, std::string &error);

// A record's field i, "" for none.
Text Value(const Record &record, size_t i);

// The program's service names from its own tables, so that the kit misses none.
std::vector<Text> CatalogueNames();

bool SameName(const Text &a, const Text &b);
// Appends name unless the list holds it (case-insensitive); whether it did.
bool AddName(std::vector<Text> &names, const Text &name);

std::vector<Text> Split(const Text &text, wchar_t separator);
// The lines of a text, without a last empty one.
std::vector<Text> Lines(const Text &text);

// A value as a message quotes it, control characters named; "absent" for none.
Text Quoted(const Field &value);

std::string Utf8(const Text &text);
Text FromUtf8(const std::string &bytes);

} // namespace kit
