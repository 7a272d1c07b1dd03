// Internals shared by the parts of the simulated machine (sim_*.cpp) and
// by its tests. The program itself only ever sees simwin.h.
#pragma once

#include "simwin.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::sim {

// ---------------------------------------------------------------- text

char AsciiLower(char c);
std::string Lower(std::string_view s);
bool IEquals(std::string_view a, std::string_view b);

// ---------------------------------------------------------------- keys

// A key path below HKEY_LOCAL_MACHINE, one element per component.
using KeyPath = std::vector<std::string>;

std::string JoinPath(const KeyPath &path);
bool PathIEquals(const KeyPath &a, const KeyPath &b);
bool PathStartsWith(const KeyPath &path, const KeyPath &prefix);

// Splits a caller's lpSubKey as Windows does: trailing backslashes are
// ignored, a leading one is ERROR_BAD_PATHNAME, an empty component inside
// the path likewise. NULL and "" give no components.
LONG SplitSubKey(const char *subKey, KeyPath &out);

// True when the path is a service's key or lies below one; serviceName
// then receives the service's component.
bool IsServiceSubtree(const KeyPath &path, std::string *serviceName = nullptr);

// Keys that exist on every machine, whatever the store holds.
bool IsBuiltinKey(const KeyPath &path);

// File-name-safe, case-folded form of a name: bytes outside [a-z0-9._-]
// percent-encoded, long results shortened with a hash.
std::string EncodeFileName(std::string_view name);

// The store file (relative to the machine directory) that holds a key;
// empty for the root, which has no file.
std::string RegFileFor(const KeyPath &path);
std::string ServiceRegFile(std::string_view serviceName);
std::string ServiceStateFile(std::string_view serviceName);

// ---------------------------------------------------------------- registry text

// Orders names, and key paths component by component, by their bytes
// folded to lower case, as Windows compares them; a path sorts before the
// paths below it, which follow it in a row. Lookups need no folded copy.
struct FoldedLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
    bool operator()(const KeyPath &a, const KeyPath &b) const;
};

struct RegValue {
    std::string name; // "" is the default value
    DWORD type = REG_NONE;
    std::string data; // raw bytes as RegSetValueExA received them
    // A string read from hex(N): data in the file: its UTF-16LE bytes,
    // written back as they were while no call sets the value, since data
    // cannot always say them again (a character beyond U+00FF).
    std::optional<std::string> wide;
};

struct RegKey {
    KeyPath path;
    std::vector<RegValue> values; // in the order they were first set

    explicit RegKey(KeyPath p) : path(std::move(p)) {}
    RegValue *FindValue(std::string_view name);
    const RegValue *FindValue(std::string_view name) const;
    RegValue &SetValue(std::string_view name, DWORD type, std::string data);

  private:
    // Name -> place in values, once there are more than a few.
    std::map<std::string, std::size_t, FoldedLess> byName_;
};

struct RegDoc {
    std::vector<RegKey> keys; // in the order they were added

    RegKey *FindKey(const KeyPath &path);
    const RegKey *FindKey(const KeyPath &path) const;
    // The key or any key below it is present.
    bool HasKey(const KeyPath &path) const;
    // Adds a key that is not there yet.
    RegKey &AddKey(KeyPath path);
    // Adds the key (and its ancestors from firstLevel components on, so the
    // file reads like an export), keeping the spelling of existing ones.
    // Returns the key and whether it was new.
    RegKey &EnsureKey(const KeyPath &path, std::size_t firstLevel, bool *created);
    // Removes the key and everything below it; returns whether any was there.
    bool RemoveSubtree(const KeyPath &path);

  private:
    // The key or else the first key below it, if any.
    const KeyPath *FirstFrom(const KeyPath &path) const;
    // Path -> place in keys, once there are more than a few, so that a file
    // of many keys is read and searched without a walk per key.
    std::map<KeyPath, std::size_t, FoldedLess> byPath_;
};

struct TextError {
    std::size_t line = 0; // 0: not about one line
    std::string what;
};

inline constexpr std::string_view kRegHeader = "Windows Registry Editor Version 5.00";

