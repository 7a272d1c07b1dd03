// One scenario's case: its folder below the work folder, set-up, run, checks and cleanup;
// what it creates is written down beside, for a later process of the kit to clear away.
#pragma once

#include "kitdata.h"
#include "winhost.h"

#include <string>
#include <vector>

namespace kit {

struct Kit {
    Text root; // the folder of run-tests.cmd and qmkit.exe
    Text work; // root\work: all the kit creates lies below it
    Text self; // qmkit.exe
    Text quillmar;
    Text testsvc;
    Text fakemerge;
    KitData data;
    std::vector<Text> catalogue; // the program's service names
    HostInfo machine;
    Text host; // "windows" or "wine": whose expectations hold
    ServiceHandle hManager;
};

// \\localhost\c$\... for C:\...: the administrative share of the path.
Text ShareOf(const Text &path);

class Case {
  public:
    // watchParent: holders let go when this process ends; a set-up step's must outlive it.
    Case(const Kit &kit, const Text &name, bool watchParent);
    Case(const Case &) = delete;
    Case &operator=(const Case &) = delete;

    const Text &Dir() const { return dir_; }
    const Text &RunDir() const { return runDir_; }
    // {dir}, {sep} and {share} filled in.
    Text Expand(const Text &text) const;
    // The case's folders made; the first time, which catalogue services exist before set-up.
    bool Prepare(Text &error);
    bool SetUp(const Record &step, Text &error);
    Ran Run(const Scenario &scenario, const Text &program);
    // A step or check as the data gives it; a check's failures.
    Text Describe(const Record &record) const;
    std::vector<Text> Verify(const Record &check) const;
    // Every service the case made removed; false with what was left, and
    // with a catalogue service someone else created meanwhile, left as is.
    bool CleanUp(bool keepFiles, Text &leftovers);
    // Services the cleanup could not remove, with their executable paths.
    const std::vector<std::pair<Text, Text>> &Left() const { return left_; }
    std::vector<Text> Snapshot() const;

  private:
    struct Holder {
        DWORD pid = 0;
        Text release;
        Handle hProcess;
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

// The work folder, made for Administrators and SYSTEM alone (read and run
// for the service accounts): its test services run as LocalSystem.
bool MakeWorkFolder(const Text &work);

// What an interrupted run left told to quit; returns, untouched, the paths
// it names that lead out of the work folder.
std::vector<Text> ReleaseAll(const Text &work);

} // namespace kit
