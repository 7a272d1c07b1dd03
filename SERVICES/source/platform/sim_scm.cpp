// The Service Control Manager of the simulated machine. Configuration is
// the registry's (SYSTEM\CurrentControlSet\Services\<name>); what a
// service is doing right now lives in scm/<name>.state, and advances only
// when someone asks (QueryServiceStatus), never with the wall clock, so
// tests are exact.
#include "sim_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct SC_HANDLE__ {
    bool isService;
    DWORD access;
    std::string name; // the service's name as the registry spells it
};

using namespace quillmar::sim;

namespace {

std::set<SC_HANDLE> g_handles;

constexpr DWORD kStandardRead = 0x00020000U;
constexpr DWORD kWaitHintMs = 2000;
constexpr std::size_t kMaxServiceName = 256;

template <typename T> T Fail(DWORD code, T result) {
    SetLastErrorCode(code);
    return result;
}

DWORD MapManagerAccess(DWORD a) {
    DWORD out =
        a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (a & GENERIC_READ)
        out |= kStandardRead | SC_MANAGER_ENUMERATE_SERVICE | 0x10U;
    if (a & GENERIC_WRITE)
        out |= SC_MANAGER_CREATE_SERVICE | 0x20U;
    if (a & GENERIC_EXECUTE)
        out |= SC_MANAGER_CONNECT | 0x08U;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED))
        out |= SC_MANAGER_ALL_ACCESS;
    return out | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD a) {
    DWORD out =
        a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (a & GENERIC_READ)
        out |= kStandardRead | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
               SERVICE_ENUMERATE_DEPENDENTS;
    if (a & GENERIC_WRITE)
        out |= kStandardRead | SERVICE_CHANGE_CONFIG;
    if (a & GENERIC_EXECUTE)
        out |= kStandardRead | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
               SERVICE_USER_DEFINED_CONTROL;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED))
        out |= SERVICE_ALL_ACCESS;
    return out;
}

SC_HANDLE NewHandle(bool isService, DWORD access, std::string name) {
    SC_HANDLE h = new SC_HANDLE__{isService, access, std::move(name)};
    g_handles.insert(h);
    return h;
}

bool IsHandle(SC_HANDLE h, bool isService) {
    return g_handles.count(h) && h->isService == isService;
}

KeyPath ServiceKey(std::string_view name) {
    return {"SYSTEM", "CurrentControlSet", "Services", std::string(name)};
}

// The service's key when it is a service (has a Type), else nullptr.
LONG FindService(Txn &txn, std::string_view name, RegKey *&key) {
    RegDoc *doc = nullptr;
    key = nullptr;
    if (LONG rc = txn.Doc(ServiceRegFile(name), doc))
        return rc;
    RegKey *k = doc->FindKey(ServiceKey(name));
    if (k && k->FindValue("Type"))
        key = k;
    return ERROR_SUCCESS;
}

DWORD DwordOf(const RegKey &key, std::string_view name, DWORD fallback) {
    const RegValue *v = key.FindValue(name);
    if (!v || v->data.size() != 4)
        return fallback;
    DWORD d = 0;
    for (int i = 3; i >= 0; --i)
        d = (d << 8) | static_cast<unsigned char>(v->data[static_cast<std::size_t>(i)]);
    return d;
}

std::string DwordBytes(DWORD d) {
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((d >> (8 * i)) & 0xFF);
    return out;
}

std::string SzBytes(std::string_view s) {
    std::string out(s);
    out += '\0';
    return out;
}

std::string MultiSzBytes(const char *list) {
    std::string out;
    for (const char *p = list; *p; p += std::strlen(p) + 1) {
        out += p;
        out += '\0';
    }
    out += '\0';
    return out;
}

// ---------------------------------------------------------------- runtime state

struct RunState {
    DWORD state = SERVICE_STOPPED;
    std::int64_t polls = 0;       // polls left in a pending state, or kNever
    DWORD then = SERVICE_STOPPED; // where a pending state ends
    DWORD checkpoint = 0;
    DWORD exitCode = 0;
    // The exit code a start that ends STOPPED reports.
    DWORD thenExitCode = ERROR_PROCESS_ABORTED;
    // DeleteService marked it: it goes once stopped and no longer open.
    bool deleted = false;
};

