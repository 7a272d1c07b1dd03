#include "kitdata.h"
#include "winhost.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace kit {

namespace {

// A field as make_kit_data.py escapes it.
bool Unescape(const Text &raw, Field &out) {
    if (raw == L"\\-") {
        out.reset();
        return true;
    }
    Text text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] < 0x20 || raw[i] >= 0x7F)
            return false;
        if (raw[i] != L'\\') {
            text += raw[i];
            continue;
        }
        if (raw.compare(i, 2, L"\\u") != 0 || i + 6 > raw.size() ||
            raw.find_first_not_of(L"0123456789abcdef", i + 2) < i + 6)
            return false;
        text += static_cast<wchar_t>(std::wcstoul(raw.substr(i + 2, 4).c_str(), nullptr, 16));
        i += 5;
    }
    out = std::move(text);
    return true;
}

// Whether a step or a check has the fields its kind needs (a service's
// parameters in pairs, the merge tool's arguments, after them).
bool Fits(const Record &r) {
    const Text kind = Value(r, 0);
    const size_t n = r.size();
    return kind == L"service"                        ? n >= 9 && (n - 9) % 2 == 0
           : kind == L"tool"                         ? n >= 3
           : kind == L"console" || kind == L"config" ? n == 7
           : kind == L"reg"                          ? n == 5
                            : (kind == L"state" || kind == L"file") && n == 3;
}

// Takes one line into the data; the reason when it cannot.
const char *Take(const Record &f, const Text &host, KitData &data, Scenario *&pS) {
    const Text key = Value(f, 0);
    const size_t n = f.size();
    if (pS == nullptr) {
        if (key == L"version" && n == 2) {
            data.version = Value(f, 1);
        } else if (key == L"scenario" && n == 3) {
            pS = &data.scenarios.emplace_back();
            pS->id = Value(f, 1);
            pS->title = Value(f, 2);
        } else {
            return "not a scenario's first line";
        }
        return nullptr;
    }
    Scenario &s = *pS;
    if (key == L"end" && n == 1)
        pS = nullptr;
    else if (key == L"skip" && n == 2)
        s.skip = f[1];
    else if (key == L"slow" && n == 2)
        s.slowGuard = std::wcstod(Value(f, 1).c_str(), nullptr);
    else if (key == L"piped" && n == 1)
        s.piped = true;
    else if (key == L"argv0" && n == 2)
        s.argv0 = Value(f, 1);
    else if (key == L"arg" && n == 2)
        s.args.push_back(Value(f, 1));
    else if (key == L"stdin" && n == 2)
        s.stdinText = Value(f, 1);
    else if ((key == L"service" || key == L"console") && Fits(f))
        s.setup.push_back(f);
    else if ((key != L"expect" && key != L"check") || n < 3)
        return "an unknown line, or one with the wrong number of fields";
    else if (Value(f, 1) != L"*" && Value(f, 1) != host)
        return nullptr; // the other host's
    else if (key == L"check" && Fits(Record(f.begin() + 2, f.end())))
        s.checks.emplace_back(f.begin() + 2, f.end());
    else if (key != L"expect" || n != 6 || Value(f, 5).empty() ||
             Value(f, 5).find_first_not_of(L"0123456789") != Text::npos)
        return "an expectation with the wrong fields";
    else {
        s.stdoutText = f[2];
        s.stderrText = f[3];
        s.combined = f[4];
        s.exitCode = std::wcstoul(Value(f, 5).c_str(), nullptr, 10);
    }
    return nullptr;
}

} // namespace

bool LoadKitData(const Text &path, const Text &host, KitData &data, std::string &error) {
    const std::optional<std::string> bytes = ReadBytes(path);
    if (!bytes) {
        error = "cannot read it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    Scenario *pS = nullptr;
    size_t lineNum = 0;
    for (const Text &line : Lines(FromUtf8(*bytes))) {
        ++lineNum;
        Record fields;
        const char *pWhy = nullptr;
        for (const Text &raw : Split(line, L'\t'))
            if (!Unescape(raw, fields.emplace_back()))
                pWhy = "a field is not escaped as the runner reads it";
        if (pWhy == nullptr)
            pWhy = Take(fields, host, data, pS);
        if (pWhy != nullptr) {
            error = "line " + std::to_string(lineNum) + ": " + pWhy;
            return false;
        }
    }
    if (pS != nullptr)
        error = "the last scenario has no end";
    return pS == nullptr;
}

Text Value(const Record &record, size_t i) {
    return i < record.size() ? record[i].value_or(Text()) : Text();
}

bool SameName(const Text &a, const Text &b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool AddName(std::vector<Text> &names, const Text &name) {
    if (std::any_of(names.begin(), names.end(), [&](const Text &n) { return SameName(n, name); }))
        return false;
    names.push_back(name);
    return true;
}

std::vector<Text> Split(const Text &text, wchar_t separator) {
    std::vector<Text> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == Text::npos ? end : end - start));
        if (end == Text::npos)
            return parts;
        start = end + 1;
    }
}

std::vector<Text> Lines(const Text &text) {
    std::vector<Text> lines = Split(text, L'\n');
    if (lines.back().empty())
        lines.pop_back();
    return lines;
}

Text Quoted(const Field &value) {
    if (!value)
        return L"absent";
    Text out = L"'";
    for (wchar_t c : *value) {
        const wchar_t *pEscape = c == L'\n'   ? L"\\n"
                                 : c == L'\r' ? L"\\r"
                                 : c == L'\t' ? L"\\t"
                                 : c == L'\'' ? L"\\'"
                                 : c == L'\\' ? L"\\\\"
                                              : nullptr;
        wchar_t hex[8];
        std::swprintf(hex, 8, L"\\x%02x", static_cast<unsigned>(c));
        out += pEscape != nullptr ? Text(pEscape) : c < 0x20 ? Text(hex) : Text(1, c);
    }
    return out + L"'";
}

// By hand, not WideCharToMultiByte: an unpaired surrogate is U+FFFD alike on every host.
std::string Utf8(const Text &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned short>(text[i]);
        const unsigned long next =
            i + 1 < text.size() ? static_cast<unsigned short>(text[i + 1]) : 0;
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        // The lead byte, then six bits a byte.
        const int numTrail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        static const unsigned char leads[] = {0x00, 0xC0, 0xE0, 0xF0};
        out += static_cast<char>(leads[numTrail] | (c >> (6 * numTrail)));
        for (int k = numTrail - 1; k >= 0; --k)
            out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return out;
}

Text FromUtf8(const std::string &bytes) {
    const int size = static_cast<int>(bytes.size());
    const int numUnits = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
    Text text(static_cast<size_t>(numUnits > 0 ? numUnits : 0), L'\0');
    if (numUnits > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), numUnits);
    return text;
}

} // namespace kit
