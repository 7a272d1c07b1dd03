// The store under damage, contention and sudden death.
#include "sim_test_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmar::sim;
using simtest::Sz;

namespace {

class Store : public simtest::MachineTest {};

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kSvcKey = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Svc]\n";

struct Damage {
    const char *label;
    const char *file;
    std::string content;
    DWORD code;
    const char *message; // expected after "<path>: "
};

void PrintTo(const Damage &c, std::ostream *os) {
    *os << c.label;
}

class Corrupt : public Store, public ::testing::WithParamInterface<Damage> {};

// Every call that meets the damage fails the same way and writes nothing.
TEST_P(Corrupt, CallsFailAndLeaveTheStoreAsItWas) {
    const Damage &d = GetParam();
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE s = Service("Svc");
    ASSERT_NE(s, nullptr);
    if (std::string(d.file).empty()) {
    } else if (d.content == "<dir>") {
        std::remove(Path(d.file).c_str());
        ASSERT_EQ(mkdir(Path(d.file).c_str(), 0777), 0);
    } else {
        Write(d.file, d.content);
    }
    std::vector<std::pair<std::string, std::string>> before;
    for (const std::string &f : Files())
        before.emplace_back(f, Read(f));

    testing::internal::CaptureStderr();
    SERVICE_STATUS st;
    std::vector<DWORD> codes;
    SetLastError(0);
    codes.push_back(StartServiceA(s, 0, nullptr) ? 0 : GetLastError());
    codes.push_back(QueryServiceStatus(s, &st) ? 0 : GetLastError());
    codes.push_back(
        static_cast<DWORD>(Set("SYSTEM\\CurrentControlSet\\Services\\Svc", "x", REG_SZ, Sz("1"))));
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(codes, std::vector<DWORD>(3, d.code));
    EXPECT_EQ(err, "quillmar: simulated machine: " + Path(d.file) + ": " + d.message + "\n");
    std::vector<std::pair<std::string, std::string>> after;
    for (const std::string &f : Files())
        after.emplace_back(f, Read(f));
    EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, Corrupt,
    ::testing::Values(
        Damage{"garbage", "registry/services/svc.reg",
               "\x7f"
               "ELF\x01\x01",
               ERROR_REGISTRY_CORRUPT,
               "line 1: missing the header line \"Windows Registry Editor Version 5.00\""},
        Damage{"truncated", "registry/services/svc.reg",
               kHeader + kSvcKey + "\"Type\"=dword:10\n[HKEY_LOCAL_MA", ERROR_REGISTRY_CORRUPT,
               "line 5: key line without its closing ']'"},
        Damage{"cut_string", "registry/services/svc.reg",
               kHeader + kSvcKey + "\"Type\"=dword:10\n\"X\"=\"ab", ERROR_REGISTRY_CORRUPT,
               "line 5: string without its closing quote"},
        Damage{"misplaced_key", "registry/services/svc.reg",
               kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n", ERROR_REGISTRY_CORRUPT,
               "key [HKEY_LOCAL_MACHINE\\SOFTWARE\\X] belongs in registry/software.reg"},
        Damage{"directory", "registry/services/svc.reg", "<dir>", ERROR_CANTREAD,
               "is a directory, expected a file"},
        Damage{"settings", "settings", "service Svc start\n", ERROR_BADDB,
               "line 1: expected: service <Name> start <N|never|dies>, service <Name> stop "
               "<N|never|ignored> or service <Name> held"}),
    simtest::ByLabel());

TEST_F(Store, CorruptStateFileIsReportedNotReset) {
    ASSERT_EQ(Install("Svc"), 0u);
    Write("scm/svc.state", "state=SIDEWAYS\n");
    SERVICE_STATUS st;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(QueryServiceStatus(Service("Svc"), &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADDB));
    EXPECT_FALSE(StartServiceA(Service("Svc"), 0, nullptr));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("svc.state: line 1:"), std::string::npos);
    EXPECT_EQ(Read("scm/svc.state"), "state=SIDEWAYS\n");
}

