// The simulated machine's directory: where it is, its lock, and reading
// and replacing its files so that neither a concurrent run nor a run
// killed mid-write can leave a torn or lost update behind.
#include "sim_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmar::sim {

namespace {

std::mutex g_reportedMutex;
std::set<std::string> g_reported;

std::string Errno(int e) {
    return std::strerror(e);
}

LONG ReadErrorCode(int e) {
    return (e == EACCES || e == EPERM) ? ERROR_ACCESS_DENIED : ERROR_CANTREAD;
}

LONG WriteErrorCode(int e) {
    return (e == EACCES || e == EPERM || e == EROFS) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
}

std::string ParentOf(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p; returns 0 or an errno.
int MakeDirs(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    std::string parent = ParentOf(path);
    if (parent != path) {
        int e = MakeDirs(parent);
        if (e)
            return e;
    }
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        return errno;
    if (stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

void FsyncDir(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

std::uint64_t RandomTag() {
    std::uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof r))
        return r;
    static std::uint64_t counter = 0;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<std::uint64_t>(ts.tv_nsec) << 20) ^ ++counter;
}

} // namespace

void ReportOnce(const std::string &path, const std::string &what) {
    std::lock_guard<std::mutex> lock(g_reportedMutex);
    if (!g_reported.insert(path).second)
        return;
    // One write, after what standard output holds, as DisplayError writes.
    const std::string report = "quillmar: simulated machine: " + path + ": " + what + "\n";
    std::fflush(stdout);
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
}

void ResetReportedForTests() {
    std::lock_guard<std::mutex> lock(g_reportedMutex);
    g_reported.clear();
}

LONG MachineDir(std::string &dir) {
    const char *machine = std::getenv("QUILLMAR_MACHINE");
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    if (machine && *machine) {
        dir = machine;
    } else if (state && *state == '/') {
        // XDG says relative values are to be ignored.
        dir = std::string(state) + "/quillmar/machine";
    } else if (home && *home) {
        dir = std::string(home) + "/.local/state/quillmar/machine";
    } else {
        ReportOnce("(machine directory)", "neither QUILLMAR_MACHINE nor HOME is set");
        return ERROR_PATH_NOT_FOUND;
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    int e = MakeDirs(dir);
    if (e == ENOTDIR) {
        ReportOnce(dir, "not a directory");
        return ERROR_CANTREAD;
    }
    if (e) {
        ReportOnce(dir, "cannot create the machine directory: " + Errno(e));
        return WriteErrorCode(e);
    }
    return ERROR_SUCCESS;
}

LONG ReadWholeFile(const std::string &path, std::string &out, bool &exists, bool report) {
    out.clear();
    exists = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ERROR_SUCCESS;
        int e = errno;
        if (report)
            ReportOnce(path, "cannot read: " + Errno(e));
        return ReadErrorCode(e);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        if (report)
            ReportOnce(path, "cannot read: " + Errno(e));
        return ReadErrorCode(e);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        if (report)
            ReportOnce(path, S_ISDIR(st.st_mode) ? "is a directory, expected a file"
                                                 : "is not a regular file");
        return ERROR_CANTREAD;
    }
    if (st.st_size > 0)
        out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            if (report)
                ReportOnce(path, "cannot read: " + Errno(e));
            return ReadErrorCode(e);
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    exists = true;
    return ERROR_SUCCESS;
}

LONG WriteFileAtomic(const std::string &path, const std::vector<std::string_view> &pieces) {
    std::string dir = ParentOf(path);
    if (int e = MakeDirs(dir)) {
        ReportOnce(dir, "cannot create directory: " + Errno(e));
        return WriteErrorCode(e);
    }
    char tag[64];
    std::snprintf(tag, sizeof tag, ".tmp.%ld.%016llx", static_cast<long>(getpid()),
                  static_cast<unsigned long long>(RandomTag()));
    std::string tmp = path + tag;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        int e = errno;
        ReportOnce(path, "cannot write: " + Errno(e));
        return WriteErrorCode(e);
    }
    int e = 0;
    for (std::string_view piece : pieces) {
        std::size_t done = 0;
        while (!e && done < piece.size()) {
            ssize_t n = write(fd, piece.data() + done, piece.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n == 0)
                e = EIO; // no progress: the disk will not take it
            else if (errno != EINTR)
                e = errno;
        }
    }
    if (!e && fsync(fd) != 0)
        e = errno;
    if (close(fd) != 0 && !e)
        e = errno;
    if (!e && rename(tmp.c_str(), path.c_str()) != 0)
        e = errno;
    if (e) {
        unlink(tmp.c_str());
        ReportOnce(path, "cannot write: " + Errno(e));
        return WriteErrorCode(e);
    }
    FsyncDir(dir);
    return ERROR_SUCCESS;
}

LONG WriteFileAtomic(const std::string &path, std::string_view content) {
    return WriteFileAtomic(path, std::vector<std::string_view>{content});
}

LONG RemoveFile(const std::string &path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        int e = errno;
        ReportOnce(path, "cannot remove: " + Errno(e));
        return WriteErrorCode(e);
    }
    FsyncDir(ParentOf(path));
    return ERROR_SUCCESS;
}

