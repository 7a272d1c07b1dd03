#include "kitcase.h"
#include "quillmar_config.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace kit {

namespace {

const Text servicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
// A deleted service goes once its process has ended, some 0.3 s after it stopped.
const double goneSeconds = 3;

bool Fail(Text &error, const Text &why) {
    error = why;
    return false;
}

Text ReplaceAll(Text text, const Text &what, const Text &with) {
    for (size_t at = text.find(what); at != Text::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

Text QuotedList(const std::vector<Text> &values) {
    Text text = L"[";
    for (const Text &value : values)
        text += (text.size() > 1 ? L", " : L"") + Quoted(value);
    return text + L"]";
}

Text Hex(unsigned long value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%lx", value);
    return text;
}

unsigned long Number(const Text &text) {
    return std::wcstoul(text.c_str(), nullptr, 10);
}

std::vector<Text> FileLines(const Text &path) {
    return Lines(FromUtf8(ReadBytes(path).value_or("")));
}

size_t CountProcessStarts(const Text &log) {
    const std::vector<Text> lines = FileLines(log);
    return std::count_if(lines.begin(), lines.end(), [](const Text &line) {
        return line.size() > 8 && line.compare(line.size() - 8, 8, L" process") == 0;
    });
}

void ListFiles(const Text &dir, const Text &shown, std::vector<Text> &lines) {
    for (const Text &name : ListNames(dir, L"*")) {
        if (lines.size() > 200)
            return;
        const Text path = dir + L"\\" + name;
        if (IsDirectory(path)) {
            lines.push_back(L"  " + shown + name + L"\\");
            ListFiles(path, shown + name + L"\\", lines);
        } else {
            lines.push_back(L"  " + shown + name + L" (" +
                            std::to_wstring(ReadBytes(path).value_or("").size()) + L" bytes)");
        }
    }
}

} // namespace

Text ShareOf(const Text &path) {
    if (path.size() < 2 || path[1] != L':')
        return Text();
    return L"\\\\localhost\\" + Text(1, static_cast<wchar_t>(towlower(path[0]))) + L"$" +
           path.substr(2);
}

Case::Case(const Kit &kit, const Text &name, bool watchParent)
    : kit_(kit), dir_(kit.work + L"\\" + name), runDir_(kit.work + L"\\" + name + L".run"),
      watchParent_(watchParent) {
    // What an earlier process of the kit made for this case.
    services_ = FileLines(runDir_ + L"\\services");
    for (const Text &line : FileLines(runDir_ + L"\\holders")) {
        const std::vector<Text> fields = Split(line, L'\t');
        if (fields.size() == 2)
            holders_.push_back({static_cast<DWORD>(Number(fields[0])), fields[1], Handle()});
    }
}

Text Case::Expand(const Text &text) const {
    const Text shared = ReplaceAll(text, L"{share}", ShareOf(dir_));
    return ReplaceAll(ReplaceAll(shared, L"{dir}", dir_), L"{sep}", L"\\");
}

bool MakeWorkFolder(const Text &work) {
    if (IsDirectory(work))
        return true;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;LS)(A;OICI;FRFX;;;NS)",
            SDDL_REVISION_1, &pDescriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, pDescriptor, FALSE};
    const bool made = CreateDirectoryW(LongPath(work).c_str(), &attributes) ||
                      GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(pDescriptor);
    return made;
}

bool Case::Prepare(Text &error) {
    if (!LiesInside(dir_, kit_.work) || !LiesInside(runDir_, kit_.work))
        return Fail(error, L"the case's folders lead out of " + kit_.work);
    if (!MakeWorkFolder(kit_.work) || !MakeDirectories(dir_) || !MakeDirectories(runDir_))
        return Fail(error, L"cannot make the case's folders below " + kit_.work + L" (error " +
                               std::to_wstring(GetLastError()) + L")");
    for (const Text &name : prepared_ ? std::vector<Text>() : kit_.catalogue)
        if (QueryService(kit_.hManager, name, false).error != ERROR_SERVICE_DOES_NOT_EXIST)
            present_.push_back(name);
    prepared_ = true;
    return true;
}