TEST_F(Store, UnreadableFilesAreAccessDenied) {
    // Root reads everything: under root the call runs in a child that has
    // dropped to nobody, who must then reach the machine and take its lock.
    const struct passwd *nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    if (geteuid() == 0 && !nobody)
        GTEST_SKIP() << "runs as root, and there is no user nobody to drop to";
    ASSERT_EQ(Install("Svc"), 0u);
    ASSERT_EQ(chmod(Path("registry/services/svc.reg").c_str(), 0), 0);
    if (nobody) {
        for (const std::string &d : {Path(".."), dir, Path("registry"), Path("registry/services")})
            ASSERT_EQ(chmod(d.c_str(), 0755), 0) << d;
        ASSERT_EQ(chmod(Path("lock").c_str(), 0666), 0);
    }
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The exit status says what happened: the error, 100 for a success,
        // 101 for a child that could not drop (it says why).
        dup2(err[1], 2);
        if (nobody && (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                       setuid(nobody->pw_uid) != 0)) {
            std::fprintf(stderr, "cannot drop to nobody: %s", std::strerror(errno));
            _exit(101);
        }
        SC_HANDLE h = OpenServiceA(Scm(), "Svc", SERVICE_ALL_ACCESS);
        DWORD code = h ? 0 : GetLastError();
        std::fprintf(stderr, "OpenServiceA: error %lu\n", static_cast<unsigned long>(code));
        _exit(h ? 100 : static_cast<int>(std::min<DWORD>(code, 99)));
    }
    close(err[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) != 0;)
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << text;
    if (WEXITSTATUS(status) == 101)
        GTEST_SKIP() << text;
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ERROR_ACCESS_DENIED)) << text;
    EXPECT_NE(text.find("svc.reg: cannot read: Permission denied"), std::string::npos) << text;
}

TEST_F(Store, OneServicesDamageDoesNotReachAnother) {
    ASSERT_EQ(Install("Good"), 0u);
    Write("registry/services/bad.reg", "rubbish");
    testing::internal::CaptureStderr();
    SC_HANDLE s = Service("Good");
    ASSERT_NE(s, nullptr);
    SERVICE_STATUS st;
    EXPECT_TRUE(StartServiceA(s, 0, nullptr));
    EXPECT_TRUE(QueryServiceStatus(s, &st));
    EXPECT_EQ(Set("SYSTEM\\CurrentControlSet\\Services\\Good\\Parameters", "x", REG_SZ, Sz("1")),
              0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Store, ACreateReadsOnlyTheFilesItNeeds) {
    ASSERT_EQ(Install("Other"), 0u);
    Write("registry/services/other.reg", "rubbish"); // in place: the directory does not change
    testing::internal::CaptureStderr();
    EXPECT_EQ(Install("New", "New Display"), 0u);
    EXPECT_EQ(OpenServiceA(Scm(), "Other", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REGISTRY_CORRUPT));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("other.reg: line 1:"), std::string::npos);
}