LONG LoadSettings(const std::string &machineDir, Settings &out) {
    out = Settings{};
    NoteLastErrorPolicy(false);
    std::string path = machineDir + "/settings";
    std::string text;
    bool exists = false;
    if (LONG rc = ReadWholeFile(path, text, exists))
        return rc;
    if (!exists)
        return ERROR_SUCCESS;
    TextError err;
    if (!ParseSettingsText(text, out, err)) {
        ReportOnce(path, (err.line ? "line " + std::to_string(err.line) + ": " : std::string()) +
                             err.what);
        out = Settings{};
        return ERROR_BADDB;
    }
    NoteLastErrorPolicy(out.clearLastError);
    return ERROR_SUCCESS;
}

std::map<std::string, IndexedService> ServicesIn(const RegDoc &doc) {
    std::map<std::string, IndexedService> out;
    for (const RegKey &k : doc.keys) {
        std::string name;
        if (k.path.size() != 4 || !IsServiceSubtree(k.path, &name) || !k.FindValue("Type"))
            continue;
        IndexedService service;
        service.display = name;
        const RegValue *d = k.FindValue("DisplayName");
        if (d && (d->type == REG_SZ || d->type == REG_EXPAND_SZ)) {
            service.display = d->data;
            while (!service.display.empty() && service.display.back() == '\0')
                service.display.pop_back();
        }
        // A REG_MULTI_SZ, one name after another; "+Name" is a group.
        if (const RegValue *deps = k.FindValue("DependOnService")) {
            std::string_view rest = deps->data;
            while (!rest.empty()) {
                std::size_t end = std::min(rest.find('\0'), rest.size());
                if (end > 0 && rest[0] != '+')
                    service.dependsOn.push_back(Lower(rest.substr(0, end)));
                rest.remove_prefix(std::min(end + 1, rest.size()));
            }
        }
        out[Lower(name)] = std::move(service);
    }
    return out;
}

// ---------------------------------------------------------------- Txn

Txn::~Txn() {
    if (lockFd_ >= 0)
        close(lockFd_); // releases the flock
}

LONG Txn::Begin() {
    if (LONG rc = MachineDir(dir_))
        return rc;
    std::string lockPath = dir_ + "/lock";
    lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd_ < 0) {
        int e = errno;
        ReportOnce(lockPath, "cannot open the lock: " + Errno(e));
        return e == EACCES || e == EPERM || e == EROFS ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
    }
    while (flock(lockFd_, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        int e = errno;
        ReportOnce(lockPath, "cannot lock: " + Errno(e));
        return ERROR_CANTOPEN;
    }
    return LoadSettings(dir_, settings_);
}

LONG Txn::Doc(const std::string &rel, RegDoc *&doc) {
    auto it = files_.find(rel);
    if (it != files_.end()) {
        doc = &it->second.doc;
        return ERROR_SUCCESS;
    }
    std::string path = Abs(rel);
    std::string text;
    bool exists = false;
    if (LONG rc = ReadWholeFile(path, text, exists))
        return rc;
    Loaded loaded;
    if (exists) {
        TextError err;
        if (!ParseRegText(text, loaded.doc, err)) {
            ReportOnce(path,
                       (err.line ? "line " + std::to_string(err.line) + ": " : std::string()) +
                           err.what);
            return ERROR_REGISTRY_CORRUPT;
        }
        // A key in the wrong file would be invisible where it is looked for.
        for (const RegKey &k : loaded.doc.keys) {
            std::string home = RegFileFor(k.path);
            if (home != rel) {
                ReportOnce(path,
                           "key [HKEY_LOCAL_MACHINE\\" + JoinPath(k.path) + "] belongs in " + home);
                return ERROR_REGISTRY_CORRUPT;
            }
        }
    }
    if (rel.rfind("registry/services/", 0) == 0)
        loaded.servicesBefore = ServicesIn(loaded.doc);
    doc = &files_.emplace(rel, std::move(loaded)).first->second.doc;
    return ERROR_SUCCESS;
}

void Txn::MarkDirty(const std::string &rel) {
    auto it = files_.find(rel);
    if (it != files_.end())
        it->second.dirty = true;
}

LONG Txn::Commit() {
    bool anyService = false;
    for (auto &[rel, f] : files_)
        if (f.dirty && rel.rfind("registry/services/", 0) == 0)
            anyService = true;
    // The index is brought up to date after the writes below; until then
    // nobody may trust it: a run killed in between must leave it visibly
    // gone, whatever the resolution of the directory's timestamps.
    DisplayIndex index;
    bool indexWasCurrent = anyService && DisplayIndexLoad(dir_, index);
    if (anyService)
        DisplayIndexForget(dir_);

    std::vector<IndexChange> changes;
    LONG result = ERROR_SUCCESS;
    for (auto &[rel, f] : files_) {
        if (!f.dirty)
            continue;
        LONG rc = f.doc.keys.empty() ? RemoveFile(Abs(rel))
                                     : WriteFileAtomic(Abs(rel), FormatRegText(f.doc));
        if (rc) {
            result = rc;
            break;
        }
        f.dirty = false;
        if (rel.rfind("registry/services/", 0) != 0)
            continue;
        std::map<std::string, IndexedService> after = ServicesIn(f.doc);
        for (auto &[name, service] : f.servicesBefore)
            if (!after.count(name))
                changes.push_back({name, service, std::nullopt});
        for (auto &[name, service] : after) {
            auto was = f.servicesBefore.find(name);
            if (was == f.servicesBefore.end())
                changes.push_back({name, std::nullopt, service});
            else if (was->second != service)
                changes.push_back({name, was->second, service});
        }
        f.servicesBefore = std::move(after);
    }
    if (indexWasCurrent && result == ERROR_SUCCESS)
        DisplayIndexAfterWrite(dir_, index, changes);
    return result;
}

} // namespace quillmar::sim