// A file below the case's folder, named as a scenario names it.
Text Case::HostPath(const Text &path) const {
    Text relative = Expand(path);
    if (relative.size() >= dir_.size() && SameName(relative.substr(0, dir_.size()), dir_))
        relative = relative.substr(dir_.size());
    return Join(dir_, relative);
}

void Case::Remember(const Text &file, const Text &line) const {
    const Text path = runDir_ + L"\\" + file;
    WriteBytes(path, ReadBytes(path).value_or("") + Utf8(line) + "\n");
}

bool Case::SetUp(const Record &step, Text &error) {
    return Value(step, 0) == L"service" ? SetUpService(step, error) : SetUpConsole(step, error);
}

// service NAME DISPLAY EXE BEHAVIOUR MODE FLAGS ACCOUNT DEPENDS [PARAM VALUE]...
bool Case::SetUpService(const Record &step, Text &error) {
    const Text name = Value(step, 1);
    const Text flags = Value(step, 6);
    const Field &account = step[7];
    // Two services may share one executable (the agent under both names).
    const Text exe = dir_ + L"\\" + Value(step, 3);
    if (!Exists(exe) && !CopyTo(kit_.testsvc, exe))
        return Fail(error, L"cannot copy the test service to " + exe);
    if (!WriteBytes(exe + L".mode", Utf8(Value(step, 5)) + "\n"))
        return Fail(error, L"cannot write " + exe + L".mode");
    // As quillmar registers its services; only LocalSystem may interact.
    const DWORD type = account ? SERVICE_WIN32_OWN_PROCESS
                               : SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    SC_HANDLE hService = CreateServiceW(
        kit_.hManager, name.c_str(), Value(step, 2).c_str(), SERVICE_ALL_ACCESS, type,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, exe.c_str(), nullptr, nullptr,
        Value(step, 8).c_str(), account ? account->c_str() : nullptr, account ? L"" : nullptr);
    if (hService == nullptr)
        return Fail(error,
                    L"CreateService " + name + L" failed with " + std::to_wstring(GetLastError()));
    CloseServiceHandle(hService);
    if (AddName(services_, name))
        Remember(L"services", name);
    if (step.size() > 9) {
        Key hKey;
        const Text key = servicesKey + name + L"\\Parameters";
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, hKey.Put(), nullptr);
        for (size_t i = 9; i + 1 < step.size() && rc == ERROR_SUCCESS; i += 2) {
            const Text data = Expand(Value(step, i + 1));
            rc = RegSetValueExW(hKey, Value(step, i).c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE *>(data.c_str()),
                                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        }
        if (rc != ERROR_SUCCESS)
            return Fail(error, L"cannot write the values under HKLM\\" + key + L" (error " +
                                   std::to_wstring(rc) + L")");
    }
    if (flags.find(L"running") != Text::npos && !StartService(step, error))
        return false;
    if (flags.find(L"held") != Text::npos && !Hold(name, error))
        return false;
    if (flags.find(L"marked") != Text::npos) {
        const ServiceHandle hMarked(OpenServiceW(kit_.hManager, name.c_str(), DELETE));
        if (hMarked == nullptr || !DeleteService(hMarked))
            return Fail(error, L"DeleteService " + name + L" failed with " +
                                   std::to_wstring(GetLastError()));
    }
    return true;
}

