#include "kitdata.h"
#include "winhost.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace kit {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A field as make_kit_data.py escapes it: printable ASCII as it is,
// everything else as \uXXXX per UTF-16 unit, "\-" alone for none.
bool Unescape(const std::string &raw, Field &out) {
    if (raw == "\\-") {
        out.reset();
        return true;
    }
    Text text;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c != '\\') {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                return false;
            text += static_cast<wchar_t>(c);
            continue;
        }
        if (i + 5 >= raw.size() || raw[i + 1] != 'u')
            return false;
        unsigned unit = 0;
        for (size_t k = i + 2; k < i + 6; ++k) {
            const int digit = HexDigit(raw[k]);
            if (digit < 0)
                return false;
            unit = unit * 16 + static_cast<unsigned>(digit);
        }
        text += static_cast<wchar_t>(unit);
        i += 5;
    }
    out = std::move(text);
    return true;
}

std::vector<std::string> SplitTabs(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool Number(const Text &text, unsigned long &value) {
    if (text.empty() || text.size() > 10)
        return false;
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<unsigned long>(c - L'0');
    }
    return true;
}

bool IsHost(const Text &host) {
    return host == L"*" || host == L"windows" || host == L"wine";
}

struct Parser {
    KitData &data;
    std::string &error;
    size_t lineNum = 0;
    Scenario *pScenario = nullptr;
    Step *pStep = nullptr;

    bool Fail(const std::string &what) {
        error = "line " + std::to_string(lineNum) + ": " + what;
        return false;
    }

    // The line's fields after its keyword: exactly `count`, or at least
    // `count` when `more` is set; none of them absent unless `noneAllowed`.
    bool Fields(const std::vector<Field> &fields, size_t count, bool more = false,
                bool noneAllowed = false) {
        if (fields.size() - 1 < count || (!more && fields.size() - 1 != count))
            return Fail("wrong number of fields");
        for (size_t i = 1; i < fields.size(); ++i)
            if (!fields[i] && !noneAllowed)
                return Fail("a field is none where a value is needed");
        return true;
    }

    bool Header(const Text &keyword, const std::vector<Field> &f) {
        unsigned long value = 0;
        if (keyword == L"kit") {
            if (!Fields(f, 1) || !Number(*f[1], value) || value != 1)
                return Fail("not a data file of this runner's format (kit 1)");
        } else if (keyword == L"version") {
            if (!Fields(f, 1))
                return false;
            data.version = *f[1];
        } else if (keyword == L"slow-seconds") {
            if (!Fields(f, 1) || !Number(*f[1], data.slowSeconds))
                return Fail("slow-seconds needs a number");
        } else if (keyword == L"slow-guard" || keyword == L"gone-seconds") {
            if (!Fields(f, 1))
                return false;
            double &target = keyword == L"slow-guard" ? data.slowGuard : data.goneSeconds;
            target = std::wcstod(f[1]->c_str(), nullptr);
        } else if (keyword == L"catalogue") {
            if (!Fields(f, 1, true))
                return false;
            for (size_t i = 1; i < f.size(); ++i)
                data.catalogue.push_back(*f[i]);
        } else {
            return Fail("unknown keyword outside a scenario");
        }
        return true;
    }

    bool ServiceAttribute(const Text &keyword, const std::vector<Field> &f) {
        ServiceStep &service = pStep->service;
        if (keyword == L"exe" || keyword == L"display" || keyword == L"account") {
            if (!Fields(f, 1))
                return false;
            if (keyword == L"exe")
                service.exe = *f[1];
            else if (keyword == L"display")
                service.display = *f[1];
            else
                service.account = f[1];
        } else if (keyword == L"behaviour") {
            if (!Fields(f, 2))
                return false;
            service.behaviour = *f[1];
            service.mode = *f[2];
        } else if (keyword == L"running" || keyword == L"held" || keyword == L"marked") {
            if (!Fields(f, 0))
                return false;
            (keyword == L"running" ? service.running
             : keyword == L"held"  ? service.held
                                   : service.marked) = true;
        } else if (keyword == L"depends") {
            if (!Fields(f, 1))
                return false;
            service.dependsOn.push_back(*f[1]);
        } else if (keyword == L"param") {
            if (!Fields(f, 2))
                return false;
            service.params.emplace_back(*f[1], *f[2]);
        } else {
            return Fail("unknown keyword in a service");
        }
        return true;
    }

    bool ConsoleAttribute(const Text &keyword, const std::vector<Field> &f) {
        ConsoleStep &console = pStep->console;
        if (keyword == L"echo") {
            if (!Fields(f, 0))
                return false;
            console.echo = true;
            return true;
        }
        Field *pTarget = keyword == L"ini"      ? &console.ini
                         : keyword == L"old"    ? &console.old
                         : keyword == L"tool"   ? &console.toolStatus
                         : keyword == L"linger" ? &console.linger
                                                : nullptr;
        if (pTarget == nullptr)
            return Fail("unknown keyword in a console");
        if (!Fields(f, 1))
            return false;
        *pTarget = f[1];
        return true;
    }

