// What the runner needs of Windows: files below its work folder (long
// paths included), programs started and their streams read, services and
// registry values read and removed, and what the host is.
#pragma once

#include "kitdata.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace kit {

// ---- files ----------------------------------------------------------------

// The \\?\ form of an absolute path, so that no call stops at MAX_PATH.
Text LongPath(const Text &path);
// dir joined with a relative name whose parts may be split by / or \;
// "." and ".." are resolved, as the shell would resolve them.
Text Join(const Text &dir, const Text &relative);
bool Exists(const Text &path);
bool IsDirectory(const Text &path);
bool WriteBytes(const Text &path, const std::string &bytes);
std::optional<std::string> ReadBytes(const Text &path);
bool MakeDirectories(const Text &path);
// Removes a file or a whole tree, never following a link or junction; one
// that leads out of the tree stays (Wine deletes a link's target, not the
// link).
bool RemoveTree(const Text &path);
bool CopyTo(const Text &from, const Text &to);
// Names in a directory that match a wildcard pattern ("*.mode").
std::vector<Text> ListNames(const Text &dir, const Text &pattern);
// Whether path lies inside dir (case-insensitive, whole components).
bool IsInside(const Text &path, const Text &dir);
// An absolute path as Windows resolves its text ("." and "..", "/", doubled
// separators, a \\?\ or \\.\ prefix); empty for a relative one.
Text FullPath(Text path);
// Whether an absolute path lies inside dir as Windows would open it: "."
// and ".." resolved, and every link or junction on the way followed.
bool LiesInside(const Text &path, const Text &dir);
// An empty file that a process of the kit waits for, made only where the
// path lies inside dir and nothing is yet: nothing is written through a
// link. False when the path leads out of dir.
bool PutSign(const Text &path, const Text &dir);
// Who besides administrators, SYSTEM and TrustedInstaller may write,
// delete or change the permissions of path (an owner or an entry of its
// access list), named; empty when nobody. The elevated administrator who
// runs the kit counts as one of them.
Text WritableByOthers(const Text &path);
// A service's program: its executable path without the quotes.
Text Unquoted(const Text &path);
Text DirectoryOfModule();

// ---- output -----------------------------------------------------------------

// Text on standard output or error: wide on a console, else UTF-8 bytes.
void Out(const Text &text);
void Err(const Text &text);

// ---- interruption -----------------------------------------------------------

// Set by the console control handler (Ctrl+C, a closed window): every wait
// of the runner ends at once.
HANDLE InterruptEvent();
bool Interrupted();
// Evidence of each start that the host failed and that was run once more.
std::vector<Text> &HostFailures();

// ---- programs ---------------------------------------------------------------

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
    DWORD timeoutMs = 300000;
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
// The program of a process (PROCESS_QUERY_LIMITED_INFORMATION); empty when
// unknown.
Text ProcessImage(HANDLE hProcess);
// Ends every other process whose program lies inside dir: what a test's
// program left behind (a merge tool's lingering child), or what an
// interrupted run left running, once the services are gone.
void EndProcessesIn(const Text &dir);
Ran RunProgram(const Launch &launch);
double Seconds();

// ---- services ---------------------------------------------------------------

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
// Stops the service when it runs, deletes it and waits until the manager
// no longer knows it; false with what was left in detail.
bool RemoveService(SC_HANDLE hManager, const Text &name, Text &detail);

// ---- registry ---------------------------------------------------------------

struct RegValueInfo {
    LONG error = 0; // ERROR_FILE_NOT_FOUND: the key or the value is absent
    Text type;      // "REG_SZ", "REG_EXPAND_SZ", "REG_DWORD", "REG_MULTI_SZ", "other"
    DWORD size = 0; // bytes stored
    Text data;      // text up to the first NUL, or a DWORD in decimal
};

RegValueInfo ReadRegValue(const Text &key, const Text &name);
// "name type (size bytes) = data" for every value of a key below HKLM.
std::vector<Text> ListRegValues(const Text &key);

// ---- the host ---------------------------------------------------------------

struct HostInfo {
    bool isWine = false;
    Text windows; // version and build as RtlGetVersion and the registry give them
    Text wine;    // Wine's version and the system under it, when under Wine
};

HostInfo DescribeHost();
bool IsElevated();
Text ErrorText(DWORD errorNum);

} // namespace kit
