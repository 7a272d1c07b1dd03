#include "winhost.h"

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <cstring>
#include <cwchar>
#include <utility>

namespace kit {

namespace {

const wchar_t *const longPrefix = L"\\\\?\\";

bool StartsWith(const Text &text, const Text &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A path without the \\?\ (\\?\UNC\, \\.\) that a call may give it.
Text Plain(const Text &path) {
    if (StartsWith(path, L"\\\\?\\UNC\\"))
        return L"\\\\" + path.substr(8);
    return StartsWith(path, longPrefix) || StartsWith(path, L"\\\\.\\") ? path.substr(4) : path;
}

bool RemoveOnce(const Text &path, const Text &top) {
    if (path != top && !LiesInside(path, top))
        return false;
    const Text longPath = LongPath(path);
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(longPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(longPath.c_str()) != 0;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        bool ok = true;
        for (const Text &name : ListNames(path, L"*"))
            ok = RemoveOnce(path + L"\\" + name, top) && ok;
        if (!ok)
            return false;
    }
    return RemoveDirectoryW(longPath.c_str()) != 0;
}

// The path of what exists at path, every link followed; empty when it
// cannot be named, byParent true when its parent's path names it: nothing
// is there, or it is no link Wine 8 can name (beyond MAX_PATH, 234).
Text FinalPath(const Text &path, bool &byParent) {
    const Handle hFile(CreateFileW(LongPath(path).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    byParent = hFile == INVALID_HANDLE_VALUE &&
               (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
    if (hFile == INVALID_HANDLE_VALUE)
        return Text();
    std::vector<wchar_t> buffer(32768);
    const DWORD len =
        GetFinalPathNameByHandleW(hFile, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (len == 0 || len >= buffer.size()) {
        const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
        byParent = attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        return Text();
    }
    return Plain(Text(buffer.data(), len));
}

// The longest existing part of a full path resolved, the rest as given;
// empty when a part exists that cannot be resolved.
Text ResolvedPath(const Text &full) {
    Text rest;
    for (Text head = full;;) {
        bool byParent = false;
        Text final = FinalPath(head, byParent);
        if (!final.empty()) {
            if (final.back() == L'\\')
                final.pop_back();
            return final + rest;
        }
        if (!byParent)
            return Text();
        const size_t slash = head.find_last_of(L'\\');
        if (slash == Text::npos || slash < 3)
            return full;
        rest = head.substr(slash) + rest;
        head.resize(slash);
    }
}

Text SidText(PSID pSid) {
    LPWSTR pText = nullptr;
    if (!ConvertSidToStringSidW(pSid, &pText))
        return L"?";
    const Text text = pText;
    LocalFree(pText);
    return text;
}

Text AccountOf(PSID pSid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLen = 256;
    DWORD domainLen = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, pSid, name, &nameLen, domain, &domainLen, &use))
        return SidText(pSid);
    return (domainLen > 0 ? Text(domain) + L"\\" : Text()) + name + L" (" + SidText(pSid) + L")";
}

std::vector<char> TokenInfo(TOKEN_INFORMATION_CLASS kind) {
    Handle hToken;
    std::vector<char> buffer(512);
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, hToken.Put()) ||
        !GetTokenInformation(hToken, kind, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
        buffer.clear();
    return buffer;
}

// Administrators, SYSTEM, TrustedInstaller, this administrator, and CREATOR
// OWNER and OWNER RIGHTS, which stand for an owner that is one of them.
bool IsTrusted(PSID pSid) {
    static const Text self = [] {
        std::vector<char> user = TokenInfo(TokenUser);
        return user.empty() ? Text()
                            : SidText(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid);
    }();
    const Text sid = SidText(pSid);
    for (const wchar_t *pTrusted :
         {L"S-1-5-32-544", L"S-1-5-18", L"S-1-3-0", L"S-1-3-4",
          L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"})
        if (sid == pTrusted)
            return true;
    return sid == self;
}

struct PipeReader {
    Handle hRead;
    std::string data;
    Handle hThread;
};

DWORD WINAPI ReadToEnd(LPVOID pParam) {
    auto *pReader = static_cast<PipeReader *>(pParam);
    char buffer[4096];
    DWORD numRead = 0;
    while (ReadFile(pReader->hRead, buffer, sizeof buffer, &numRead, nullptr) && numRead > 0)
        pReader->data.append(buffer, numRead);
    return 0;
}

// The handles a run hands its program, all inheritable.
struct RunHandles {
    PipeReader readers[2];
    int numReaders = 0;
    Handle hIn;
    Handle hOut;
    Handle hErr; // none when both streams go to hOut

    HANDLE Err() const { return hErr == nullptr ? hOut : hErr; }
};

HANDLE OpenForChild(const Text &path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(LongPath(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool MakeReader(RunHandles &handles, Handle &hWriteEnd) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    PipeReader &reader = handles.readers[handles.numReaders];
    if (!CreatePipe(reader.hRead.Put(), hWriteEnd.Put(), &inherit, 0))
        return false;
    ++handles.numReaders;
    SetHandleInformation(reader.hRead, HANDLE_FLAG_INHERIT, 0);
    return true;
}

bool PrepareHandles(const Launch &launch, RunHandles &handles) {
    if (launch.stdinBytes.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        handles.hIn = Handle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherit, OPEN_EXISTING, 0, nullptr));
    } else {
        const Text path = launch.runDir + L"\\stdin";
        if (!WriteBytes(path, launch.stdinBytes))
            return false;
        handles.hIn = Handle(OpenForChild(path, false));
    }
    if (handles.hIn == INVALID_HANDLE_VALUE)
        return false;
    switch (launch.streams) {
    case Streams::Files:
        handles.hOut = Handle(OpenForChild(launch.runDir + L"\\stdout", true));
        handles.hErr = Handle(OpenForChild(launch.runDir + L"\\stderr", true));
        return handles.hOut != INVALID_HANDLE_VALUE && handles.hErr != INVALID_HANDLE_VALUE;
    case Streams::Combined:
        return MakeReader(handles, handles.hOut);
    case Streams::Piped:
        return MakeReader(handles, handles.hOut) && MakeReader(handles, handles.hErr);
    }
    return false;
}

// CreateProcessW with exactly the three standard handles inherited.
bool Start(const Launch &launch, RunHandles &handles, Text &commandLine,
           PROCESS_INFORMATION &process) {
    HANDLE inherited[3] = {handles.hIn, handles.hOut, handles.Err()};
    const DWORD numInherited = handles.hErr == nullptr ? 2 : 3;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto *pList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(pList, 1, 0, &size))
        return false;
    bool ok = UpdateProcThreadAttribute(pList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                        numInherited * sizeof(HANDLE), nullptr, nullptr) != 0;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles.hIn;
    startup.StartupInfo.hStdOutput = handles.hOut;
    startup.StartupInfo.hStdError = handles.Err();
    startup.lpAttributeList = pList;
    Text line = commandLine; // CreateProcessW may write to it
    ok = ok &&
         CreateProcessW(launch.argv0 ? launch.program.c_str() : nullptr, line.data(), nullptr,
                        nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT,
                        nullptr, launch.currentDir.empty() ? nullptr : launch.currentDir.c_str(),
                        &startup.StartupInfo, &process);
    const DWORD errorNum = GetLastError();
    DeleteProcThreadAttributeList(pList);
    SetLastError(errorNum);
    return ok;
}

const DWORD removeTimeoutMs = 15000;
const DWORD sliceMs = 50;

DWORD StateOf(SC_HANDLE hService) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(hService, &status) ? status.dwCurrentState : 0;
}

// A function of ntdll that may not be there (Wine's own only under Wine).
template <typename Function> Function NtdllFunction(const char *pName) {
    // Through void (*)() so that the cast between function types is allowed.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), pName)));
}

} // namespace

Text LongPath(const Text &path) {
    if (StartsWith(path, longPrefix))
        return path;
    if (StartsWith(path, L"\\\\"))
        return Text(longPrefix) + L"UNC\\" + path.substr(2);
    return longPrefix + path;
}

Text Join(const Text &dir, const Text &relative) {
    std::vector<Text> parts;
    Text part;
    for (size_t i = 0; i <= relative.size(); ++i) {
        if (i < relative.size() && relative[i] != L'\\' && relative[i] != L'/') {
            part += relative[i];
            continue;
        }
        if (part == L"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        part.clear();
    }
    Text path = dir;
    for (const Text &p : parts)
        path += L"\\" + p;
    return path;
}

bool Exists(const Text &path) {
    return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const Text &path) {
    const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool WriteBytes(const Text &path, const std::string &bytes) {
    HANDLE hFile = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD numWritten = 0;
    const bool ok =
        bytes.empty() ||
        (WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &numWritten, nullptr) &&
         numWritten == bytes.size());
    return CloseHandle(hFile) && ok;
}

std::optional<std::string> ReadBytes(const Text &path) {
    const Handle hFile(CreateFileW(LongPath(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (hFile == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    DWORD numRead = 0;
    bool ok = true;
    while ((ok = ReadFile(hFile, buffer, sizeof buffer, &numRead, nullptr) != 0) && numRead > 0)
        bytes.append(buffer, numRead);
    if (!ok)
        return std::nullopt;
    return bytes;
}

bool MakeDirectories(const Text &path) {
    if (IsDirectory(path))
        return true;
    const size_t slash = path.find_last_of(L'\\');
    if (slash != Text::npos && slash > 2 && !MakeDirectories(path.substr(0, slash)))
        return false;
    return CreateDirectoryW(LongPath(path).c_str(), nullptr) ||
           GetLastError() == ERROR_ALREADY_EXISTS;
}

bool RemoveTree(const Text &path) {
    // A test service's process ends a moment after it stopped, and its
    // executable cannot go before it has.
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (RemoveOnce(path, path))
            return true;
        Sleep(100);
    }
    return false;
}

bool CopyTo(const Text &from, const Text &to) {
    return CopyFileW(LongPath(from).c_str(), LongPath(to).c_str(), FALSE) != 0;
}

std::vector<Text> ListNames(const Text &dir, const Text &pattern) {
    std::vector<Text> names;
    WIN32_FIND_DATAW found{};
    HANDLE hFind = FindFirstFileExW(LongPath(dir + L"\\" + pattern).c_str(), FindExInfoBasic,
                                    &found, FindExSearchNameMatch, nullptr, 0);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        const Text name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(hFind, &found));
    FindClose(hFind);
    return names;
}

bool IsInside(const Text &path, const Text &dir) {
    return path.size() > dir.size() && (path[dir.size()] == L'\\' || path[dir.size()] == L'/') &&
           SameName(path.substr(0, dir.size()), dir);
}

Text FullPath(Text path) {
    path = Plain(path);
    const bool absolute =
        (path.size() > 2 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
        StartsWith(path, L"\\\\");
    const DWORD size = absolute ? GetFullPathNameW(path.c_str(), 0, nullptr, nullptr) : 0;
    if (size == 0)
        return Text();
    std::vector<wchar_t> buffer(size);
    const DWORD len = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    return len > 0 && len < size ? Text(buffer.data(), len) : Text();
}

bool LiesInside(const Text &path, const Text &dir) {
    const Text full = FullPath(path);
    const Text fullDir = FullPath(dir);
    // A path whose text lies elsewhere is not resolved: it may name a server
    // that answers only after a long wait.
    return !full.empty() && !fullDir.empty() && IsInside(full, fullDir) &&
           IsInside(ResolvedPath(full), ResolvedPath(fullDir));
}

bool PutSign(const Text &path, const Text &dir) {
    if (!LiesInside(path, dir))
        return false;
    // A link there, even to nothing, is not followed: Windows would create its target.
    const Handle hSign(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return true;
}

Text WritableByOthers(const Text &path) {
    const Handle hFile(CreateFileW(LongPath(path).c_str(), READ_CONTROL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    PSID pOwner = nullptr;
    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    const DWORD errorNum =
        hFile == INVALID_HANDLE_VALUE
            ? GetLastError()
            : GetSecurityInfo(hFile, SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &pOwner,
                              nullptr, &pDacl, nullptr, &pDescriptor);
    if (errorNum != ERROR_SUCCESS)
        return L"anyone, for all the kit can tell: its permissions cannot be read (error " +
               std::to_wstring(errorNum) + L")";
    // An owner may always change the permissions.
    Text who;
    if (pOwner == nullptr || !IsTrusted(pOwner))
        who = L"its owner, " + (pOwner == nullptr ? Text(L"unknown") : AccountOf(pOwner));
    else if (pDacl == nullptr)
        who = L"everyone (it has no access list)";
    const DWORD writing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                          WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; who.empty() && i < pDacl->AceCount; ++i) {
        void *pAce = nullptr;
        const BYTE type = GetAce(pDacl, i, &pAce) ? static_cast<ACE_HEADER *>(pAce)->AceType : 0xff;
        // A denial only takes rights away.
        if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE)
            continue;
        if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            who = L"whoever an entry of a kind the kit cannot read names";
            break;
        }
        auto *pAllowed = static_cast<ACCESS_ALLOWED_ACE *>(pAce);
        PSID pSid = &pAllowed->SidStart;
        if ((pAllowed->Mask & writing) != 0 && !IsTrusted(pSid))
            who = AccountOf(pSid);
    }
    LocalFree(pDescriptor);
    return who;
}

Text Unquoted(const Text &path) {
    if (path.empty() || path[0] != L'"')
        return path;
    const size_t end = path.find(L'"', 1);
    return path.substr(1, end == Text::npos ? Text::npos : end - 1);
}

Text DirectoryOfModule() {
    std::vector<wchar_t> buffer(32768);
    const DWORD len = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const Text path = Plain(Text(buffer.data(), len));
    return path.substr(0, path.find_last_of(L'\\'));
}

void Print(DWORD stream, const Text &text) {
    HANDLE hOut = GetStdHandle(stream);
    if (hOut == nullptr || hOut == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0;
    DWORD numWritten = 0;
    if (GetConsoleMode(hOut, &mode)) {
        for (size_t at = 0; at < text.size(); at += 8192) {
            const size_t len = text.size() - at < 8192 ? text.size() - at : 8192;
            WriteConsoleW(hOut, text.data() + at, static_cast<DWORD>(len), &numWritten, nullptr);
        }
        return;
    }
    const std::string bytes = Utf8(text);
    for (size_t at = 0; at < bytes.size(); at += numWritten)
        if (!WriteFile(hOut, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &numWritten,
                       nullptr) ||
            numWritten == 0)
            return;
}

HANDLE InterruptEvent() {
    static HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return hEvent;
}

bool Interrupted() {
    return WaitForSingleObject(InterruptEvent(), 0) == WAIT_OBJECT_0;
}

std::vector<Text> &HostFailures() {
    static std::vector<Text> failures;
    return failures;
}

Text QuoteArg(const Text &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == Text::npos)
        return arg;
    Text quoted = L"\"";
    size_t numBackslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++numBackslashes;
            continue;
        }
        quoted.append(c == L'"' ? numBackslashes * 2 + 1 : numBackslashes, L'\\');
        numBackslashes = 0;
        quoted += c;
    }
    quoted.append(numBackslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

Text ProcessImage(HANDLE hProcess) {
    std::vector<wchar_t> image(32768);
    DWORD len = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(hProcess, 0, image.data(), &len))
        return Text();
    return Plain(Text(image.data(), len));
}

void EndProcessesIn(const Text &dir) {
    const Handle hSnapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(hSnapshot, &entry); more;
         more = Process32NextW(hSnapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue;
        const Handle hProcess(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID));
        if (hProcess != nullptr && IsInside(ProcessImage(hProcess), dir) &&
            TerminateProcess(hProcess, ERROR_CANCELLED))
            WaitForSingleObject(hProcess, 2000);
    }
}

double Seconds() {
    return static_cast<double>(GetTickCount64()) / 1000;
}

Ran RunProgram(const Launch &launch) {
    Ran ran;
    ran.commandLine = QuoteArg(launch.argv0.value_or(launch.program));
    for (const Text &arg : launch.args)
        ran.commandLine += L" " + QuoteArg(arg);
    for (int attempt = 1;; ++attempt) {
        RunHandles handles;
        if (!PrepareHandles(launch, handles)) {
            ran.startError = GetLastError();
            return ran;
        }
        PROCESS_INFORMATION process{};
        const double before = Seconds();
        if (!Start(launch, handles, ran.commandLine, process)) {
            const DWORD startError = GetLastError();
            // Wine 8 on a busy host now and then fails to start a process
            // before its main: the program never ran, and runs once more
            // (the failure is only noted, or a second start would read as failed).
            if (startError == ERROR_INTERNAL_ERROR && attempt == 1) {
                HostFailures().push_back(ran.commandLine + L": CreateProcess failed with 1359");
                continue;
            }
            ran.startError = startError;
            return ran;
        }
        ran.started = true;
        handles.hIn = Handle(); // the child's ends closed: the pipes end with the child
        handles.hOut = Handle();
        handles.hErr = Handle();
        for (int i = 0; i < handles.numReaders; ++i)
            handles.readers[i].hThread =
                Handle(CreateThread(nullptr, 0, ReadToEnd, &handles.readers[i], 0, nullptr));

        HANDLE waits[2] = {process.hProcess, InterruptEvent()};
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, launch.timeoutMs);
        if (woke != WAIT_OBJECT_0) {
            (woke == WAIT_TIMEOUT ? ran.timedOut : ran.interrupted) = true;
            TerminateProcess(process.hProcess, ERROR_CANCELLED);
            WaitForSingleObject(process.hProcess, 5000);
        }
        ran.seconds = Seconds() - before;
        GetExitCodeProcess(process.hProcess, &ran.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);

        // The pipes end when the last holder of their write ends has gone:
        // the program, and whatever it handed them to.
        const double left = launch.timeoutMs / 1000.0 - ran.seconds;
        for (int i = 0; i < handles.numReaders; ++i) {
            const DWORD waitMs = ran.interrupted || left <= 0 ? 0 : static_cast<DWORD>(left * 1000);
            HANDLE reader[2] = {handles.readers[i].hThread, InterruptEvent()};
            if (WaitForMultipleObjects(2, reader, FALSE, waitMs) != WAIT_OBJECT_0) {
                ran.pipesLeftOpen = true;
                CancelSynchronousIo(handles.readers[i].hThread);
                WaitForSingleObject(handles.readers[i].hThread, 2000);
            }
        }
        if (launch.streams == Streams::Files) {
            ran.out = ReadBytes(launch.runDir + L"\\stdout").value_or("");
            ran.err = ReadBytes(launch.runDir + L"\\stderr").value_or("");
        } else {
            ran.out = std::move(handles.readers[0].data);
            if (launch.streams == Streams::Piped)
                ran.err = std::move(handles.readers[1].data);
        }
        return ran;
    }
}

ServiceInfo QueryService(SC_HANDLE hManager, const Text &name, bool probeMarked) {
    ServiceInfo info;
    const DWORD access =
        SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | (probeMarked ? SERVICE_CHANGE_CONFIG : 0);
    const ServiceHandle hService(OpenServiceW(hManager, name.c_str(), access));
    if (hService == nullptr) {
        info.error = GetLastError();
        return info;
    }
    DWORD needed = 0;
    QueryServiceConfigW(hService, nullptr, 0, &needed);
    std::vector<char> buffer(needed + sizeof(wchar_t) * 2);
    auto *pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    SERVICE_STATUS status{};
    if (!QueryServiceConfigW(hService, pConfig, static_cast<DWORD>(buffer.size()), &needed) ||
        !QueryServiceStatus(hService, &status)) {
        info.error = GetLastError();
        return info;
    }
    auto text = [](const wchar_t *pText) { return pText == nullptr ? Text() : Text(pText); };
    info.type = pConfig->dwServiceType;
    info.start = pConfig->dwStartType;
    info.errorControl = pConfig->dwErrorControl;
    info.path = text(pConfig->lpBinaryPathName);
    info.display = text(pConfig->lpDisplayName);
    info.account = text(pConfig->lpServiceStartName);
    for (const wchar_t *p = pConfig->lpDependencies; p != nullptr && *p != L'\0';
         p += std::wcslen(p) + 1)
        info.dependencies.emplace_back(p);
    info.state = status.dwCurrentState;
    if (probeMarked)
        info.marked =
            !ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
            GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    return info;
}

Text StateText(const ServiceInfo &info) {
    if (info.error == ERROR_SERVICE_DOES_NOT_EXIST)
        return L"absent";
    if (info.error != 0)
        return L"unreadable (error " + std::to_wstring(info.error) + L")";
    static const wchar_t *const names[] = {L"stopped", L"start pending",    L"stop pending",
                                           L"running", L"continue pending", L"pause pending",
                                           L"paused"};
    Text text = info.state >= 1 && info.state <= 7 ? names[info.state - 1]
                                                   : L"state " + std::to_wstring(info.state);
    if (info.marked)
        text += L", marked for deletion";
    return text;
}

// DeleteService only marks a service (1072 for its name) until it stops and its
// last handle closes; a test service that will not stop must be told to quit.
bool RemoveService(SC_HANDLE hManager, const Text &name, Text &detail) {
    SC_HANDLE hService =
        OpenServiceW(hManager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (hService == nullptr) {
        const DWORD errorNum = GetLastError();
        if (errorNum == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        detail = name + L" left: cannot open it (error " + std::to_wstring(errorNum) + L")";
        return false;
    }
    DWORD errorNum = 0;
    DWORD state = StateOf(hService);
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
        SERVICE_STATUS status{};
        if (!ControlService(hService, SERVICE_CONTROL_STOP, &status))
            errorNum = GetLastError();
    }
    for (DWORD waited = 0; state != SERVICE_STOPPED && waited < removeTimeoutMs;
         waited += sliceMs) {
        Sleep(sliceMs);
        state = StateOf(hService);
    }
    if (!DeleteService(hService) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        errorNum = GetLastError();
    CloseServiceHandle(hService);
    for (DWORD waited = 0; waited < removeTimeoutMs; waited += sliceMs) {
        const ServiceHandle hGone(OpenServiceW(hManager, name.c_str(), SERVICE_QUERY_STATUS));
        if (hGone == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        Sleep(sliceMs);
    }
    detail =
        name + L" left: state " + std::to_wstring(state) + L", error " + std::to_wstring(errorNum);
    return false;
}

RegValueInfo ReadRegValue(const Text &key, const Text &name) {
    RegValueInfo info;
    Key hKey;
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, hKey.Put());
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(hKey, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size + sizeof(wchar_t));
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(hKey, name.c_str(), nullptr, &type, data.data(), &size);
    info.error = rc;
    if (rc != ERROR_SUCCESS)
        return info;
    info.type = type == REG_SZ          ? L"REG_SZ"
                : type == REG_EXPAND_SZ ? L"REG_EXPAND_SZ"
                : type == REG_DWORD     ? L"REG_DWORD"
                : type == REG_MULTI_SZ  ? L"REG_MULTI_SZ"
                                        : L"other";
    info.size = size;
    if (type == REG_DWORD && size == 4) {
        DWORD number = 0;
        std::memcpy(&number, data.data(), sizeof number);
        info.data = std::to_wstring(number);
    } else {
        const Text text(reinterpret_cast<const wchar_t *>(data.data()), size / sizeof(wchar_t));
        info.data = text.substr(0, text.find(L'\0'));
    }
    return info;
}

std::vector<Text> ListRegValues(const Text &key) {
    std::vector<Text> lines;
    Key hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, hKey.Put()) !=
        ERROR_SUCCESS)
        return lines;
    wchar_t name[16384];
    for (DWORD index = 0;; ++index) {
        DWORD nameLen = 16384;
        if (RegEnumValueW(hKey, index, name, &nameLen, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return lines;
        const RegValueInfo value = ReadRegValue(key, Text(name, nameLen));
        lines.push_back(Text(name, nameLen) + L" " + value.type + L" (" +
                        std::to_wstring(value.size) + L" bytes) = " + value.data);
    }
}

HostInfo DescribeHost() {
    HostInfo host;
    using RtlGetVersionFn = LONG(WINAPI *)(RTL_OSVERSIONINFOEXW *);
    using WineVersionFn = const char *(*)();
    using WineHostFn = void (*)(const char **, const char **);
    RTL_OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    auto pGetVersion = NtdllFunction<RtlGetVersionFn>("RtlGetVersion");
    if (pGetVersion != nullptr && pGetVersion(&version) == 0) {
        host.windows = L"Windows " + std::to_wstring(version.dwMajorVersion) + L"." +
                       std::to_wstring(version.dwMinorVersion) + L" build " +
                       std::to_wstring(version.dwBuildNumber);
        const Text key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
        const RegValueInfo ubr = ReadRegValue(key, L"UBR");
        if (ubr.error == ERROR_SUCCESS)
            host.windows += L"." + ubr.data;
        host.windows += version.wProductType == VER_NT_WORKSTATION ? L" (workstation" : L" (server";
        for (const wchar_t *pName : {L"ProductName", L"DisplayVersion"}) {
            const RegValueInfo value = ReadRegValue(key, pName);
            if (value.error == ERROR_SUCCESS && !value.data.empty())
                host.windows += L", " + value.data;
        }
        host.windows += L")";
    }
    auto pWineVersion = NtdllFunction<WineVersionFn>("wine_get_version");
    if (pWineVersion != nullptr) {
        host.isWine = true;
        host.wine = L"Wine " + FromUtf8(pWineVersion());
        auto pHost = NtdllFunction<WineHostFn>("wine_get_host_version");
        if (pHost != nullptr) {
            const char *pSystem = nullptr;
            const char *pRelease = nullptr;
            pHost(&pSystem, &pRelease);
            if (pSystem != nullptr && pRelease != nullptr)
                host.wine += L" on " + FromUtf8(pSystem) + L" " + FromUtf8(pRelease);
        }
    }
    return host;
}

bool IsElevated() {
    std::vector<char> elevation = TokenInfo(TokenElevation);
    return !elevation.empty() &&
           reinterpret_cast<TOKEN_ELEVATION *>(elevation.data())->TokenIsElevated != 0;
}

Text ErrorText(DWORD errorNum) {
    wchar_t buffer[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, errorNum, 0,
                   buffer, 512, nullptr);
    Text text = buffer;
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

} // namespace kit
