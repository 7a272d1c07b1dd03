// The machine's `settings` file: injected call failures, how each service
// behaves when started and stopped and whether another program holds it,
// whether Sleep() really waits, and which Windows' answers the calls give.
#include "sim_internal.h"

#include <array>
#include <atomic>

namespace quillmar::sim {

namespace {

constexpr const char *kCallNames[] = {
    "OpenSCManagerA",         "OpenServiceA",       "QueryServiceStatus",   "StartServiceA",
    "ControlService",         "CreateServiceA",     "ChangeServiceConfigA", "DeleteService",
    "GetServiceDisplayNameA", "CloseServiceHandle", "RegOpenKeyExA",        "RegCreateKeyExA",
    "RegSetValueExA",         "RegQueryValueExA",   "RegCloseKey",
};
static_assert(sizeof kCallNames / sizeof kCallNames[0] == static_cast<std::size_t>(Call::Count_));

std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Call::Count_)> g_calls{};

struct Token {
    std::string text;
    bool quoted = false;
};

bool Tokenize(std::string_view line, std::vector<Token> &out, std::string &err) {
    out.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '#')
            break;
        Token t;
        if (c == '"') {
            t.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char ch = line[i++];
                if (ch == '"') {
                    closed = true;
                    break;
                }
                if (ch == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\'))
                    ch = line[i++];
                t.text += ch;
            }
            if (!closed) {
                err = "quoted name without its closing quote";
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#')
                t.text += line[i++];
        }
        out.push_back(std::move(t));
    }
    return true;
}

