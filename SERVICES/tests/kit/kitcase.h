// One scenario's case on the machine: its folder below the kit's work
// folder, the set-up steps, the run of the program, the checks of the
// machine afterwards and the cleanup. What a case created is written down
// beside its folder as it goes, so that a later process of the kit (the
// self-test's separate steps, or a run after an interrupted one) can clear
// it away.
#pragma once

#include "kitdata.h"
#include "winhost.h"

#include <string>
#include <vector>

namespace kit {

// The unpacked kit, as the runner found it.
struct Kit {
    Text root; // the folder of run-tests.cmd and qmkit.exe
    Text work; // root\work: all the kit creates lies below it
    Text self; // qmkit.exe
    Text quillmar;
    Text testsvc;
    Text fakemerge;
    KitData data;
    std::vector<Text> catalogue; // the program's service names
    Text host;                   // "windows" or "wine": whose expectations hold
    SC_HANDLE hManager = nullptr;
};

// \\localhost\c$\... for C:\...: the administrative share of the path.
Text ShareOf(const Text &path);

class Case {
  public:
    // name: the case's folder below the work folder. watchParent: a holder
    // lets go when this process ends (false for a set-up in a process of
    // its own, whose holders must outlive it).
    Case(const Kit &kit, const Text &name, bool watchParent);
    Case(const Case &) = delete;
    Case &operator=(const Case &) = delete;
    ~Case();

    const Text &Dir() const { return dir_; }
    const Text &RunDir() const { return runDir_; }
    // {dir}, {sep} and {share} filled in.
    Text Expand(const Text &text) const;
    // The case's folders made; the first time, also which catalogue
    // services exist before the set-up.
    bool Prepare(Text &error);
    bool SetUp(const Record &step, Text &error);
    Ran Run(const Scenario &scenario, const Text &program);
    // A step or check as the data gives it, and a check's failures (none
    // when it holds).
    Text Describe(const Record &record) const;
    std::vector<Text> Verify(const Record &check) const;
    // Test services told to quit, holders let go, every service the case
    // made removed; false with what was left, and with every catalogue
    // service that appeared during the case and is not the case's own,
    // which is left as it is.
    bool CleanUp(bool keepFiles, Text &leftovers);
    // Services the case made that its cleanup could not remove, each with
    // its executable path as then registered.
    const std::vector<std::pair<Text, Text>> &Left() const { return left_; }
    // The services and registry values the case is about, and its files.
    std::vector<Text> Snapshot() const;

  private:
    struct Holder {
        DWORD pid = 0;
        Text release;
        HANDLE hProcess = nullptr;
    };

    bool SetUpService(const Record &step, Text &error);
    bool SetUpConsole(const Record &step, Text &error);
    bool StartService(const Record &step, Text &error);
    bool Hold(const Text &name, Text &error);
    Text HostPath(const Text &path) const;
    void Remember(const Text &file, const Text &line) const;
    bool Present(const Text &name) const;
    bool Made(const Text &name, const Text &path) const;

    const Kit &kit_;
    Text dir_;
    Text runDir_;
    bool watchParent_;
    std::vector<Text> services_; // in the order they were set up
    std::vector<Holder> holders_;
    bool prepared_ = false;
    std::vector<Text> present_; // catalogue services there before the set-up
    std::vector<Text> args_;    // the run's arguments
    std::vector<std::pair<Text, Text>> left_;
};

// The work folder, made when absent, for Administrators and SYSTEM alone
// (read and run for the service accounts a scenario may use): the test
// services run from it as LocalSystem, and a folder under C:\ would
// otherwise let any user replace their programs.
bool MakeWorkFolder(const Text &work);

// Every test service below the work folder told to quit and every holder
// let go: what an earlier, interrupted run of the kit left behind. Returns
// the paths it was told of that lead out of the folder, untouched.
std::vector<Text> ReleaseAll(const Text &work);

} // namespace kit
