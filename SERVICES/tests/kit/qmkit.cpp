// qmkit.exe, the test kit's runner: run-tests.cmd runs "qmkit run" (options and exit
// statuses: README.txt); the Wine self-test drives single steps; "hold" holds a service open.

#include "kitcase.h"
#include "kitdata.h"
#include "started.h"
#include "winhost.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <utility>

using namespace kit;

namespace {

const int statusFailed = 1;
const int statusUsage = 2;
const int statusRefused = 3;
const int statusInterrupted = 4;

const size_t maxRootLength = 90;

void Line(const Text &text) {
    Print(STD_OUTPUT_HANDLE, text + L"\n");
}

// Returns status, for a complaint that ends a run.
int Complain(const Text &text, int status = 0) {
    Print(STD_ERROR_HANDLE, L"qmkit: " + text + L"\n");
    return status;
}

std::string CrlfToLf(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            out += bytes[i];
    return out;
}

struct Outcome {
    const Scenario *pScenario = nullptr;
    enum class Result { Passed, Failed, Skipped } result = Result::Passed;
    Text reason;                // why it was skipped
    std::vector<Text> failures; // each may span several lines
    double seconds = 0;
};

// Everything a failed scenario's folder holds besides the failures.
struct Evidence {
    Ran ran;
    Text currentDir;
    std::string expectedOut; // with LF line ends, as compared
    std::string expectedErr;
    std::vector<Text> setup;    // the set-up steps as the data gives them
    std::vector<Text> snapshot; // the machine as the checks left it
};

std::vector<std::string> SplitLines(const std::string &bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        end = end == std::string::npos ? bytes.size() : end + 1;
        lines.push_back(bytes.substr(start, end - start));
        start = end;
    }
    return lines;
}

// One line made readable: "$" marks its end, so trailing blanks show.
Text Visible(const std::string &line) {
    const bool ended = !line.empty() && line.back() == '\n';
    const Text body = FromUtf8(ended ? line.substr(0, line.size() - 1) : line);
    Text out;
    for (wchar_t c : body) {
        wchar_t hex[8];
        std::swprintf(hex, 8, L"<x%02x>", static_cast<unsigned>(c));
        out += c == L'\t'              ? Text(L"<TAB>")
               : c == L'\r'            ? Text(L"<CR>")
               : c < 0x20 || c == 0x7F ? Text(hex)
                                       : Text(1, c);
    }
    return out + (ended ? L"$" : L"  (no line end)");
}

Text XmlEscaped(const Text &text) {
    Text out;
    // XML 1.0 holds no other control character, not even escaped.
    for (wchar_t c : text)
        out += c == L'&'                                            ? L"&amp;"
               : c == L'<'                                          ? L"&lt;"
               : c == L'>'                                          ? L"&gt;"
               : c == L'"'                                          ? L"&quot;"
               : c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r' ? Text(L"\uFFFD")
                                                                    : Text(1, c);
    return out;
}

Text SecondsText(double seconds) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.3f", seconds);
    return text;
}

Text Joined(const std::vector<Text> &lines) {
    Text text;
    for (const Text &line : lines)
        text += line + L"\n";
    return text;
}

// A line diff, "-" expected, "+" found, control bytes and line ends shown.
Text StreamDiff(const Text &stream, const Text &label, const std::string &expected,
                const std::string &actual) {
    const std::vector<std::string> a = SplitLines(expected);
    const std::vector<std::string> b = SplitLines(actual);
    // The longest common subsequence of lines, from the ends backwards.
    std::vector<std::vector<unsigned>> common(a.size() + 1, std::vector<unsigned>(b.size() + 1));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1
                                        : std::max(common[i + 1][j], common[i][j + 1]);
    std::vector<Text> rows; // each marked by its first character
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            rows.push_back(L' ' + Visible(a[i]));
            ++i;
            ++j;
        } else if (j < b.size() && (i == a.size() || common[i][j + 1] >= common[i + 1][j])) {
            rows.push_back(L'+' + Visible(b[j++]));
        } else {
            rows.push_back(L'-' + Visible(a[i++]));
        }
    }
    Text text = L"standard " + stream + L" differs:\n--- " + label + L" expected\n+++ " + label +
                L" actual";
    // Three lines of context around each change; longer runs elided.
    const size_t context = 3;
    for (size_t k = 0; k < rows.size(); ++k) {
        bool shown = rows[k][0] != L' ';
        for (size_t d = 1; d <= context && !shown; ++d)
            shown = (k >= d && rows[k - d][0] != L' ') ||
                    (k + d < rows.size() && rows[k + d][0] != L' ');
        if (shown)
            text += L"\n" + rows[k];
        else if (!text.ends_with(L"\n  ..."))
            text += L"\n  ...";
    }
    return text;
}