bool Case::StartService(const Record &step, Text &error) {
    const Text name = Value(step, 1);
    const Text log = dir_ + L"\\" + Value(step, 3) + L".log";
    const ServiceHandle hService(
        OpenServiceW(kit_.hManager, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (hService == nullptr)
        return Fail(error,
                    L"OpenService " + name + L" failed with " + std::to_wstring(GetLastError()));
    DWORD errorNum = 0;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const size_t startsBefore = CountProcessStarts(log);
        errorNum = StartServiceW(hService, 0, nullptr) ? 0 : GetLastError();
        // A service process that never wrote its first log line never reached
        // its main: Wine failed to start it on a busy host (1053 or 1359).
        const bool hostFailed =
            errorNum == ERROR_SERVICE_REQUEST_TIMEOUT || errorNum == ERROR_INTERNAL_ERROR;
        if (hostFailed && CountProcessStarts(log) == startsBefore && attempt == 1) {
            HostFailures().push_back(L"StartService " + name + L": " + std::to_wstring(errorNum) +
                                     L", its process never started");
            continue;
        }
        break;
    }
    // The test service's first report is the state the set-up wants.
    const DWORD wanted = Value(step, 4) == L"nostart" ? SERVICE_START_PENDING : SERVICE_RUNNING;
    SERVICE_STATUS status{};
    for (int poll = 0; errorNum == 0 && poll < 100 && !Interrupted(); ++poll) {
        if (QueryServiceStatus(hService, &status) && status.dwCurrentState == wanted)
            break;
        Sleep(50);
    }
    if (errorNum != 0 || status.dwCurrentState != wanted)
        return Fail(error, L"StartService " + name + L": error " + std::to_wstring(errorNum) +
                               L", state " + std::to_wstring(status.dwCurrentState) + L", not " +
                               std::to_wstring(wanted));
    return true;
}

// Another process of the kit ("qmkit hold") holds the service open, as a monitor would.
bool Case::Hold(const Text &name, Text &error) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const Text release = runDir_ + L"\\hold-" + std::to_wstring(holders_.size()) + L".release";
        Text commandLine = QuoteArg(kit_.self) + L" hold " + QuoteArg(release) + L" " +
                           std::to_wstring(watchParent_ ? GetCurrentProcessId() : 0) + L" " +
                           QuoteArg(name);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                            nullptr, nullptr, &startup, &process)) {
            const DWORD startError = GetLastError();
            if (startError == ERROR_INTERNAL_ERROR && attempt == 1) {
                HostFailures().push_back(L"the holder of " + name +
                                         L": CreateProcess failed with 1359");
                continue;
            }
            return Fail(error, L"cannot start the holder of " + name + L" (error " +
                                   std::to_wstring(startError) + L")");
        }
        CloseHandle(process.hThread);
        holders_.push_back({process.dwProcessId, release, Handle(process.hProcess)});
        Remember(L"holders", std::to_wstring(process.dwProcessId) + L"\t" + release);
        // Its word is whole once it ends with its line end.
        Text word;
        for (int poll = 0; poll < 400 && (word.empty() || word.back() != L'\n'); ++poll) {
            const bool ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
            word = FromUtf8(ReadBytes(release + L".said").value_or(""));
            if (ended)
                break;
        }
        if (word == L"held\n")
            return true;
        // Nothing said at all: it never reached its main.
        if (word.empty() && attempt == 1 &&
            WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            HostFailures().push_back(L"the holder of " + name + L" ended without a word");
            continue;
        }
        return Fail(error, L"the holder of " + name + L" did not hold it: " + word);
    }
    return Fail(error, L"the holder of " + name + L" never started");
}

// console SUB INI OLD TOOL-STATUS LINGER ECHO (none: absent).
bool Case::SetUpConsole(const Record &step, Text &error) {
    const Text sub = HostPath(Value(step, 1));
    if (!MakeDirectories(sub))
        return Fail(error, L"cannot make " + sub);
    if (step[4] && !CopyTo(kit_.fakemerge, sub + L"\\hvcfgmrg.exe"))
        return Fail(error, L"cannot copy the merge tool to " + sub);
    const std::pair<const wchar_t *, Field> files[] = {
        {L"hvcons.ini", step[2]},
        {L"hvcons.old", step[3]},
        {L"hvcfgmrg.status", step[4] ? Field(*step[4] + L"\n") : Field()},
        {L"hvcfgmrg.linger", step[4] && step[5] ? Field(*step[5] + L"\n") : Field()},
        {L"hvcfgmrg.echo", step[4] && step[6] ? Field(Text()) : Field()}};
    for (const auto &[name, content] : files)
        if (content && !WriteBytes(sub + L"\\" + name, Utf8(*content)))
            return Fail(error, L"cannot write " + sub + L"\\" + name);
    return true;
}

