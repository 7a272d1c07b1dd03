// The simulated machine's index of its services: scm/display-names.index,
// derived from registry/services, so that a create can refuse a display
// name in use and a stop can find the services that depend on the one it
// stops, without reading every service's file.
//
// One line per service, "<display>\t<name>[\t<dependency>]...", and one
// "%><dependency>\t<name>" for each service it depends on, sorted by the
// line folded to lower case; the name and its dependencies lowercased,
// every field with the bytes that would break a line or a field written as
// %XX. A display-name lookup, or a stop's search for the services that
// depend on it, reads the file with one read() and finds its lines by
// binary search; a change writes the file back in pieces around the lines
// it changes. So none walks the list, and a machine with 20,000 services
// costs little more than an empty one. The second line
// records the registry/services directory (inode, modification and change
// times) as it stood when the list was last known right. Every change this
// machine makes there renames a file into that directory, as does an
// editor that saves by rename or anyone adding or removing a file; a record
// that no longer matches sends the next lookup back to the service files.
#include "sim_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmar::sim {

namespace {

constexpr const char *kIndex = "scm/display-names.index";
constexpr std::string_view kIndexHeader =
    "# quillmar simulated machine: the services by display name, with the services each "
    "depends on, and after %> each dependency with a service that depends on it, derived "
    "from registry/services (remove this file to have it rebuilt)\n";
// Starts a dependency's line. No encoded display name starts so (a '%' is
// always followed by two hex digits there), so these lines sort among the
// others and are never taken for one.
constexpr std::string_view kDependencyMark = "%>";

std::string StampLine(const Machine &m) {
    struct stat st;
    if (fstatat(m.Fd(), "registry/services", &st, AT_SYMLINK_NOFOLLOW) != 0)
        return "stamp absent\n";
    char line[128];
    std::snprintf(line, sizeof line, "stamp %llu %lld.%09ld %lld.%09ld\n",
                  static_cast<unsigned long long>(st.st_ino),
                  static_cast<long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec),
                  static_cast<long long>(st.st_ctim.tv_sec), static_cast<long>(st.st_ctim.tv_nsec));
    return line;
}