bool WriteJUnit(const Text &path, const std::vector<Outcome> &outcomes, const Text &suite,
                const HostInfo &host, double seconds) {
    size_t numFailed = 0;
    size_t numSkipped = 0;
    for (const Outcome &o : outcomes) {
        numFailed += o.result == Outcome::Result::Failed;
        numSkipped += o.result == Outcome::Result::Skipped;
    }
    const Text counts = L" tests=\"" + std::to_wstring(outcomes.size()) + L"\" failures=\"" +
                        std::to_wstring(numFailed) + L"\" errors=\"0\" skipped=\"" +
                        std::to_wstring(numSkipped) + L"\" time=\"" + SecondsText(seconds) + L"\"";
    Text xml = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" +
               XmlEscaped(suite) + L"\"" + counts + L">\n  <testsuite name=\"" + XmlEscaped(suite) +
               L"\"" + counts + L">\n    <properties>\n" +
               L"      <property name=\"windows\" value=\"" + XmlEscaped(host.windows) + L"\"/>\n";
    if (host.isWine)
        xml += L"      <property name=\"wine\" value=\"" + XmlEscaped(host.wine) + L"\"/>\n";
    xml += L"    </properties>\n";
    for (const Outcome &o : outcomes) {
        xml += L"    <testcase classname=\"quillmar.kit\" name=\"" +
               XmlEscaped(o.pScenario->id + L" " + o.pScenario->title) + L"\" time=\"" +
               SecondsText(o.seconds) + L"\"";
        if (o.result == Outcome::Result::Passed) {
            xml += L"/>\n";
            continue;
        }
        xml += L">\n";
        if (o.result == Outcome::Result::Skipped) {
            xml += L"      <skipped message=\"" + XmlEscaped(o.reason) + L"\"/>\n";
        } else {
            const Text first = o.failures.empty() ? Text() : o.failures[0];
            xml += L"      <failure message=\"" + XmlEscaped(first.substr(0, first.find(L'\n'))) +
                   L"\">" + XmlEscaped(Joined(o.failures)) + L"</failure>\n";
        }
        xml += L"    </testcase>\n";
    }
    xml += L"  </testsuite>\n</testsuites>\n";
    return WriteBytes(path, Utf8(xml));
}

