// Per-thread last error and Sleep(), as kernel32 provides them.
#include "sim_internal.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>

namespace quillmar::sim {

namespace {

thread_local DWORD t_lastError = 0;
thread_local bool t_callFailed = false;
thread_local bool t_clearOnSuccess = false;
std::atomic<std::uint64_t> g_slept{0};
std::mutex g_process;

} // namespace

void LockProcess() {
    g_process.lock();
}
void UnlockProcess() {
    g_process.unlock();
}

void SetLastErrorCode(DWORD code) {
    t_lastError = code;
    t_callFailed = true;
}

void BeginCall() {
    t_callFailed = false;
}

void EndCall() {
    if (!t_callFailed && t_clearOnSuccess)
        t_lastError = 0;
}

void NoteLastErrorPolicy(bool clear) {
    t_clearOnSuccess = clear;
}

std::uint64_t SleptMilliseconds() {
    return g_slept.load();
}

void ResetProcessStateForTests() {
    ResetCallCountsForTests();
    ResetReportedForTests();
    g_slept = 0;
}

} // namespace quillmar::sim

using namespace quillmar::sim;

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

void Sleep(DWORD dwMilliseconds) {
    g_slept += dwMilliseconds;
    // An unusable machine cannot fail a void call; it has already said
    // why on stderr, and the wait is then real.
    Settings settings;
    Machine m;
    if (m.Open() == ERROR_SUCCESS && LoadSettings(m, settings) == ERROR_SUCCESS &&
        settings.skipClock)
        return;
    struct timespec want;
    want.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
    want.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    struct timespec left;
    while (nanosleep(&want, &left) != 0 && errno == EINTR)
        want = left;
}
