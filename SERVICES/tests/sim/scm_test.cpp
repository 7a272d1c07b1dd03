// Service Control Manager calls: Windows' answers, the configuration they
// leave in the registry, and the poll-driven runtime states.
#include "sim_test_support.h"

#include <cstdio>
#include <filesystem>
#include <functional>

#include <sys/stat.h>

using namespace quillmar::sim;
using simtest::Sz;

namespace {

class ScmCalls : public simtest::MachineTest {
  protected:
    DWORD Status(SC_HANDLE s, SERVICE_STATUS *out = nullptr) {
        SERVICE_STATUS st{};
        if (!QueryServiceStatus(s, &st))
            return 1000000 + GetLastError();
        if (out)
            *out = st;
        return st.dwCurrentState;
    }
};

constexpr const char *kKey = "SYSTEM\\CurrentControlSet\\Services\\";

TEST_F(ScmCalls, CreateWritesTheConfigurationToTheRegistry) {
    SC_HANDLE h = CreateServiceA(Scm(), "OrvEvtLogger", "Orv Event Logger", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                 SERVICE_ERROR_NORMAL, "\"C:\\Program Files\\orv\\log.exe\" -s",
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    CloseServiceHandle(h);
    const std::tuple<const char *, DWORD, std::string> want[] = {
        {"Type", REG_DWORD, std::string("\x10\0\0\0", 4)},
        {"Start", REG_DWORD, std::string("\x02\0\0\0", 4)},
        {"ErrorControl", REG_DWORD, std::string("\x01\0\0\0", 4)},
        {"ImagePath", REG_EXPAND_SZ, Sz("\"C:\\Program Files\\orv\\log.exe\" -s")},
        {"DisplayName", REG_SZ, Sz("Orv Event Logger")},
        {"ObjectName", REG_SZ, Sz("LocalSystem")},
    };
    for (auto &[name, type, data] : want) {
        DWORD gotType = 0;
        std::string got;
        ASSERT_EQ(Query(std::string(kKey) + "orvevtlogger", name, &gotType, &got), 0) << name;
        EXPECT_EQ(gotType, type) << name;
        EXPECT_EQ(got, data) << name;
    }
    SC_HANDLE again = Service("ORVEVTLOGGER");
    SERVICE_STATUS st;
    EXPECT_EQ(Status(again, &st), SERVICE_STOPPED) << "a new service is stopped";
    EXPECT_EQ(st.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
}

TEST_F(ScmCalls, NamesAndDisplayNamesMustBeUnique) {
    // Windows 10 version 1709 and later let two services show the same
    // display name; `displaynames unique` gives the answer of the versions
    // before. A display name that is another service's name is refused by
    // both.
    const std::string longest(256, 'n'), tooLong(257, 'n'); // Windows' bound: 256
    struct Case {
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
    for (const bool unique : {false, true}) {
        SCOPED_TRACE(unique ? "displaynames unique" : "displaynames shared");
        Write("settings", unique ? "displaynames unique\n" : "");
        ASSERT_EQ(Install("Alpha", "Alpha Display"), 0u);
        for (const Case &c : cases)
            EXPECT_EQ(Install(c.name, c.display), unique ? c.unique : c.shared) << c.name;
        SC_HANDLE delta = Service("Delta");
        auto change = [&](const char *display) {
            return ChangeServiceConfigA(delta, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                        SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, display)
                       ? 0
                       : GetLastError();
        };
        EXPECT_EQ(change("ALPHA DISPLAY"), unique ? ERROR_DUPLICATE_SERVICE_NAME : 0);
        EXPECT_EQ(change("alpha"), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
        EXPECT_EQ(change("delta display"), 0u) << "its own display name is no clash";
        Close(delta);
        for (const char *name : {"Alpha", "Beta", "Delta", "Epsilon", longest.c_str()})
            Remove(name);
    }
}

TEST_F(ScmCalls, ADisplayNameIsGivenAsWindowsGivesIt) {
    // service.c, test_get_displayname: the A call asks for twice the length,
    // takes any buffer that holds the text and its NUL, and then leaves the
    // size alone.
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
        EXPECT_EQ(ok ? 0u : GetLastError(), c.error) << c.name << " " << c.size;
        EXPECT_EQ(size, c.sizeAfter) << c.name << " " << c.size;
        EXPECT_STREQ(text, ok ? "Alpha Display" : "untouched") << c.name << " " << c.size;
    }
    EXPECT_FALSE(Exists("registry/services/gone.reg")) << "a marked, stopped service went";
}

TEST_F(ScmCalls, OnlyLocalSystemRunsAnInteractiveService) {
    auto create = [&](const char *name, DWORD type, const char *account) {
        SC_HANDLE h = CreateServiceA(Scm(), name, nullptr, SERVICE_ALL_ACCESS, type,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "C:\\svc\\run.exe",
                                     nullptr, nullptr, nullptr, account, nullptr);
        DWORD rc = h ? 0 : GetLastError();
        CloseServiceHandle(h);
        return rc;
    };
    constexpr DWORD kInteractive = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    EXPECT_EQ(create("Desk", kInteractive, "NT AUTHORITY\\LocalService"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Service("Desk"), nullptr) << "nothing was created";
    EXPECT_EQ(create("Desk", kInteractive, "localsystem"), 0u);
    EXPECT_EQ(create("Quiet", SERVICE_WIN32_OWN_PROCESS, "NT AUTHORITY\\LocalService"), 0u);

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
        {quiet, kInteractive, "LocalSystem", 0},
        {desk, SERVICE_WIN32_OWN_PROCESS, ".\\user", 0},
    };
    for (const auto &c : changes) {
        BOOL ok = ChangeServiceConfigA(c.h, c.type, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       "C:\\svc\\changed.exe", nullptr, nullptr, nullptr, c.account,
                                       nullptr, nullptr);
        EXPECT_EQ(ok ? 0 : GetLastError(), c.want) << c.type << " " << (c.account ? c.account : "");
    }
    DWORD type;
    std::string data;
    ASSERT_EQ(Query(std::string(kKey) + "Desk", "ObjectName", &type, &data), 0);
    EXPECT_EQ(data, Sz(".\\user"));
    ASSERT_EQ(Query(std::string(kKey) + "Quiet", "Type", &type, &data), 0);
    EXPECT_EQ(data, std::string("\x10\x01\0\0", 4));
}

TEST_F(ScmCalls, DisplayNamesAreSeenHoweverTheIndexStands) {
    const std::string seeded = "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Seeded]\n"
                               "\"Type\"=dword:00000010\n\"DisplayName\"=\"Seeded Display\"\n\n";
    const std::string index = "scm/display-names.index";
    // Each row leaves "Seeded Display" taken, by a service the index may not
    // list, and "Ghost Display" free, though the index may still claim it.
    const struct {
        const char *label;
        std::function<void()> prepare;
    } cases[] = {
        {"files_changed_by_hand",
         [&] {
             ASSERT_EQ(Install("Ghost", "Ghost Display"), 0u);
             ASSERT_EQ(std::remove(Path("registry/services/ghost.reg").c_str()), 0);
             Write("registry/services/seeded.reg", seeded);
         }},
        {"index_damaged",
         [&] {
             ASSERT_EQ(Install("Seeded", "Seeded Display"), 0u);
             Write(index, "rubbish\n");
         }},
        {"index_removed",
         [&] {
             ASSERT_EQ(Install("Seeded", "Seeded Display"), 0u);
             ASSERT_EQ(std::remove(Path(index).c_str()), 0);
         }},
        // Files in scm/ that look like an index and claim the ghost but
        // not the seeded service, beside a stamp that matches: only
        // display-names.index is ever read.
        {"stray_files_in_scm",
         [&] {
             Write("registry/services/seeded.reg", seeded);
             struct stat st;
             ASSERT_EQ(stat(Path("registry/services").c_str(), &st), 0);
             Write("scm/display-names.stamp", std::to_string(st.st_ino) + " " +
                                                  std::to_string(st.st_mtim.tv_sec) + "." +
                                                  std::to_string(st.st_mtim.tv_nsec) + " " +
                                                  std::to_string(st.st_ctim.tv_sec) + "." +
                                                  std::to_string(st.st_ctim.tv_nsec) + "\n");
             for (int b = 0; b < 128; ++b)
                 Write("scm/display-names/" + std::to_string(b),
                       "# quillmar simulated machine: services by display name (name display)\n"
                       "ghost Ghost%20Display\n");
         }},
    };
    auto entries = [&] {
        std::string text = Read(index);
        std::size_t stamp = text.find("\nstamp ");
        return stamp == text.npos ? "(no stamp) " + text
                                  : text.substr(text.find('\n', stamp + 1) + 1);
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(dir);
        // A display name in use must be refused for the index to show.
        Write("settings", "displaynames unique\n");
        c.prepare();
        const std::vector<std::string> stray = Files("scm");
        EXPECT_EQ(Install("Other", "Seeded Display"),
                  static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
        EXPECT_EQ(Install("Other", "Ghost Display"), 0u);
        std::vector<std::string> expected = stray;
        std::erase(expected, index);
        expected.push_back(index);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Files("scm"), expected) << "the index is one file, and nothing else was touched";
        // Lines put in and taken out around the others, kept in order; a
        // name holding ".tmp." is no file a killed run left behind.
        EXPECT_EQ(Install("alpha.tmp.1"), 0u);
        EXPECT_EQ(Install("Zulu", "zulu display"), 0u);
        SC_HANDLE other = Service("Other");
        EXPECT_TRUE(ChangeServiceConfigA(other, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                         SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, "Middle Display"));
        Close(other);
        EXPECT_EQ(Remove("Seeded"), 0u);
        const std::string kept = entries();
        EXPECT_EQ(kept, "alpha.tmp.1\talpha.tmp.1\nMiddle Display\tother\nzulu display\tzulu\n");
        ASSERT_EQ(std::remove(Path(index).c_str()), 0);
        EXPECT_EQ(Install("Third", "MIDDLE display"),
                  static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
        EXPECT_EQ(entries(), kept) << "as rebuilt from the service files";
        EXPECT_TRUE(Exists("registry/services/alpha.tmp.1.reg"));
        EXPECT_EQ(Install("Third", "Seeded Display"), 0u);
        EXPECT_EQ(Install("Fourth", "Ghost Display"), 0u);
    }
}

TEST_F(ScmCalls, AKeyWithoutTypeIsNotAService) {
    ASSERT_EQ(Set(std::string(kKey) + "Seeded\\Parameters", "Keep", REG_SZ, Sz("me")), 0);
    EXPECT_EQ(OpenServiceA(Scm(), "Seeded", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    ASSERT_EQ(Install("SEEDED"), 0u);
    DWORD type;
    std::string data;
    EXPECT_EQ(Query(std::string(kKey) + "seeded\\parameters", "Keep", &type, &data), 0);
    EXPECT_NE(Read("registry/services/seeded.reg").find("\\Services\\Seeded]"), std::string::npos)
        << "the existing key keeps its spelling";
}

TEST_F(ScmCalls, HandlesNeedTheRightAccess) {
    ASSERT_EQ(Install("Svc"), 0u);
    SERVICE_STATUS st;
    struct Case {
        DWORD granted;
        const char *call;
    } cases[] = {
        {SERVICE_ALL_ACCESS & ~SERVICE_QUERY_STATUS, "QueryServiceStatus"},
        {SERVICE_ALL_ACCESS & ~SERVICE_START, "StartServiceA"},
        {SERVICE_ALL_ACCESS & ~SERVICE_STOP, "ControlService"},
        {SERVICE_ALL_ACCESS & ~SERVICE_CHANGE_CONFIG, "ChangeServiceConfigA"},
        {SERVICE_ALL_ACCESS & ~DELETE, "DeleteService"},
    };
    for (const Case &c : cases) {
        SC_HANDLE h = Service("Svc", c.granted);
        ASSERT_NE(h, nullptr);
        std::string call = c.call;
        BOOL ok = call == "QueryServiceStatus" ? QueryServiceStatus(h, &st)
                  : call == "StartServiceA"    ? StartServiceA(h, 0, nullptr)
                  : call == "ControlService"   ? ControlService(h, SERVICE_CONTROL_STOP, &st)
                  : call == "ChangeServiceConfigA"
                      ? ChangeServiceConfigA(h, SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                             SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr)
                      : DeleteService(h);
        EXPECT_FALSE(ok) << c.call;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.call;
    }
    SC_HANDLE connectOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_EQ(CreateServiceA(connectOnly, "New", nullptr, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             "x.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SC_HANDLE viaConnect = OpenServiceA(connectOnly, "Svc", SERVICE_QUERY_STATUS);
    EXPECT_NE(viaConnect, nullptr) << "opening a service needs only the connect right";
    CloseServiceHandle(viaConnect);
    CloseServiceHandle(connectOnly);
}

TEST_F(ScmCalls, ForeignAndClosedHandlesAreInvalid) {
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE closed = OpenServiceA(Scm(), "Svc", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(CloseServiceHandle(closed));
    SC_HANDLE garbage = reinterpret_cast<SC_HANDLE>(static_cast<std::uintptr_t>(0xdeadbeef));
    SERVICE_STATUS st;
    for (SC_HANDLE h : {SC_HANDLE(nullptr), garbage, closed, Scm()}) {
        SetLastError(0);
        EXPECT_FALSE(QueryServiceStatus(h, &st));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(StartServiceA(h, 0, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(DeleteService(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(OpenServiceA(closed, "Svc", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseServiceHandle(closed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ScmCalls, StartAndStopAnswerAsWindowsDoes) {
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE s = Service("Svc");
    SERVICE_STATUS st;
    EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_TRUE(StartServiceA(s, 0, nullptr));
    EXPECT_FALSE(StartServiceA(s, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    ASSERT_EQ(Status(s, &st), SERVICE_RUNNING);
    EXPECT_EQ(st.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(st.dwCheckPoint, 0u);
    ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    EXPECT_EQ(Status(s), SERVICE_STOPPED);

    ASSERT_TRUE(ChangeServiceConfigA(s, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr));
    EXPECT_FALSE(StartServiceA(s, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
}

struct Behaviour {
    const char *label;
    const char *settings;
    bool stopFirst;           // run the service, then stop it
    DWORD atControl;          // state ControlService reports (stopFirst only)
    std::vector<DWORD> polls; // states the next status queries report
};

void PrintTo(const Behaviour &c, std::ostream *os) {
    *os << c.label;
}

class Polls : public ScmCalls, public ::testing::WithParamInterface<Behaviour> {};

constexpr DWORD SP = SERVICE_START_PENDING, R = SERVICE_RUNNING, XP = SERVICE_STOP_PENDING,
                S = SERVICE_STOPPED;

TEST_P(Polls, StatesAdvanceOnePerQuery) {
    const Behaviour &b = GetParam();
    ASSERT_EQ(Install("Svc"), 0u);
    Write("settings", b.settings);
    SC_HANDLE s = Service("Svc");
    ASSERT_TRUE(StartServiceA(s, 0, nullptr));
    if (b.stopFirst) {
        ASSERT_EQ(Status(s), R);
        SERVICE_STATUS st;
        ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st));
        EXPECT_EQ(st.dwCurrentState, b.atControl);
    }
    std::vector<DWORD> seen;
    for (std::size_t i = 0; i < b.polls.size(); ++i)
        seen.push_back(Status(s));
    EXPECT_EQ(seen, b.polls);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Polls,
    ::testing::Values(
        Behaviour{"instant", "", false, 0, {R, R}},
        Behaviour{"start_2", "service svc start 2", false, 0, {SP, SP, R, R}},
        Behaviour{"start_never", "service Svc start never", false, 0, {SP, SP, SP, SP, SP, SP}},
        Behaviour{"start_dies", "service Svc start dies", false, 0, {SP, S, S}},
        Behaviour{"other_service", "service Else start never", false, 0, {R}},
        Behaviour{"stop_instant", "", true, S, {S}},
        Behaviour{"stop_2", "service Svc stop 2", true, XP, {XP, XP, S, S}},
        Behaviour{"stop_never", "service Svc stop never", true, XP, {XP, XP, XP, XP}}),
    simtest::ByLabel());

TEST_F(ScmCalls, PendingServicesRefuseControlsAndReportProgress) {
    ASSERT_EQ(Install("Svc"), 0u);
    Write("settings", "service Svc start 3\n");
    SC_HANDLE s = Service("Svc");
    ASSERT_TRUE(StartServiceA(s, 0, nullptr));
    SERVICE_STATUS st;
    EXPECT_FALSE(StartServiceA(s, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(st.dwCurrentState, SERVICE_START_PENDING);
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
    ASSERT_EQ(Install("Svc"), 0u);
    Write("settings", "service Svc start dies\n");
    SC_HANDLE s = Service("Svc");
    ASSERT_TRUE(StartServiceA(s, 0, nullptr));
    SERVICE_STATUS st;
    Status(s, &st);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    ASSERT_EQ(Status(s, &st), S);
    EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_TRUE(StartServiceA(s, 0, nullptr)) << "it can be started again";
}

TEST_F(ScmCalls, RuntimeStateOutlivesTheProcessAndFollowsTheRegistry) {
    ASSERT_EQ(Install("Svc"), 0u);
    ASSERT_TRUE(StartServiceA(Service("Svc"), 0, nullptr));
    EXPECT_EQ(Read("scm/svc.state").find("state=RUNNING\n") != std::string::npos, true)
        << Read("scm/svc.state");

    // A state file left from a service that no longer exists means nothing.
    Write("scm/ghost.state", "state=RUNNING\n");
    ASSERT_EQ(Install("Ghost"), 0u);
    EXPECT_FALSE(Exists("scm/ghost.state"));
    EXPECT_EQ(Status(Service("Ghost")), S);
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

void PrintTo(const Deletion &c, std::ostream *os) {
    *os << c.label;
}

class Deleting : public ScmCalls, public ::testing::WithParamInterface<Deletion> {
  protected:
    DWORD Change(SC_HANDLE h) {
        return ChangeServiceConfigA(h, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)
                   ? 0
                   : GetLastError();
    }
    DWORD Delete(SC_HANDLE h) { return DeleteService(h) ? 0 : GetLastError(); }
    DWORD Start(SC_HANDLE h) { return StartServiceA(h, 0, nullptr) ? 0 : GetLastError(); }
};

constexpr DWORD kMarked = ERROR_SERVICE_MARKED_FOR_DELETE;

TEST_P(Deleting, TheServiceGoesOnlyOnceStoppedAndClosed) {
    const Deletion &c = GetParam();
    const std::string params = std::string(kKey) + "Svc\\Parameters";
    ASSERT_EQ(Install("Svc"), 0u);
    ASSERT_EQ(Set(params, "p", REG_SZ, Sz("v")), 0);
    Write("settings", c.settings);
    SC_HANDLE s = Service("Svc");
    ASSERT_NE(s, nullptr);
    if (c.start) {
        ASSERT_TRUE(StartServiceA(s, 0, nullptr));
    }
    SERVICE_STATUS st;
    if (c.stop) {
        ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    }
    ASSERT_TRUE(DeleteService(s));

    EXPECT_NE(Read("scm/svc.state").find("\ndeleted=1\n"), std::string::npos)
        << Read("scm/svc.state");
    SC_HANDLE other = Service("SVC");
    ASSERT_NE(other, nullptr) << "still listed while this process holds it";
    EXPECT_EQ(Delete(s), kMarked) << "a second delete, same handle";
    EXPECT_EQ(Delete(other), kMarked) << "a second delete, another handle";
    EXPECT_EQ(Change(other), kMarked);
    EXPECT_EQ(Start(other), kMarked);
    EXPECT_EQ(Install("svc"), kMarked);
    if (c.stopAfter) {
        EXPECT_TRUE(ControlService(other, SERVICE_CONTROL_STOP, &st))
            << "a marked service can be stopped";
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
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
        EXPECT_EQ(Install("Svc"), 0u) << "the name is free again";
        DWORD type;
        std::string data;
        EXPECT_EQ(Query(params, "p", &type, &data), ERROR_FILE_NOT_FOUND)
            << "Parameters went with it";
    } else {
        SC_HANDLE again = Service("Svc");
        ASSERT_NE(again, nullptr) << "listed until it stops";
        EXPECT_LT(Status(again), 1000000u) << "and answers status queries";
        EXPECT_EQ(Delete(again), kMarked) << "the mark outlives the handles";
        EXPECT_EQ(Install("Svc"), kMarked);
        DWORD type;
        std::string data;
        EXPECT_EQ(Query(params, "p", &type, &data), 0) << "its key stays";
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
    simtest::ByLabel());

TEST_F(ScmCalls, AMarkedServiceGoesWhenALaterRunSeesItStop) {
    ASSERT_EQ(Install("Svc"), 0u);
    Write("settings", "service Svc stop 3\n");
    SC_HANDLE s = Service("Svc");
    ASSERT_TRUE(StartServiceA(s, 0, nullptr));
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st));
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

TEST_F(ScmCalls, AMarkedStoppedServiceLeftBehindGoesOnTheNextLookUp) {
    // As a run killed before it closed its handles leaves it.
    const struct {
        const char *label;
        bool create; // the look-up is a create of the name, else an open
    } cases[] = {{"open", false}, {"create", true}};
    for (const auto &c : cases) {
        ASSERT_EQ(Install("Svc"), 0u) << c.label;
        ASSERT_EQ(Set(std::string(kKey) + "Svc\\Parameters", "p", REG_SZ, Sz("v")), 0);
        Write("scm/svc.state", "state=STOPPED\ndeleted=1\n");
        if (c.create) {
            EXPECT_EQ(Install("Svc"), 0u) << c.label;
            DWORD type;
            std::string data;
            EXPECT_EQ(Query(std::string(kKey) + "Svc\\Parameters", "p", &type, &data),
                      ERROR_FILE_NOT_FOUND)
                << "the new service starts afresh";
            EXPECT_FALSE(Exists("scm/svc.state"));
            ASSERT_EQ(Remove("Svc"), 0u);
        } else {
            EXPECT_EQ(Service("Svc"), nullptr) << c.label;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
        }
        EXPECT_FALSE(Exists("registry/services/svc.reg")) << c.label;
        EXPECT_FALSE(Exists("scm/svc.state")) << c.label;
    }
}

TEST_F(ScmCalls, AHandleOnAServiceRemovedElsewhereAnswersMarkedForDelete) {
    ASSERT_EQ(Install("Svc"), 0u);
    SC_HANDLE s = Service("Svc");
    // Another process removed it: handles are not shared between processes.
    ASSERT_EQ(std::remove(Path("registry/services/svc.reg").c_str()), 0);
    SERVICE_STATUS st;
    EXPECT_FALSE(QueryServiceStatus(s, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_FALSE(DeleteService(s));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(Install("Svc"), 0u);
}

// Another program holds the service open (`service <Name> held`): the
// deletion only marks it, and it goes once the holder has let go and a
// call finds it stopped and closed.
TEST_F(ScmCalls, AHeldServiceStaysMarkedUntilItsHolderLetsGo) {
    const struct {
        const char *label;
        bool ownHandle; // this process holds a handle too, closed once the holder lets go
        bool create;    // the call after that is a create of the name, else an open
    } cases[] = {
        {"next_open", false, false}, {"next_create", false, true}, {"last_close", true, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(Install("Svc"), 0u);
        Write("settings", "service svc held\n");
        SC_HANDLE own = c.ownHandle ? Service("Svc") : nullptr;
        ASSERT_EQ(Remove("Svc"), 0u);
        SC_HANDLE again = Service("Svc", SERVICE_ALL_ACCESS);
        ASSERT_NE(again, nullptr) << "a marked service still opens while it is held";
        EXPECT_FALSE(ChangeServiceConfigA(again, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                          SERVICE_NO_CHANGE, "C:\\new.exe", nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), kMarked);
        Close(again);
        EXPECT_EQ(Install("Svc"), kMarked) << "its name stays taken";
        EXPECT_TRUE(Exists("registry/services/svc.reg"));

        Write("settings", "");
        if (c.ownHandle) {
            EXPECT_TRUE(Exists("registry/services/svc.reg")) << "our own handle holds it still";
            ASSERT_TRUE(Close(own));
        } else if (c.create) {
            EXPECT_EQ(Install("Svc"), 0u) << "made afresh";
            ASSERT_EQ(Remove("Svc"), 0u);
        } else {
            EXPECT_EQ(Service("Svc"), nullptr);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
        }
        EXPECT_FALSE(Exists("registry/services/svc.reg"));
        EXPECT_FALSE(Exists("scm/svc.state"));
    }
}

// A stop is refused while a service that depends on the one stopped is
// not stopped itself, wherever the dependency came from; the index finds
// the dependents, so that a stop need not read every service's file.
TEST_F(ScmCalls, AStopIsRefusedWhileADependentIsNotStopped) {
    const struct {
        const char *label;
        const char *dependsOn;      // the dependent's DependOnService, as a .reg file holds it
        const char *dependentState; // its state file; nullptr: stopped
        bool byHand;                // its .reg file written by hand, not by CreateServiceA
        DWORD want;
    } cases[] = {
        {"running", "hex(7):53,00,76,00,63,00,00,00,00,00", "state=RUNNING\n", false,
         ERROR_DEPENDENT_SERVICES_RUNNING},
        {"start_pending", "hex(7):53,00,76,00,63,00,00,00,00,00",
         "state=START_PENDING\npolls=never\nthen=RUNNING\ncheckpoint=1\n", false,
         ERROR_DEPENDENT_SERVICES_RUNNING},
        {"stopped", "hex(7):53,00,76,00,63,00,00,00,00,00", nullptr, false, 0},
        {"written_by_hand", "hex(7):78,00,00,00,53,00,56,00,43,00,00,00,00,00", "state=RUNNING\n",
         true, ERROR_DEPENDENT_SERVICES_RUNNING},
        {"another_service", "hex(7):53,00,76,00,63,00,32,00,00,00,00,00", "state=RUNNING\n", true,
         0},
        {"a_group_of_that_name", "hex(7):2b,00,53,00,76,00,63,00,00,00,00,00", "state=RUNNING\n",
         true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(dir);
        ASSERT_EQ(Install("Svc"), 0u);
        ASSERT_EQ(Install("Svc2"), 0u);
        const std::string reg = "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Addon]\n"
                                "\"Type\"=dword:00000010\n\"DependOnService\"=" +
                                std::string(c.dependsOn) + "\n\n";
        if (c.byHand) {
            Write("registry/services/addon.reg", reg);
        } else {
            SC_HANDLE h = CreateServiceA(Scm(), "Addon", nullptr, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, "C:\\addon.exe", nullptr, nullptr,
                                         "Svc\0", nullptr, nullptr);
            ASSERT_NE(h, nullptr);
            CloseServiceHandle(h);
        }
        if (c.dependentState)
            Write("scm/addon.state", c.dependentState);
        SC_HANDLE s = Service("Svc");
        ASSERT_TRUE(StartServiceA(s, 0, nullptr));
        SERVICE_STATUS st;
        BOOL ok = ControlService(s, SERVICE_CONTROL_STOP, &st);
        EXPECT_EQ(ok ? 0 : GetLastError(), c.want);
        EXPECT_EQ(Status(s), c.want ? R : S);
        Close(s);
    }
}

TEST_F(ScmCalls, ChangeConfigTouchesOnlyWhatItIsGiven) {
    ASSERT_EQ(Install("Svc", "Shown"), 0u);
    SC_HANDLE s = Service("Svc");
    ASSERT_TRUE(ChangeServiceConfigA(s, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                     "new.exe", nullptr, nullptr, nullptr, ".\\svcuser", nullptr,
                                     nullptr));
    const std::pair<const char *, std::string> want[] = {
        {"Type", std::string("\x10\0\0\0", 4)},
        {"Start", std::string("\x02\0\0\0", 4)},
        {"ErrorControl", std::string("\x01\0\0\0", 4)},
        {"ImagePath", Sz("new.exe")},
        {"DisplayName", Sz("Shown")},
        {"ObjectName", Sz(".\\svcuser")},
    };
    for (auto &[name, data] : want) {
        DWORD type;
        std::string got;
        ASSERT_EQ(Query(std::string(kKey) + "Svc", name, &type, &got), 0) << name;
        EXPECT_EQ(got, data) << name;
    }
}

} // namespace