bool WriteFailureFolder(const Text &dir, const Outcome &outcome, const Evidence &evidence,
                        const HostInfo &host, const Text &kitVersion) {
    if (!MakeDirectories(dir))
        return false;
    const Scenario &s = *outcome.pScenario;
    std::vector<Text> report{
        L"scenario: " + s.id + L" " + s.title,
        L"kit: quillmar test kit " + kitVersion,
        L"host: " + host.windows + (host.isWine ? L"; " + host.wine : Text()),
        L"command line: " + evidence.ran.commandLine,
        L"current directory: " + evidence.currentDir,
        L"streams: " + Text(s.combined ? L"both on one pipe"
                            : s.piped  ? L"each on a pipe read to its end"
                                       : L"each into a file"),
    };
    if (evidence.ran.started) {
        wchar_t status[96];
        std::swprintf(status, 96, L"exit status: %lu (0x%08lx), expected %lu",
                      static_cast<unsigned long>(evidence.ran.exitCode),
                      static_cast<unsigned long>(evidence.ran.exitCode), s.exitCode);
        report.push_back(status);
        report.push_back(L"took: " + SecondsText(evidence.ran.seconds) + L" s");
    } else {
        report.push_back(L"not started: error " + std::to_wstring(evidence.ran.startError));
    }
    auto section = [&report](const Text &title, const std::vector<Text> &lines,
                             const Text &indent) {
        report.push_back(L"");
        report.push_back(title);
        for (const Text &line : lines)
            report.push_back(indent + line);
    };
    section(L"failures:", outcome.failures, L"");
    section(L"set-up:", evidence.setup, L"  ");
    section(L"the machine after the run and the checks:", evidence.snapshot, L"");
    report.push_back(L"");
    report.push_back(L"stdout.bin and stderr.bin hold the program's streams byte for byte (with "
                     L"both on one pipe, stdout.bin holds both); expected-stdout.txt and "
                     L"expected-stderr.txt what they should have held, with LF line ends.");
    return WriteBytes(dir + L"\\report.txt", Utf8(Joined(report))) &&
           WriteBytes(dir + L"\\stdout.bin", evidence.ran.out) &&
           WriteBytes(dir + L"\\stderr.bin", evidence.ran.err) &&
           WriteBytes(dir + L"\\expected-stdout.txt", evidence.expectedOut) &&
           WriteBytes(dir + L"\\expected-stderr.txt", evidence.expectedErr);
}

bool OpenKit(Kit &kit, const Text &dataPath, Text &error) {
    kit.root = DirectoryOfModule();
    kit.work = kit.root + L"\\work";
    kit.self = kit.root + L"\\qmkit.exe";
    kit.quillmar = kit.root + L"\\quillmar.exe";
    kit.testsvc = kit.root + L"\\testsvc.exe";
    kit.fakemerge = kit.root + L"\\fakemerge.exe";
    for (const Text *pPath : {&kit.quillmar, &kit.testsvc, &kit.fakemerge})
        if (!Exists(*pPath)) {
            error = L"the kit is incomplete: " + *pPath + L" is missing";
            return false;
        }
    kit.machine = DescribeHost();
    kit.host = kit.machine.isWine ? L"wine" : L"windows";
    kit.catalogue = CatalogueNames();
    std::string why;
    const Text path = dataPath.empty() ? kit.root + L"\\scenarios.txt" : dataPath;
    if (!LoadKitData(path, kit.host, kit.data, why)) {
        error = path + L": " + FromUtf8(why);
        return false;
    }
    return true;
}

bool OpenManager(Kit &kit, Text &error) {
    kit.hManager = ServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (kit.hManager != nullptr)
        return true;
    const DWORD errorNum = GetLastError();
    error = L"cannot open the Service Control Manager for all access: error " +
            std::to_wstring(errorNum) + L" (" + ErrorText(errorNum) + L")";
    return false;
}

const HANDLE hCleared = CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI OnControl(DWORD type) {
    SetEvent(InterruptEvent());
    // A closed window, a logoff or a shutdown gives the process a few
    // seconds only; Ctrl+C waits for the cleanup.
    const bool closing =
        type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    WaitForSingleObject(hCleared, closing ? 4500 : 60000);
    return TRUE;
}

struct Options {
    std::vector<Text> filters;
    bool quick = false;
    bool list = false;
    bool keep = false;
    unsigned long shard = 1;
    unsigned long numShards = 1;
};

bool Chosen(const Scenario &s, const Options &options) {
    return options.filters.empty() ||
           std::any_of(options.filters.begin(), options.filters.end(), [&s](const Text &f) {
               return s.title.find(f) != Text::npos || s.id.find(f) != Text::npos;
           });
}

class Runner {
  public:
    Runner(Kit &kit, const Options &options) : kit_(kit), options_(options), host_(kit.machine) {}

    int Run();

  private:
    bool Refuse();
    std::vector<Text> Sweep();
    Outcome RunOne(const Scenario &s, Evidence &evidence);
    void Report(size_t number, const Outcome &outcome);

