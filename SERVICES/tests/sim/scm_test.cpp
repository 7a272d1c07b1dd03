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
    ASSERT_EQ(Install("Alpha", "Alpha Display"), 0u);
    struct Case {
        const char *name, *display;
        DWORD want;
    } cases[] = {
        {"alpha", nullptr, ERROR_SERVICE_EXISTS},
        {"ALPHA", "Something Else", ERROR_SERVICE_EXISTS},
        {"Beta", "alpha display", ERROR_DUPLICATE_SERVICE_NAME},
        {"Gamma", "ALPHA", ERROR_DUPLICATE_SERVICE_NAME},
        {"Alpha Display", nullptr, ERROR_DUPLICATE_SERVICE_NAME},
        {"", nullptr, ERROR_INVALID_NAME},
        {"a\\b", nullptr, ERROR_INVALID_NAME},
        {"Delta", "Delta Display", 0},
        {"Epsilon", "Epsilon", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Install(c.name, c.display), c.want) << c.name;
    SC_HANDLE delta = Service("Delta");
    EXPECT_FALSE(ChangeServiceConfigA(delta, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                      SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, "ALPHA DISPLAY"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
    EXPECT_TRUE(ChangeServiceConfigA(delta, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     "delta display"))
        << "its own display name is no clash";
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
        // An earlier version's index: 128 bucket files that all claim the
        // ghost and none the seeded service, under a stamp that matches.
        {"earlier_versions_buckets",
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
        c.prepare();
        EXPECT_EQ(Install("Other", "Seeded Display"),
                  static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
        EXPECT_EQ(Install("Other", "Ghost Display"), 0u);
        EXPECT_EQ(Files("scm"), std::vector<std::string>{index})
            << "the index is one file, and an earlier version's go";
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
