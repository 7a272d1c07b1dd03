// fakemerge's process left behind, on Windows: itself again with --linger.

#include <windows.h>

#include <string>

void LeaveProcessBehind(unsigned seconds) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine =
        L"\"" + std::wstring(self) + L"\" --linger " + std::to_wstring(seconds);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Every inheritable handle goes along, on purpose.
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

bool WriteErrorAtOnce(const std::string &block) {
    DWORD numWritten = 0;
    return WriteFile(GetStdHandle(STD_ERROR_HANDLE), block.data(), static_cast<DWORD>(block.size()),
                     &numWritten, nullptr) != 0;
}