// Bytes that would break a line or a field, and '%' itself, become %XX.
// None of them is a letter, so two encoded names are equal ignoring case
// exactly when the names are: lookups compare the encoded text as it is.
std::string EncodeField(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x20 || c == '%' || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string DecodeField(std::string_view s) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct Entry {
    std::string key;  // what the list is sorted by: the line folded to lower case
    std::string line; // the whole line, its '\n' included
};

Entry MakeEntry(std::string line) {
    Entry e;
    e.key = Lower(line);
    e.line = std::move(line) + '\n';
    return e;
}

// The service's line, and a line "%><dependency>\t<name>" for each service
// it depends on, so that a stop finds its dependents by bisection.
std::vector<Entry> MakeEntries(std::string_view name, const IndexedService &service) {
    std::string line = EncodeField(service.display) + '\t' + EncodeField(name);
    for (const std::string &dependency : service.dependsOn)
        line += '\t' + EncodeField(dependency);
    std::vector<Entry> out{MakeEntry(std::move(line))};
    std::set<std::string> seen;
    for (const std::string &dependency : service.dependsOn)
        if (seen.insert(dependency).second)
            out.push_back(MakeEntry(std::string(kDependencyMark) + EncodeField(dependency) + '\t' +
                                    EncodeField(name)));
    return out;
}

// Orders an entry's line (without its '\n') against a folded key. No
// encoded field holds a byte below ' ', so the tab sorts a display name
// before any longer one: "a\tx" < "ab\tx".
int CompareFolded(std::string_view line, std::string_view key) {
    std::size_t n = std::min(line.size(), key.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto a = static_cast<unsigned char>(AsciiLower(line[i]));
        auto b = static_cast<unsigned char>(key[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return line.size() < key.size() ? -1 : line.size() > key.size() ? 1 : 0;
}

// The start of the first entry not ordered before key (entries.size() when
// there is none).
std::size_t LowerBound(std::string_view entries, std::string_view key) {
    std::size_t lo = 0, hi = entries.size();
    while (lo < hi) {
        std::size_t start = lo + (hi - lo) / 2;
        while (start > lo && entries[start - 1] != '\n')
            --start;
        std::size_t nl = std::min(entries.find('\n', start), entries.size());
        if (CompareFolded(entries.substr(start, nl - start), key) < 0)
            lo = std::min(nl + 1, hi);
        else
            hi = start;
    }
    return lo;
}

// The entry at pos: its display and name fields and the position after it.
bool EntryAt(std::string_view entries, std::size_t pos, std::string_view &display,
             std::string_view &name, std::size_t &next) {
    std::size_t nl = entries.find('\n', pos);
    std::size_t tab = entries.find('\t', pos);
    if (nl == entries.npos || tab >= nl)
        return false;
    display = entries.substr(pos, tab - pos);
    std::size_t end = std::min(entries.find('\t', tab + 1), nl);
    name = entries.substr(tab + 1, end - tab - 1);
    next = nl + 1;
    return true;
}

void ForgetIndex(const Machine &m) {
    RemoveFile(m, kIndex, false);
}

// Reads the index straight into an uninitialised buffer: the list grows
// with the machine, and every byte copied or cleared on the way costs.
bool LoadIndex(const Machine &m, DisplayIndex &index) {
    index = DisplayIndex{};
    int fd = OpenMachineFile(m, kIndex);
    if (fd < 0)
        return false;
    struct stat st;
    std::size_t size = 0, cap = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        cap = static_cast<std::size_t>(st.st_size) + 1; // the 1 shows a file that grew
        index.text.reset(new char[cap]);
        for (;;) {
            ssize_t n = read(fd, index.text.get() + size, cap - size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || (size += static_cast<std::size_t>(n)) == cap)
                break;
        }
    }
    close(fd);
    std::string_view text(index.text.get(), size);
    std::string stamp = StampLine(m);
    if (size == 0 || size == cap || text.back() != '\n' ||
        text.substr(0, kIndexHeader.size()) != kIndexHeader ||
        text.substr(kIndexHeader.size(), stamp.size()) != stamp)
        return false;
    index.entries = text.substr(kIndexHeader.size() + stamp.size());
    return true;
}

// The index is only a shortcut: failing to save it costs speed, not
// correctness, so it never fails the call; the write reports why.
void SaveIndex(const Machine &m, std::vector<std::string_view> entries) {
    std::string stamp = StampLine(m);
    entries.insert(entries.begin(), {kIndexHeader, stamp});
    if (WriteFileAtomic(m, kIndex, entries) != ERROR_SUCCESS)
        ForgetIndex(m);
}

// WriteFileAtomic's temporary names, "<file>.tmp.<pid>.<16 hex digits>",
// matched exactly: a service whose name holds ".tmp." keeps its files.
bool IsTempName(std::string_view name) {
    auto all = [](std::string_view s, const char *set) {
        return !s.empty() && s.find_first_not_of(set) == s.npos;
    };
    std::size_t dot = name.rfind('.');
    if (dot == name.npos || !all(name.substr(dot + 1), "0123456789abcdef") ||
        name.size() - dot - 1 != 16)
        return false;
    std::size_t tmp = name.rfind(".tmp.", dot);
    return tmp != name.npos && tmp + 5 <= dot &&
           all(name.substr(tmp + 5, dot - tmp - 5), "0123456789");
}

// Removes what killed runs left behind under temporary names; every writer
// holds the machine lock, as we do.
void ClearLeftovers(Txn &txn) {
    for (const char *sub : {"registry/services", "scm"}) {
        int fd = OpenMachineDirectory(txn.GetMachine(), sub, false);
        DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
        if (!d) {
            if (fd >= 0)
                close(fd);
            continue;
        }
        while (struct dirent *ent = readdir(d))
            if (IsTempName(ent->d_name))
                unlinkat(dirfd(d), ent->d_name, 0);
        closedir(d);
    }
}

// Reads every service file into entries and saves them as the index.
LONG RebuildIndex(Txn &txn, std::string &entries) {
    std::string servicesDir = txn.Abs("registry/services");
    int fd = OpenMachineDirectory(txn.GetMachine(), "registry/services", false);
    if (fd == kRefused)
        return ERROR_ACCESS_DENIED;
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d && (fd >= 0 || errno != ENOENT)) {
        int e = errno;
        if (fd >= 0)
            close(fd);
        ReportOnce(servicesDir, std::string("cannot list: ") + std::strerror(e));
        return e == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTREAD;
    }
    std::vector<std::string> files;
    while (d) {
        struct dirent *ent = readdir(d);
        if (!ent)
            break;
        std::string_view name = ent->d_name; // a temporary name never ends so
        if (name.size() > 4 && name.substr(name.size() - 4) == ".reg")
            files.emplace_back(name);
    }
    if (d)
        closedir(d);
    std::map<std::string, std::string> sorted; // key -> line
    for (const std::string &f : files) {
        RegDoc *doc = nullptr;
        if (LONG rc = txn.Doc("registry/services/" + f, doc))
            return rc;
        for (auto &[name, service] : ServicesIn(*doc))
            for (Entry &e : MakeEntries(name, service))
                sorted[std::move(e.key)] = std::move(e.line);
    }
    ClearLeftovers(txn);
    entries.clear();
    for (auto &[key, line] : sorted)
        entries += line;
    SaveIndex(txn.GetMachine(), {entries});
    return ERROR_SUCCESS;
}

// Whether a service other than selfName (encoded) has the display name
// (encoded); false when an entry looked at is not well formed.
bool ScanDisplay(std::string_view entries, const std::string &want, std::string_view selfName,
                 bool &inUse) {
    inUse = false;
    std::string_view display, name;
    std::size_t next = 0;
    for (std::size_t pos = LowerBound(entries, Lower(want) + '\t'); pos < entries.size();
         pos = next) {
        if (!EntryAt(entries, pos, display, name, next))
            return false;
        if (!IEquals(display, want))
            break;
        if (name != selfName) {
            inUse = true;
            break;
        }
    }
    return true;
}

} // namespace

bool DisplayIndexLoad(const Machine &m, DisplayIndex &index) {
    return LoadIndex(m, index);
}

void DisplayIndexForget(const Machine &m) {
    ForgetIndex(m);
}

void DisplayIndexAfterWrite(const Machine &m, const DisplayIndex &index,
                            const std::vector<IndexChange> &changes) {
    // Each change takes out the service's old line and puts in its new one
    // where it sorts; the file is then written as the old text between them.
    struct Edit {
        std::size_t at, end = 0; // a line [at, end) taken out, or a line put in at `at`
        Entry entry;
    };
    std::string_view entries = index.entries;
    std::vector<Edit> edits;
    for (const IndexChange &c : changes) {
        for (Entry &old : c.before ? MakeEntries(c.name, *c.before) : std::vector<Entry>()) {
            Edit e{LowerBound(entries, old.key), 0, std::move(old)};
            // The old line must be where it sorts, or the list is not what
            // this machine wrote: leave it forgotten, to be rebuilt.
            if (entries.compare(e.at, e.entry.line.size(), e.entry.line) != 0)
                return;
            e.end = e.at + e.entry.line.size();
            edits.push_back(std::move(e));
        }
        for (Entry &added : c.after ? MakeEntries(c.name, *c.after) : std::vector<Entry>())
            edits.push_back(Edit{LowerBound(entries, added.key), 0, std::move(added)});
    }
    // By place; at one place new lines in their order, then the old line.
    std::sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) {
        if (a.at != b.at)
            return a.at < b.at;
        if ((a.end == 0) != (b.end == 0))
            return a.end == 0;
        return a.entry.key < b.entry.key;
    });
    std::vector<std::string_view> pieces;
    std::size_t from = 0; // the old text not yet taken
    for (const Edit &e : edits) {
        if (e.at > from)
            pieces.push_back(entries.substr(from, e.at - from));
        from = std::max(from, e.at);
        if (e.end)
            from = e.end;
        else
            pieces.push_back(e.entry.line);
    }
    if (from < entries.size())
        pieces.push_back(entries.substr(from));
    SaveIndex(m, std::move(pieces));
}

