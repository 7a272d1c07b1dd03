// Service Control Manager calls: Windows' answers, the configuration they
// leave in the registry, and the poll-driven runtime states.
#include "sim_test_support.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include <sys/stat.h>

using namespace quillmar::sim;
using namespace simtest;

namespace {

constexpr DWORD SP = SERVICE_START_PENDING, R = SERVICE_RUNNING, XP = SERVICE_STOP_PENDING,
                S = SERVICE_STOPPED;
constexpr DWORD kMarked = ERROR_SERVICE_MARKED_FOR_DELETE;
const std::string kSvcParams = kServicesKey + "Svc\\Parameters";

class ScmCalls : public simtest::MachineTest {
  protected:
    // The current state, or 1000000 + the error of a failed query.
    DWORD Status(SC_HANDLE s, SERVICE_STATUS *out = nullptr) {
        SERVICE_STATUS st{};
        if (!QueryServiceStatus(s, &st))
            return 1000000 + GetLastError();
        if (out)
            *out = st;
        return st.dwCurrentState;
    }
    DWORD Start(SC_HANDLE s) { return Err(StartServiceA(s, 0, nullptr)); }
    SC_HANDLE Started(const std::string &settings) {
        EXPECT_EQ(Install("Svc"), 0u);
        Write("settings", settings);
        SC_HANDLE s = Service("Svc");
        EXPECT_EQ(Start(s), 0u);
        return s;
    }
    DWORD Stop(SC_HANDLE s, SERVICE_STATUS *st) {
        return Err(ControlService(s, SERVICE_CONTROL_STOP, st));
    }
    void ExpectValues(const std::string &service,
                      std::initializer_list<std::tuple<const char *, DWORD, std::string>> want) {
        for (auto &[name, type, data] : want) {
            DWORD gotType = 0;
            std::string got;
            ASSERT_EQ(Query(kServicesKey + service, name, &gotType, &got), 0) << name;
            EXPECT_EQ(gotType, type) << name;
            EXPECT_EQ(got, data) << name;
        }
    }
};

TEST_F(ScmCalls, CreateWritesTheConfigurationToTheRegistry) {
    DWORD tag = 7;
    SC_HANDLE h = CreateServiceA(Scm(), "OrvEvtLogger", "Orv Event Logger", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                 SERVICE_ERROR_NORMAL, "\"C:\\Program Files\\orv\\log.exe\" -s",
                                 "Orv Group", &tag, nullptr, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(tag, 0u);
    CloseServiceHandle(h);
    ExpectValues("orvevtlogger",
                 {{"Type", REG_DWORD, Dword(0x10)},
                  {"Start", REG_DWORD, Dword(2)},
                  {"ErrorControl", REG_DWORD, Dword(1)},
                  {"ImagePath", REG_EXPAND_SZ, Sz("\"C:\\Program Files\\orv\\log.exe\" -s")},
                  {"DisplayName", REG_SZ, Sz("Orv Event Logger")},
                  {"ObjectName", REG_SZ, Sz("LocalSystem")},
                  {"Group", REG_SZ, Sz("Orv Group")}});
    SERVICE_STATUS st;
    EXPECT_EQ(Status(Service("ORVEVTLOGGER"), &st), S) << "a new service is stopped";
    EXPECT_EQ(st.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
}

TEST_F(ScmCalls, ChangeConfigTouchesOnlyWhatItIsGiven) {
    ASSERT_EQ(Install("Svc", "Shown"), 0u);
    ASSERT_EQ(Change(Service("Svc"), SERVICE_AUTO_START, "new.exe", nullptr, SERVICE_NO_CHANGE,
                     ".\\svcuser"),
              0u);
    ExpectValues("Svc", {{"Type", REG_DWORD, Dword(0x10)},
                         {"Start", REG_DWORD, Dword(2)},
                         {"ErrorControl", REG_DWORD, Dword(1)},
                         {"ImagePath", REG_EXPAND_SZ, Sz("new.exe")},
                         {"DisplayName", REG_SZ, Sz("Shown")},
                         {"ObjectName", REG_SZ, Sz(".\\svcuser")}});
    DWORD tag = 7;
    ASSERT_TRUE(ChangeServiceConfigA(Service("Svc"), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     SERVICE_ERROR_IGNORE, nullptr, "Grp", &tag, "Dep\0", nullptr,
                                     nullptr, nullptr));
    EXPECT_EQ(tag, 0u);
    ExpectValues("Svc", {{"Start", REG_DWORD, Dword(2)},
                         {"ErrorControl", REG_DWORD, Dword(0)},
                         {"Group", REG_SZ, Sz("Grp")},
                         {"DependOnService", REG_MULTI_SZ, std::string("Dep\0\0", 5)}});
}

// Windows 10 version 1709 and later let two services share a display name;
// `displaynames unique` answers as before. Another service's name is refused by both.
class UniqueNames : public ScmCalls, public ::testing::WithParamInterface<bool> {};

TEST_P(UniqueNames, NamesAndDisplayNamesMustBeUnique) {
    const bool unique = GetParam();
    const std::string longest(256, 'n'), tooLong(257, 'n'); // Windows' bound: 256
    const struct {
        const char *name, *display;
        DWORD shared, unique;
    } cases[] = {
        {"alpha", nullptr, ERROR_SERVICE_EXISTS, ERROR_SERVICE_EXISTS},
        {"ALPHA", "Something Else", ERROR_SERVICE_EXISTS, ERROR_SERVICE_EXISTS},
        {"Beta", "alpha display", 0, ERROR_DUPLICATE_SERVICE_NAME},
        {"Gamma", "ALPHA", ERROR_DUPLICATE_SERVICE_NAME, ERROR_DUPLICATE_SERVICE_NAME},
        {"Alpha Display", nullptr, ERROR_DUPLICATE_SERVICE_NAME, ERROR_DUPLICATE_SERVICE_NAME},
        {"Alpha Display", "Its own", ERROR_DUPLICATE_SERVICE_NAME, ERROR_DUPLICATE_SERVICE_NAME},
        {"", nullptr, ERROR_INVALID_NAME, ERROR_INVALID_NAME},
        {"a\\b", nullptr, ERROR_INVALID_NAME, ERROR_INVALID_NAME},
        {longest.c_str(), nullptr, 0, 0},
        {tooLong.c_str(), nullptr, ERROR_INVALID_NAME, ERROR_INVALID_NAME},
        {"Delta", "Delta Display", 0, 0},
        {"Epsilon", "Epsilon", 0, 0},
    };
    Write("settings", unique ? "displaynames unique\n" : "");
    ASSERT_EQ(Install("Alpha", "Alpha Display"), 0u);
    for (const auto &c : cases)
        EXPECT_EQ(Install(c.name, c.display), unique ? c.unique : c.shared) << c.name;
    SC_HANDLE delta = Service("Delta");
    EXPECT_EQ(Change(delta, SERVICE_NO_CHANGE, nullptr, "ALPHA DISPLAY"),
              unique ? ERROR_DUPLICATE_SERVICE_NAME : 0);
    EXPECT_EQ(Change(delta, SERVICE_NO_CHANGE, nullptr, "alpha"),
              DWORD{ERROR_DUPLICATE_SERVICE_NAME});
    EXPECT_EQ(Change(delta, SERVICE_NO_CHANGE, nullptr, "delta display"), 0u)
        << "its own display name is no clash";
}

INSTANTIATE_TEST_SUITE_P(Scm, UniqueNames, ::testing::Bool(),
                         [](const auto &p) { return p.param ? "unique" : "shared"; });

TEST_F(ScmCalls, ADisplayNameIsGivenAsWindowsGivesIt) {
    // service.c, test_get_displayname: the A call asks for twice the length, takes
    // any buffer that holds the text and its NUL, and then leaves the size alone.
    ASSERT_EQ(Install("Alpha", "Alpha Display"), 0u);
    ASSERT_EQ(Install("Gone"), 0u);
    Write("scm/gone.state", "state=STOPPED\ndeleted=1\n");
    const std::string longest(256, 'n');
    const struct {
        SC_HANDLE manager;
        const char *name;
        bool buffer;
        DWORD size, error, sizeAfter;
    } cases[] = {
        {Scm(), "Alpha", false, 0xFFFFFFFFU, ERROR_INSUFFICIENT_BUFFER, 26},
        {Scm(), "alpha", true, 13, ERROR_INSUFFICIENT_BUFFER, 26},
        {Scm(), "ALPHA", true, 14, 0, 14},
        {Scm(), "Alpha", true, 100, 0, 100},
        {Scm(), "Unknown", true, 100, ERROR_SERVICE_DOES_NOT_EXIST, 100},
        {Scm(), "Gone", true, 100, ERROR_SERVICE_DOES_NOT_EXIST, 100},
        {Scm(), "", true, 100, ERROR_INVALID_NAME, 100},
        {Scm(), longest.c_str(), true, 100, ERROR_SERVICE_DOES_NOT_EXIST, 100},
        {nullptr, "Alpha", true, 100, ERROR_INVALID_HANDLE, 100},
    };
    for (const auto &c : cases) {
        char text[100] = "untouched";
        DWORD size = c.size;
        SetLastError(0);
        const BOOL ok = GetServiceDisplayNameA(c.manager, c.name, c.buffer ? text : nullptr, &size);
        EXPECT_EQ(Err(ok), c.error) << c.name << " " << c.size;
        EXPECT_EQ(size, c.sizeAfter) << c.name << " " << c.size;
        EXPECT_STREQ(text, ok ? "Alpha Display" : "untouched") << c.name << " " << c.size;
    }
    EXPECT_FALSE(Exists("registry/services/gone.reg")) << "a marked, stopped service went";
}

TEST_F(ScmCalls, OnlyLocalSystemRunsAnInteractiveService) {
    constexpr DWORD kInteractive = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    EXPECT_EQ(Install("Desk", nullptr, kInteractive, "NT AUTHORITY\\LocalService"),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Service("Desk"), nullptr) << "nothing was created";
    EXPECT_EQ(Install("Desk", nullptr, kInteractive, "localsystem"), 0u);
    EXPECT_EQ(Install("Quiet", nullptr, SERVICE_WIN32_OWN_PROCESS, "NT AUTHORITY\\LocalService"),
              0u);

    // The configuration as it would be after the change decides.
    SC_HANDLE quiet = Service("Quiet");
    SC_HANDLE desk = Service("Desk");
    const struct {
        SC_HANDLE h;
        DWORD type;
        const char *account;
        DWORD want;
    } changes[] = {
        {quiet, kInteractive, nullptr, ERROR_INVALID_PARAMETER},
        {desk, SERVICE_NO_CHANGE, ".\\user", ERROR_INVALID_PARAMETER},
        {quiet, SERVICE_KERNEL_DRIVER, nullptr, 0},
        {quiet, 0x2U, nullptr, 0}, // a file system driver
        {quiet, 0x4U, nullptr, ERROR_INVALID_PARAMETER},
        {quiet, kInteractive, "LocalSystem", 0},
        {desk, SERVICE_WIN32_OWN_PROCESS, ".\\user", 0},
    };
    for (const auto &c : changes)
        EXPECT_EQ(
            Change(c.h, SERVICE_NO_CHANGE, "C:\\svc\\changed.exe", nullptr, c.type, c.account),
            c.want)
            << c.type << " " << (c.account ? c.account : "");
    // So are the error controls: SERVICE_ERROR_CRITICAL (3) is the last.
    EXPECT_FALSE(ChangeServiceConfigA(quiet, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, 4, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    ExpectValues("Desk", {{"ObjectName", REG_SZ, Sz(".\\user")}});
    ExpectValues("Quiet", {{"Type", REG_DWORD, Dword(0x110)}});
}

// Each row leaves "Seeded Display" taken, by a service the index may not
// list, and "Ghost Display" free, though the index may still claim it.
struct IndexState {
    const char *label;
    void (*prepare)(simtest::MachineTest &m);
};

const char *const kIndex = "scm/display-names.index";
const char *const kSeeded = "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Seeded]\n"
                            "\"Type\"=dword:00000010\n\"DisplayName\"=\"Seeded Display\"\n\n";

class IndexStates : public ScmCalls, public ::testing::WithParamInterface<IndexState> {
  protected:
    std::string Entries() {
        std::string text = Read(kIndex);
        std::size_t stamp = text.find("\nstamp ");
        return stamp == text.npos ? "(no stamp) " + text
                                  : text.substr(text.find('\n', stamp + 1) + 1);
    }
};

TEST_P(IndexStates, DisplayNamesAreSeenHoweverTheIndexStands) {
    // A display name in use must be refused for the index to show.
    Write("settings", "displaynames unique\n");
    GetParam().prepare(*this);
    std::vector<std::string> expected = Files("scm");
    EXPECT_EQ(Install("Other", "Seeded Display"), DWORD{ERROR_DUPLICATE_SERVICE_NAME});
    EXPECT_EQ(Install("Other", "Ghost Display"), 0u);
    std::erase(expected, kIndex);
    expected.push_back(kIndex);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Files("scm"), expected) << "the index is one file, and nothing else was touched";
    // Lines put in and taken out around the others, kept in order; a name
    // holding ".tmp." is no file a killed run left behind; a dependency has
    // its line, a group ("+Grp") none.
    EXPECT_EQ(Install("alpha.tmp.1"), 0u);
    EXPECT_EQ(Install("Q", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, "+Grp\0y\0"), 0u);
    EXPECT_EQ(Install("Zulu", "zulu display"), 0u);
    SC_HANDLE other = Service("Other");
    EXPECT_EQ(Change(other, SERVICE_NO_CHANGE, nullptr, "Middle Display"), 0u);
    Close(other);
    EXPECT_EQ(Remove("Seeded"), 0u);
    const std::string kept = Entries();
    EXPECT_EQ(kept, "%>y\tq\nalpha.tmp.1\talpha.tmp.1\nMiddle Display\tother\nQ\tq\ty\n"
                    "zulu display\tzulu\n");
    ASSERT_EQ(std::remove(Path(kIndex).c_str()), 0);
    const std::string leftover = "registry/services/q.reg.tmp.7.00000000000000ff";
    Write(leftover, "");
    EXPECT_EQ(Install("Third", "MIDDLE display"), DWORD{ERROR_DUPLICATE_SERVICE_NAME});
    EXPECT_EQ(Entries(), kept) << "as rebuilt from the service files";
    EXPECT_TRUE(Exists("registry/services/alpha.tmp.1.reg"));
    EXPECT_FALSE(Exists(leftover)) << "what a killed run left behind goes";
    EXPECT_EQ(Install("Third", "Seeded Display"), 0u);
    EXPECT_EQ(Install("Fourth", "Ghost Display"), 0u);
    // Found by bisection right after the line before it.
    EXPECT_EQ(Install("Fifth", "GHOST display"), DWORD{ERROR_DUPLICATE_SERVICE_NAME});
}

INSTANTIATE_TEST_SUITE_P(
    Scm, IndexStates,
    ::testing::Values(
        IndexState{"files_changed_by_hand",
                   [](simtest::MachineTest &m) {
                       ASSERT_EQ(m.Install("Ghost", "Ghost Display"), 0u);
                       ASSERT_EQ(std::remove(m.Path("registry/services/ghost.reg").c_str()), 0);
                       m.Write("registry/services/seeded.reg", kSeeded);
                   }},
        IndexState{"index_damaged",
                   [](simtest::MachineTest &m) {
                       ASSERT_EQ(m.Install("Seeded", "Seeded Display"), 0u);
                       m.Write(kIndex, "rubbish\n");
                   }},
        // A line that lost its tab is no entry: the service files are read instead.
        IndexState{"index_line_without_its_tab",
                   [](simtest::MachineTest &m) {
                       ASSERT_EQ(m.Install("Seeded", "Seeded Display"), 0u);
                       std::string index = m.Read(kIndex);
                       const std::size_t tab = index.find("Seeded Display\t");
                       ASSERT_NE(tab, index.npos);
                       m.Write(kIndex, index.erase(tab + 14, 1));
                   }},
        // An edit in place goes unseen until a change finds the service's line
        // missing; that index must not outlive the change.
        IndexState{"index_found_wrong_by_a_change",
                   [](simtest::MachineTest &m) {
                       ASSERT_EQ(m.Install("Seeded"), 0u);
                       m.Write("registry/services/seeded.reg", kSeeded);
                       SC_HANDLE s = m.Service("Seeded");
                       ASSERT_EQ(Change(s, SERVICE_NO_CHANGE, nullptr, "Interim Display"), 0u);
                       EXPECT_FALSE(m.Exists(kIndex)) << "left behind, wrong";
                       ASSERT_EQ(Change(s, SERVICE_NO_CHANGE, nullptr, "Seeded Display"), 0u);
                       ASSERT_TRUE(m.Close(s));
                   }},
        IndexState{"index_removed",
                   [](simtest::MachineTest &m) {
                       ASSERT_EQ(m.Install("Seeded", "Seeded Display"), 0u);
                       ASSERT_EQ(std::remove(m.Path(kIndex).c_str()), 0);
                   }},
        // Files in scm/ that look like an index and claim the ghost but not the
        // seeded service, beside a stamp that matches: only display-names.index is ever read.
        IndexState{"stray_files_in_scm",
                   [](simtest::MachineTest &m) {
                       m.Write("registry/services/seeded.reg", kSeeded);
                       struct stat st;
                       ASSERT_EQ(stat(m.Path("registry/services").c_str(), &st), 0);
                       m.Write("scm/display-names.stamp",
                               std::to_string(st.st_ino) + " " + std::to_string(st.st_mtim.tv_sec) +
                                   "." + std::to_string(st.st_mtim.tv_nsec) + " " +
                                   std::to_string(st.st_ctim.tv_sec) + "." +
                                   std::to_string(st.st_ctim.tv_nsec) + "\n");
                       for (int b = 0; b < 128; ++b)
                           m.Write("scm/display-names/" + std::to_string(b),
                                   "# quillmar simulated machine: services by display name (name "
                                   "display)\nghost Ghost%20Display\n");
                   }}),
    ByLabel());

TEST_F(ScmCalls, AKeyWithoutTypeIsNotAService) {
    ASSERT_EQ(Set(kServicesKey + "Seeded\\Parameters", "Keep", REG_SZ, Sz("me")), 0);
    EXPECT_EQ(OpenServiceA(Scm(), "Seeded", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    ASSERT_EQ(Install("SEEDED"), 0u);
    EXPECT_EQ(Query(kServicesKey + "seeded\\parameters", "Keep"), 0);
    EXPECT_NE(Read("registry/services/seeded.reg").find("\\Services\\Seeded]"), std::string::npos)
        << "the existing key keeps its spelling";
    ASSERT_EQ(Set(kServicesKey + "Seeded", "Type", REG_SZ, Sz("16")), 0);
    SERVICE_STATUS st;
    EXPECT_EQ(Status(Service("Seeded"), &st), S) << "a Type of any size makes a service";
    EXPECT_EQ(st.dwServiceType, SERVICE_WIN32_OWN_PROCESS) << "one not four bytes long reads so";
}

TEST_F(ScmCalls, HandlesNeedTheRightAccess) {
    ASSERT_EQ(Install("Svc"), 0u);
    SERVICE_STATUS st;
    const std::pair<DWORD, std::function<DWORD(SC_HANDLE)>> cases[] = {
        {SERVICE_QUERY_STATUS, [&](SC_HANDLE h) { return Err(QueryServiceStatus(h, &st)); }},
        {SERVICE_START, [&](SC_HANDLE h) { return Start(h); }},
        {SERVICE_STOP, [&](SC_HANDLE h) { return Stop(h, &st); }},
        {SERVICE_CHANGE_CONFIG, [](SC_HANDLE h) { return Change(h, SERVICE_DISABLED); }},
        {DELETE, [](SC_HANDLE h) { return Err(DeleteService(h)); }},
    };
    for (const auto &[right, call] : cases) {
        SC_HANDLE h = Service("Svc", SERVICE_ALL_ACCESS & ~right);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(call(h), DWORD{ERROR_ACCESS_DENIED}) << right;
    }
    ASSERT_TRUE(CloseServiceHandle(scm));
    scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_EQ(Install("New"), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_NE(Service("Svc", SERVICE_QUERY_STATUS), nullptr)
        << "opening a service needs only the connect right";
}

TEST_F(ScmCalls, ForeignAndClosedHandlesAreInvalid) {
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE closed = OpenServiceA(Scm(), "Svc", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(CloseServiceHandle(closed));
    SC_HANDLE garbage = reinterpret_cast<SC_HANDLE>(static_cast<std::uintptr_t>(0xdeadbeef));
    SERVICE_STATUS st;
    for (SC_HANDLE h : {SC_HANDLE(nullptr), garbage, closed, Scm()}) {
        SetLastError(0);
        EXPECT_EQ(Err(QueryServiceStatus(h, &st)), DWORD{ERROR_INVALID_HANDLE});
        SetLastError(0);
        EXPECT_EQ(Start(h), DWORD{ERROR_INVALID_HANDLE});
        SetLastError(0);
        EXPECT_EQ(Err(DeleteService(h)), DWORD{ERROR_INVALID_HANDLE});
    }
    EXPECT_EQ(OpenServiceA(closed, "Svc", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(Err(CloseServiceHandle(closed)), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(ScmCalls, StartAndStopAnswerAsWindowsDoes) {
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE s = Service("Svc");
    SERVICE_STATUS st;
    EXPECT_EQ(Stop(s, &st), DWORD{ERROR_SERVICE_NOT_ACTIVE});
    ASSERT_EQ(Start(s), 0u);
    EXPECT_EQ(Start(s), DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    ASSERT_EQ(Status(s, &st), R);
    EXPECT_EQ(st.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(st.dwCheckPoint, 0u);
    ASSERT_EQ(Stop(s, &st), 0u);
    EXPECT_EQ(st.dwCurrentState, S);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_EQ(Status(s), S);
    ASSERT_EQ(Change(s, SERVICE_DISABLED), 0u);
    EXPECT_EQ(Start(s), DWORD{ERROR_SERVICE_DISABLED});
}

struct Behaviour {
    const char *label;
    const char *settings;
    bool stopFirst;           // run the service, then stop it
    DWORD atControl;          // state ControlService reports (stopFirst only)
    std::vector<DWORD> polls; // states the next status queries report
    DWORD lastExit = 0;       // the exit code the last of them reports
};

class Polls : public ScmCalls, public ::testing::WithParamInterface<Behaviour> {};

TEST_P(Polls, StatesAdvanceOnePerQuery) {
    const Behaviour &b = GetParam();
    SC_HANDLE s = Started(b.settings);
    if (b.stopFirst) {
        ASSERT_EQ(Status(s), R);
        SERVICE_STATUS st;
        ASSERT_EQ(Stop(s, &st), 0u);
        EXPECT_EQ(st.dwCurrentState, b.atControl);
    }
    std::vector<DWORD> seen;
    SERVICE_STATUS last{};
    for (std::size_t i = 0; i < b.polls.size(); ++i)
        seen.push_back(Status(s, &last));
    EXPECT_EQ(seen, b.polls);
    EXPECT_EQ(last.dwWin32ExitCode, b.lastExit);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Polls,
    ::testing::Values(
        Behaviour{"instant", "", false, 0, {R, R}},
        Behaviour{"start_2", "service svc start 2", false, 0, {SP, SP, R, R}},
        Behaviour{"start_never", "service Svc start never", false, 0, {SP, SP, SP, SP, SP, SP}},
        Behaviour{
            "start_dies", "service Svc start dies", false, 0, {SP, S, S}, ERROR_PROCESS_ABORTED},
        Behaviour{"other_service", "service Else start never", false, 0, {R}},
        Behaviour{"stop_instant", "", true, S, {S}},
        Behaviour{"stop_2", "service Svc stop 2", true, XP, {XP, XP, S, S}},
        Behaviour{"stop_never", "service Svc stop never", true, XP, {XP, XP, XP, XP}}),
    ByLabel());

TEST_F(ScmCalls, PendingServicesRefuseControlsAndReportProgress) {
    SC_HANDLE s = Started("service Svc start 3\n");
    SERVICE_STATUS st;
    EXPECT_EQ(Start(s), DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    EXPECT_EQ(Stop(s, &st), DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
    EXPECT_EQ(st.dwCurrentState, SP);
    std::vector<DWORD> checkpoints;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Status(s, &st), SP);
        EXPECT_GT(st.dwWaitHint, 0u);
        EXPECT_EQ(st.dwControlsAccepted, 0u);
        checkpoints.push_back(st.dwCheckPoint);
    }
    EXPECT_EQ(checkpoints, (std::vector<DWORD>{1, 2, 3}));
}

TEST_F(ScmCalls, ADyingServiceReportsItsExit) {
    SC_HANDLE s = Started("service Svc start dies\n");
    SERVICE_STATUS st;
    Status(s, &st);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    ASSERT_EQ(Status(s, &st), S);
    EXPECT_EQ(st.dwWin32ExitCode, DWORD{ERROR_PROCESS_ABORTED});
    EXPECT_EQ(Start(s), 0u) << "it can be started again";
    // The largest exit code a state file can hold reads back whole.
    Write("scm/svc.state", "state=STOPPED\nexitcode=4294967295\n");
    ASSERT_EQ(Status(s, &st), S);
    EXPECT_EQ(st.dwWin32ExitCode, 0xFFFFFFFFu);
}

TEST_F(ScmCalls, RuntimeStateOutlivesTheProcessAndFollowsTheRegistry) {
    Started("");
    EXPECT_NE(Read("scm/svc.state").find("state=RUNNING\n"), std::string::npos)
        << Read("scm/svc.state");

    // A state file left from a service that no longer exists means nothing.
    Write("scm/ghost.state", "state=RUNNING\n");
    ASSERT_EQ(Install("Ghost"), 0u);
    EXPECT_FALSE(Exists("scm/ghost.state"));
    EXPECT_EQ(Status(Service("Ghost")), S);
    // One that cannot be removed must not pass for the new service's state.
    ASSERT_TRUE(std::filesystem::create_directories(Path("scm/stuck.state/inside")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Install("Stuck"), DWORD{ERROR_CANTWRITE});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot remove"), std::string::npos);
}

// DeleteService only marks a service; it goes once it has stopped and this
// process holds no handle on it.
struct Deletion {
    const char *label;
    const char *settings;
    bool start;          // started before the delete
    bool stop;           // and sent a STOP
    bool stopAfter;      // sent a STOP after the delete
    int polls;           // status queries through the deleting handle afterwards
    DWORD last;          // what the last of them reports
    bool goneAfterClose; // removed when the handles are closed
};

class Deleting : public ScmCalls, public ::testing::WithParamInterface<Deletion> {};

TEST_P(Deleting, TheServiceGoesOnlyOnceStoppedAndClosed) {
    const Deletion &c = GetParam();
    ASSERT_EQ(Install("Svc"), 0u);
    ASSERT_EQ(Set(kSvcParams, "p", REG_SZ, Sz("v")), 0);
    Write("settings", c.settings);
    SC_HANDLE s = Service("Svc");
    ASSERT_NE(s, nullptr);
    if (c.start) {
        ASSERT_EQ(Start(s), 0u);
    }
    SERVICE_STATUS st;
    if (c.stop) {
        ASSERT_EQ(Stop(s, &st), 0u);
    }
    ASSERT_TRUE(DeleteService(s));

    EXPECT_NE(Read("scm/svc.state").find("\ndeleted=1\n"), std::string::npos)
        << Read("scm/svc.state");
    SC_HANDLE other = Service("SVC");
    ASSERT_NE(other, nullptr) << "still listed while this process holds it";
    EXPECT_EQ(Err(DeleteService(s)), kMarked) << "a second delete, same handle";
    EXPECT_EQ(Err(DeleteService(other)), kMarked) << "a second delete, another handle";
    EXPECT_EQ(Change(other, SERVICE_DISABLED), kMarked);
    EXPECT_EQ(Start(other), kMarked);
    EXPECT_EQ(Install("svc"), kMarked);
    if (c.stopAfter) {
        EXPECT_EQ(Stop(other, &st), 0u) << "a marked service can be stopped";
    }
    DWORD last = 0;
    for (int i = 0; i < c.polls; ++i)
        last = Status(s);
    if (c.polls) {
        EXPECT_EQ(last, c.last);
    }
    EXPECT_TRUE(Exists("registry/services/svc.reg")) << "not while a handle is open";
    ASSERT_TRUE(Close(s));
    EXPECT_TRUE(Exists("registry/services/svc.reg")) << "not while another handle is open";
    ASSERT_TRUE(Close(other));

    if (c.goneAfterClose) {
        EXPECT_FALSE(Exists("registry/services/svc.reg"));
        EXPECT_FALSE(Exists("scm/svc.state"));
        EXPECT_EQ(Service("Svc"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
        EXPECT_EQ(Install("Svc"), 0u) << "the name is free again";
        EXPECT_EQ(Query(kSvcParams, "p"), ERROR_FILE_NOT_FOUND) << "Parameters went with it";
    } else {
        SC_HANDLE again = Service("Svc");
        ASSERT_NE(again, nullptr) << "listed until it stops";
        EXPECT_LT(Status(again), 1000000u) << "and answers status queries";
        EXPECT_EQ(Err(DeleteService(again)), kMarked) << "the mark outlives the handles";
        EXPECT_EQ(Install("Svc"), kMarked);
        EXPECT_EQ(Query(kSvcParams, "p"), 0) << "its key stays";
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, Deleting,
    ::testing::Values(
        Deletion{"stopped", "", false, false, false, 0, 0, true},
        Deletion{"stopped_and_queried", "", false, false, false, 2, S, true},
        Deletion{"stopped_by_the_stop", "", true, true, false, 1, S, true},
        Deletion{"running", "", true, false, false, 2, R, false},
        Deletion{"running_then_stopped", "", true, false, true, 1, S, true},
        Deletion{"stop_never", "service Svc stop never", true, true, false, 3, XP, false},
        Deletion{"stop_2_completed", "service Svc stop 2", true, true, false, 3, S, true},
        Deletion{"stop_2_after_the_delete", "service Svc stop 2", true, false, true, 3, S, true},
        Deletion{"stop_2_after_not_yet", "service Svc stop 2", true, false, true, 2, XP, false},
        Deletion{"start_never", "service Svc start never", true, false, false, 2, SP, false},
        Deletion{"start_dies", "service Svc start dies", true, false, false, 2, S, true}),
    ByLabel());

TEST_F(ScmCalls, AMarkedServiceGoesWhenALaterRunSeesItStop) {
    SC_HANDLE s = Started("service Svc stop 3\n");
    SERVICE_STATUS st;
    ASSERT_EQ(Stop(s, &st), 0u);
    ASSERT_TRUE(DeleteService(s));
    ASSERT_TRUE(Close(s)); // the run that deleted it ends here

    SC_HANDLE later = Service("Svc", SERVICE_QUERY_STATUS);
    ASSERT_NE(later, nullptr);
    std::vector<DWORD> seen;
    for (int i = 0; i < 4; ++i)
        seen.push_back(Status(later));
    EXPECT_EQ(seen, (std::vector<DWORD>{XP, XP, XP, S}));
    EXPECT_TRUE(Exists("registry/services/svc.reg")) << "held by the handle that saw the stop";
    ASSERT_TRUE(Close(later));
    EXPECT_FALSE(Exists("registry/services/svc.reg"));
    EXPECT_FALSE(Exists("scm/svc.state"));
}

TEST_F(ScmCalls, AHandleOnAServiceRemovedElsewhereAnswersMarkedForDelete) {
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE s = Service("Svc");
    // Another process removed it: handles are not shared between processes.
    ASSERT_EQ(std::remove(Path("registry/services/svc.reg").c_str()), 0);
    SERVICE_STATUS st;
    EXPECT_EQ(Err(QueryServiceStatus(s, &st)), kMarked);
    EXPECT_EQ(Err(DeleteService(s)), kMarked);
    EXPECT_EQ(Install("Svc"), 0u);
}

// A service marked for deletion while another program holds it (`service <Name>
// held`), or as a killed run leaves it, goes once nothing holds it and a call
// finds it stopped and closed.
struct Holding {
    const char *label;
    bool held;      // held by another program; else left marked and stopped
    bool ownHandle; // this process holds a handle too, closed once the holder lets go
    bool create;    // the call after that is a create of the name, else an open
};

class Held : public ScmCalls, public ::testing::WithParamInterface<Holding> {};

TEST_P(Held, AMarkedServiceGoesOnceNothingHoldsIt) {
    const Holding &c = GetParam();
    ASSERT_EQ(Install("Svc"), 0u);
    ASSERT_EQ(Set(kSvcParams, "p", REG_SZ, Sz("v")), 0);
    // More keys than a file's keys are walked, so that its index is in use.
    for (int i = 0; i < 17; ++i)
        ASSERT_EQ(Set(kSvcParams + "\\" + std::to_string(i), "p", REG_SZ, Sz("v")), 0);
    if (c.held) {
        Write("settings", "service svc held\n");
        SC_HANDLE own = c.ownHandle ? Service("Svc") : nullptr;
        ASSERT_EQ(Remove("Svc"), 0u);
        SC_HANDLE again = Service("Svc", SERVICE_ALL_ACCESS);
        ASSERT_NE(again, nullptr) << "a marked service still opens while it is held";
        EXPECT_EQ(Change(again, SERVICE_NO_CHANGE, "C:\\new.exe"), kMarked);
        Close(again);
        EXPECT_EQ(Install("Svc"), kMarked) << "its name stays taken";
        EXPECT_TRUE(Exists("registry/services/svc.reg"));
        Write("settings", "");
        if (c.ownHandle) {
            EXPECT_TRUE(Exists("registry/services/svc.reg")) << "our own handle holds it still";
            ASSERT_TRUE(Close(own));
        }
    } else {
        Write("scm/svc.state", "state=STOPPED\ndeleted=1\n");
    }
    if (c.create) {
        EXPECT_EQ(Install("Svc"), 0u) << "made afresh";
        EXPECT_EQ(Query(kSvcParams, "p"), ERROR_FILE_NOT_FOUND) << "the new service starts afresh";
        EXPECT_EQ(Query(kSvcParams + "\\16", "p"), ERROR_FILE_NOT_FOUND);
        EXPECT_FALSE(Exists("scm/svc.state"));
        ASSERT_EQ(Remove("Svc"), 0u);
    } else if (!c.ownHandle) {
        EXPECT_EQ(Service("Svc"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    }
    EXPECT_FALSE(Exists("registry/services/svc.reg"));
    EXPECT_FALSE(Exists("scm/svc.state"));
}

INSTANTIATE_TEST_SUITE_P(Scm, Held,
                         ::testing::Values(Holding{"left_marked_open", false, false, false},
                                           Holding{"left_marked_create", false, false, true},
                                           Holding{"next_open", true, false, false},
                                           Holding{"next_create", true, false, true},
                                           Holding{"last_close", true, true, false}),
                         ByLabel());

// A stop is refused while a dependent is not stopped, wherever the dependency
// came from; the index finds the dependents: a stop need not read every service's file.
struct Dependent {
    const char *label;
    const char *dependsOn;      // the dependent's DependOnService, as a .reg file holds it
    const char *dependentState; // its state file; nullptr: stopped
    bool byHand;                // its .reg file written by hand, not by CreateServiceA
    DWORD want;
    const char *name = "Addon"; // the dependent's, when created
    bool bareInIndex = false;   // the index edited by hand: its "%25" written as a bare '%'
};

const char *const kSvc = "hex(7):53,00,76,00,63,00,00,00,00,00";

class Dependents : public ScmCalls, public ::testing::WithParamInterface<Dependent> {};

TEST_P(Dependents, AStopIsRefusedWhileADependentIsNotStopped) {
    const Dependent &c = GetParam();
    ASSERT_EQ(Install("Svc"), 0u);
    ASSERT_EQ(Install("Svc2"), 0u);
    // A stopped dependent the index lists first: the one that decides comes after it.
    ASSERT_EQ(Install("A0", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, "Svc\0"), 0u);
    const std::string dependsOn = std::string("\"DependOnService\"=") + c.dependsOn + "\n";
    if (c.byHand) {
        Write("registry/services/addon.reg",
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Addon]\n"
              "\"Type\"=dword:00000010\n" +
                  dependsOn + "\n");
    } else {
        ASSERT_EQ(Install(c.name, nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, "Svc\0"), 0u);
        EXPECT_NE(Read(ServiceRegFile(c.name)).find(dependsOn), std::string::npos);
    }
    if (c.dependentState)
        Write(ServiceStateFile(c.name), c.dependentState);
    if (c.bareInIndex) {
        std::string index = Read(kIndex);
        for (std::size_t at; (at = index.find("%25")) != index.npos;)
            index.erase(at + 1, 2);
        Write(kIndex, index);
    }
    SC_HANDLE s = Service("Svc");
    ASSERT_EQ(Start(s), 0u);
    SERVICE_STATUS st;
    EXPECT_EQ(Stop(s, &st), c.want);
    EXPECT_EQ(Status(s), c.want ? R : S);
}

INSTANTIATE_TEST_SUITE_P(
    Scm, Dependents,
    ::testing::Values(
        Dependent{"running", kSvc, "state=RUNNING\n", false, ERROR_DEPENDENT_SERVICES_RUNNING},
        Dependent{"start_pending", kSvc,
                  "state=START_PENDING\npolls=never\nthen=RUNNING\ncheckpoint=1\n", false,
                  ERROR_DEPENDENT_SERVICES_RUNNING},
        Dependent{"stopped", kSvc, nullptr, false, 0},
        Dependent{"written_by_hand", "hex(7):78,00,00,00,53,00,56,00,43,00,00,00,00,00",
                  "state=RUNNING\n", true, ERROR_DEPENDENT_SERVICES_RUNNING},
        Dependent{"another_service", "hex(7):53,00,76,00,63,00,32,00,00,00,00,00",
                  "state=RUNNING\n", true, 0},
        Dependent{"a_group_of_that_name", "hex(7):2b,00,53,00,76,00,63,00,00,00,00,00",
                  "state=RUNNING\n", true, 0},
        // Bytes the index writes as %XX, each hex digit and letter the escape can hold.
        Dependent{"a_name_the_index_escapes", kSvc, "state=RUNNING\n", false,
                  ERROR_DEPENDENT_SERVICES_RUNNING, "Dep%\x10\x19\x1A\x7F"},
        // A '%' before no hex digits is the name's own.
        Dependent{"a_bare_percent_in_the_index", kSvc, "state=RUNNING\n", false,
                  ERROR_DEPENDENT_SERVICES_RUNNING, "Dep%zz", true},
        Dependent{"a_damaged_file", "hex(7):zz", "state=RUNNING\n", true, ERROR_REGISTRY_CORRUPT},
        Dependent{"a_damaged_state", kSvc, "state=SIDEWAYS\n", false, ERROR_BADDB}),
    ByLabel());

} // namespace
