// floor.exe: the least a Windows process of ours costs. It imports from
// ADVAPI32, KERNEL32 and msvcrt, as quillmar.exe does, is built by the same
// toolchain with the same options, and does nothing; with --line it writes
// one line. The self-test requires quillmar.exe to load no DLL that
// floor.exe does not; bench/ times quillmar.exe against it.

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
