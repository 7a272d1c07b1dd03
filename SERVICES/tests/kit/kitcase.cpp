#include "kitcase.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace kit {

namespace {

const Text servicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";

bool SameName(const Text &a, const Text &b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
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
    std::swprintf(text, 16, L"%#lx", value);
    return value == 0 ? Text(L"0x0") : Text(text);
}

unsigned long Number(const Field &field) {
    return field ? std::wcstoul(field->c_str(), nullptr, 10) : 0;
}

size_t CountProcessStarts(const Text &log) {
    const std::string text = ReadBytes(log).value_or("");
    size_t count = 0;
    for (size_t at = text.find(" process\n"); at != std::string::npos;
         at = text.find(" process\n", at + 1))
        ++count;
    return count;
}

std::vector<Text> Lines(const std::string &bytes) {
    std::vector<Text> lines;
    const Text text = FromUtf8(bytes);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == Text::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<Text> SplitTabs(const Text &line) {
    std::vector<Text> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find(L'\t', start);
        fields.push_back(line.substr(start, tab == Text::npos ? tab : tab - start));
        if (tab == Text::npos)
            return fields;
        start = tab + 1;
    }
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
    Recall();
}

Case::~Case() {
    for (Holder &holder : holders_)
        if (holder.hProcess != nullptr)
            CloseHandle(holder.hProcess);
}

Text Case::Expand(const Text &text) const {
    Text out = text;
    if (out.find(L"{share}") != Text::npos)
        out = ReplaceAll(out, L"{share}", ShareOf(dir_));
    return ReplaceAll(ReplaceAll(out, L"{dir}", dir_), L"{sep}", L"\\");
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
    if (!LiesInside(dir_, kit_.work) || !LiesInside(runDir_, kit_.work)) {
        error = L"the case's folders lead out of " + kit_.work;
        return false;
    }
    if (!MakeWorkFolder(kit_.work) || !MakeDirectories(dir_) || !MakeDirectories(runDir_)) {
        error = L"cannot make the case's folders below " + kit_.work + L" (error " +
                std::to_wstring(GetLastError()) + L")";
        return false;
    }
    for (const Text &name : prepared_ ? std::vector<Text>() : kit_.data.catalogue)
        if (QueryService(kit_.hManager, name, false).error != ERROR_SERVICE_DOES_NOT_EXIST)
            present_.push_back(name);
    prepared_ = true;
    return true;
}

// A file below the case's folder, named as a scenario names it.
Text Case::HostPath(const Text &path) const {
    Text relative = Expand(path);
    if (relative.size() >= dir_.size() &&
        CompareStringOrdinal(relative.c_str(), static_cast<int>(dir_.size()), dir_.c_str(),
                             static_cast<int>(dir_.size()), TRUE) == CSTR_EQUAL)
        relative = relative.substr(dir_.size());
    return Join(dir_, relative);
}

void Case::Remember(const Text &file, const Text &line) const {
    const Text path = runDir_ + L"\\" + file;
    WriteBytes(path, ReadBytes(path).value_or("") + Utf8(line) + "\n");
}

void Case::Recall() {
    for (const Text &name : Lines(ReadBytes(runDir_ + L"\\services").value_or("")))
        services_.push_back(name);
    for (const Text &line : Lines(ReadBytes(runDir_ + L"\\holders").value_or(""))) {
        const std::vector<Text> fields = SplitTabs(line);
        if (fields.size() == 2)
            holders_.push_back({static_cast<DWORD>(std::wcstoul(fields[0].c_str(), nullptr, 10)),
                                fields[1], nullptr});
    }
}

// ---- set-up -------------------------------------------------------------------

bool Case::SetUp(const Step &step, Text &error) {
    return step.isService ? SetUpService(step.service, error) : SetUpConsole(step.console, error);
}

bool Case::SetUpService(const ServiceStep &step, Text &error) {
    // Two services may share one executable (the agent under both names).
    const Text exe = dir_ + L"\\" + step.exe;
    if (!Exists(exe) && !CopyTo(kit_.testsvc, exe)) {
        error = L"cannot copy the test service to " + exe;
        return false;
    }
    if (!WriteBytes(exe + L".mode", Utf8(step.mode) + "\n")) {
        error = L"cannot write " + exe + L".mode";
        return false;
    }
    Text dependencies;
    for (const Text &name : step.dependsOn)
        dependencies += name + L'\0';
    dependencies += L'\0';
    // Interactive and own process, as quillmar registers its services; only
    // LocalSystem may run an interactive one, so a service of another
    // account is own process alone.
    const DWORD type = step.account ? SERVICE_WIN32_OWN_PROCESS
                                    : SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    SC_HANDLE hService = CreateServiceW(
        kit_.hManager, step.name.c_str(), step.display.c_str(), SERVICE_ALL_ACCESS, type,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, exe.c_str(), nullptr, nullptr,
        dependencies.c_str(), step.account ? step.account->c_str() : nullptr,
        step.account ? L"" : nullptr);
    if (hService == nullptr) {
        error = L"CreateService " + step.name + L" failed with " + std::to_wstring(GetLastError());
        return false;
    }
    CloseServiceHandle(hService);
    if (std::none_of(services_.begin(), services_.end(),
                     [&step](const Text &name) { return SameName(name, step.name); })) {
        services_.push_back(step.name);
        Remember(L"services", step.name);
    }

    if (!step.params.empty()) {
        HKEY hKey = nullptr;
        const Text key = servicesKey + step.name + L"\\Parameters";
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &hKey, nullptr);
        for (const auto &[name, value] : step.params) {
            const Text data = Expand(value);
            if (rc == ERROR_SUCCESS)
                rc = RegSetValueExW(hKey, name.c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(data.c_str()),
                                    static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        }
        if (hKey != nullptr)
            RegCloseKey(hKey);
        if (rc != ERROR_SUCCESS) {
            error = L"cannot write the values under HKLM\\" + key + L" (error " +
                    std::to_wstring(rc) + L")";
            return false;
        }
    }
    if (step.running && !StartService(step, error))
        return false;
    if (step.held && !Hold(step.name, error))
        return false;
    if (step.marked) {
        hService = OpenServiceW(kit_.hManager, step.name.c_str(), DELETE);
        const bool deleted = hService != nullptr && DeleteService(hService);
        const DWORD errorNum = GetLastError();
        if (hService != nullptr)
            CloseServiceHandle(hService);
        if (!deleted) {
            error = L"DeleteService " + step.name + L" failed with " + std::to_wstring(errorNum);
            return false;
        }
    }
    return true;
}

bool Case::StartService(const ServiceStep &step, Text &error) {
    const Text log = dir_ + L"\\" + step.exe + L".log";
    SC_HANDLE hService =
        OpenServiceW(kit_.hManager, step.name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS);
    if (hService == nullptr) {
        error = L"OpenService " + step.name + L" failed with " + std::to_wstring(GetLastError());
        return false;
    }
    DWORD errorNum = 0;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const size_t startsBefore = CountProcessStarts(log);
        errorNum = StartServiceW(hService, 0, nullptr) ? 0 : GetLastError();
        // A service process that never wrote its first log line never
        // reached its main: Wine failed to start it on a busy host.
        if (errorNum == ERROR_SERVICE_REQUEST_TIMEOUT && CountProcessStarts(log) == startsBefore &&
            attempt == 1) {
            HostFailures().push_back(L"StartService " + step.name +
                                     L": 1053, its process never started");
            continue;
        }
        break;
    }
    // The test service's first report is the state the set-up wants.
    const DWORD wanted = step.behaviour == L"nostart" ? SERVICE_START_PENDING : SERVICE_RUNNING;
    SERVICE_STATUS status{};
    for (int poll = 0; errorNum == 0 && poll < 100 && !Interrupted(); ++poll) {
        if (QueryServiceStatus(hService, &status) && status.dwCurrentState == wanted)
            break;
        Sleep(50);
    }
    CloseServiceHandle(hService);
    if (errorNum != 0 || status.dwCurrentState != wanted) {
        error = L"StartService " + step.name + L": error " + std::to_wstring(errorNum) +
                L", state " + std::to_wstring(status.dwCurrentState) + L", not " +
                std::to_wstring(wanted);
        return false;
    }
    return true;
}