const char *StateName(DWORD s) {
    switch (s) {
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    default:
        return "STOPPED";
    }
}

bool StateFromName(std::string_view n, DWORD &out) {
    for (DWORD s : {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_RUNNING})
        if (IEquals(n, StateName(s))) {
            out = s;
            return true;
        }
    return false;
}

bool ParseUnsigned(std::string_view s, std::uint64_t max, std::uint64_t &out) {
    if (s.empty() || s.size() > 19)
        return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return out <= max;
}

bool ParseState(std::string_view text, RunState &st, TextError &err) {
    std::size_t lineNo = 0;
    for (std::string_view line : SplitLines(text)) {
        ++lineNo;
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t eq = line.find('=');
        std::string_view key = line.substr(0, eq),
                         value = eq == line.npos ? "" : line.substr(eq + 1);
        std::uint64_t n = 0;
        bool ok = eq != line.npos;
        if (!ok) {
        } else if (key == "state") {
            ok = StateFromName(value, st.state);
        } else if (key == "then") {
            ok = StateFromName(value, st.then);
        } else if (key == "polls") {
            if (value == "never")
                st.polls = kNever;
            else if ((ok = ParseUnsigned(value, 1000000000, n)))
                st.polls = static_cast<std::int64_t>(n);
        } else if (key == "checkpoint" || key == "exitcode" || key == "thenexitcode") {
            ok = ParseUnsigned(value, 0xFFFFFFFFULL, n);
            (key == "checkpoint" ? st.checkpoint
             : key == "exitcode" ? st.exitCode
                                 : st.thenExitCode) = static_cast<DWORD>(n);
        } else if (key == "deleted") {
            ok = value == "0" || value == "1";
            st.deleted = value == "1";
        } else {
            ok = false;
        }
        if (!ok) {
            err = {lineNo, "expected state=, polls=, then=, checkpoint=, exitcode=, "
                           "thenexitcode= or deleted= with a valid value"};
            return false;
        }
    }
    return true;
}

