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
    // Private unless the owner makes them otherwise (XDG asks 0700 of its
    // directories too).
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    if (stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// A descriptor that closes itself.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

// Empty when only the caller or root can change what the directory holds;
// otherwise why another user could.
std::string Untrusted(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return "cannot be examined: " + Errno(errno);
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return "owned by uid " + std::to_string(st.st_uid) + ", neither the caller nor root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("group or others may write to it (mode ") + mode + ")";
    }
    return {};
}

constexpr const char *kLinkRefused = "a symbolic link, which the machine does not follow";

void Refuse(const std::string &path, const std::string &why) {
    ReportOnce(path, "refused: " + why);
}

// The directory part of a path relative to the machine, and its last
// component.
std::string_view DirPart(std::string_view rel) {
    std::size_t slash = rel.rfind('/');
    return slash == rel.npos ? std::string_view() : rel.substr(0, slash);
}
std::string LeafPart(std::string_view rel) {
    std::size_t slash = rel.rfind('/');
    return std::string(slash == rel.npos ? rel : rel.substr(slash + 1));
}

} // namespace

int OpenMachineDirectory(const Machine &m, std::string_view rel, bool create) {
    int fd = fcntl(m.Fd(), F_DUPFD_CLOEXEC, 0);
    for (std::size_t start = 0; fd >= 0 && start < rel.size();) {
        const std::size_t end = std::min(rel.find('/', start), rel.size());
        const std::string part(rel.substr(start, end - start));
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(fd, part.c_str(), flags);
        if (next < 0 && errno == ENOENT && create &&
            (mkdirat(fd, part.c_str(), 0700) == 0 || errno == EEXIST))
            next = openat(fd, part.c_str(), flags);
        // A link opened with O_DIRECTORY | O_NOFOLLOW is ENOTDIR.
        struct stat st;
        int e = errno;
        if (next < 0 && e == ENOTDIR && fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            e = ELOOP;
        close(fd);
        if (next < 0 && e == ELOOP) {
            Refuse(m.Abs(rel.substr(0, end)), kLinkRefused);
            return kRefused;
        }
        if (next < 0) {
            errno = e;
            return -1;
        }
        if (std::string why = Untrusted(next); !why.empty()) {
            close(next);
            Refuse(m.Abs(rel.substr(0, end)), why);
            return kRefused;
        }
        fd = next;
        start = end + 1;
    }
    return fd;
}

int OpenMachineFile(const Machine &m, const std::string &rel) {
    int dir = OpenMachineDirectory(m, DirPart(rel), false);
    if (dir < 0)
        return dir;
    Fd guard(dir);
    // O_NONBLOCK: a FIFO must not hold the call up before it is seen to be
    // no regular file.
    int fd = openat(dir, LeafPart(rel).c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ELOOP) {
        Refuse(m.Abs(rel), kLinkRefused);
        return kRefused;
    }
    return fd;
}

namespace {

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

Machine::~Machine() {
    if (fd_ >= 0)
        close(fd_);
}

LONG Machine::Open() {
    if (LONG rc = MachineDir(dir_))
        return rc;
    fd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        int e = errno;
        ReportOnce(dir_, "cannot open the machine directory: " + Errno(e));
        return ReadErrorCode(e);
    }
    // Another user who can change the machine could have it read or write
    // wherever a link of theirs points, with our rights.
    if (std::string why = Untrusted(fd_); !why.empty()) {
        Refuse(dir_, why);
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

std::string Machine::Abs(std::string_view rel) const {
    return rel.empty() ? dir_ : dir_ + "/" + std::string(rel);
}

LONG ReadWholeFile(const Machine &m, const std::string &rel, std::string &out, bool &exists,
                   bool report) {
    out.clear();
    exists = false;
    int fd = OpenMachineFile(m, rel);
    if (fd == kRefused)
        return ERROR_ACCESS_DENIED;
    if (fd < 0) {
        if (errno == ENOENT)
            return ERROR_SUCCESS;
        int e = errno;
        if (report)
            ReportOnce(m.Abs(rel), "cannot read: " + Errno(e));
        return ReadErrorCode(e);
    }
    Fd guard(fd);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        if (report)
            ReportOnce(m.Abs(rel), "cannot read: " + Errno(e));
        return ReadErrorCode(e);
    }
    if (!S_ISREG(st.st_mode)) {
        if (report)
            ReportOnce(m.Abs(rel), S_ISDIR(st.st_mode) ? "is a directory, expected a file"
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
            if (report)
                ReportOnce(m.Abs(rel), "cannot read: " + Errno(e));
            return ReadErrorCode(e);
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    exists = true;
    return ERROR_SUCCESS;
}

LONG WriteFileAtomic(const Machine &m, const std::string &rel,
                     const std::vector<std::string_view> &pieces) {
    int dir = OpenMachineDirectory(m, DirPart(rel), true);
    if (dir == kRefused)
        return ERROR_ACCESS_DENIED;
    if (dir < 0) {
        int e = errno;
        ReportOnce(m.Abs(DirPart(rel)), "cannot create directory: " + Errno(e));
        return WriteErrorCode(e);
    }
    Fd dirGuard(dir);
    const std::string leaf = LeafPart(rel);
    // A file replaced keeps the permissions its owner gave it; a new one is
    // the owner's alone.
    struct stat old;
    const mode_t mode =
        fstatat(dir, leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode)
            ? old.st_mode & 0777
            : 0600;
    char tag[64];
    std::snprintf(tag, sizeof tag, ".tmp.%ld.%016llx", static_cast<long>(getpid()),
                  static_cast<unsigned long long>(RandomTag()));
    const std::string tmp = leaf + tag;
    int fd = openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        int e = errno;
        ReportOnce(m.Abs(rel), "cannot write: " + Errno(e));
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
    if (!e && mode != 0600 && fchmod(fd, mode) != 0)
        e = errno;
    if (!e && fsync(fd) != 0)
        e = errno;
    if (close(fd) != 0 && !e)
        e = errno;
    if (!e && renameat(dir, tmp.c_str(), dir, leaf.c_str()) != 0)
        e = errno;
    if (e) {
        unlinkat(dir, tmp.c_str(), 0);
        ReportOnce(m.Abs(rel), "cannot write: " + Errno(e));
        return WriteErrorCode(e);
    }
    fsync(dir);
    return ERROR_SUCCESS;
}

LONG WriteFileAtomic(const Machine &m, const std::string &rel, std::string_view content) {
    return WriteFileAtomic(m, rel, std::vector<std::string_view>{content});
}

LONG RemoveFile(const Machine &m, const std::string &rel, bool report) {
    int dir = OpenMachineDirectory(m, DirPart(rel), false);
    if (dir == kRefused)
        return ERROR_ACCESS_DENIED;
    int e = dir < 0 ? errno : 0;
    if (dir >= 0 && unlinkat(dir, LeafPart(rel).c_str(), 0) != 0)
        e = errno;
    if (e && e != ENOENT) {
        if (dir >= 0)
            close(dir);
        if (report)
            ReportOnce(m.Abs(rel), "cannot remove: " + Errno(e));
        return WriteErrorCode(e);
    }
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return ERROR_SUCCESS;
}

LONG LoadSettings(const Machine &m, Settings &out) {
    out = Settings{};
    NoteLastErrorPolicy(false);
    std::string text;
    bool exists = false;
    if (LONG rc = ReadWholeFile(m, "settings", text, exists))
        return rc;
    if (!exists)
        return ERROR_SUCCESS;
    TextError err;
    if (!ParseSettingsText(text, out, err)) {
        ReportOnce(m.Abs("settings"),
                   (err.line ? "line " + std::to_string(err.line) + ": " : std::string()) +
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
    if (LONG rc = machine_.Open())
        return rc;
    std::string lockPath = Abs("lock");
    // Only the owner may open the lock, and so hold up every run.
    lockFd_ =
        openat(machine_.Fd(), "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (lockFd_ < 0 && errno == ELOOP) {
        Refuse(lockPath, kLinkRefused);
        return ERROR_ACCESS_DENIED;
    }
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
    return LoadSettings(machine_, settings_);
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
    if (LONG rc = ReadWholeFile(machine_, rel, text, exists))
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
    bool indexWasCurrent = anyService && DisplayIndexLoad(machine_, index);
    if (anyService)
        DisplayIndexForget(machine_);

    std::vector<IndexChange> changes;
    LONG result = ERROR_SUCCESS;
    for (auto &[rel, f] : files_) {
        if (!f.dirty)
            continue;
        LONG rc = f.doc.keys.empty() ? RemoveFile(machine_, rel)
                                     : WriteFileAtomic(machine_, rel, FormatRegText(f.doc));
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
        DisplayIndexAfterWrite(machine_, index, changes);
    return result;
}

} // namespace quillmar::sim