// Another process of the kit opens the service and keeps it open until its
// release file appears (or, in a run, until this process ends), as the
// Services console or a monitor holds a service.
bool Case::Hold(const Text &name, Text &error) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
        Holder holder;
        holder.release = runDir_ + L"\\hold-" + std::to_wstring(holders_.size()) + L".release";
        Text commandLine = QuoteArg(kit_.self) + L" hold " + QuoteArg(holder.release) + L" " +
                           std::to_wstring(watchParent_ ? GetCurrentProcessId() : 0) + L" " +
                           QuoteArg(name);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE hRead = nullptr;
        HANDLE hWrite = nullptr;
        if (!CreatePipe(&hRead, &hWrite, &inherit, 0)) {
            error = L"cannot make a pipe for the holder";
            return false;
        }
        SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
        HANDLE hNull =
            CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = hNull;
        startup.hStdOutput = hWrite;
        startup.hStdError = hNull;
        PROCESS_INFORMATION process{};
        const bool started =
            CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                           nullptr, nullptr, &startup, &process) != 0;
        const DWORD startError = GetLastError();
        CloseHandle(hWrite);
        CloseHandle(hNull);
        if (!started) {
            CloseHandle(hRead);
            if (startError == ERROR_INTERNAL_ERROR && attempt == 1) {
                HostFailures().push_back(L"the holder of " + name +
                                         L": CreateProcess failed with "
                                         L"1359");
                continue;
            }
            error = L"cannot start the holder of " + name + L" (error " +
                    std::to_wstring(startError) + L")";
            return false;
        }
        CloseHandle(process.hThread);
        std::string said;
        for (int poll = 0; poll < 400 && said.find('\n') == std::string::npos; ++poll) {
            DWORD available = 0;
            if (!PeekNamedPipe(hRead, nullptr, 0, nullptr, &available, nullptr))
                break; // the holder has gone
            if (available == 0) {
                Sleep(50);
                continue;
            }
            char buffer[256];
            DWORD numRead = 0;
            if (ReadFile(hRead, buffer, sizeof buffer, &numRead, nullptr))
                said.append(buffer, numRead);
        }
        CloseHandle(hRead);
        holder.pid = process.dwProcessId;
        holder.hProcess = process.hProcess;
        holders_.push_back(holder);
        Remember(L"holders", std::to_wstring(holder.pid) + L"\t" + holder.release);
        if (said.rfind("held\n", 0) == 0 || said.rfind("held\r\n", 0) == 0)
            return true;
        // Nothing said at all: it never reached its main.
        if (said.empty() && attempt == 1 &&
            WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            HostFailures().push_back(L"the holder of " + name + L" ended without a word");
            continue;
        }
        error = L"the holder of " + name + L" did not hold it: " + FromUtf8(said);
        return false;
    }
    error = L"the holder of " + name + L" never started";
    return false;
}