TEST_F(Store, MachineDirectoryIsFoundAndMade) {
    std::string base = std::string(dir, 0, dir.rfind('/'));
    const char *home = getenv("HOME");
    std::string savedHome = home ? home : "";
    // made: the first directory the case makes ("" when all are there).
    struct Case {
        std::string machine, state, home, expect, made;
    } cases[] = {
        {"", "", base + "/h", base + "/h/.local/state/quillmar/machine", base + "/h"},
        {"", base + "/x", base + "/h", base + "/x/quillmar/machine", base + "/x"},
        {"", "relative/ignored", base + "/h", base + "/h/.local/state/quillmar/machine", ""},
        {base + "/m/deep/", "", base + "/h", base + "/m/deep", base + "/m"},
    };
    auto modeOf = [](const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
    };
    for (Case &c : cases) {
        setenv("QUILLMAR_MACHINE", c.machine.c_str(), 1);
        setenv("XDG_STATE_HOME", c.state.c_str(), 1);
        setenv("HOME", c.home.c_str(), 1);
        std::string got;
        EXPECT_EQ(MachineDir(got), 0);
        EXPECT_EQ(got, c.expect);
        struct stat st;
        EXPECT_TRUE(stat(c.expect.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << c.expect;
        if (c.made.empty())
            continue;
        // Everything made is the owner's alone: the directories on the way
        // (XDG's ~/.local and ~/.local/state too), the machine's own, its
        // lock and its files.
        ASSERT_EQ(Install("Svc"), 0u);
        for (std::size_t end = c.made.size(); end != std::string::npos;
             end = c.expect.find('/', end + 1))
            EXPECT_EQ(modeOf(c.expect.substr(0, end)), 0700u) << c.expect.substr(0, end);
        for (const char *d : {"", "/registry", "/registry/services", "/scm"})
            EXPECT_EQ(modeOf(c.expect + d), 0700u) << c.expect + d;
        for (const char *f : {"/lock", "/registry/services/svc.reg", "/scm/display-names.index"})
            EXPECT_EQ(modeOf(c.expect + f), 0600u) << c.expect + f;
    }
    setenv("HOME", savedHome.c_str(), 1);
    unsetenv("XDG_STATE_HOME");

    Write("../plainfile", "x");
    setenv("QUILLMAR_MACHINE", (base + "/plainfile/machine").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTREAD));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("quillmar: simulated machine: "),
              std::string::npos);
    setenv("QUILLMAR_MACHINE", dir.c_str(), 1);
}

// Children of a test process must leave without running its atexit work.
void ChildExit(bool ok) {
    _exit(ok ? 0 : 1);
}

TEST_F(Store, ConcurrentWritersLoseNothing) {
    constexpr int kProcs = 4, kEach = 40;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < kEach; ++i)
                ok &= Set("SOFTWARE\\Shared", "p" + std::to_string(p) + "_" + std::to_string(i),
                          REG_SZ, Sz(std::to_string(i))) == 0;
            ok &= Install("Svc" + std::to_string(p)) == 0;
            ChildExit(ok);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcs; ++p) {
        for (int i = 0; i < kEach; ++i) {
            DWORD type;
            std::string data;
            EXPECT_EQ(Query("SOFTWARE\\Shared", "p" + std::to_string(p) + "_" + std::to_string(i),
                            &type, &data),
                      0);
        }
        EXPECT_NE(Service("svc" + std::to_string(p)), nullptr);
    }
}

TEST_F(Store, AKilledWriterLeavesAWholeFile) {
    std::mt19937 rng(12345);
    std::size_t lastCount = 0;
    for (int round = 0; round < 15; ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; ++i)
                Set("SOFTWARE\\Crash", "r" + std::to_string(round) + "_" + std::to_string(i),
                    REG_SZ, Sz(std::string(static_cast<std::size_t>(i % 50) * 100, 'c')));
        }
        usleep(std::uniform_int_distribution<useconds_t>(2000, 30000)(rng));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);

        std::string text = Read("registry/software.reg");
        if (text.empty())
            continue; // killed before the first write landed
        RegDoc doc;
        TextError err;
        ASSERT_TRUE(ParseRegText(text, doc, err))
            << "round " << round << " line " << err.line << ": " << err.what;
        const RegKey *k = doc.FindKey({"SOFTWARE", "Crash"});
        ASSERT_NE(k, nullptr);
        EXPECT_GE(k->values.size(), lastCount) << "nothing already written is lost";
        lastCount = k->values.size();
    }
    EXPECT_GT(lastCount, 0u);
    DWORD type;
    std::string data;
    EXPECT_EQ(Set("SOFTWARE\\Crash", "after", REG_SZ, Sz("ok")), 0)
        << "stale temp files and locks are harmless";
    EXPECT_EQ(Query("SOFTWARE\\Crash", "after", &type, &data), 0);
}

} // namespace
