// Key paths, store file names and the regedit export text of the simulated
// machine's registry files. Pure functions: no file system here.
#include "sim_internal.h"

#include <algorithm>
#include <cstdio>

namespace quillmar::sim {

// ---------------------------------------------------------------- text

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = AsciiLower(c);
    return out;
}

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

// ---------------------------------------------------------------- keys

std::string JoinPath(const KeyPath &path) {
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i)
            out += '\\';
        out += path[i];
    }
    return out;
}

bool PathStartsWith(const KeyPath &path, const KeyPath &prefix) {
    if (prefix.size() > path.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (!IEquals(path[i], prefix[i]))
            return false;
    return true;
}

bool PathIEquals(const KeyPath &a, const KeyPath &b) {
    return a.size() == b.size() && PathStartsWith(a, b);
}

LONG SplitSubKey(const char *subKey, KeyPath &out) {
    out.clear();
    if (!subKey)
        return ERROR_SUCCESS;
    std::string_view s(subKey);
    while (!s.empty() && s.back() == '\\')
        s.remove_suffix(1);
    if (s.empty())
        return ERROR_SUCCESS;
    if (s.front() == '\\')
        return ERROR_BAD_PATHNAME;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = s.find('\\', start);
        std::string_view part =
            s.substr(start, end == std::string_view::npos ? s.npos : end - start);
        if (part.empty())
            return ERROR_BAD_PATHNAME;
        out.emplace_back(part);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

bool IsServiceSubtree(const KeyPath &path, std::string *serviceName) {
    if (path.size() < 4 || !IEquals(path[0], "SYSTEM") || !IEquals(path[1], "CurrentControlSet") ||
        !IEquals(path[2], "Services"))
        return false;
    if (serviceName)
        *serviceName = path[3];
    return true;
}

bool IsBuiltinKey(const KeyPath &path) {
    static const KeyPath builtins[] = {
        {"SYSTEM"},
        {"SYSTEM", "CurrentControlSet"},
        {"SYSTEM", "CurrentControlSet", "Services"},
        {"SOFTWARE"},
    };
    for (const KeyPath &b : builtins)
        if (PathIEquals(path, b))
            return true;
    return false;
}

namespace {

// FNV-1a: only needs to spread very long names over file names, not to
// resist anyone; a collision merely puts two subtrees in one file.
std::uint64_t Fnv1a(std::string_view s) {
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

constexpr std::size_t kMaxEncoded = 200;

} // namespace

std::string EncodeFileName(std::string_view name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string lower = Lower(name);
    std::string out;
    std::vector<std::size_t> boundaries; // where each source byte's encoding starts
    for (unsigned char c : lower) {
        boundaries.push_back(out.size());
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (out.size() <= kMaxEncoded)
        return out;
    // Keep a readable prefix, cut on an encoding boundary, then the hash.
    std::size_t cut = 0;
    for (std::size_t b : boundaries) {
        if (b > 150)
            break;
        cut = b;
    }
    char tail[20];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(Fnv1a(lower)));
    return out.substr(0, cut) + tail;
}

std::string ServiceRegFile(std::string_view serviceName) {
    return "registry/services/" + EncodeFileName(serviceName) + ".reg";
}

std::string ServiceStateFile(std::string_view serviceName) {
    return "scm/" + EncodeFileName(serviceName) + ".state";
}

std::string RegFileFor(const KeyPath &path) {
    std::string service;
    if (IsServiceSubtree(path, &service))
        return ServiceRegFile(service);
    if (path.empty())
        return {};
    return "registry/" + EncodeFileName(path[0]) + ".reg";
}

// ---------------------------------------------------------------- model

bool FoldedLess::operator()(std::string_view a, std::string_view b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(AsciiLower(a[i]));
        const auto cb = static_cast<unsigned char>(AsciiLower(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

bool FoldedLess::operator()(const KeyPath &a, const KeyPath &b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if ((*this)(a[i], b[i]))
            return true;
        if ((*this)(b[i], a[i]))
            return false;
    }
    return a.size() < b.size();
}

namespace {

// Up to this many keys or values are found quicker by a walk than through
// a map; beyond it a map keeps a file of many from costing a walk each.
constexpr std::size_t kWalkUpTo = 16;

} // namespace

RegValue *RegKey::FindValue(std::string_view name) {
    if (byName_.empty()) {
        for (RegValue &v : values)
            if (IEquals(v.name, name))
                return &v;
        return nullptr;
    }
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : &values[it->second];
}

const RegValue *RegKey::FindValue(std::string_view name) const {
    return const_cast<RegKey *>(this)->FindValue(name);
}

RegValue &RegKey::SetValue(std::string_view name, DWORD type, std::string data) {
    if (RegValue *v = FindValue(name)) {
        v->type = type;
        v->data = std::move(data);
        v->wide.reset();
        return *v;
    }
    values.push_back(RegValue{std::string(name), type, std::move(data), std::nullopt});
    if (!byName_.empty())
        byName_.emplace(values.back().name, values.size() - 1);
    else if (values.size() > kWalkUpTo)
        for (std::size_t i = 0; i < values.size(); ++i)
            byName_.emplace(values[i].name, i);
    return values.back();
}

RegKey *RegDoc::FindKey(const KeyPath &path) {
    if (byPath_.empty()) {
        for (RegKey &k : keys)
            if (PathIEquals(k.path, path))
                return &k;
        return nullptr;
    }
    auto it = byPath_.find(path);
    return it == byPath_.end() ? nullptr : &keys[it->second];
}

const RegKey *RegDoc::FindKey(const KeyPath &path) const {
    return const_cast<RegDoc *>(this)->FindKey(path);
}

const KeyPath *RegDoc::FirstFrom(const KeyPath &path) const {
    if (byPath_.empty()) {
        for (const RegKey &k : keys)
            if (PathStartsWith(k.path, path))
                return &k.path;
        return nullptr;
    }
    // The key, or else the first key below it, sorts first from the path on.
    auto it = byPath_.lower_bound(path);
    return it != byPath_.end() && PathStartsWith(it->first, path) ? &it->first : nullptr;
}

bool RegDoc::HasKey(const KeyPath &path) const {
    return FirstFrom(path) != nullptr;
}

RegKey &RegDoc::AddKey(KeyPath path) {
    keys.emplace_back(std::move(path));
    if (!byPath_.empty())
        byPath_.emplace(keys.back().path, keys.size() - 1);
    else if (keys.size() > kWalkUpTo)
        for (std::size_t i = 0; i < keys.size(); ++i)
            byPath_.emplace(keys[i].path, i);
    return keys.back();
}

RegKey &RegDoc::EnsureKey(const KeyPath &path, std::size_t firstLevel, bool *created) {
    if (created)
        *created = false;
    KeyPath spelled;
    for (std::size_t i = 0; i < path.size(); ++i) {
        // Reuse the spelling an existing key already gives this component.
        spelled.push_back(path[i]);
        if (const KeyPath *existing = FirstFrom(spelled))
            spelled.back() = (*existing)[i];
        if (i + 1 >= firstLevel && !FindKey(spelled)) {
            AddKey(spelled);
            if (i + 1 == path.size() && created)
                *created = true;
        }
    }
    return *FindKey(spelled);
}

bool RegDoc::RemoveSubtree(const KeyPath &path) {
    auto it = std::remove_if(keys.begin(), keys.end(),
                             [&](const RegKey &k) { return PathStartsWith(k.path, path); });
    bool any = it != keys.end();
    keys.erase(it, keys.end());
    byPath_.clear();
    if (keys.size() > kWalkUpTo)
        for (std::size_t i = 0; i < keys.size(); ++i)
            byPath_.emplace(keys[i].path, i);
    return any;
}

// ---------------------------------------------------------------- writing

namespace {

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A REG_SZ is written in quotes only when reading the quotes back gives
// the very same bytes: one terminating NUL and no control characters.
bool QuotableString(const std::string &data) {
    if (data.empty() || data.back() != '\0')
        return false;
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

void AppendQuoted(std::string &out, std::string_view s) {
    out += '"';
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

void AppendHexBytes(std::string &out, std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (i)
            out += ',';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
}

// String types appear in a real export as UTF-16LE; our A-call bytes are
// widened one to one, which reads back to the same bytes.
std::string Widen(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        out += c;
        out += '\0';
    }
    return out;
}

} // namespace

std::string FormatRegText(const RegDoc &doc) {
    std::vector<const RegKey *> order;
    for (const RegKey &k : doc.keys)
        order.push_back(&k);
    std::stable_sort(order.begin(), order.end(), [](const RegKey *a, const RegKey *b) {
        return FoldedLess()(a->path, b->path);
    });

    std::string out(kRegHeader);
    out += "\n\n";
    for (const RegKey *k : order) {
        out += "[HKEY_LOCAL_MACHINE\\";
        out += JoinPath(k->path);
        out += "]\n";
        for (const RegValue &v : k->values) {
            if (v.name.empty())
                out += '@';
            else
                AppendQuoted(out, v.name);
            out += '=';
            if (v.wide) {
                char buf[24];
                std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
                out += buf;
                AppendHexBytes(out, *v.wide);
            } else if (v.type == REG_SZ && QuotableString(v.data)) {
                AppendQuoted(out, std::string_view(v.data).substr(0, v.data.size() - 1));
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                std::uint32_t d = 0;
                for (int i = 3; i >= 0; --i)
                    d = (d << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
                char buf[20];
                std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(d));
                out += buf;
            } else if (v.type == REG_BINARY) {
                out += "hex:";
                AppendHexBytes(out, v.data);
            } else {
                char buf[24];
                std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
                out += buf;
                AppendHexBytes(out, IsStringType(v.type) ? Widen(v.data) : v.data);
            }
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

// ---------------------------------------------------------------- reading

namespace {

struct Cursor {
    std::string_view s;
    std::size_t pos = 0;
    bool AtEnd() const { return pos >= s.size(); }
    char Peek() const { return AtEnd() ? '\0' : s[pos]; }
    void SkipBlanks() {
        while (!AtEnd() && (s[pos] == ' ' || s[pos] == '\t'))
            ++pos;
    }
};

bool ParseQuoted(Cursor &c, std::string &out, std::string &err) {
    if (c.Peek() != '"') {
        err = "expected a quoted string";
        return false;
    }
    ++c.pos;
    out.clear();
    while (!c.AtEnd()) {
        char ch = c.s[c.pos++];
        if (ch == '"')
            return true;
        if (ch == '\\') {
            if (c.AtEnd())
                break;
            char next = c.s[c.pos++];
            if (next != '\\' && next != '"') {
                err = std::string("unknown escape \\") + next +
                      " in a string (write \\\\ for a backslash)";
                return false;
            }
            out += next;
        } else {
            out += ch;
        }
    }
    err = "string without its closing quote";
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool ParseHexList(std::string_view s, std::string &out, std::string &err) {
    out.clear();
    std::size_t i = 0;
    auto blanks = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    };
    blanks();
    if (i == s.size())
        return true;
    for (;;) {
        blanks();
        if (i + 1 >= s.size() || HexDigit(s[i]) < 0 || HexDigit(s[i + 1]) < 0) {
            err = "expected two hex digits per byte";
            return false;
        }
        out += static_cast<char>(HexDigit(s[i]) * 16 + HexDigit(s[i + 1]));
        i += 2;
        blanks();
        if (i == s.size())
            return true;
        if (s[i] != ',') {
            err = "expected ',' between hex bytes";
            return false;
        }
        ++i;
    }
}

void AppendUtf8(std::string &out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Undoes Widen(); characters beyond Latin-1 (from a real export) arrive
// as UTF-8, the only 8-bit form that keeps them.
bool Narrow(std::string_view wide, std::string &out, std::string &err) {
    if (wide.size() % 2) {
        err = "string data in hex must be UTF-16LE: an even number of bytes";
        return false;
    }
    out.clear();
    for (std::size_t i = 0; i < wide.size(); i += 2) {
        std::uint32_t u =
            static_cast<unsigned char>(wide[i]) | (static_cast<unsigned char>(wide[i + 1]) << 8);
        if (u < 0x100) {
            out += static_cast<char>(u);
            continue;
        }
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < wide.size()) {
            std::uint32_t lo = static_cast<unsigned char>(wide[i + 2]) |
                               (static_cast<unsigned char>(wide[i + 3]) << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, u);
    }
    return true;
}

bool ParseData(std::string_view data, RegValue &v, std::string &err) {
    Cursor c{data, 0};
    if (c.Peek() == '"') {
        std::string text;
        if (!ParseQuoted(c, text, err))
            return false;
        c.SkipBlanks();
        if (!c.AtEnd()) {
            err = "unexpected text after the closing quote";
            return false;
        }
        v.type = REG_SZ;
        v.data = text;
        v.data += '\0';
        return true;
    }
    std::string lower = Lower(data.substr(0, std::min<std::size_t>(data.size(), 8)));
    if (lower.rfind("dword:", 0) == 0) {
        std::string_view digits = data.substr(6);
        while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t'))
            digits.remove_suffix(1);
        if (digits.empty() || digits.size() > 8) {
            err = "dword: needs 1 to 8 hex digits";
            return false;
        }
        std::uint32_t d = 0;
        for (char ch : digits) {
            int h = HexDigit(ch);
            if (h < 0) {
                err = "dword: needs 1 to 8 hex digits";
                return false;
            }
            d = (d << 4) | static_cast<std::uint32_t>(h);
        }
        v.type = REG_DWORD;
        v.data.clear();
        for (int i = 0; i < 4; ++i)
            v.data += static_cast<char>((d >> (8 * i)) & 0xFF);
        return true;
    }
    if (lower.rfind("hex", 0) == 0) {
        std::size_t i = 3;
        DWORD type = REG_BINARY;
        if (i < data.size() && data[i] == '(') {
            std::size_t close = data.find(')', i);
            if (close == std::string_view::npos || close == i + 1 || close - i - 1 > 8) {
                err = "hex(N): needs a hex type number";
                return false;
            }
            type = 0;
            for (std::size_t k = i + 1; k < close; ++k) {
                int h = HexDigit(data[k]);
                if (h < 0) {
                    err = "hex(N): needs a hex type number";
                    return false;
                }
                type = (type << 4) | static_cast<DWORD>(h);
            }
            i = close + 1;
        }
        if (i >= data.size() || data[i] != ':') {
            err = "expected ':' after hex";
            return false;
        }
        std::string bytes;
        if (!ParseHexList(data.substr(i + 1), bytes, err))
            return false;
        v.type = type;
        if (!IsStringType(type)) {
            v.data = std::move(bytes);
            return true;
        }
        if (!Narrow(bytes, v.data, err))
            return false;
        v.wide = std::move(bytes);
        return true;
    }
    if (data == "-")
        err = "value deletions (=-) are not supported in a store file";
    else
        err = "expected \"string\", dword:, hex: or hex(N): after '='";
    return false;
}

bool EndsWithContinuation(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return !line.empty() && line.back() == '\\';
}

} // namespace

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t nl = text.find('\n', start);
        std::string_view line = text.substr(start, nl == text.npos ? text.npos : nl - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (nl == text.npos)
            break;
        start = nl + 1;
    }
    return lines;
}

bool ParseRegText(std::string_view text, RegDoc &out, TextError &err) {
    out = RegDoc{};
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    else if (text.substr(0, 2) == "\xFF\xFE") {
        err = {1, "file is UTF-16; save it as 8-bit text (UTF-8)"};
        return false;
    }

    const std::vector<std::string_view> lines = SplitLines(text);
    if (lines.empty() || lines[0] != kRegHeader) {
        err = {1, "missing the header line \"" + std::string(kRegHeader) + "\""};
        return false;
    }

    RegKey *current = nullptr;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::size_t lineNo = i + 1;
        std::string_view line = lines[i];
        Cursor c{line, 0};
        c.SkipBlanks();
        if (c.AtEnd() || c.Peek() == ';')
            continue;
        if (c.Peek() == '[') {
            std::string_view body = line.substr(c.pos + 1);
            while (!body.empty() && (body.back() == ' ' || body.back() == '\t'))
                body.remove_suffix(1);
            if (body.empty() || body.back() != ']') {
                err = {lineNo, "key line without its closing ']'"};
                return false;
            }
            body.remove_suffix(1);
            // The path is split as a C string: a NUL would cut it short
            // and put the key's values into another key.
            if (body.find('\0') != std::string_view::npos) {
                err = {lineNo, "a NUL byte in the key name"};
                return false;
            }
            if (!body.empty() && body.front() == '-') {
                err = {lineNo, "key deletions ([-key]) are not supported in a store file"};
                return false;
            }
            static constexpr std::string_view root = "HKEY_LOCAL_MACHINE\\";
            if (body.size() <= root.size() || !IEquals(body.substr(0, root.size()), root)) {
                err = {lineNo, "key must be below [HKEY_LOCAL_MACHINE\\...]"};
                return false;
            }
            std::string sub(body.substr(root.size()));
            KeyPath path;
            if (SplitSubKey(sub.c_str(), path) != ERROR_SUCCESS || path.empty()) {
                err = {lineNo, "malformed key path"};
                return false;
            }
            current = out.FindKey(path);
            if (!current)
                current = &out.AddKey(std::move(path));
            continue;
        }
        if (c.Peek() != '"' && c.Peek() != '@') {
            err = {lineNo, "expected [key] or \"name\"=value"};
            return false;
        }
        if (!current) {
            err = {lineNo, "value before the first [key]"};
            return false;
        }
        RegValue v;
        std::string why;
        if (c.Peek() == '@') {
            ++c.pos;
        } else if (!ParseQuoted(c, v.name, why)) {
            err = {lineNo, why};
            return false;
        }
        c.SkipBlanks();
        if (c.Peek() != '=') {
            err = {lineNo, "expected '=' after the value name"};
            return false;
        }
        ++c.pos;
        c.SkipBlanks();
        std::string data(line.substr(c.pos));
        // Hex data may run on over lines ending in a backslash, as regedit
        // wraps it; strings never continue.
        if (Lower(data.substr(0, 3)) == "hex") {
            while (EndsWithContinuation(data) && i + 1 < lines.size()) {
                while (data.back() != '\\')
                    data.pop_back();
                data.pop_back();
                ++i;
                data += lines[i];
            }
        }
        while (!data.empty() && (data.back() == ' ' || data.back() == '\t'))
            data.pop_back();
        if (!ParseData(data, v, why)) {
            err = {lineNo, why};
            return false;
        }
        current->SetValue(v.name, v.type, std::move(v.data)).wide = std::move(v.wide);
    }
    return true;
}

} // namespace quillmar::sim