bool Case::SetUpConsole(const ConsoleStep &step, Text &error) {
    const Text sub = HostPath(step.sub);
    if (!MakeDirectories(sub)) {
        error = L"cannot make " + sub;
        return false;
    }
    std::vector<std::pair<Text, std::string>> files;
    if (step.ini)
        files.emplace_back(L"hvcons.ini", Utf8(*step.ini));
    if (step.old)
        files.emplace_back(L"hvcons.old", Utf8(*step.old));
    if (step.toolStatus) {
        if (!CopyTo(kit_.fakemerge, sub + L"\\hvcfgmrg.exe")) {
            error = L"cannot copy the merge tool to " + sub;
            return false;
        }
        files.emplace_back(L"hvcfgmrg.status", Utf8(*step.toolStatus) + "\n");
        if (step.linger)
            files.emplace_back(L"hvcfgmrg.linger", Utf8(*step.linger) + "\n");
        if (step.echo)
            files.emplace_back(L"hvcfgmrg.echo", "");
    }
    for (const auto &[name, bytes] : files)
        if (!WriteBytes(sub + L"\\" + name, bytes)) {
            error = L"cannot write " + sub + L"\\" + name;
            return false;
        }
    return true;
}

// ---- the run --------------------------------------------------------------------

Ran Case::Run(const Scenario &scenario, const Expected &expected, const Text &program) {
    Launch launch;
    launch.program = program;
    for (const Text &arg : scenario.args)
        launch.args.push_back(Expand(arg));
    args_ = launch.args;
    launch.currentDir = dir_;
    launch.streams = expected.combined ? Streams::Combined
                     : scenario.piped  ? Streams::Piped
                                       : Streams::Files;
    launch.stdinBytes = Utf8(Expand(scenario.stdinText));
    launch.runDir = runDir_;
    // Far beyond a slow scenario's wait: only a program that hangs meets it.
    launch.timeoutMs =
        static_cast<DWORD>(std::max<unsigned long>(300, kit_.data.slowSeconds * 5)) * 1000;
    return RunProgram(launch);
}

// ---- checks -----------------------------------------------------------------------