Ran Case::Run(const Scenario &scenario, const Text &program) {
    args_.clear();
    for (const Text &arg : scenario.args)
        args_.push_back(Expand(arg));
    const Streams streams = scenario.combined ? Streams::Combined
                            : scenario.piped  ? Streams::Piped
                                              : Streams::Files;
    // Far beyond a slow scenario's wait: only a program that hangs meets it.
    const DWORD timeoutMs = std::max(300, QUILLMAR_SLOW_SECONDS * 5) * 1000;
    return RunProgram({program, args_, dir_, streams, Utf8(Expand(scenario.stdinText)), runDir_,
                       timeoutMs, scenario.argv0});
}

Text Case::Describe(const Record &record) const {
    Text text = Value(record, 0);
    for (size_t i = 1; i < record.size(); ++i)
        text += L" " + (record[i] ? Quoted(Expand(*record[i])) : Text(L"-"));
    return text;
}

// state NAME STATE, config NAME TYPE START ERROR PATH DISPLAY, reg KEY NAME DATA TYPE,
// file PATH CONTENT, tool SUB COUNT [ARG]...; none: absent, or in config not looked at.
std::vector<Text> Case::Verify(const Record &check) const {
    const Text kind = Value(check, 0);
    const Text first = Expand(Value(check, 1));
    std::vector<Text> failures;
    if (kind == L"state") {
        const Text wanted = Value(check, 2);
        const double deadline = Seconds() + goneSeconds;
        for (;;) {
            const Text found = StateText(QueryService(kit_.hManager, first, true));
            if (found == wanted)
                return failures;
            if (!(wanted == L"absent" && found.rfind(L"stopped", 0) == 0 && Seconds() < deadline))
                return {L"service " + first + L": " + found + L", expected " + wanted};
            Sleep(100);
        }
    }
    if (kind == L"config") {
        const ServiceInfo info = QueryService(kit_.hManager, first, false);
        if (info.error != 0)
            return {L"service " + first + L": " + StateText(info) + L", expected configured"};
        const std::pair<const wchar_t *, DWORD> numbers[] = {
            {L"type", info.type}, {L"start", info.start}, {L"error", info.errorControl}};
        for (size_t i = 0; i < 3; ++i)
            if (numbers[i].second != Number(Value(check, i + 2)))
                failures.push_back(L"service " + first + L": " + numbers[i].first + L" " +
                                   Hex(numbers[i].second) + L", expected " +
                                   Hex(Number(Value(check, i + 2))));
        const std::pair<const wchar_t *, const Text *> texts[] = {{L"path", &info.path},
                                                                  {L"display", &info.display}};
        for (size_t i = 0; i < 2; ++i)
            if (check[i + 5] && *texts[i].second != Expand(*check[i + 5]))
                failures.push_back(L"service " + first + L": " + texts[i].first + L" " +
                                   Quoted(*texts[i].second) + L", expected " +
                                   Quoted(Expand(*check[i + 5])));
        return failures;
    }
    if (kind == L"reg") {
        const Text where = L"HKLM\\" + first + L" " + Value(check, 2);
        const RegValueInfo value = ReadRegValue(first, Expand(Value(check, 2)));
        const bool absent = value.error == ERROR_FILE_NOT_FOUND;
        if (value.error != ERROR_SUCCESS && !absent)
            return {where + L": cannot read it (error " + std::to_wstring(value.error) + L")"};
        if (!check[3])
            return absent ? failures
                          : std::vector<Text>{where + L": " + Quoted(value.data) +
                                              L", expected absent"};
        const Text wanted = Expand(*check[3]);
        const Text type = Value(check, 4);
        if (absent)
            return {where + L": absent, expected " + Quoted(wanted)};
        if (value.type != type)
            failures.push_back(where + L": type " + value.type + L", expected " + type);
        const DWORD wantedSize = static_cast<DWORD>((wanted.size() + 1) * sizeof(wchar_t));
        if (value.data != wanted)
            failures.push_back(where + L": " + Quoted(value.data) + L", expected " +
                               Quoted(wanted));
        else if ((value.type == L"REG_SZ" || value.type == L"REG_EXPAND_SZ") &&
                 value.size != wantedSize)
            failures.push_back(where + L": " + std::to_wstring(value.size) +
                               L" bytes stored, expected " + std::to_wstring(wantedSize) +
                               L" (the terminating NUL counted)");
        return failures;
    }
    const Text shown = Value(check, 1);
    const Text path = HostPath(shown);
    if (kind == L"file") {
        if (!check[2])
            return Exists(path) ? std::vector<Text>{shown + L": present, expected absent"}
                                : failures;
        const std::optional<std::string> found = IsDirectory(path) ? std::nullopt : ReadBytes(path);
        const Text wanted = Expand(*check[2]);
        if (!found)
            return {shown + L": absent, expected " + Quoted(wanted)};
        if (*found != Utf8(wanted))
            failures.push_back(shown + L": " + Quoted(FromUtf8(*found)) + L", expected " +
                               Quoted(wanted));
        return failures;
    }
    if (kind == L"tool") {
        // The tool runs with the UTF-8 code page, as quillmar does.
        const std::vector<Text> runs = FileLines(path + L"\\hvcfgmrg.log");
        std::vector<Text> wanted{path};
        for (size_t i = 3; i < check.size(); ++i)
            wanted.push_back(Expand(Value(check, i)));
        if (runs.size() != Number(Value(check, 2)))
            failures.push_back(L"merge tool in " + shown + L": ran " +
                               std::to_wstring(runs.size()) + L" times, expected " +
                               Value(check, 2));
        for (const Text &run : runs)
            if (Split(run, L'\t') != wanted)
                failures.push_back(L"merge tool in " + shown + L": ran as " +
                                   QuotedList(Split(run, L'\t')) + L", expected " +
                                   QuotedList(wanted));
        return failures;
    }
    return {L"a check this runner cannot read: " + Describe(check)};
}