    bool InScenario(const Text &keyword, const std::vector<Field> &f) {
        Scenario &s = *pScenario;
        if (keyword == L"end") {
            pScenario = nullptr;
            pStep = nullptr;
            return Fields(f, 0);
        }
        if (keyword == L"skip" || keyword == L"arg" || keyword == L"stdin") {
            if (!Fields(f, 1))
                return false;
            if (keyword == L"skip")
                s.skip = f[1];
            else if (keyword == L"arg")
                s.args.push_back(*f[1]);
            else
                s.stdinText = *f[1];
            return true;
        }
        if (keyword == L"slow" || keyword == L"piped") {
            (keyword == L"slow" ? s.slow : s.piped) = true;
            return Fields(f, 0);
        }
        if (keyword == L"out") {
            if (!Fields(f, 3) || !IsHost(*f[1]))
                return Fail("out needs a host, a stream and a value");
            if (*f[2] != L"stdout" && *f[2] != L"stderr" && *f[2] != L"combined")
                return Fail("unknown stream");
            s.outputs.push_back({*f[1], *f[2], *f[3]});
            return true;
        }
        if (keyword == L"exit") {
            unsigned long code = 0;
            if (!Fields(f, 2) || !IsHost(*f[1]) || !Number(*f[2], code) || code > 0xFFFFFFFFUL)
                return Fail("exit needs a host and a 32-bit number");
            s.exits.emplace_back(*f[1], code);
            return true;
        }
        if (keyword == L"check") {
            if (!Fields(f, 2, true, true) || !f[1] || !f[2] || !IsHost(*f[1]))
                return Fail("check needs a host and a kind");
            s.checks.push_back({*f[1], *f[2], std::vector<Field>(f.begin() + 3, f.end())});
            return true;
        }
        if (keyword == L"service" || keyword == L"console") {
            if (!Fields(f, 1))
                return false;
            s.setup.emplace_back();
            pStep = &s.setup.back();
            pStep->isService = keyword == L"service";
            (pStep->isService ? pStep->service.name : pStep->console.sub) = *f[1];
            return true;
        }
        if (pStep == nullptr)
            return Fail("unknown keyword in a scenario");
        return pStep->isService ? ServiceAttribute(keyword, f) : ConsoleAttribute(keyword, f);
    }

    bool Line(const std::string &raw) {
        if (raw.empty() || raw[0] == '#')
            return true;
        std::vector<Field> fields;
        for (const std::string &piece : SplitTabs(raw)) {
            fields.emplace_back();
            if (!Unescape(piece, fields.back()))
                return Fail("a field is not escaped as the runner reads it");
        }
        if (!fields[0])
            return Fail("no keyword");
        const Text keyword = *fields[0];
        if (pScenario != nullptr)
            return InScenario(keyword, fields);
        if (keyword == L"scenario") {
            if (!Fields(fields, 2))
                return false;
            data.scenarios.emplace_back();
            pScenario = &data.scenarios.back();
            pScenario->id = *fields[1];
            pScenario->title = *fields[2];
            return true;
        }
        return Header(keyword, fields);
    }
};

} // namespace

bool LoadKitData(const Text &path, KitData &data, std::string &error) {
    std::optional<std::string> read = ReadBytes(path);
    if (!read) {
        error = "cannot read it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    const std::string &bytes = *read;
    Parser parser{data, error};
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string raw = bytes.substr(start, end - start);
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        ++parser.lineNum;
        if (!parser.Line(raw))
            return false;
        start = end + 1;
    }
    if (parser.pScenario != nullptr)
        return parser.Fail("the last scenario has no end");
    if (data.version.empty() || data.slowSeconds == 0 || data.catalogue.empty())
        return parser.Fail("the header lacks version, slow-seconds or catalogue");
    return true;
}

Expected ExpectedOn(const Scenario &scenario, const Text &host) {
    Expected expected;
    auto applies = [&host](const Text &tag) { return tag == L"*" || tag == host; };
    for (const Expectation &e : scenario.outputs) {
        if (!applies(e.host))
            continue;
        (e.stream == L"stdout"   ? expected.stdoutText
         : e.stream == L"stderr" ? expected.stderrText
                                 : expected.combined) = e.value;
    }
    for (const auto &[tag, code] : scenario.exits)
        if (applies(tag))
            expected.exitCode = code;
    for (const Check &check : scenario.checks)
        if (applies(check.host))
            expected.checks.push_back(&check);
    return expected;
}

std::vector<Text> SetUpNames(const KitData &data) {
    std::vector<Text> names;
    for (const Scenario &s : data.scenarios)
        for (const Step &step : s.setup) {
            if (!step.isService)
                continue;
            bool known = false;
            for (const Text &name : names)
                known = known || CompareStringOrdinal(name.c_str(), -1, step.service.name.c_str(),
                                                      -1, TRUE) == CSTR_EQUAL;
            if (!known)
                names.push_back(step.service.name);
        }
    return names;
}

// A value as a failure message quotes it: control characters named, so
// that a stray CR or tab shows.
Text Quoted(const Field &value) {
    if (!value)
        return L"absent";
    Text out = L"'";
    for (wchar_t c : *value) {
        if (c == L'\n')
            out += L"\\n";
        else if (c == L'\r')
            out += L"\\r";
        else if (c == L'\t')
            out += L"\\t";
        else if (c == L'\'' || c == L'\\')
            out += Text(L"\\") + c;
        else if (c < 0x20) {
            wchar_t hex[8];
            std::swprintf(hex, 8, L"\\x%02x", static_cast<unsigned>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out + L"'";
}

// By hand rather than WideCharToMultiByte: an unpaired surrogate becomes
// U+FFFD the same way on every host.
std::string Utf8(const Text &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned short>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
            static_cast<unsigned short>(text[i + 1]) >= 0xDC00 &&
            static_cast<unsigned short>(text[i + 1]) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) +
                (static_cast<unsigned short>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Text FromUtf8(const std::string &bytes) {
    if (bytes.empty())
        return Text();
    const int numUnits =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    Text text(static_cast<size_t>(numUnits > 0 ? numUnits : 0), L'\0');
    if (numUnits > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                            numUnits);
    return text;
}

} // namespace kit