Text Case::Describe(const Check &check) const {
    const std::vector<Field> &f = check.fields;
    Text text = check.kind;
    for (const Field &field : f)
        text += L" " + (field ? Quoted(Expand(*field)) : Text(L"-"));
    return text;
}

std::vector<Text> Case::Verify(const Check &check) const {
    const std::vector<Field> &f = check.fields;
    auto needs = [&f](size_t count, bool more = false) {
        return more ? f.size() >= count : f.size() == count;
    };
    std::vector<Text> failures;
    if (check.kind == L"state" && needs(2) && f[0] && f[1]) {
        const Text name = Expand(*f[0]);
        const Text wanted = *f[1];
        // A deleted service goes only when its process has ended, a moment
        // after it stopped: a stopped service expected absent gets that moment.
        const double deadline = Seconds() + kit_.data.goneSeconds;
        for (;;) {
            const Text found = StateText(QueryService(kit_.hManager, name, true));
            if (found == wanted)
                return failures;
            if (!(wanted == L"absent" && found.rfind(L"stopped", 0) == 0 && Seconds() < deadline)) {
                failures.push_back(L"service " + name + L": " + found + L", expected " + wanted);
                return failures;
            }
            Sleep(100);
        }
    }
    if (check.kind == L"config" && needs(6) && f[0]) {
        const Text name = Expand(*f[0]);
        const ServiceInfo info = QueryService(kit_.hManager, name, false);
        if (info.error != 0)
            return {L"service " + name + L": " + StateText(info) + L", expected configured"};
        const std::pair<const wchar_t *, DWORD> numbers[] = {
            {L"type", info.type}, {L"start", info.start}, {L"error", info.errorControl}};
        for (size_t i = 0; i < 3; ++i)
            if (numbers[i].second != Number(f[i + 1]))
                failures.push_back(L"service " + name + L": " + numbers[i].first + L" " +
                                   Hex(numbers[i].second) + L", expected " + Hex(Number(f[i + 1])));
        const std::pair<const wchar_t *, const Text *> texts[] = {{L"path", &info.path},
                                                                  {L"display", &info.display}};
        for (size_t i = 0; i < 2; ++i)
            if (f[i + 4] && *texts[i].second != Expand(*f[i + 4]))
                failures.push_back(L"service " + name + L": " + texts[i].first + L" " +
                                   Quoted(*texts[i].second) + L", expected " +
                                   Quoted(Expand(*f[i + 4])));
        return failures;
    }
    if (check.kind == L"reg" && needs(4) && f[0] && f[1] && f[2]) {
        const Text key = Expand(*f[0]);
        const Text where = L"HKLM\\" + key + L" " + *f[1];
        const RegValueInfo value = ReadRegValue(key, Expand(*f[1]));
        const bool absent = value.error == ERROR_FILE_NOT_FOUND;
        if (value.error != ERROR_SUCCESS && !absent)
            return {where + L": cannot read it (error " + std::to_wstring(value.error) + L")"};
        if (!f[3])
            return absent ? failures
                          : std::vector<Text>{where + L": " + Quoted(value.data) +
                                              L", expected absent"};
        const Text wanted = Expand(*f[3]);
        if (absent)
            return {where + L": absent, expected " + Quoted(wanted)};
        if (value.type != *f[2])
            failures.push_back(where + L": type " + value.type + L", expected " + *f[2]);
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
    if (check.kind == L"file" && needs(2) && f[0]) {
        const Text path = HostPath(*f[0]);
        if (!f[1])
            return Exists(path) ? std::vector<Text>{*f[0] + L": present, expected absent"}
                                : failures;
        const std::optional<std::string> found = IsDirectory(path) ? std::nullopt : ReadBytes(path);
        const Text wanted = Expand(*f[1]);
        if (!found)
            return {*f[0] + L": absent, expected " + Quoted(wanted)};
        if (*found != Utf8(wanted))
            failures.push_back(*f[0] + L": " + Quoted(FromUtf8(*found)) + L", expected " +
                               Quoted(wanted));
        return failures;
    }
    if (check.kind == L"tool" && needs(2, true) && f[0] && f[1]) {
        const Text sub = HostPath(*f[0]);
        // The tool runs with the UTF-8 code page, as quillmar does.
        const std::vector<Text> runs = Lines(ReadBytes(sub + L"\\hvcfgmrg.log").value_or(""));
        std::vector<Text> wanted{sub};
        for (size_t i = 2; i < f.size(); ++i)
            wanted.push_back(f[i] ? Expand(*f[i]) : Text());
        if (runs.size() != Number(f[1]))
            failures.push_back(L"merge tool in " + *f[0] + L": ran " +
                               std::to_wstring(runs.size()) + L" times, expected " + *f[1]);
        for (const Text &run : runs)
            if (SplitTabs(run) != wanted)
                failures.push_back(L"merge tool in " + *f[0] + L": ran as " +
                                   QuotedList(SplitTabs(run)) + L", expected " +
                                   QuotedList(wanted));
        return failures;
    }
    return {L"a check this runner cannot read: " + Describe(check)};
}

// ---- after the case -------------------------------------------------------------

bool Case::Present(const Text &name) const {
    return std::any_of(present_.begin(), present_.end(),
                       [&name](const Text &n) { return SameName(n, name); });
}

// Whether the case made the service: its program lies in the work folder,
// or quillmar installed it in the case's run (absent before the set-up,
// its program in a folder the run's arguments name). Anyone else's
// service created meanwhile is neither.
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
    // Test services that linger (slow stop, start pending) end at once.
    for (const Text &mode : ListNames(dir_, L"*.mode"))
        PutSign(dir_ + L"\\" + mode.substr(0, mode.size() - 5) + L".quit", kit_.work);
    for (const Holder &holder : holders_)
        PutSign(holder.release, kit_.work);
    for (Holder &holder : holders_) {
        HANDLE hProcess = holder.hProcess;
        // A holder recalled from the folder is waited for and ended only while
        // its number is still a process of the kit's own program.
        if (hProcess == nullptr) {
            hProcess =
                OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                            FALSE, holder.pid);
            if (hProcess != nullptr && !SameName(ProcessImage(hProcess), kit_.self)) {
                CloseHandle(hProcess);
                hProcess = nullptr;
            }
        }
        if (hProcess != nullptr && WaitForSingleObject(hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(hProcess, ERROR_CANCELLED);
        if (hProcess != nullptr)
            CloseHandle(hProcess);
        holder.hProcess = nullptr;
    }
    holders_.clear();
    // The last made first: Windows refuses to stop a service that a running
    // one depends on. Then whatever quillmar may have made.
    std::vector<Text> names(services_.rbegin(), services_.rend());
    for (const Text &name : kit_.data.catalogue)
        if (std::none_of(names.begin(), names.end(),
                         [&name](const Text &known) { return SameName(known, name); }))
            names.push_back(name);
    bool allGone = true;
    for (const Text &name : names) {
        const ServiceInfo info = QueryService(kit_.hManager, name, false);
        Text detail;
        if (info.error == ERROR_SERVICE_DOES_NOT_EXIST)
            continue;
        if (info.error != 0 || !Made(name, info.path)) {
            if (info.error != 0 || !Present(name)) {
                allGone = false;
                leftovers += (leftovers.empty() ? L"" : L"; ") + name +
                             L" left as it is: this kit did not create it (its executable: " +
                             (info.error != 0 ? StateText(info) : info.path) + L")";
            }
        } else if (!RemoveService(kit_.hManager, name, detail)) {
            allGone = false;
            left_.emplace_back(name, info.path);
            leftovers += (leftovers.empty() ? L"" : L"; ") + detail;
        }
    }
    services_.clear();
    EndProcessesIn(dir_);
    for (const wchar_t *pFile : {L"\\services", L"\\holders"})
        if (LiesInside(runDir_ + pFile, kit_.work))
            DeleteFileW(LongPath(runDir_ + pFile).c_str());
    if (!keepFiles) {
        if (!RemoveTree(dir_) || !RemoveTree(runDir_)) {
            allGone = false;
            leftovers += (leftovers.empty() ? L"" : L"; ") + Text(L"cannot remove ") + dir_;
        }
    }
    return allGone;
}

std::vector<Text> Case::Snapshot() const {
    std::vector<Text> lines;
    std::vector<Text> names = kit_.data.catalogue;
    for (const Text &name : services_)
        if (std::none_of(names.begin(), names.end(),
                         [&name](const Text &known) { return SameName(known, name); }))
            names.push_back(name);
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
        for (const Text &line : Lines(ReadBytes(path + L"\\holders").value_or(""))) {
            const size_t tab = line.find(L'\t');
            if (tab != Text::npos)
                sign(line.substr(tab + 1));
        }
    }
    return outside;
}

} // namespace kit
