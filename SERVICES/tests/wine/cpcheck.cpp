// cpcheck.exe CODEPAGE [ARGS...]
// cpcheck.exe --guard | --smash TEXT
//
// Runs pieces of quillmar's Windows platform layer in a process of their
// own.
//
// CODEPAGE: quillmar's check that its command line arrived exactly, as it
// would run in a process whose code page is CODEPAGE; prints the result (0
// or 1113). Wine honours quillmar.exe's UTF-8 manifest, so a legacy code
// page is only reachable this way.
//
// --guard: prints the stack protector's guard as the platform layer seeded
// it before main, in hex; two runs must differ.
// --smash TEXT: copies TEXT into a 16-byte buffer of a protected function;
// a longer TEXT must end the process with 0xC0000409 before it returns.

#include "started.h"

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" std::uintptr_t __stack_chk_guard;

namespace {

// Deliberately unbounded: the overrun is what the protector must catch.
__attribute__((noinline)) std::size_t Smash(const char *pText) {
    char buffer[16];
    std::strcpy(buffer, pText); // NOLINT(clang-analyzer-security.insecureAPI.strcpy)
    return std::strlen(buffer);
}

} // namespace

int main(int argc, char **argv) {
    AnnounceStart();
    if (argc < 2) {
        std::fputs("usage: cpcheck CODEPAGE [ARGS...] | --guard | --smash TEXT\n", stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "--guard") == 0) {
        std::printf("%llx\n", static_cast<unsigned long long>(__stack_chk_guard));
        return 0;
    }
    if (std::strcmp(argv[1], "--smash") == 0 && argc == 3) {
        std::printf("%zu\n", Smash(argv[2]));
        return 0;
    }
    const DWORD errorNum =
        CheckCommandLineInCodePage(static_cast<UINT>(std::strtoul(argv[1], nullptr, 10)));
    std::printf("%lu\n", errorNum);
    return 0;
}