// report: say what is wrong with a damaged file. Housekeeping reads pass
// false and leave the report to the call that needs the state.
LONG LoadState(Txn &txn, std::string_view name, RunState &st, bool report = true) {
    st = RunState{};
    std::string path = txn.Abs(ServiceStateFile(name));
    std::string text;
    bool exists = false;
    if (LONG rc = ReadWholeFile(path, text, exists, report))
        return rc;
    TextError err;
    if (exists && !ParseState(text, st, err)) {
        if (report)
            ReportOnce(path, "line " + std::to_string(err.line) + ": " + err.what);
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

LONG SaveState(Txn &txn, std::string_view name, const RunState &st) {
    std::string text =
        "# quillmar simulated machine: runtime state of service " + std::string(name) + "\n";
    text += "state=" + std::string(StateName(st.state)) + "\n";
    if (st.state == SERVICE_START_PENDING || st.state == SERVICE_STOP_PENDING) {
        text += "polls=" + (st.polls == kNever ? std::string("never") : std::to_string(st.polls)) +
                "\n";
        text += "then=" + std::string(StateName(st.then)) + "\n";
        text += "checkpoint=" + std::to_string(st.checkpoint) + "\n";
        if (st.state == SERVICE_START_PENDING && st.then == SERVICE_STOPPED)
            text += "thenexitcode=" + std::to_string(st.thenExitCode) + "\n";
    }
    text += "exitcode=" + std::to_string(st.exitCode) + "\n";
    if (st.deleted)
        text += "deleted=1\n";
    return WriteFileAtomic(txn.Abs(ServiceStateFile(name)), text);
}

bool IsPending(const RunState &st) {
    return st.state == SERVICE_START_PENDING || st.state == SERVICE_STOP_PENDING;
}

// One status query's worth of progress; true when something changed.
bool Poll(RunState &st) {
    if (!IsPending(st) || st.polls == kNever)
        return false; // a hung service does not advance its checkpoint
    if (st.polls == 0) {
        if (st.state == SERVICE_START_PENDING && st.then == SERVICE_STOPPED)
            st.exitCode = st.thenExitCode;
        st.state = st.then;
        st.checkpoint = 0;
    } else {
        --st.polls;
        ++st.checkpoint;
    }
    return true;
}

void FillStatus(const RegKey &key, const RunState &st, LPSERVICE_STATUS out) {
    out->dwServiceType = DwordOf(key, "Type", SERVICE_WIN32_OWN_PROCESS);
    out->dwCurrentState = st.state;
    out->dwControlsAccepted = st.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    out->dwWin32ExitCode = st.exitCode;
    out->dwServiceSpecificExitCode = 0;
    out->dwCheckPoint = IsPending(st) ? st.checkpoint : 0;
    out->dwWaitHint = IsPending(st) ? kWaitHintMs : 0;
}

// ---------------------------------------------------------------- deletion
//
// As on Windows, DeleteService only marks a service (deleted=1 in its state
// file); it goes once it is stopped and nothing holds it open. Handles live
// in one process, so only this process's count: whoever next finds a
// marked service stopped without holding it removes it.

bool HeldHere(std::string_view name) {
    for (SC_HANDLE h : g_handles)
        if (h->isService && IEquals(h->name, name))
            return true;
    return false;
}

bool Removable(const RunState &st) {
    return st.deleted && st.state == SERVICE_STOPPED;
}

// The service's key, everything below it, and its state file.
LONG RemoveService(Txn &txn, std::string_view name) {
    std::string rel = ServiceRegFile(name);
    RegDoc *doc = nullptr;
    if (LONG rc = txn.Doc(rel, doc))
        return rc;
    doc->RemoveSubtree(ServiceKey(name));
    txn.MarkDirty(rel);
    if (LONG rc = txn.Commit())
        return rc;
    return RemoveFile(txn.Abs(ServiceStateFile(name)));
}

// A marked service that has stopped and that this process does not hold
// is removed now (removed = true). A state file that cannot be read is
// left to the calls that need it.
LONG RemoveIfDone(Txn &txn, std::string_view name, bool &removed) {
    removed = false;
    RunState st;
    if (LoadState(txn, name, st, false) != ERROR_SUCCESS || !Removable(st) || HeldHere(name))
        return ERROR_SUCCESS;
    removed = true;
    return RemoveService(txn, name);
}

// ---------------------------------------------------------------- display-name index
//
// CreateServiceA must refuse a display name any other service uses. Reading
// every service's file for that would make a run cost grow with the number
// of services, so scm/display-names.index lists every service as one line,
// "<display name>\t<name>", sorted by display name ignoring case, then by
// name. A lookup reads the file with one read() and finds its line by
// binary search; a change writes the file back in pieces around the lines
// it changes. So neither walks the list, and a machine with 1,000 services
// costs little more than an empty one. The second line records the
// registry/services directory (inode, modification and change times) as
// it stood when the list was last known right. Every change this machine
// makes there renames a file into that directory, as does an editor that
// saves by rename or anyone adding or removing a file; a record that no
// longer matches sends the next lookup back to the service files.
//
// Machines made by earlier versions hold the index as 128 bucket files in
// scm/display-names/ with scm/display-names.stamp beside them. Nothing
// reads those; the first rebuild removes them.

constexpr const char *kIndex = "scm/display-names.index";
constexpr std::string_view kIndexHeader =
    "# quillmar simulated machine: the services by display name, derived from "
    "registry/services (remove this file to have it rebuilt)\n";
constexpr const char *kOldIndexDir = "scm/display-names";
constexpr const char *kOldStamp = "scm/display-names.stamp";

std::string StampLine(const std::string &dir) {
    struct stat st;
    if (stat((dir + "/registry/services").c_str(), &st) != 0)
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

struct Entry {
    std::string key;  // what the list is sorted by: the line folded to lower case
    std::string line; // "<display>\t<name>\n", both encoded, the name lowercased
};

Entry MakeEntry(std::string_view name, std::string_view display) {
    Entry e;
    e.line = EncodeField(display) + '\t' + EncodeField(name);
    e.key = Lower(e.line);
    e.line += '\n';
    return e;
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
    name = entries.substr(tab + 1, nl - tab - 1);
    next = nl + 1;
    return true;
}

void ForgetIndex(const std::string &dir) {
    unlink((dir + "/" + kIndex).c_str());
}

// Reads the index straight into an uninitialised buffer: the list grows
// with the machine, and every byte copied or cleared on the way costs.
bool LoadIndex(const std::string &dir, DisplayIndex &index) {
    index = DisplayIndex{};
    int fd = open((dir + "/" + kIndex).c_str(), O_RDONLY | O_CLOEXEC);
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
    std::string stamp = StampLine(dir);
    if (size == 0 || size == cap || text.back() != '\n' ||
        text.substr(0, kIndexHeader.size()) != kIndexHeader ||
        text.substr(kIndexHeader.size(), stamp.size()) != stamp)
        return false;
    index.entries = text.substr(kIndexHeader.size() + stamp.size());
    return true;
}

// The index is only a shortcut: failing to save it costs speed, not
// correctness, so it never fails the call; the write reports why.
void SaveIndex(const std::string &dir, std::vector<std::string_view> entries) {
    std::string stamp = StampLine(dir);
    entries.insert(entries.begin(), {kIndexHeader, stamp});
    if (WriteFileAtomic(dir + "/" + kIndex, entries) != ERROR_SUCCESS)
        ForgetIndex(dir);
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

// The names in a directory that keep() accepts ("." and ".." never); none
// when it cannot be read.
template <class Keep> std::vector<std::string> NamesIn(const std::string &path, Keep keep) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (!d)
        return names;
    while (struct dirent *ent = readdir(d))
        if (std::strcmp(ent->d_name, ".") != 0 && std::strcmp(ent->d_name, "..") != 0 &&
            keep(ent->d_name))
            names.emplace_back(ent->d_name);
    closedir(d);
    return names;
}

// Removes what killed runs left behind under temporary names (every writer
// holds the machine lock, as we do) and an earlier version's bucket files.
void ClearLeftovers(Txn &txn) {
    for (const char *sub : {"registry/services", "scm"}) {
        std::string path = txn.Abs(sub);
        for (const std::string &f : NamesIn(path, IsTempName))
            unlink((path + "/" + f).c_str());
    }
    // The stamp goes first: an earlier version that meets the buckets
    // without it rebuilds them rather than trusting them.
    if (unlink(txn.Abs(kOldStamp).c_str()) != 0 && errno != ENOENT)
        return;
    std::string oldDir = txn.Abs(kOldIndexDir);
    for (const std::string &f : NamesIn(oldDir, [](const char *) { return true; }))
        unlink((oldDir + "/" + f).c_str());
    rmdir(oldDir.c_str());
}

// Reads every service file into entries and saves them as the index.
LONG RebuildIndex(Txn &txn, std::string &entries) {
    std::string servicesDir = txn.Abs("registry/services");
    DIR *d = opendir(servicesDir.c_str());
    if (!d && errno != ENOENT) {
        int e = errno;
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
        for (auto &[name, display] : ServicesIn(*doc)) {
            Entry e = MakeEntry(name, display);
            sorted[std::move(e.key)] = std::move(e.line);
        }
    }
    ClearLeftovers(txn);
    entries.clear();
    for (auto &[key, line] : sorted)
        entries += line;
    SaveIndex(txn.Dir(), {entries});
    return ERROR_SUCCESS;
}

// Whether a service other than selfName (encoded) has one of the display
// names (encoded); false when an entry looked at is not well formed.
bool ScanIndex(std::string_view entries, const std::vector<std::string> &displays,
               std::string_view selfName, bool &clash) {
    clash = false;
    for (const std::string &want : displays) {
        std::string_view display, name;
        std::size_t next = 0;
        for (std::size_t pos = LowerBound(entries, Lower(want) + '\t'); pos < entries.size();
             pos = next) {
            if (!EntryAt(entries, pos, display, name, next))
                return false;
            if (!IEquals(display, want))
                break;
            if (name != selfName) {
                clash = true;
                return true;
            }
        }
    }
    return true;
}

} // namespace

namespace quillmar::sim {

bool DisplayIndexLoad(const std::string &dir, DisplayIndex &index) {
    return LoadIndex(dir, index);
}

void DisplayIndexForget(const std::string &dir) {
    ForgetIndex(dir);
}

void DisplayIndexAfterWrite(const std::string &dir, const DisplayIndex &index,
                            const std::vector<DisplayChange> &changes) {
    // Each change takes out the service's old line and puts in its new one
    // where it sorts; the file is then written as the old text between them.
    struct Edit {
        std::size_t at, end = 0; // a line [at, end) taken out, or a line put in at `at`
        Entry entry;
    };
    std::string_view entries = index.entries;
    std::vector<Edit> edits;
    for (const DisplayChange &c : changes) {
        if (c.before) {
            Edit e{0, 0, MakeEntry(c.name, *c.before)};
            e.at = LowerBound(entries, e.entry.key);
            // The old line must be where it sorts, or the list is not what
            // this machine wrote: leave it forgotten, to be rebuilt.
            if (entries.compare(e.at, e.entry.line.size(), e.entry.line) != 0)
                return;
            e.end = e.at + e.entry.line.size();
            edits.push_back(std::move(e));
        }
        if (c.after) {
            Edit e{0, 0, MakeEntry(c.name, *c.after)};
            e.at = LowerBound(entries, e.entry.key);
            edits.push_back(std::move(e));
        }
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
    SaveIndex(dir, std::move(pieces));
}

LONG FindNameClash(Txn &txn, std::initializer_list<std::string_view> names, std::string_view self,
                   bool &clash) {
    clash = false;
    std::vector<std::string> displays;
    for (std::string_view name : names) {
        if (!IEquals(name, self)) {
            RegKey *other = nullptr;
            if (LONG rc = FindService(txn, name, other))
                return rc;
            if (other) {
                clash = true;
                return ERROR_SUCCESS;
            }
        }
        displays.push_back(EncodeField(name));
    }
    std::string selfName = EncodeField(Lower(self));
    DisplayIndex index;
    if (LoadIndex(txn.Dir(), index) && ScanIndex(index.entries, displays, selfName, clash))
        return ERROR_SUCCESS;
    std::string entries;
    if (LONG rc = RebuildIndex(txn, entries))
        return rc;
    ScanIndex(entries, displays, selfName, clash); // well formed: made just now
    return ERROR_SUCCESS;
}

} // namespace quillmar::sim

namespace {

// Begins the call's transaction and applies any injected fault.
DWORD Enter(Txn &txn, Call call, std::uint64_t n, const std::string *name) {
    if (LONG rc = txn.Begin())
        return static_cast<DWORD>(rc);
    return InjectedFault(txn.GetSettings(), call, n, name);
}

// Enter for a call through a service handle: the service must still be
// there (a handle outlives a service another process removed).
DWORD EnterService(Txn &txn, Call call, std::uint64_t n, SC_HANDLE hService, RegKey *&key) {
    if (DWORD rc = Enter(txn, call, n, &hService->name))
        return rc;
    if (LONG rc = FindService(txn, hService->name, key))
        return static_cast<DWORD>(rc);
    return key ? 0 : static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE);
}

// Fault check for the close calls, which must work on an otherwise
// unusable machine.
DWORD CloseFault(Call call, std::uint64_t n, const std::string *name) {
    std::string dir;
    Settings settings;
    if (MachineDir(dir) != ERROR_SUCCESS || LoadSettings(dir, settings) != ERROR_SUCCESS)
        return 0;
    return InjectedFault(settings, call, n, name);
}

bool ValidServiceType(DWORD t) {
    DWORD base = t & ~SERVICE_INTERACTIVE_PROCESS;
    if (base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS)
        return true;
    return !(t & SERVICE_INTERACTIVE_PROCESS) && (t == SERVICE_KERNEL_DRIVER || t == 0x2U);
}

bool ValidServiceName(const char *name) {
    if (!name || !*name || std::strlen(name) > kMaxServiceName)
        return false;
    for (const char *p = name; *p; ++p)
        if (*p == '\\' || *p == '/')
            return false;
    return true;
}

} // namespace

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::OpenSCManagerA);
    if (lpMachineName && *lpMachineName)
        return Fail(RPC_S_SERVER_UNAVAILABLE, SC_HANDLE(nullptr)); // no network on this machine
    if (lpDatabaseName && !IEquals(lpDatabaseName, "ServicesActive"))
        return Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    Txn txn;
    if (DWORD rc = Enter(txn, Call::OpenSCManagerA, n, nullptr))
        return Fail(rc, SC_HANDLE(nullptr));
    return NewHandle(false, MapManagerAccess(dwDesiredAccess), {});
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::OpenServiceA);
    if (!IsHandle(hSCManager, false))
        return Fail(ERROR_INVALID_HANDLE, SC_HANDLE(nullptr));
    if (!ValidServiceName(lpServiceName))
        return Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    std::string name = lpServiceName;
    Txn txn;
    if (DWORD rc = Enter(txn, Call::OpenServiceA, n, &name))
        return Fail(rc, SC_HANDLE(nullptr));
    RegKey *key = nullptr;
    if (LONG rc = FindService(txn, name, key))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (!key)
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE(nullptr));
    std::string spelled = key->path[3];
    bool removed = false;
    if (LONG rc = RemoveIfDone(txn, spelled, removed))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (removed)
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE(nullptr));
    return NewHandle(true, MapServiceAccess(dwDesiredAccess), spelled);
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::CreateServiceA);
    if (!IsHandle(hSCManager, false))
        return Fail(ERROR_INVALID_HANDLE, SC_HANDLE(nullptr));
    if (!(hSCManager->access & SC_MANAGER_CREATE_SERVICE))
        return Fail(ERROR_ACCESS_DENIED, SC_HANDLE(nullptr));
    if (!ValidServiceName(lpServiceName))
        return Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    if (!lpBinaryPathName || !*lpBinaryPathName || !ValidServiceType(dwServiceType) ||
        dwStartType > SERVICE_DISABLED || dwErrorControl > 3)
        return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE(nullptr));
    std::string name = lpServiceName;
    std::string display = lpDisplayName && *lpDisplayName ? lpDisplayName : name;
    Txn txn;
    if (DWORD rc = Enter(txn, Call::CreateServiceA, n, &name))
        return Fail(rc, SC_HANDLE(nullptr));
    RegKey *existing = nullptr;
    if (LONG rc = FindService(txn, name, existing))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (existing) {
        // A damaged state file says nothing of a mark: the service exists.
        RunState st;
        if (LoadState(txn, name, st, false) != ERROR_SUCCESS || !st.deleted)
            return Fail(ERROR_SERVICE_EXISTS, SC_HANDLE(nullptr));
        if (!Removable(st) || HeldHere(name))
            return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, SC_HANDLE(nullptr));
        // Its time had come: the new service replaces all of it, Parameters
        // included, in the one write below.
        RegDoc *doc = nullptr;
        if (LONG rc = txn.Doc(ServiceRegFile(name), doc))
            return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
        doc->RemoveSubtree(ServiceKey(name));
    }
    // Neither our display name nor our name may be another service's name
    // or display name.
    bool clash = false;
    if (LONG rc = FindNameClash(txn, {display, name}, name, clash))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (clash)
        return Fail(ERROR_DUPLICATE_SERVICE_NAME, SC_HANDLE(nullptr));

    // A state file without its service is left over from an earlier one.
    if (LONG rc = RemoveFile(txn.Abs(ServiceStateFile(name))))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    std::string rel = ServiceRegFile(name);
    RegDoc *doc = nullptr;
    if (LONG rc = txn.Doc(rel, doc))
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    RegKey &key = doc->EnsureKey(ServiceKey(name), 4, nullptr);
    key.SetValue("Type", REG_DWORD, DwordBytes(dwServiceType));
    key.SetValue("Start", REG_DWORD, DwordBytes(dwStartType));
    key.SetValue("ErrorControl", REG_DWORD, DwordBytes(dwErrorControl));
    key.SetValue("ImagePath", REG_EXPAND_SZ, SzBytes(lpBinaryPathName));
    key.SetValue("DisplayName", REG_SZ, SzBytes(display));
    key.SetValue(
        "ObjectName", REG_SZ,
        SzBytes(lpServiceStartName && *lpServiceStartName ? lpServiceStartName : "LocalSystem"));
    if (lpLoadOrderGroup && *lpLoadOrderGroup)
        key.SetValue("Group", REG_SZ, SzBytes(lpLoadOrderGroup));
    if (lpDependencies && *lpDependencies)
        key.SetValue("DependOnService", REG_MULTI_SZ, MultiSzBytes(lpDependencies));
    std::string spelled = key.path[3];
    txn.MarkDirty(rel);
    if (LONG rc = txn.Commit())
        return Fail(static_cast<DWORD>(rc), SC_HANDLE(nullptr));
    if (lpdwTagId)
        *lpdwTagId = 0;
    return NewHandle(true, MapServiceAccess(dwDesiredAccess), spelled);
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::QueryServiceStatus);
    if (!IsHandle(hService, true))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!lpServiceStatus)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!(hService->access & SERVICE_QUERY_STATUS))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    Txn txn;
    RegKey *key = nullptr;
    if (DWORD rc = EnterService(txn, Call::QueryServiceStatus, n, hService, key))
        return Fail(rc, FALSE);
    RunState st;
    if (LONG rc = LoadState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (Poll(st))
        if (LONG rc = SaveState(txn, hService->name, st))
            return Fail(static_cast<DWORD>(rc), FALSE);
    FillStatus(*key, st, lpServiceStatus);
    return TRUE;
}