bool ParseNumber(std::string_view s, std::uint64_t max, std::uint64_t &out, bool allowHex) {
    int base = 10;
    if (allowHex && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 20)
        return false;
    std::uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f')
            d = AsciiLower(c) - 'a' + 10;
        else
            return false;
        if (v > (max - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
            return false;
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    out = v;
    return true;
}

bool Is(const Token &t, std::string_view word) {
    return !t.quoted && IEquals(t.text, word);
}

// Rules may name keys as regedit shows them; calls report them relative
// to HKEY_LOCAL_MACHINE.
std::string NormalizeName(std::string_view name) {
    for (std::string_view prefix :
         {std::string_view("HKEY_LOCAL_MACHINE"), std::string_view("HKLM")}) {
        if (name.size() >= prefix.size() && IEquals(name.substr(0, prefix.size()), prefix) &&
            (name.size() == prefix.size() || name[prefix.size()] == '\\')) {
            name.remove_prefix(prefix.size());
            break;
        }
    }
    while (!name.empty() && name.front() == '\\')
        name.remove_prefix(1);
    while (!name.empty() && name.back() == '\\')
        name.remove_suffix(1);
    return std::string(name);
}

constexpr std::uint64_t kMaxPolls = 1000000000;

bool ParseFail(const std::vector<Token> &t, Settings &out, std::string &err) {
    FaultRule rule;
    if (t.size() < 2) {
        err = "expected: fail <Call> [<n>] [name <Name>] with <code>";
        return false;
    }
    for (std::size_t c = 0; c < static_cast<std::size_t>(Call::Count_); ++c)
        if (IEquals(t[1].text, kCallNames[c]))
            rule.call = static_cast<Call>(c);
    if (rule.call == Call::Count_) {
        err = "unknown call";
        return false;
    }
    std::size_t i = 2;
    if (i < t.size() && !t[i].quoted && !t[i].text.empty() && t[i].text[0] >= '0' &&
        t[i].text[0] <= '9') {
        if (!ParseNumber(t[i].text, UINT64_MAX, rule.nth, false) || rule.nth == 0) {
            err = "call number must be 1 or more";
            return false;
        }
        ++i;
    }
    if (i < t.size() && Is(t[i], "name")) {
        if (i + 1 >= t.size()) {
            err = "expected a name after \"name\"";
            return false;
        }
        rule.name = NormalizeName(t[i + 1].text);
        i += 2;
    }
    if (i + 2 != t.size() || !Is(t[i], "with")) {
        err = "expected: fail <Call> [<n>] [name <Name>] with <code>";
        return false;
    }
    std::uint64_t code = 0;
    if (!ParseNumber(t[i + 1].text, 0xFFFFFFFFULL, code, true) || code == 0) {
        err = "error code must be a number from 1 to 0xFFFFFFFF";
        return false;
    }
    rule.code = static_cast<DWORD>(code);
    out.faults.push_back(std::move(rule));
    return true;
}

bool ParseService(const std::vector<Token> &t, Settings &out, std::string &err) {
    if (t.size() == 3 && Is(t[2], "held")) {
        out.services[Lower(t[1].text)].held = true;
        return true;
    }
    // "start dies" may name the exit code the service stops with.
    const bool diesWith = t.size() == 5 && Is(t[2], "start") && Is(t[3], "dies");
    if ((t.size() != 4 && !diesWith) || !(Is(t[2], "start") || Is(t[2], "stop"))) {
        err = "expected: service <Name> start <N|never|dies>, service <Name> stop "
              "<N|never|ignored> or service <Name> held";
        return false;
    }
    bool start = Is(t[2], "start");
    ServiceBehaviour &b = out.services[Lower(t[1].text)];
    std::int64_t polls = 0;
    std::uint64_t n = 0;
    if (Is(t[3], "never")) {
        polls = kNever;
    } else if (start && Is(t[3], "dies")) {
        b.startDies = true;
        b.startPolls = 1;
        b.diesWith = ERROR_PROCESS_ABORTED;
        if (diesWith) {
            if (!ParseNumber(t[4].text, 0xFFFFFFFFULL, n, true)) {
                err = "dies takes an exit code from 0 to 0xFFFFFFFF";
                return false;
            }
            b.diesWith = static_cast<DWORD>(n);
        }
        return true;
    } else if (!start && Is(t[3], "ignored")) {
        b.stopIgnored = true;
        b.stopPolls = 0;
        return true;
    } else if (ParseNumber(t[3].text, kMaxPolls, n, false)) {
        polls = static_cast<std::int64_t>(n);
    } else {
        err = start ? "start takes a number of polls, never or dies"
                    : "stop takes a number of polls, never or ignored";
        return false;
    }
    if (start) {
        b.startDies = false;
        b.startPolls = polls;
    } else {
        b.stopPolls = polls;
        b.stopIgnored = false;
    }
    return true;
}

} // namespace

const char *CallName(Call c) {
    return kCallNames[static_cast<std::size_t>(c)];
}

ServiceBehaviour Settings::BehaviourOf(std::string_view service) const {
    auto it = services.find(Lower(service));
    return it == services.end() ? ServiceBehaviour{} : it->second;
}

bool ParseSettingsText(std::string_view text, Settings &out, TextError &err) {
    out = Settings{};
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::size_t lineNo = 0;
    for (std::string_view line : SplitLines(text)) {
        ++lineNo;
        std::vector<Token> t;
        std::string why;
        bool ok = Tokenize(line, t, why);
        if (ok && t.empty())
            continue;
        if (ok) {
            if (Is(t[0], "fail")) {
                ok = ParseFail(t, out, why);
            } else if (Is(t[0], "service")) {
                ok = ParseService(t, out, why);
            } else if (Is(t[0], "clock")) {
                if (t.size() == 2 && (Is(t[1], "skip") || Is(t[1], "real")))
                    out.skipClock = Is(t[1], "skip");
                else {
                    ok = false;
                    why = "expected: clock skip or clock real";
                }
            } else if (Is(t[0], "lasterror")) {
                if (t.size() == 2 && (Is(t[1], "clear") || Is(t[1], "keep")))
                    out.clearLastError = Is(t[1], "clear");
                else {
                    ok = false;
                    why = "expected: lasterror clear or lasterror keep";
                }
            } else if (Is(t[0], "displaynames")) {
                if (t.size() == 2 && (Is(t[1], "unique") || Is(t[1], "shared")))
                    out.uniqueDisplayNames = Is(t[1], "unique");
                else {
                    ok = false;
                    why = "expected: displaynames unique or displaynames shared";
                }
            } else {
                ok = false;
                why = "unknown setting (expected fail, service, clock, lasterror or displaynames)";
            }
        }
        if (!ok) {
            err = {lineNo, why};
            return false;
        }
    }
    return true;
}

std::uint64_t CountCall(Call c) {
    return ++g_calls[static_cast<std::size_t>(c)];
}

DWORD InjectedFault(const Settings &s, Call c, std::uint64_t n, const std::string *name) {
    for (const FaultRule &r : s.faults) {
        if (r.call != c || (r.nth && r.nth != n))
            continue;
        if (r.name && (!name || !IEquals(NormalizeName(*name), *r.name)))
            continue;
        return r.code;
    }
    return 0;
}

void ResetCallCountsForTests() {
    for (auto &c : g_calls)
        c = 0;
}

} // namespace quillmar::sim