    Kit &kit_;
    const Options &options_;
    const HostInfo &host_;
    std::vector<Text> names_;
    std::vector<std::pair<Text, Text>> left_; // the cases' services their cleanup left
    bool shareReachable_ = false;
    bool dirty_ = false;
};

// Before anything changes: the kit's folder must be usable, the prompt
// elevated, and no service of a name the kit creates may be someone else's.
bool Runner::Refuse() {
    auto refuse = [](const Text &why) {
        Complain(why + L" Nothing was changed.");
        return true;
    };
    const Text from = L"refusing to run from " + kit_.root;
    if (kit_.root.find_first_of(L" \t") != Text::npos)
        return refuse(from + L": the test services' executable paths would hold a blank. Unzip "
                             L"the kit into a folder without blanks, such as C:\\qmkit.");
    if (kit_.root.size() > maxRootLength)
        return refuse(from + L" (" + std::to_wstring(kit_.root.size()) +
                      L" characters): some scenarios need paths near Windows' 260-character "
                      L"limit below it. Unzip the kit into a folder of at most " +
                      std::to_wstring(maxRootLength) + L" characters, such as C:\\qmkit.");
    if (kit_.root.size() < 3 || kit_.root[1] != L':' ||
        GetDriveTypeW(kit_.root.substr(0, 3).c_str()) != DRIVE_FIXED)
        return refuse(from + L": the kit's test services run as LocalSystem, which reaches only "
                             L"local drives. Unzip the kit onto a local fixed drive, such as "
                             L"C:\\qmkit.");
    if (!IsElevated())
        return refuse(L"not elevated: run run-tests.cmd from an elevated prompt (Run as "
                      L"administrator); the kit creates, starts and deletes services.");
    // One kit at a time: two would remove each other's services. A named
    // object goes with the process however it ends, and none can plant it.
    SetLastError(ERROR_SUCCESS);
    const HANDLE hLock = CreateMutexW(nullptr, FALSE, L"Global\\quillmar-test-kit");
    if (hLock == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
        return refuse(L"refusing to run: another run of the kit is under way on this machine "
                      L"(it holds Global\\quillmar-test-kit), and both would use the same "
                      L"services.");
    // This elevated run executes the kit's programs and follows its data and
    // whatever an earlier run left in work\.
    for (const Text &path : {kit_.root, kit_.self, kit_.quillmar, kit_.testsvc, kit_.fakemerge,
                             kit_.root + L"\\run-tests.cmd", kit_.root + L"\\scenarios.txt"}) {
        const Text who = Exists(path) ? WritableByOthers(path) : Text();
        if (!who.empty())
            return refuse(from + L": " + path + L" may be changed by " + who +
                          L", and this elevated run would execute what they put there. Unzip "
                          L"the kit into a folder for administrators alone, as README.txt says.");
    }
    const Text workWho = IsDirectory(kit_.work) ? WritableByOthers(kit_.work) : Text();
    if (!workWho.empty())
        return refuse(L"refusing to run: " + kit_.work + L", left by an earlier run, may be " +
                      L"changed by " + workWho + L", so nothing in it can be trusted. Look at " +
                      L"it, then remove it: rmdir /s /q " + kit_.work + L".");
    Text error;
    if (!OpenManager(kit_, error))
        return refuse(error + L".");
    // Every service name the kit may create: the program's and its set-ups'.
    names_ = kit_.catalogue;
    for (const Scenario &s : kit_.data.scenarios)
        for (const Record &step : s.setup)
            if (Value(step, 0) == L"service")
                AddName(names_, Value(step, 1));
    bool refused = false;
    for (const Text &name : names_) {
        const ServiceInfo info = QueryService(kit_.hManager, name, false);
        if (info.error == ERROR_SERVICE_DOES_NOT_EXIST)
            continue;
        if (info.error != 0) {
            Complain(L"refusing to run: the service " + name + L" exists and cannot be read " +
                     L"(error " + std::to_wstring(info.error) + L").");
            refused = true;
        } else if (!LiesInside(Unquoted(info.path), kit_.work)) {
            Complain(L"refusing to run: the service " + name +
                     L" exists and is not one this kit created (its executable: " + info.path +
                     L"). The kit creates and deletes services of this name: run it on a "
                     L"machine without them. If an interrupted run of the kit left it (the "
                     L"scenarios install it with test folders such as D:\\apps), remove it "
                     L"with: sc.exe delete \"" +
                     name + L"\"");
            refused = true;
        }
    }
    if (refused)
        Complain(L"nothing was changed.");
    return refused;
}

// What the kit made cleared away: the work folder's services and those made elsewhere that
// a case could not remove; returns the services of the kit's names left as someone else's.
std::vector<Text> Runner::Sweep() {
    for (const Text &path : ReleaseAll(kit_.work))
        Complain(L"ignored " + path + L", named by what a run left in " + kit_.work +
                 L": it leads out of that folder");
    std::vector<Text> foreign;
    for (const Text &name : names_) {
        const ServiceInfo info = QueryService(kit_.hManager, name, false);
        if (info.error == ERROR_SERVICE_DOES_NOT_EXIST)
            continue;
        if (info.error != 0 ||
            (!LiesInside(Unquoted(info.path), kit_.work) &&
             std::find(left_.begin(), left_.end(), std::pair{name, info.path}) == left_.end())) {
            foreign.push_back(name + L" (its executable: " +
                              (info.error != 0 ? StateText(info) : info.path) + L")");
            continue;
        }
        Text detail;
        if (!RemoveService(kit_.hManager, name, detail))
            Complain(L"could not remove " + detail);
    }
    EndProcessesIn(kit_.work);
    return foreign;
}

Outcome Runner::RunOne(const Scenario &s, Evidence &evidence) {
    Outcome outcome;
    outcome.pScenario = &s;
    const double started = Seconds();
    if (dirty_) {
        Sweep();
        dirty_ = false;
    }
    Case c(kit_, s.id, true);
    std::vector<Text> &failures = outcome.failures;
    Text error;
    if (!c.Prepare(error))
        failures.push_back(L"set-up: " + error);
    for (const Record &step : s.setup) {
        evidence.setup.push_back(c.Describe(step));
        if (failures.empty() && !c.SetUp(step, error))
            failures.push_back(L"set-up: " + error);
    }
    evidence.currentDir = c.Dir();
    evidence.expectedOut = Utf8(c.Expand(s.combined ? *s.combined : s.stdoutText.value_or(L"")));
    evidence.expectedErr = s.combined ? "" : Utf8(c.Expand(s.stderrText.value_or(L"")));
    if (failures.empty() && !Interrupted()) {
        Ran &ran = evidence.ran;
        ran = c.Run(s, kit_.quillmar);
        const std::string out = CrlfToLf(ran.out);
        const std::string err = CrlfToLf(ran.err);
        if (!ran.started) {
            failures.push_back(L"cannot start " + kit_.quillmar + L": error " +
                               std::to_wstring(ran.startError) + L" (" + ErrorText(ran.startError) +
                               L")");
        } else if (!ran.interrupted) {
            if (ran.timedOut)
                failures.push_back(L"did not end within its time, ended by the runner");
            if (ran.pipesLeftOpen)
                failures.push_back(L"its pipes stayed open after it exited");
            if (out != evidence.expectedOut)
                failures.push_back(StreamDiff(L"output", L"stdout", evidence.expectedOut, out));
            if (err != evidence.expectedErr)
                failures.push_back(StreamDiff(L"error", L"stderr", evidence.expectedErr, err));
            if (ran.exitCode != s.exitCode)
                failures.push_back(L"exit status " + std::to_wstring(ran.exitCode) +
                                   L", expected " + std::to_wstring(s.exitCode));
            if (ran.seconds < s.slowGuard) {
                wchar_t text[160];
                std::swprintf(text, 160,
                              L"finished after %.1f s; a slow scenario waits out the program's "
                              L"polls, at least %g s",
                              ran.seconds, s.slowGuard);
                failures.push_back(text);
            }
            for (const Record &check : s.checks)
                for (const Text &failure : c.Verify(check))
                    failures.push_back(failure);
        }
    }
    if (!failures.empty())
        evidence.snapshot = c.Snapshot();
    Text leftovers;
    if (!c.CleanUp(options_.keep && !failures.empty(), leftovers)) {
        failures.push_back(L"cleanup left: " + leftovers);
        dirty_ = true;
    }
    left_.insert(left_.end(), c.Left().begin(), c.Left().end());
    if (options_.keep && !failures.empty())
        failures.push_back(L"case kept in " + c.Dir());
    outcome.result = failures.empty() ? Outcome::Result::Passed : Outcome::Result::Failed;
    // Ctrl+C reaches quillmar.exe on the same console too: what it left
    // half done says nothing about it.
    if (Interrupted()) {
        outcome.result = Outcome::Result::Skipped;
        outcome.reason = L"interrupted";
    }
    outcome.seconds = Seconds() - started;
    return outcome;
}

void Runner::Report(size_t number, const Outcome &outcome) {
    Text name = std::to_wstring(number) + L" - " + outcome.pScenario->id + L" ";
    for (wchar_t c : outcome.pScenario->title) { // TAP's escapes: # and the backslash
        if (c == L'#' || c == L'\\')
            name += L'\\';
        name += c;
    }
    if (outcome.result != Outcome::Result::Failed) {
        Line(L"ok " + name + (outcome.reason.empty() ? L"" : L" # SKIP " + outcome.reason));
        return;
    }
    Line(L"not ok " + name);
    for (const Text &failure : outcome.failures)
        for (const Text &line : Lines(failure))
            Line(L"#   " + line);
    Line(L"#   what a bug report needs: " + kit_.root + L"\\failed\\" + outcome.pScenario->id);
}

int Runner::Run() {
    // The shard's part: the slow scenarios dealt out first, then the rest
    // from where they left off, each shard's in the table's order.
    std::vector<const Scenario *> chosen;
    size_t dealt = 0;
    for (bool slow : {true, false})
        for (const Scenario &s : kit_.data.scenarios)
            if ((s.slowGuard > 0) == slow && Chosen(s, options_) &&
                dealt++ % options_.numShards == options_.shard - 1)
                chosen.push_back(&s);
    std::sort(chosen.begin(), chosen.end()); // the table's order: one vector
    // An odd part waits first, an even one last: parts side by side do not
    // all wait at once.
    const bool waitFirst = options_.shard % 2 == 1;
    if (options_.numShards > 1)
        std::stable_partition(chosen.begin(), chosen.end(), [waitFirst](const Scenario *pS) {
            return (pS->slowGuard > 0) == waitFirst;
        });
    if (options_.list) {
        for (const Scenario *pS : chosen)
            Line(pS->id + L"  " + pS->title +
                 (pS->skip ? L"  [skipped: " + *pS->skip + L"]" : Text()) +
                 (pS->slowGuard > 0 ? L"  [slow]" : Text()));
        return 0;
    }
    if (Refuse())
        return statusRefused;
    SetConsoleCtrlHandler(OnControl, TRUE);
    const double started = Seconds();
    // What an interrupted run left (its quillmar.exe may still be waiting),
    // and this kit's reports of the last run.
    Sweep();
    EndProcessesIn(kit_.root);
    RemoveTree(kit_.work);
    RemoveTree(kit_.root + L"\\failed");
    RemoveTree(kit_.root + L"\\junit.xml");
    if (!MakeWorkFolder(kit_.work)) {
        Complain(L"cannot make " + kit_.work);
        SetEvent(hCleared);
        return statusFailed;
    }
    shareReachable_ = !ShareOf(kit_.work).empty() && IsDirectory(ShareOf(kit_.work));

    Line(L"# quillmar test kit " + kit_.data.version + L": " + std::to_wstring(chosen.size()) +
         L" scenarios" +
         (options_.numShards > 1 ? L" (shard " + std::to_wstring(options_.shard) + L" of " +
                                       std::to_wstring(options_.numShards) + L")"
                                 : Text()));
    Line(L"# host: " + host_.windows + (host_.isWine ? L"; " + host_.wine : Text()));
    if (host_.isWine)
        Line(L"# under Wine: Wine's answers are expected where they differ from Windows'");
    Line(L"1.." + std::to_wstring(chosen.size()));
    std::vector<Outcome> outcomes;
    size_t numPassed = 0;
    size_t numFailed = 0;
    for (const Scenario *pS : chosen) {
        const Scenario &s = *pS;
        Outcome outcome;
        outcome.pScenario = &s;
        auto holdsShare = [](const Text &t) { return t.find(L"{share}") != Text::npos; };
        const bool needsShare = std::any_of(s.args.begin(), s.args.end(), holdsShare) ||
                                holdsShare(s.stdinText) || holdsShare(s.stdoutText.value_or(L"")) ||
                                holdsShare(s.stderrText.value_or(L"")) ||
                                holdsShare(s.combined.value_or(L""));
        outcome.reason = Interrupted()                       ? L"interrupted"
                         : s.skip                            ? *s.skip
                         : options_.quick && s.slowGuard > 0 ? L"slow (left out by --quick)"
                         : needsShare && !shareReachable_
                             ? L"the administrative share " + ShareOf(kit_.work.substr(0, 2)) +
                                   L" is not reachable"
                             : Text();
        if (!outcome.reason.empty()) {
            outcome.result = Outcome::Result::Skipped;
        } else {
            Evidence evidence;
            outcome = RunOne(s, evidence);
            if (outcome.result == Outcome::Result::Failed)
                WriteFailureFolder(kit_.root + L"\\failed\\" + s.id, outcome, evidence, host_,
                                   kit_.data.version);
        }
        numPassed += outcome.result == Outcome::Result::Passed;
        numFailed += outcome.result == Outcome::Result::Failed;
        outcomes.push_back(outcome);
        Report(outcomes.size(), outcome);
    }

    const std::vector<Text> foreign = Sweep();
    const bool interrupted = Interrupted();
    const bool cleared = (options_.keep && numFailed > 0) || RemoveTree(kit_.work);
    const double seconds = Seconds() - started;
    WriteJUnit(kit_.root + L"\\junit.xml", outcomes,
               L"quillmar " + kit_.data.version + L" on " + host_.windows, host_, seconds);
    wchar_t summary[160];
    std::swprintf(summary, 160, L"# %zu passed, %zu failed, %zu skipped in %.1f s", numPassed,
                  numFailed, outcomes.size() - numPassed - numFailed, seconds);
    Line(summary);
    Line(L"# JUnit: " + kit_.root + L"\\junit.xml");
    if (!HostFailures().empty()) {
        Line(L"# the host did not start " + std::to_wstring(HostFailures().size()) +
             L" run(s); each was run once more:");
        for (const Text &failure : HostFailures())
            Line(L"#   " + failure);
    }
    if (!cleared)
        Complain(L"could not remove everything below " + kit_.work);
    for (const Text &service : foreign)
        Complain(L"left as it is, since this kit did not create it: the service " + service);
    if (interrupted)
        Line(L"# interrupted: what the kit made is cleared away");
    SetEvent(hCleared);
    if (interrupted)
        return statusInterrupted;
    return numFailed == 0 && cleared && foreign.empty() ? 0 : statusFailed;
}

// A case's name is one plain folder name below the work folder.
bool PlainName(const Text &name) {
    return !name.empty() && name.size() < 40 && name.find_first_of(L"\\/:*?\"<>|. ") == Text::npos;
}

int SingleStep(const Text &command, int argc, wchar_t **argv) {
    AnnounceStart();
    const Text usage = command == L"clean"    ? L" CASE"
                       : command == L"launch" ? L" CASE FILE PROGRAM"
                                              : L" CASE FILE";
    // An argument for each word of the usage.
    if (argc != 2 + std::count(usage.begin(), usage.end(), L' ') || !PlainName(argv[2]))
        return Complain(L"usage: qmkit " + command + usage, statusUsage);
    Kit kit;
    Text error;
    if (!OpenKit(kit, argc > 3 ? argv[3] : L"", error) || !OpenManager(kit, error))
        return Complain(error, statusUsage);
    if (command != L"clean" && kit.data.scenarios.empty())
        return Complain(L"no scenario in " + Text(argv[3]), statusUsage);
    Case c(kit, argv[2], false);
    if (command == L"clean") {
        Text leftovers;
        return c.CleanUp(false, leftovers) ? 0 : Complain(leftovers, statusFailed);
    }
    const Scenario &s = kit.data.scenarios.front();
    if (!c.Prepare(error))
        return Complain(error, statusFailed);
    if (command == L"setup") {
        for (const Record &step : s.setup)
            if (!c.SetUp(step, error))
                return Complain(L"set-up: " + error, statusFailed);
        return 0;
    }
    if (command == L"check") {
        bool allHold = true;
        for (const Record &check : s.checks) {
            const std::vector<Text> failures = c.Verify(check);
            Text line = (failures.empty() ? L"ok\t" : L"FAIL\t") + c.Describe(check);
            for (const Text &failure : failures)
                line += L"\t" + failure;
            Line(line);
            allHold = allHold && failures.empty();
        }
        return allHold ? 0 : statusFailed;
    }
    const Ran ran = c.Run(s, argv[4]);
    WriteBytes(c.RunDir() + L"\\out.bin", ran.out);
    WriteBytes(c.RunDir() + L"\\err.bin", ran.err);
    Line(L"started=" + std::to_wstring(ran.started ? 1 : 0) + L" error=" +
         std::to_wstring(ran.startError) + L" status=" + std::to_wstring(ran.exitCode) +
         L" seconds=" + std::to_wstring(ran.seconds));
    for (const Text &failure : HostFailures())
        Line(L"host failure: " + failure);
    return ran.started ? 0 : statusFailed;
}

// hold RELEASE PARENT NAME: keeps the service open until RELEASE exists or
// the process PARENT (when not 0) has ended; says "held" in RELEASE.said.
int Hold(int argc, wchar_t **argv) {
    if (argc != 5)
        return statusUsage;
    const Text said = Text(argv[2]) + L".said";
    const ServiceHandle hManager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle hService(
        hManager == nullptr ? nullptr : OpenServiceW(hManager, argv[4], SERVICE_QUERY_STATUS));
    if (hService == nullptr) {
        WriteBytes(said, "hold failed " + std::to_string(GetLastError()) + "\n");
        return statusFailed;
    }
    const DWORD parentPid = std::wcstoul(argv[3], nullptr, 10);
    const Handle hParent(parentPid == 0 ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, parentPid));
    WriteBytes(said, "held\n");
    while (!Exists(argv[2])) {
        if (hParent != nullptr && WaitForSingleObject(hParent, 0) == WAIT_OBJECT_0)
            break;
        Sleep(100);
    }
    return 0;
}

int Usage() {
    return Complain(L"usage: qmkit run [-k TEXT]... [--quick] [--list] [--keep] [--shard K/N]",
                    statusUsage);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    const Text command = argc > 1 ? argv[1] : L"";
    if (command == L"hold")
        return Hold(argc, argv);
    if (command == L"setup" || command == L"check" || command == L"launch" || command == L"clean")
        return SingleStep(command, argc, argv);
    if (command != L"run")
        return Usage();
    Options options;
    for (int i = 2; i < argc; ++i) {
        const Text arg = argv[i];
        if (arg == L"-k" && i + 1 < argc)
            options.filters.push_back(argv[++i]);
        else if (arg == L"--quick")
            options.quick = true;
        else if (arg == L"--list")
            options.list = true;
        else if (arg == L"--keep")
            options.keep = true;
        else if (arg == L"--shard" && i + 1 < argc &&
                 std::swscanf(argv[++i], L"%lu/%lu", &options.shard, &options.numShards) == 2 &&
                 options.shard >= 1 && options.shard <= options.numShards)
            continue;
        else
            return Usage();
    }
    Kit kit;
    Text error;
    if (!OpenKit(kit, L"", error))
        return Complain(error, statusUsage);
    return Runner(kit, options).Run();
}
