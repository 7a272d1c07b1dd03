// The host helpers of platform.h on a POSIX host.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A reader that went away must not end a request halfway: a write to a
// closed pipe then fails, as it does on Windows, and every request runs to
// its end. Set before main, so that no write of the program precedes it.
[[maybe_unused]] const bool g_sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::string Join(const char *dir, const char *name) {
    std::string out = dir ? dir : "";
    if (!out.empty() && out.back() != '/')
        out += '/';
    return out + (name ? name : "");
}

std::uint64_t RandomTag() {
    std::uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r))
        r = static_cast<std::uint64_t>(getpid()) * 0x9E3779B97F4A7C15ULL ^
            reinterpret_cast<std::uintptr_t>(&r);
    return r;
}

// Writes all of buf to fd; 0, or the error of the write that failed.
int WriteAll(int fd, const char *buf, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
        ssize_t w = write(fd, buf + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return errno;
        done += static_cast<std::size_t>(w);
    }
    return 0;
}

int CopyAll(int in, int out) {
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        if (int e = WriteAll(out, buf.data(), static_cast<std::size_t>(n)))
            return e;
    }
}

// Puts tmp in place as target unless target exists. link() never replaces;
// file systems without hard links get the same promise from renameat2.
int PlaceWithoutReplacing(const std::string &tmp, const std::string &target) {
    if (link(tmp.c_str(), target.c_str()) == 0)
        return 0;
    int e = errno;
    // ENOTSUP and EOPNOTSUPP are one code on Linux, two elsewhere.
    // NOLINTNEXTLINE(misc-redundant-expression)
    if (e == EPERM || e == ENOTSUP || e == EOPNOTSUPP || e == EMLINK) {
        if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        e = errno;
    }
    return e;
}

// 0 when target, which exists, is a backup: a regular file, reached
// through a symbolic link or not. A directory, a device, a FIFO or a
// dangling link under the backup's name is none, and no merge may count on
// it (EEXIST); a name that cannot be looked at gives its errno.
int BackupState(const std::string &target) {
    struct stat st;
    if (stat(target.c_str(), &st) != 0)
        return errno == ENOENT ? EEXIST : errno;
    return S_ISREG(st.st_mode) ? 0 : EEXIST;
}

// Copies one read's worth of what is in the pipe now; false once every
// writer has gone. The caller looks at the tool between reads: a process
// the tool left behind may keep the pipe from ever running dry.
bool PassOnAvailable(int in, int out) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0)
            return false;
        // A reader of ours that went away must not hold up the tool.
        WriteAll(out, buf, static_cast<std::size_t>(n));
        return true;
    }
}