bool Case::Present(const Text &name) const {
    return std::any_of(present_.begin(), present_.end(),
                       [&name](const Text &n) { return SameName(n, name); });
}

// Whether the case made the service: its program lies in the work folder, or quillmar
// installed it in the run (absent before, its program in a folder the arguments name).
bool Case::Made(const Text &name, const Text &path) const {
    const Text program = Unquoted(path);
    if (LiesInside(program, kit_.work))
        return true;
    if (!prepared_ || Present(name))
        return false;
    // As registered, and as Windows resolves it.
    auto folder = [](Text text) {
        while (!text.empty() && (text.back() == L'\\' || text.back() == L'/'))
            text.pop_back();
        return text;
    };
    auto parent = [](const Text &text) {
        const size_t slash = text.find_last_of(L"\\/");
        return slash == Text::npos ? Text() : text.substr(0, slash);
    };
    const Text where = folder(parent(program));
    const Text whereFull = folder(parent(FullPath(program)));
    return std::any_of(args_.begin(), args_.end(), [&](const Text &arg) {
        return (!where.empty() && SameName(folder(arg), where)) ||
               (!whereFull.empty() && SameName(folder(FullPath(arg)), whereFull));
    });
}

bool Case::CleanUp(bool keepFiles, Text &leftovers) {
    leftovers.clear();
    auto leave = [&leftovers](const Text &what) {
        leftovers += (leftovers.empty() ? L"" : L"; ") + what;
    };
    // Test services that linger (slow stop, start pending) end at once.
    for (const Text &mode : ListNames(dir_, L"*.mode"))
        PutSign(dir_ + L"\\" + mode.substr(0, mode.size() - 5) + L".quit", kit_.work);
    for (const Holder &holder : holders_)
        PutSign(holder.release, kit_.work);
    for (Holder &holder : holders_) {
        Handle &hProcess = holder.hProcess;
        // A holder recalled from its file: only while its number is still qmkit.exe's.
        if (hProcess == nullptr) {
            hProcess = Handle(
                OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                            FALSE, holder.pid));
            if (hProcess != nullptr && !SameName(ProcessImage(hProcess), kit_.self))
                hProcess = Handle();
        }
        if (hProcess != nullptr && WaitForSingleObject(hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(hProcess, ERROR_CANCELLED);
    }
    holders_.clear();
    // Told to quit, a test service stops within a moment; a STOP to one that
    // ignored quillmar's would make Wine show it running for 15 s more.
    for (int poll = 0; poll < 20; ++poll) {
        bool settled = true;
        for (const Text &name : services_) {
            const ServiceInfo info = QueryService(kit_.hManager, name, false);
            settled = settled && (info.error != 0 || info.state == SERVICE_STOPPED);
        }
        if (settled)
            break;
        Sleep(100);
    }
    // The last made first (a running dependent blocks a stop), then what quillmar may have made.
    std::vector<Text> names(services_.rbegin(), services_.rend());
    for (const Text &name : kit_.catalogue)
        AddName(names, name);
    for (const Text &name : names) {
        const ServiceInfo info = QueryService(kit_.hManager, name, false);
        Text detail;
        if (info.error == ERROR_SERVICE_DOES_NOT_EXIST)
            continue;
        if (info.error != 0 || !Made(name, info.path)) {
            if (info.error != 0 || !Present(name))
                leave(name + L" left as it is: this kit did not create it (its executable: " +
                      (info.error != 0 ? StateText(info) : info.path) + L")");
        } else if (!RemoveService(kit_.hManager, name, detail)) {
            left_.emplace_back(name, info.path);
            leave(detail);
        }
    }
    services_.clear();
    EndProcessesIn(dir_);
    for (const wchar_t *pFile : {L"\\services", L"\\holders"})
        if (LiesInside(runDir_ + pFile, kit_.work))
            DeleteFileW(LongPath(runDir_ + pFile).c_str());
    if (!keepFiles && (!RemoveTree(dir_) || !RemoveTree(runDir_)))
        leave(L"cannot remove " + dir_);
    return leftovers.empty();
}

std::vector<Text> Case::Snapshot() const {
    std::vector<Text> lines;
    std::vector<Text> names = kit_.catalogue;
    for (const Text &name : services_)
        AddName(names, name);
    for (const Text &name : names) {
        const ServiceInfo info = QueryService(kit_.hManager, name, true);
        lines.push_back(name + L": " + StateText(info));
        if (info.error != 0)
            continue;
        lines.push_back(L"  type=" + Hex(info.type) + L" start=" + std::to_wstring(info.start) +
                        L" error=" + std::to_wstring(info.errorControl) + L" account=" +
                        info.account);
        lines.push_back(L"  path=" + info.path);
        lines.push_back(L"  display=" + info.display);
        for (const Text &dependency : info.dependencies)
            lines.push_back(L"  depends on " + dependency);
        for (const Text &value : ListRegValues(servicesKey + name + L"\\Parameters"))
            lines.push_back(L"  Parameters: " + value);
    }
    lines.push_back(L"files in " + dir_ + L":");
    ListFiles(dir_, Text(), lines);
    return lines;
}

std::vector<Text> ReleaseAll(const Text &work) {
    std::vector<Text> outside;
    auto sign = [&work, &outside](const Text &path) {
        if (!PutSign(path, work))
            outside.push_back(path);
    };
    for (const Text &name : ListNames(work, L"*")) {
        const Text path = work + L"\\" + name;
        for (const Text &mode : ListNames(path, L"*.mode"))
            sign(path + L"\\" + mode.substr(0, mode.size() - 5) + L".quit");
        for (const Text &line : FileLines(path + L"\\holders")) {
            const size_t tab = line.find(L'\t');
            if (tab != Text::npos)
                sign(line.substr(tab + 1));
        }
    }
    return outside;
}

} // namespace kit