BOOL StartServiceA(SC_HANDLE hService, DWORD, LPCSTR *) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::StartServiceA);
    if (!IsHandle(hService, true))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(hService->access & SERVICE_START))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    Txn txn;
    RegKey *key = nullptr;
    if (DWORD rc = EnterService(txn, Call::StartServiceA, n, hService, key))
        return Fail(rc, FALSE);
    if (DwordOf(*key, "Start", SERVICE_DEMAND_START) == SERVICE_DISABLED)
        return Fail(ERROR_SERVICE_DISABLED, FALSE);
    RunState st;
    if (LONG rc = LoadState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (st.deleted)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (st.state != SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    ServiceBehaviour b = txn.GetSettings().BehaviourOf(hService->name);
    st = RunState{};
    if (b.startPolls == 0 && !b.startDies) {
        st.state = SERVICE_RUNNING;
    } else {
        st.state = SERVICE_START_PENDING;
        st.polls = b.startPolls;
        st.then = b.startDies ? SERVICE_STOPPED : SERVICE_RUNNING;
        st.thenExitCode = b.diesWith;
    }
    if (LONG rc = SaveState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::ControlService);
    if (!IsHandle(hService, true))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!lpServiceStatus)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (dwControl != SERVICE_CONTROL_STOP && dwControl != SERVICE_CONTROL_INTERROGATE)
        return Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    DWORD needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
    if (!(hService->access & needed))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    Txn txn;
    RegKey *key = nullptr;
    if (DWORD rc = EnterService(txn, Call::ControlService, n, hService, key))
        return Fail(rc, FALSE);
    RunState st;
    if (LONG rc = LoadState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    // As on Windows, these refusals still report the current status.
    FillStatus(*key, st, lpServiceStatus);
    if (st.state == SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    if (dwControl == SERVICE_CONTROL_INTERROGATE)
        return TRUE;
    if (IsPending(st))
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    ServiceBehaviour b = txn.GetSettings().BehaviourOf(hService->name);
    // A service that answers the stop with NO_ERROR and keeps running: the
    // call succeeds, and the status it reports is still RUNNING.
    if (b.stopIgnored)
        return TRUE;
    bool marked = st.deleted; // a marked service may still be stopped, and stays marked
    st = RunState{};
    st.deleted = marked;
    if (b.stopPolls != 0) {
        st.state = SERVICE_STOP_PENDING;
        st.polls = b.stopPolls;
        st.then = SERVICE_STOPPED;
    }
    if (LONG rc = SaveState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    FillStatus(*key, st, lpServiceStatus);
    return TRUE;
}

BOOL ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                          DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                          LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                          LPCSTR, LPCSTR lpDisplayName) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::ChangeServiceConfigA);
    if (!IsHandle(hService, true))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(hService->access & SERVICE_CHANGE_CONFIG))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if ((dwServiceType != SERVICE_NO_CHANGE && !ValidServiceType(dwServiceType)) ||
        (dwStartType != SERVICE_NO_CHANGE && dwStartType > SERVICE_DISABLED) ||
        (dwErrorControl != SERVICE_NO_CHANGE && dwErrorControl > 3))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    Txn txn;
    RegKey *key = nullptr;
    if (DWORD rc = EnterService(txn, Call::ChangeServiceConfigA, n, hService, key))
        return Fail(rc, FALSE);
    RunState st;
    if (LONG rc = LoadState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (st.deleted)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    if (lpDisplayName && *lpDisplayName) {
        bool clash = false;
        if (LONG rc = FindNameClash(txn, {lpDisplayName}, hService->name, clash))
            return Fail(static_cast<DWORD>(rc), FALSE);
        if (clash)
            return Fail(ERROR_DUPLICATE_SERVICE_NAME, FALSE);
    }
    if (dwServiceType != SERVICE_NO_CHANGE)
        key->SetValue("Type", REG_DWORD, DwordBytes(dwServiceType));
    if (dwStartType != SERVICE_NO_CHANGE)
        key->SetValue("Start", REG_DWORD, DwordBytes(dwStartType));
    if (dwErrorControl != SERVICE_NO_CHANGE)
        key->SetValue("ErrorControl", REG_DWORD, DwordBytes(dwErrorControl));
    if (lpBinaryPathName)
        key->SetValue("ImagePath", REG_EXPAND_SZ, SzBytes(lpBinaryPathName));
    if (lpLoadOrderGroup)
        key->SetValue("Group", REG_SZ, SzBytes(lpLoadOrderGroup));
    if (lpDependencies)
        key->SetValue("DependOnService", REG_MULTI_SZ, MultiSzBytes(lpDependencies));
    if (lpServiceStartName)
        key->SetValue("ObjectName", REG_SZ, SzBytes(lpServiceStartName));
    if (lpDisplayName)
        key->SetValue("DisplayName", REG_SZ, SzBytes(lpDisplayName));
    txn.MarkDirty(ServiceRegFile(hService->name));
    if (LONG rc = txn.Commit())
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (lpdwTagId)
        *lpdwTagId = 0;
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::DeleteService);
    if (!IsHandle(hService, true))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(hService->access & DELETE))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    Txn txn;
    RegKey *key = nullptr;
    if (DWORD rc = EnterService(txn, Call::DeleteService, n, hService, key))
        return Fail(rc, FALSE);
    RunState st;
    if (LONG rc = LoadState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    if (st.deleted)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    // Only the mark: this very handle still holds the service, so it goes
    // at the earliest when the handle is closed.
    st.deleted = true;
    if (LONG rc = SaveState(txn, hService->name, st))
        return Fail(static_cast<DWORD>(rc), FALSE);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::CloseServiceHandle);
    if (!g_handles.count(hSCObject))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    const std::string *name = hSCObject->isService ? &hSCObject->name : nullptr;
    if (DWORD rc = CloseFault(Call::CloseServiceHandle, n, name))
        return Fail(rc, FALSE);
    g_handles.erase(hSCObject);
    std::unique_ptr<SC_HANDLE__> closed(hSCObject);
    if (closed->isService && !HeldHere(closed->name)) {
        // The last handle here on a marked, stopped service lets it go. The
        // close succeeds whatever the machine says: a service left behind
        // goes on the next open or create of its name. The small state file
        // is read first: most closes stop there.
        Txn txn;
        RunState st;
        RegKey *key = nullptr;
        if (txn.Begin() == ERROR_SUCCESS &&
            LoadState(txn, closed->name, st, false) == ERROR_SUCCESS && Removable(st) &&
            FindService(txn, closed->name, key) == ERROR_SUCCESS && key)
            RemoveService(txn, closed->name);
    }
    return TRUE;
}
