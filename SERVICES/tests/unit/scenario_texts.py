"""scenario_texts.py BUILD OUT writes scenarios.py's USAGE, INSTALLED, TEXTS (as TextOf) and
each scenario's stdout (as StdoutOf its name), the C++ tests' oracle, into scenario_texts.h.
"""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios"))

import buildfacts  # noqa: E402

build, out = sys.argv[1:]
buildfacts.use(build)
import scenarios  # noqa: E402

lines = [
    "// Written by scenario_texts.py from scenarios.py.",
    "#pragma once",
    "#include <map>",
    "#include <string>",
    f"inline const std::string kUsage = {json.dumps(scenarios.USAGE)};",
    f"inline const std::string kInstalled = {json.dumps(scenarios.INSTALLED)};",
    "inline std::string TextOf(unsigned long long num) {",
    "    switch (num) {",
]
for num, text in sorted(scenarios.TEXTS.items()):
    lines.append(f"    case {num}: return {json.dumps(text)};")
lines += ["    }", f"    return {json.dumps(scenarios.text_of(-1))};", "}"]
lines.append("inline const std::string &StdoutOf(const std::string &name) {")
lines.append("    static const std::map<std::string, std::string> stdouts = {")
for s in scenarios.SCENARIOS:
    lines.append(f"        {{{json.dumps(s.name)}, {json.dumps(s.stdout)}}},")
lines += ["    };", "    return stdouts.at(name);", "}"]
with open(out, "w", encoding="utf-8") as f:
    f.write("\n".join(lines) + "\n")
