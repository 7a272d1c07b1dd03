// floor.exe: the least a Windows process of ours costs, with quillmar.exe's imports
// (ADVAPI32, KERNEL32, msvcrt), toolchain and options, doing nothing: the measure of
// the DLLs quillmar.exe may load (self-test) and of its time (bench/).

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// One function of each DLL, held so that the loader maps all three; only
// the C library's is called.
auto *volatile pOpenManager = &OpenSCManagerA;
auto *volatile pLastError = &GetLastError;

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && (pOpenManager == nullptr || pLastError == nullptr))
        return 1;
    // --line: the least a program that writes costs, one line in one write.
    if (argc > 1 && std::strcmp(argv[1], "--line") == 0)
        std::fputs("floor.exe: one line\n", stdout);
    std::fflush(stdout);
    return 0;
}
