// What the runner needs of Windows: files, programs, services, registry.
#pragma once

#include "kitdata.h"

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kit {

template <typename H, auto close> class Owned {
  public:
    explicit Owned(H h = nullptr) : h_(h) {}
    Owned(Owned &&other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Owned &operator=(Owned &&other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    ~Owned() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
            close(h_);
    }
    operator H() const { return h_; }
    H *Put() { return &h_; } // for a call that hands the handle back

  private:
    H h_;
};
using Handle = Owned<HANDLE, CloseHandle>;
using ServiceHandle = Owned<SC_HANDLE, CloseServiceHandle>;
using Key = Owned<HKEY, RegCloseKey>;

// The \\?\ form of an absolute path, so that no call stops at MAX_PATH.
Text LongPath(const Text &path);
// dir joined with a relative name split by / or \, "." and ".." resolved.
Text Join(const Text &dir, const Text &relative);
bool Exists(const Text &path);
bool IsDirectory(const Text &path);
bool WriteBytes(const Text &path, const std::string &bytes);
std::optional<std::string> ReadBytes(const Text &path);
bool MakeDirectories(const Text &path);
// Removes a file or a tree, never following a link; one that leads out of
// the tree stays (Wine deletes a link's target, not the link).
bool RemoveTree(const Text &path);
bool CopyTo(const Text &from, const Text &to);
std::vector<Text> ListNames(const Text &dir, const Text &pattern);
// An absolute path as Windows resolves its text; empty for a relative one.
Text FullPath(Text path);
// Whether an absolute path lies inside dir as Windows would open it: "."
// and ".." resolved, every link or junction on the way followed.
bool LiesInside(const Text &path, const Text &dir);
// A new empty file a process of the kit waits for; false when it leads out of dir.
bool PutSign(const Text &path, const Text &dir);
// Who besides administrators, SYSTEM, TrustedInstaller and this administrator
// may write, delete or change the permissions of path, named; empty: nobody.
Text WritableByOthers(const Text &path);
Text Unquoted(const Text &path);
Text DirectoryOfModule();

// Wide on a console, else UTF-8 bytes.
void Print(DWORD stream, const Text &text);

// Set by Ctrl+C or a closed window: every wait of the runner ends at once.
HANDLE InterruptEvent();
bool Interrupted();
// Each start that the host failed and that was run once more.
std::vector<Text> &HostFailures();

enum class Streams {
    Files,    // standard output and error into files, as a script redirects them
    Combined, // both into one pipe, in the order written, as on a console
    Piped,    // each into a pipe read to its end, as an installer reads them
};

struct Launch {
    Text program;
    std::vector<Text> args;
    Text currentDir;
    Streams streams = Streams::Files;
    std::string stdinBytes; // empty: the null device
    Text runDir;            // where the stream files go
    DWORD timeoutMs = 0;
    Field argv0; // the program's own name in its command line; none: its path
};

struct Ran {
    bool started = false;
    DWORD startError = 0;
    DWORD exitCode = 0;
    bool timedOut = false;
    bool interrupted = false;
    bool pipesLeftOpen = false; // the pipes outlived the program
    std::string out;            // Combined: both streams
    std::string err;
    double seconds = 0;
    Text commandLine;
};

// Quoted for the C runtime's parser: the argument arrives unchanged.
Text QuoteArg(const Text &arg);
Text ProcessImage(HANDLE hProcess); // empty when unknown
// Ends every other process whose program lies inside dir (a merge tool's
// lingering child, what an interrupted run left).
void EndProcessesIn(const Text &dir);
Ran RunProgram(const Launch &launch);
double Seconds();

struct ServiceInfo {
    DWORD error = 0; // 0: read; ERROR_SERVICE_DOES_NOT_EXIST: absent
    DWORD state = 0;
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    Text path;
    Text display;
    Text account;
    std::vector<Text> dependencies;
    bool marked = false; // asked only with probeMarked
};

// probeMarked: a configuration change that changes nothing tells whether the
// service is marked for deletion (1072); only for the kit's own services.
ServiceInfo QueryService(SC_HANDLE hManager, const Text &name, bool probeMarked);
// "running", "stop pending, marked for deletion", "absent", ...
Text StateText(const ServiceInfo &info);
// Stops, deletes and waits until the manager no longer knows it; false with detail.
bool RemoveService(SC_HANDLE hManager, const Text &name, Text &detail);

struct RegValueInfo {
    LONG error = 0; // ERROR_FILE_NOT_FOUND: the key or the value is absent
    Text type;      // "REG_SZ", "REG_EXPAND_SZ", "REG_DWORD", "REG_MULTI_SZ", "other"
    DWORD size = 0; // bytes stored
    Text data;      // text up to the first NUL, or a DWORD in decimal
};

RegValueInfo ReadRegValue(const Text &key, const Text &name);
// "name type (size bytes) = data" for every value of a key below HKLM.
std::vector<Text> ListRegValues(const Text &key);

struct HostInfo {
    bool isWine = false;
    Text windows; // version and build as RtlGetVersion and the registry give them
    Text wine;    // Wine's version and the system under it, when under Wine
};

HostInfo DescribeHost();
bool IsElevated();
Text ErrorText(DWORD errorNum);

} // namespace kit