bool ParseRegText(std::string_view text, RegDoc &out, TextError &err);

// The lines of a text file without their line ends (LF or CRLF); no empty
// last line after a final line end.
std::vector<std::string_view> SplitLines(std::string_view text);
std::string FormatRegText(const RegDoc &doc);

// ---------------------------------------------------------------- settings

enum class Call {
    OpenSCManagerA,
    OpenServiceA,
    QueryServiceStatus,
    StartServiceA,
    ControlService,
    CreateServiceA,
    ChangeServiceConfigA,
    DeleteService,
    GetServiceDisplayNameA,
    CloseServiceHandle,
    RegOpenKeyExA,
    RegCreateKeyExA,
    RegSetValueExA,
    RegQueryValueExA,
    RegCloseKey,
    Count_
};
const char *CallName(Call c);

struct FaultRule {
    Call call = Call::Count_;
    std::uint64_t nth = 0; // 0: every call
    std::optional<std::string> name;
    DWORD code = 0;
};

// Polls a transition takes; kNever keeps it pending for good.
inline constexpr std::int64_t kNever = -1;

struct ServiceBehaviour {
    std::int64_t startPolls = 0;
    bool startDies = false;
    DWORD diesWith = ERROR_PROCESS_ABORTED; // the Win32 exit code a dying start reports
    std::int64_t stopPolls = 0;
    bool stopIgnored = false; // accepts the stop and goes on running
    bool held = false;        // another program holds it open
};

struct Settings {
    std::vector<FaultRule> faults;
    std::map<std::string, ServiceBehaviour> services; // key: lowercased name
    bool skipClock = false;
    // Successful calls set the last error to 0, as a real system is free
    // to do; the program must not depend on the value surviving them.
    bool clearLastError = false;
    // A display name another service already shows is refused (1078), as
    // before Windows 10 version 1709; later versions allow it.
    bool uniqueDisplayNames = false;

    ServiceBehaviour BehaviourOf(std::string_view service) const;
};

bool ParseSettingsText(std::string_view text, Settings &out, TextError &err);

// Counts one call of c in this process and returns its 1-based number.
std::uint64_t CountCall(Call c);
// The code an injected fault makes call number n of c fail with, or 0.
DWORD InjectedFault(const Settings &s, Call c, std::uint64_t n, const std::string *name);

// ---------------------------------------------------------------- store

// Prints "quillmar: simulated machine: <path>: <what>" on stderr, once per
// path for the life of the process.
void ReportOnce(const std::string &path, const std::string &what);

// Resolves (and creates) the machine directory.
LONG MachineDir(std::string &dir);

// The machine directory, open for one call. Every file of the machine is
// reached relative to it, and no symbolic link inside it is followed, so
// nothing can be swapped under a call between its check and its write.
class Machine {
  public:
    Machine() = default;
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;
    ~Machine();

    // Resolves, creates and opens the directory; refuses (5, reported) one
    // that another user than the caller and root owns or may write to.
    LONG Open();
    const std::string &Dir() const { return dir_; }
    int Fd() const { return fd_; }
    // The path of a file of the machine, for reports.
    std::string Abs(std::string_view rel) const;

  private:
    std::string dir_;
    int fd_ = -1;
};

// Opens the directory rel of the machine ("" the machine itself) one
// component at a time, following no link, and refuses any that another
// user could change, as Open does; with create, makes what is missing.
// A descriptor; -1 with errno; or kRefused (reported).
inline constexpr int kRefused = -2;
int OpenMachineDirectory(const Machine &m, std::string_view rel, bool create);
// Opens a file of the machine for reading, following no link and without
// blocking on a FIFO; the same results.
int OpenMachineFile(const Machine &m, const std::string &rel);

// Reads a whole file. A missing file is not an error (exists = false).
// report = false keeps quiet about a file that cannot be read, for
// housekeeping that leaves the report to the call that needs the file.
LONG ReadWholeFile(const Machine &m, const std::string &rel, std::string &out, bool &exists,
                   bool report = true);
