// The host helpers of platform.h on a POSIX host.
#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return errno;
            done += w;
        }
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

} // namespace

DWORD CopyFileIfAbsent(const char *pDir, const char *pFrom, const char *pTo) {
    std::string target = Join(pDir, pTo);
    struct stat st;
    if (lstat(target.c_str(), &st) == 0)
        return 0;
    if (errno != ENOENT)
        return static_cast<DWORD>(errno);

    int in = open(Join(pDir, pFrom).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return static_cast<DWORD>(errno);
    if (fstat(in, &st) != 0) {
        int e = errno;
        close(in);
        return static_cast<DWORD>(e);
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
    if (!e && fchmod(out, st.st_mode & 07777) != 0)
        e = errno;
    if (!e && fsync(out) != 0)
        e = errno;
    if (close(out) != 0 && !e)
        e = errno;
    if (!e) {
        e = PlaceWithoutReplacing(tmp, target);
        if (e == EEXIST)
            e = 0; // a concurrent run made it first: the backup stands
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

    posix_spawn_file_actions_t actions;
    if (int e = posix_spawn_file_actions_init(&actions))
        return static_cast<DWORD>(e);
    int e = posix_spawn_file_actions_addchdir_np(&actions, pDir);
    if (!e)
        e = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    // glibc's posix_spawn reports a failed chdir or exec as its result, so
    // a missing program is ENOENT here rather than an exit status of 127.
    if (!e)
        e = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (e)
        return static_cast<DWORD>(e);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return static_cast<DWORD>(errno);
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

DWORD CheckProgramDirectory(const char *, const char *) {
    // No limit on a current directory's length: chdir takes any path the
    // file system resolves, and a failure shows when the program starts.
    return 0;
}