// Relays the tool's standard error (the non-blocking pipe in) to ours until
// the tool has exited, then what it left in the pipe; whatever a process it
// left behind writes later is not waited for. Reaps the tool into *pStatus.
int RelayUntilExit(int in, pid_t pid, int *pStatus) {
    // A process descriptor tells the exit at once; without one (an older
    // kernel) it is noticed on a short tick.
#ifdef SYS_pidfd_open
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    const int pidFd = -1;
#endif
    bool open = true;
    for (;;) {
        const pid_t done = waitpid(pid, pStatus, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            const int e = errno;
            if (pidFd >= 0)
                close(pidFd);
            return e;
        }
        struct pollfd fds[2] = {};
        nfds_t numFds = 0;
        if (open)
            fds[numFds++] = {in, POLLIN, 0};
        if (pidFd >= 0)
            fds[numFds++] = {pidFd, POLLIN, 0};
        if (poll(fds, numFds, pidFd >= 0 ? -1 : 20) < 0 && errno != EINTR)
            open = false; // cannot watch the pipe: wait for the tool alone
        else if (open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            open = PassOnAvailable(in, STDERR_FILENO);
    }
    if (pidFd >= 0)
        close(pidFd);
    // The tool has ended: everything it wrote is in the pipe now. Take that
    // much and no more.
    int numLeft = 0;
    if (!open || ioctl(in, FIONREAD, &numLeft) != 0)
        numLeft = 0;
    while (numLeft > 0) {
        char buf[4096];
        ssize_t n = read(in, buf, std::min(sizeof buf, static_cast<std::size_t>(numLeft)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        WriteAll(STDERR_FILENO, buf, static_cast<std::size_t>(n));
        numLeft -= static_cast<int>(n);
    }
    return 0;
}

} // namespace

DWORD CopyFileIfAbsent(const char *pDir, const char *pFrom, const char *pTo) {
    std::string target = Join(pDir, pTo);
    struct stat st;
    if (lstat(target.c_str(), &st) == 0)
        return static_cast<DWORD>(BackupState(target));
    if (errno != ENOENT)
        return static_cast<DWORD>(errno);

    // Only a regular file is a backup's source. O_NONBLOCK keeps a FIFO
    // from holding the open up; a device, a FIFO or a directory is
    // refused as a missing file is, before anything is written.
    int in = open(Join(pDir, pFrom).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in < 0)
        return static_cast<DWORD>(errno);
    const int statError = fstat(in, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? ENOENT : 0;
    if (statError) {
        close(in);
        return static_cast<DWORD>(statError);
    }
    // The temporary name sits beside the target so that link() stays on
    // one file system, and starts with a dot to stay out of listings.
    std::size_t slash = target.rfind('/');
    std::string tmpDir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    char tag[64];
    std::snprintf(tag, sizeof tag, ".tmp.%ld.%016llx", static_cast<long>(getpid()),
                  static_cast<unsigned long long>(RandomTag()));
    std::string tmp = tmpDir + "." + base + tag;
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        int e = errno;
        close(in);
        return static_cast<DWORD>(e);
    }
    int e = CopyAll(in, out);
    close(in);
    // The permission bits only: a set-user-ID bit on another user's file
    // must not become one on a copy that we own.
    if (!e && fchmod(out, st.st_mode & 0777) != 0)
        e = errno;
    if (!e && fsync(out) != 0)
        e = errno;
    if (close(out) != 0 && !e)
        e = errno;
    if (!e) {
        e = PlaceWithoutReplacing(tmp, target);
        if (e == EEXIST)
            e = BackupState(target); // a concurrent run made it first: its backup stands
    }
    unlink(tmp.c_str());
    if (!e) {
        int d = open(tmpDir.empty() ? "." : tmpDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (d >= 0) {
            fsync(d);
            close(d);
        }
    }
    return static_cast<DWORD>(e);
}

DWORD RunProgramIn(const char *pDir, const char *pProgram, const char *const *ppArgs,
                   unsigned numArgs, DWORD *pExitStatus) {
    if (!pDir || !pProgram || !pExitStatus || (numArgs && !ppArgs))
        return EINVAL;
    // The child changes into pDir before exec, so the program is named
    // relative to it: no PATH search, no shell.
    std::string path = pProgram[0] == '/' ? std::string(pProgram) : "./" + std::string(pProgram);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(pProgram));
    for (unsigned i = 0; i < numArgs; ++i)
        argv.push_back(const_cast<char *>(ppArgs[i]));
    argv.push_back(nullptr);
    // The tool's status is ours to collect: a caller that ignores SIGCHLD
    // would leave none, and a merge that ran would read as failed.
    std::signal(SIGCHLD, SIG_DFL);

    // Our standard error reaches the tool through a pipe of our own unless
    // it is a terminal (or closed): a process the tool leaves behind then
    // holds only that pipe, never the caller's.
    int relay[2] = {-1, -1};
    auto closeRelay = [&relay] {
        for (int &fd : relay) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    };
    if (fcntl(STDERR_FILENO, F_GETFD) >= 0 && !isatty(STDERR_FILENO) &&
        pipe2(relay, O_CLOEXEC) == 0 && fcntl(relay[0], F_SETFL, O_NONBLOCK) != 0)
        closeRelay();

    posix_spawn_file_actions_t actions;
    if (int e = posix_spawn_file_actions_init(&actions)) {
        closeRelay();
        return static_cast<DWORD>(e);
    }
    int e = posix_spawn_file_actions_addchdir_np(&actions, pDir);
    // The relay first: its end may have been given descriptor 1.
    if (!e && relay[1] >= 0)
        e = posix_spawn_file_actions_adddup2(&actions, relay[1], STDERR_FILENO);
    if (!e)
        e = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // We ignore SIGPIPE; the tool gets the default a program expects.
    posix_spawnattr_t attr;
    const int attrError = posix_spawnattr_init(&attr);
    if (!e)
        e = attrError;
    if (!e) {
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        e = posix_spawnattr_setsigdefault(&attr, &defaults);
    }
    if (!e)
        e = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    // glibc's posix_spawn reports a failed chdir or exec as its result, so
    // a missing program is ENOENT here rather than an exit status of 127.
    if (!e)
        e = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
    if (!attrError)
        posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (relay[1] >= 0) {
        close(relay[1]);
        relay[1] = -1;
    }
    if (e) {
        closeRelay();
        return static_cast<DWORD>(e);
    }

    int status = 0;
    if (relay[0] >= 0) {
        e = RelayUntilExit(relay[0], pid, &status);
        closeRelay();
        if (e)
            return static_cast<DWORD>(e);
    } else {
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR)
                return static_cast<DWORD>(errno);
        }
    }
    if (WIFEXITED(status))
        *pExitStatus = static_cast<DWORD>(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        *pExitStatus = 128U + static_cast<DWORD>(WTERMSIG(status));
    else
        *pExitStatus = 255;
    return 0;
}

int ProcessExitStatus(DWORD errorNum) {
    if (errorNum == 0)
        return 0;
    // Keep the low byte, as Wine does, but never let a failure read as 0.
    int low = static_cast<int>(errorNum & 0xFFU);
    return low ? low : 255;
}

DWORD CheckArgumentsExact() {
    // Arguments are bytes here, and reach the program unchanged.
    return 0;
}

bool IsAbsoluteDirectory(const char *pDir) {
    return pDir[0] == '/' || IsWindowsAbsoluteDirectory(pDir);
}

bool IsDriveRelativeDirectory(const char *pDir) {
    return pDir[0] != '/' && IsWindowsDriveRelativeDirectory(pDir);
}

std::size_t CountUtf16Units(const char *pText) {
    // Written out rather than taken from iconv or the locale: the count must
    // not depend on the locale a run happens to have. Well-formed UTF-8 per
    // the Unicode standard's table of sequences; what is not counts as the
    // replacement characters Windows puts there, one for each byte that
    // starts no sequence and one for each sequence cut short.
    const auto *p = reinterpret_cast<const unsigned char *>(pText);
    auto inRange = [](unsigned char c, unsigned char low, unsigned char high) {
        return c >= low && c <= high;
    };
    std::size_t numUnits = 0;
    while (*p != 0) {
        const unsigned char lead = *p;
        std::size_t numBytes = 1;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (inRange(lead, 0xC2, 0xDF)) {
            numBytes = 2;
        } else if (inRange(lead, 0xE0, 0xEF)) {
            numBytes = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (inRange(lead, 0xF0, 0xF4)) {
            numBytes = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        std::size_t numValid = 1;
        if (numBytes > 1 && inRange(p[1], low, high)) {
            ++numValid;
            while (numValid < numBytes && inRange(p[numValid], 0x80, 0xBF)) {
                ++numValid;
            }
        }
        // Beyond the Basic Multilingual Plane a character is a surrogate
        // pair; a sequence cut short is one replacement character.
        numUnits += numValid == 4 ? 2 : 1;
        p += numValid;
    }
    return numUnits;
}

DWORD CheckProgramDirectory(const char *, const char *) {
    // No limit on a current directory's length: chdir takes any path the
    // file system resolves, and a failure shows when the program starts.
    return 0;
}