// Replaces a file so that a crash leaves the old or the new content.
LONG WriteFileAtomic(const Machine &m, const std::string &rel, std::string_view content);
// The same for content in pieces, written one after the other, so that a
// large file edited in a few places need not be copied together first.
LONG WriteFileAtomic(const Machine &m, const std::string &rel,
                     const std::vector<std::string_view> &pieces);
LONG RemoveFile(const Machine &m, const std::string &rel, bool report = true);

// Reads the settings file; defaults when it is missing.
LONG LoadSettings(const Machine &m, Settings &out);

// A service as the index lists it: its display name (or, lacking one, its
// name) and the services it depends on (lowercased; groups left out).
struct IndexedService {
    std::string display;
    std::vector<std::string> dependsOn;
    bool operator==(const IndexedService &) const = default;
};

// Services (by lowercased name) whose key in doc has a Type value.
std::map<std::string, IndexedService> ServicesIn(const RegDoc &doc);

// One API call's view of the store: holds the machine lock, reads what the
// call needs once, and writes back what it changed when committed.
class Txn {
  public:
    Txn() = default;
    Txn(const Txn &) = delete;
    Txn &operator=(const Txn &) = delete;
    ~Txn();

    LONG Begin();
    const Machine &GetMachine() const { return machine_; }
    const Settings &GetSettings() const { return settings_; }
    std::string Abs(const std::string &rel) const { return machine_.Abs(rel); }

    // The parsed registry file; an absent file reads as empty.
    LONG Doc(const std::string &rel, RegDoc *&doc);
    void MarkDirty(const std::string &rel);
    // Writes every changed registry file (a file left without keys is
    // removed) and keeps the display-name index in step.
    LONG Commit();

  private:
    struct Loaded {
        RegDoc doc;
        bool dirty = false;
        std::map<std::string, IndexedService> servicesBefore; // by lowercased name
    };
    Machine machine_;
    int lockFd_ = -1;
    Settings settings_;
    std::map<std::string, Loaded> files_;
};

// The index of the services (sim_index.cpp), a shortcut to every service's
// display name and dependencies. Load gives its entries only while it
// matches the registry as it stands; Forget removes it before service
// files change, so that a run killed before AfterWrite has put the entries
// in step leaves none.
struct IndexChange {
    std::string name; // lowercased
    std::optional<IndexedService> before, after;
};
struct DisplayIndex {
    std::unique_ptr<char[]> text; // the file as read
    std::string_view entries;     // its entry lines, inside text
};
bool DisplayIndexLoad(const Machine &m, DisplayIndex &index);
void DisplayIndexForget(const Machine &m);
void DisplayIndexAfterWrite(const Machine &m, const DisplayIndex &index,
                            const std::vector<IndexChange> &changes);
// Whether a service other than `self` has the display name (any case).
// Returns 0 or a store error.
LONG DisplayNameInUse(Txn &txn, std::string_view display, std::string_view self, bool &inUse);
// The services (lowercased) whose DependOnService names `name`.
LONG DependentsOf(Txn &txn, std::string_view name, std::vector<std::string> &dependents);

// ---------------------------------------------------------------- process

// The global lock that serialises this process's threads inside the machine.
void LockProcess();
void UnlockProcess();
// Marks the span of one API call: a call that sets no error code counts
// as a success for `lasterror clear`.
void BeginCall();
void EndCall();
void NoteLastErrorPolicy(bool clear);
struct ProcessGuard {
    ProcessGuard() {
        LockProcess();
        BeginCall();
    }
    ~ProcessGuard() {
        EndCall();
        UnlockProcess();
    }
    ProcessGuard(const ProcessGuard &) = delete;
    ProcessGuard &operator=(const ProcessGuard &) = delete;
};

void SetLastErrorCode(DWORD code);

// Milliseconds this process has asked Sleep() for.
std::uint64_t SleptMilliseconds();

// For tests: forget call counts, reported paths and the slept total.
void ResetProcessStateForTests();
void ResetReportedForTests();
void ResetCallCountsForTests();

} // namespace quillmar::sim
