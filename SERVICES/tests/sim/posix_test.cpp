// The POSIX host helpers: backup copy, program start, exit status.
#include "sim_test_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The machine's directory serves as a plain directory here.
class Host : public simtest::MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        fs::create_directory(dir);
    }
};

TEST_F(Host, CopyMakesTheBackupOnceAndNeverReplacesIt) {
    Write("merge.cfg", std::string(200000, 'a'));
    ASSERT_EQ(chmod((dir + "/merge.cfg").c_str(), 0640), 0);
    EXPECT_EQ(CopyFileIfAbsent(dir.c_str(), "merge.cfg", "merge.cfg.orig"), 0u);
    EXPECT_EQ(Read("merge.cfg.orig"), std::string(200000, 'a'));
    struct stat st;
    ASSERT_EQ(stat((dir + "/merge.cfg.orig").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the backup keeps the original's mode";
    Write("merge.cfg", "changed");
    EXPECT_EQ(CopyFileIfAbsent(dir.c_str(), "merge.cfg", "merge.cfg.orig"), 0u);
    EXPECT_EQ(Read("merge.cfg.orig"), std::string(200000, 'a'));
    EXPECT_EQ(Files(), (std::vector<std::string>{"merge.cfg", "merge.cfg.orig"}))
        << "no temporary left";
}

TEST_F(Host, CopyReportsTheHostError) {
    EXPECT_EQ(CopyFileIfAbsent(dir.c_str(), "absent", "backup"), static_cast<DWORD>(ENOENT));
    EXPECT_EQ(CopyFileIfAbsent((dir + "/nodir").c_str(), "a", "b"), static_cast<DWORD>(ENOENT));
    // A name that fits, but not with the temporary's suffix.
    Write("src", "x");
    EXPECT_EQ(CopyFileIfAbsent(dir.c_str(), "src", std::string(250, 'b').c_str()),
              static_cast<DWORD>(ENAMETOOLONG));
    // A read that fails (our own memory at address 0) or a write that fails
    // (past the file size limit) makes no backup.
    ASSERT_EQ(symlink("/proc/self/mem", Path("mem").c_str()), 0);
    EXPECT_EQ(CopyFileIfAbsent(dir.c_str(), "mem", "mem.orig"), static_cast<DWORD>(EIO));
    Write("big", std::string(200000, 'a'));
    EXPECT_EQ(WithoutRoom([&] { return CopyFileIfAbsent(dir.c_str(), "big", "big.orig"); }),
              static_cast<DWORD>(EFBIG));
    EXPECT_EQ(Files(), (std::vector<std::string>{"big", "mem", "src"}));
}

TEST_F(Host, CopyCountsOnlyARegularFileAsTheBackup) {
    Write("src", "x");
    Write("kept", "the first backup");
    ASSERT_EQ(symlink("nowhere", (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink("kept", (dir + "/linked").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir + "/device").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/directory").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    const std::pair<const char *, DWORD> cases[] = {
        {"kept", 0},        {"linked", 0},         {"dangling", EEXIST},
        {"device", EEXIST}, {"directory", EEXIST}, {"fifo", EEXIST},
    };
    for (auto &[name, expected] : cases)
        EXPECT_EQ(CopyFileIfAbsent(dir.c_str(), "src", name), expected) << name;
    EXPECT_EQ(Read("kept"), "the first backup");
    EXPECT_EQ(Files(), (std::vector<std::string>{"dangling", "device", "directory", "fifo", "kept",
                                                 "linked", "src"}))
        << "nothing replaced, no temporary left";
}

// Refuses hard links from now on, as a file system without them does.
bool RefuseHardLinks() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_link, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    sock_fprog program = {std::size(filter), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(Host, RacingCopiesLeaveOneWholeBackup) {
    for (int i = 0; i < 6; ++i)
        Write("src" + std::to_string(i), std::string(100000, static_cast<char>('a' + i)));
    for (const bool links : {true, false}) {
        SCOPED_TRACE(links ? "hard links" : "no hard links");
        std::vector<pid_t> kids;
        for (int i = 0; i < 6; ++i) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0)
                _exit((!links && !RefuseHardLinks()) ||
                      CopyFileIfAbsent(dir.c_str(), ("src" + std::to_string(i)).c_str(),
                                       "backup") != 0);
            kids.push_back(pid);
        }
        for (pid_t pid : kids) {
            int status;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        std::string got = Read("backup");
        ASSERT_EQ(got.size(), 100000u);
        EXPECT_EQ(got, std::string(100000, got[0]));
        EXPECT_EQ(Files().size(), 7u);
        fs::remove(Path("backup"));
    }
}

TEST_F(Host, RunProgramPassesArgumentsStatusAndDirectory) {
    Write("tool", "#!/bin/sh\n"
                  "pwd -P > cwd.txt\n"
                  "readlink /proc/self/fd/3 3>&1 > stdout.txt\n"
                  "printf '%s|' \"$@\" > args.txt\n"
                  "grep '^SigIgn:' /proc/self/status > ignored.txt\n"
                  "echo 'to stdout'\n"
                  "exit 3\n");
    ASSERT_EQ(chmod(Path("tool").c_str(), 0755), 0);
    const char *args[] = {"a b", "--x=\"y\"", ""};
    DWORD status = 99;
    // Ours is ignored, as in the program; the tool gets the default.
    ASSERT_NE(std::signal(SIGPIPE, SIG_IGN), SIG_ERR);
    ASSERT_EQ(RunProgramIn(dir.c_str(), "tool", args, 3, &status), 0u);
    EXPECT_EQ(status, 3u);
    EXPECT_EQ(Read("cwd.txt"), fs::canonical(dir).string() + "\n");
    EXPECT_EQ(Read("stdout.txt"), "/dev/null\n");
    EXPECT_EQ(Read("args.txt"), "a b|--x=\"y\"||");
    const std::string ignored = Read("ignored.txt");
    ASSERT_EQ(ignored.rfind("SigIgn:", 0), 0u) << ignored;
    EXPECT_EQ(std::stoull(ignored.substr(7), nullptr, 16) & (1ULL << (SIGPIPE - 1)), 0u)
        << "SIGPIPE ignored in the tool: " << ignored;
}

TEST_F(Host, RunProgramStartFailuresAreErrors) {
    DWORD status = 99;
    EXPECT_EQ(RunProgramIn(dir.c_str(), "missing", nullptr, 0, &status),
              static_cast<DWORD>(ENOENT));
    Write("noexec", "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(RunProgramIn(dir.c_str(), "noexec", nullptr, 0, &status), static_cast<DWORD>(EACCES));
    EXPECT_EQ(RunProgramIn((dir + "/nodir").c_str(), "tool", nullptr, 0, &status),
              static_cast<DWORD>(ENOENT));
    EXPECT_EQ(RunProgramIn(nullptr, "tool", nullptr, 0, &status), static_cast<DWORD>(EINVAL));
    EXPECT_EQ(status, 99u) << "no status without a run";
    Write("sh", "#!/bin/sh\nexit 0\n");
    EXPECT_NE(RunProgramIn(dir.c_str(), "sh", nullptr, 0, &status), 0u) << "no PATH search";
}

// Two processes the tool leaves behind write without pause while our
// standard error is read slowly: the relay's pipe never runs dry.
TEST_F(Host, RunProgramEndsWithTheToolWhileWhatItLeftBehindWrites) {
    Write("tool", "#!/bin/sh\n(timeout 30 yes >&2 &)\n(timeout 30 yes >&2 &)\nsleep 0.5\n");
    ASSERT_EQ(chmod(Path("tool").c_str(), 0755), 0);
    int slow[2];
    ASSERT_EQ(pipe2(slow, O_CLOEXEC), 0);
    const int ours = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(dup2(slow[1], STDERR_FILENO), 0);
    close(slow[1]);
    std::atomic<bool> done{false};
    // Once done, closing the pipe ends the writers (SIGPIPE) rather than waiting out their 30 s.
    std::thread reader([in = slow[0], &done] {
        char buf[4096];
        while (!done && read(in, buf, sizeof buf) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        close(in);
    });
    DWORD status = 99;
    const auto before = std::chrono::steady_clock::now();
    const DWORD errorNum = RunProgramIn(dir.c_str(), "tool", nullptr, 0, &status);
    const auto took = std::chrono::steady_clock::now() - before;
    done = true;
    dup2(ours, STDERR_FILENO);
    close(ours);
    reader.join();
    EXPECT_EQ(errorNum, 0u);
    EXPECT_EQ(status, 0u);
    EXPECT_LT(took, std::chrono::seconds(10));
}

// The tool writes more than one read takes and ends while we are stopped:
// what it left in the pipe is relayed after its exit. We go on once it is
// a zombie, whatever the load (a SIGCONT also drops a SIGSTOP still pending).
TEST_F(Host, RunProgramRelaysWhatTheToolLeftInThePipe) {
    Write("tool", "#!/bin/sh\n"
                  "(until [ ! -d /proc/$$ ] || grep -q '^State:.Z' /proc/$$/status; do sleep 0.05; "
                  "done\nkill -CONT $PPID) >/dev/null 2>&1 &\nkill -STOP $PPID\n"
                  "head -c 10000 /dev/zero | tr '\\0' x >&2\n");
    ASSERT_EQ(chmod(Path("tool").c_str(), 0755), 0);
    DWORD status = 99;
    testing::internal::CaptureStderr();
    const DWORD errorNum = RunProgramIn(dir.c_str(), "tool", nullptr, 0, &status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(10000, 'x'));
    EXPECT_EQ(errorNum, 0u);
    EXPECT_EQ(status, 0u);
}

// With our standard error closed there is no relay: the tool is waited
// for plainly. A caller that ignores SIGCHLD still gets the tool's status.
TEST_F(Host, RunProgramWaitsWithOrWithoutTheRelay) {
    Write("tool", "#!/bin/sh\nsleep 0.2\nexit 3\n");
    ASSERT_EQ(chmod(Path("tool").c_str(), 0755), 0);
    const int ours = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (const bool relay : {true, false}) {
        if (relay)
            dup2(null, STDERR_FILENO);
        else
            close(STDERR_FILENO);
        DWORD status = 99, ignored = 99;
        const DWORD ended = RunProgramIn(dir.c_str(), "tool", nullptr, 0, &status);
        const auto before = simtest::NumOpen();
        std::signal(SIGCHLD, SIG_IGN);
        const DWORD endedIgnored = RunProgramIn(dir.c_str(), "tool", nullptr, 0, &ignored);
        std::signal(SIGCHLD, SIG_DFL);
        const auto after = simtest::NumOpen();
        dup2(ours, STDERR_FILENO);
        SCOPED_TRACE(relay ? "relay" : "no relay");
        EXPECT_EQ(ended, 0u);
        EXPECT_EQ(status, 3u);
        EXPECT_EQ(endedIgnored, 0u);
        EXPECT_EQ(ignored, 3u);
        EXPECT_EQ(after, before) << "no descriptor left open";
    }
    close(null);
    close(ours);
}

TEST_F(Host, RunProgramReportsDeathBySignal) {
    Write("killed", "#!/bin/sh\nkill -KILL $$\n");
    ASSERT_EQ(chmod(Path("killed").c_str(), 0755), 0);
    DWORD status = 0;
    ASSERT_EQ(RunProgramIn(dir.c_str(), "killed", nullptr, 0, &status), 0u);
    EXPECT_EQ(status, 128u + 9u);
}

TEST(Utf16Units, CountedAsWindowsCountsThem) {
    const std::pair<const char *, std::size_t> cases[] = {
        {"", 0},
        {"C:\\Orv", 6},
        {"\xC3\xA9", 1},         // e with an acute accent, two bytes
        {"\xE7\xA8\x8B", 1},     // a CJK letter, three bytes
        {"\xE0\xA0\x80", 1},     // the first three-byte letter, its last byte 0x80
        {"\xF0\x9D\x84\x9E", 2}, // beyond the BMP: a surrogate pair
        {"\xFF", 1},             // no lead byte: one replacement
        {"\xC3", 1},             // cut short at the end
        {"\xE7\xA8x", 2},        // cut short before a letter
        {"\xED\xA0\x80", 3},     // an encoded surrogate is no character
        {"\xC0\xAF", 2},         // an overlong form is none either
    };
    for (auto &[text, expected] : cases)
        EXPECT_EQ(CountUtf16Units(text), expected) << text;
}

TEST(ExitStatus, EveryFailureStaysNonZero) {
    const std::pair<DWORD, int> cases[] = {
        {0, 0},      {1, 1},     {255, 255},         {256, 255},         {1280, 255},
        {50003, 83}, {1060, 36}, {0xFFFFFFFFu, 255}, {0x80000000u, 255},
    };
    for (auto &[error, status] : cases)
        EXPECT_EQ(ProcessExitStatus(error), status) << error;
}

} // namespace