LONG DisplayNameInUse(Txn &txn, std::string_view display, std::string_view self, bool &inUse) {
    const std::string want = EncodeField(display);
    const std::string selfName = EncodeField(Lower(self));
    DisplayIndex index;
    if (LoadIndex(txn.GetMachine(), index) && ScanDisplay(index.entries, want, selfName, inUse))
        return ERROR_SUCCESS;
    std::string entries;
    if (LONG rc = RebuildIndex(txn, entries))
        return rc;
    ScanDisplay(entries, want, selfName, inUse); // well formed: made just now
    return ERROR_SUCCESS;
}

LONG DependentsOf(Txn &txn, std::string_view name, std::vector<std::string> &dependents) {
    dependents.clear();
    DisplayIndex index;
    std::string rebuilt;
    const bool current = LoadIndex(txn.GetMachine(), index);
    if (!current)
        if (LONG rc = RebuildIndex(txn, rebuilt))
            return rc;
    const std::string_view entries = current ? index.entries : std::string_view(rebuilt);
    // The dependency's lines sort together: found by bisection, read in a row.
    const std::string key = Lower(std::string(kDependencyMark) + EncodeField(Lower(name)) + '\t');
    std::string_view field, dependent;
    std::size_t next = 0;
    for (std::size_t pos = LowerBound(entries, key);
         pos < entries.size() &&
         CompareFolded(entries.substr(pos, std::min(key.size(), entries.size() - pos)), key) == 0 &&
         EntryAt(entries, pos, field, dependent, next);
         pos = next)
        dependents.emplace_back(dependent);
    for (std::string &d : dependents)
        d = DecodeField(d);
    return ERROR_SUCCESS;
}

} // namespace quillmar::sim
