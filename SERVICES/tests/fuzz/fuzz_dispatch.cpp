// libFuzzer target over the whole run behind main: an arbitrary command
// line, on a small simulated machine made afresh for every input. Input:
// byte 0 picks a line of kSettingLines (1-based; 0 and values past the end
// add none), byte 1 the preset its "*" names; then a byte for each preset
// (bit 0: it exists before the run, bit 1: it runs); the rest is the
// argument vector, split at NUL bytes. That a run leaves the catalogue as
// it found it is unit_tests' (InstallPaths).
#include "quillmar.h"
#include "quillmar_config.h"
#include "sim_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maxArgs = 24;

std::string g_machine; // QUILLMAR_MACHINE
std::string g_work;    // current directory of every run
FILE *g_null = nullptr;
int g_home = -1; // the directory libFuzzer was started in

// No failing closes: the machine keeps a handle whose close failed, which
// the leak checker would blame on every later input.
const char *const kSettingLines[] = {
    "service * start never",
    "service * start dies",
    "service * stop never",
    "service * stop ignored",
    "service * start 3",
    "service * stop 2",
    "service * held",
    "fail OpenSCManagerA with 5",
    "fail OpenSCManagerA 2 with 5",
    "fail OpenServiceA with 5",
    "fail OpenServiceA 2 with 5",
    "fail OpenServiceA 2 with 1060",
    "fail QueryServiceStatus with 6",
    "fail QueryServiceStatus 2 with 6",
    "fail QueryServiceStatus 5 with 6",
    "fail QueryServiceStatus 2 with 1072",
    "fail StartServiceA with 1058",
    "fail ControlService with 1051",
    "fail CreateServiceA with 1073",
    "fail CreateServiceA with 52",
    "fail ChangeServiceConfigA with 1057",
    "fail DeleteService with 1072",
    "fail RegOpenKeyExA with 2",
    "fail RegCreateKeyExA with 5",
    "fail RegSetValueExA with 87",
    "fail RegSetValueExA 2 with 87",
    "fail RegSetValueExA 1 with 1013",
    "fail OpenServiceA name * with 5",
    "fail DeleteService name * with 1072",
    "fail OpenServiceA name * with 1060",
    "displaynames unique",
};

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The services an input can set up: the catalogue's, then the agent's obsolete one.
std::vector<std::pair<std::string, std::string>> g_presets;

// The machine as the input's header asks, made afresh through its own
// calls; then call counts from zero.
void ResetMachine(const std::uint8_t *header) {
    WriteFile(g_machine + "/settings", "clock skip\n");
    std::error_code ec;
    for (const char *sub : {"registry", "scm"})
        fs::remove_all(g_machine + "/" + sub, ec);
    fs::remove(g_work + "/console/hvcons.old", ec);
    quillmar::sim::ResetProcessStateForTests();
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    for (std::size_t k = 0; k < g_presets.size() && scm; ++k) {
        if (!(header[2 + k] & 1U))
            continue;
        const auto &[name, display] = g_presets[k];
        const std::string image = "C:\\Orv\\" + name + ".exe";
        SC_HANDLE s = CreateServiceA(scm, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
        if (s && (header[2 + k] & 2U))
            StartServiceA(s, 0, nullptr);
        if (s)
            CloseServiceHandle(s);
    }
    if (scm)
        CloseServiceHandle(scm);
    std::string settings = "clock skip\n";
    if (header[0] >= 1 && header[0] <= std::size(kSettingLines)) {
        std::string line = kSettingLines[header[0] - 1];
        const std::size_t star = line.find('*');
        if (star != std::string::npos)
            line.replace(star, 1, g_presets[header[1] % g_presets.size()].first);
        settings += line + "\n";
    }
    WriteFile(g_machine + "/settings", settings);
    quillmar::sim::ResetProcessStateForTests();
}

std::string TempRoot() {
    // tmpfs when there is one: the machine fsyncs every file it replaces.
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    const char *t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

[[noreturn]] void Die(const char *what) {
    std::fprintf(stderr, "fuzz_dispatch: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void RemoveRoot() {
    std::error_code ec;
    if (!g_work.empty())
        fs::remove_all(fs::path(g_work).parent_path(), ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string root = TempRoot() + "/quillmar-fuzz-XXXXXX";
    if (!mkdtemp(root.data()))
        Die("mkdtemp");
    g_machine = root + "/machine";
    g_work = root + "/work";
    fs::create_directories(g_machine);
    fs::create_directories(g_work + "/console");
    // A console directory that the seeds name, so the merge runs to the end.
    WriteFile(g_work + "/console/hvcons.ini", "[services]\nbase=1\n");
    WriteFile(g_work + "/console/hvcfgmrg.exe", "#!/bin/sh\nexit 0\n");
    chmod((g_work + "/console/hvcfgmrg.exe").c_str(), 0755);
    setenv("QUILLMAR_MACHINE", g_machine.c_str(), 1);
    // Runs happen in the scratch area (relative directories in the inputs
    // land there); libFuzzer's own relative paths stay where they were.
    g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_home < 0)
        Die("current directory");
    std::atexit(RemoveRoot);
    g_null = std::fopen("/dev/null", "w");
    if (!g_null)
        Die("/dev/null");
    for (const DoublePointer &row : myServices)
        g_presets.push_back({row.pServiceName, row.pServiceTitle});
    g_presets.push_back({pObsoleteFlmName, pObsoleteFlmTitle});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::size_t headerSize = 2 + g_presets.size();
    if (size < headerSize)
        return -1; // libFuzzer: not worth keeping
    ResetMachine(data);

    // argv[0], then the pieces between NUL bytes (a trailing NUL gives a
    // last, empty argument), at most maxArgs of them.
    std::vector<std::string> pieces{"quillmar"};
    for (std::size_t pos = headerSize;
         pos < size || (pos == size && pieces.size() > 1 && data[pos - 1] == 0);) {
        const void *nul = std::memchr(data + pos, 0, size - pos);
        const std::size_t end =
            nul ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(nul) - data) : size;
        pieces.emplace_back(reinterpret_cast<const char *>(data + pos), end - pos);
        if (!nul || pieces.size() > maxArgs)
            break;
        pos = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &p : pieces)
        argv.push_back(p.data());
    argv.push_back(nullptr);

    display = 0;
    numTabs = 0;
    // The program writes through the stdio streams; swapping them keeps its
    // output away while libFuzzer and the sanitizers keep the real stderr.
    std::fflush(stdout);
    std::fflush(stderr);
    FILE *savedOut = stdout;
    FILE *savedErr = stderr;
    stdout = g_null;
    stderr = g_null;
    if (chdir(g_work.c_str()) != 0)
        std::abort();
    RunQuillmar(static_cast<int>(argv.size() - 1), argv.data());
    if (fchdir(g_home) != 0)
        std::abort();
    std::fflush(g_null);
    stdout = savedOut;
    stderr = savedErr;

    // Each request waits at most the program's polls (twice for a removal inside
    // an install); the skipped clock only counts them: past this, a run would hang.
    const std::uint64_t maxSleptMs =
        2ULL * QUILLMAR_MAX_POLLS * QUILLMAR_POLL_PAUSE_MS * argv.size();
    if (quillmar::sim::SleptMilliseconds() > maxSleptMs) {
        std::fprintf(stderr, "fuzz_dispatch: %llu ms of sleeps for %zu arguments\n",
                     static_cast<unsigned long long>(quillmar::sim::SleptMilliseconds()),
                     argv.size() - 1);
        std::abort();
    }
    return 0;
}
