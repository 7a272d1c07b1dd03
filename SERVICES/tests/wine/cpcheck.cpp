// cpcheck.exe CODEPAGE [ARGS...]
//
// Runs quillmar's check that its command line arrived exactly, as it would
// run in a process whose code page is CODEPAGE, and prints the result (0 or
// 1113). Wine honours quillmar.exe's UTF-8 manifest, so a legacy code page
// is only reachable this way.

#include "started.h"

#include "platform.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    AnnounceStart();
    if (argc < 2) {
        std::fputs("usage: cpcheck CODEPAGE [ARGS...]\n", stderr);
        return 2;
    }
    const DWORD errorNum =
        CheckCommandLineInCodePage(static_cast<UINT>(std::strtoul(argv[1], nullptr, 10)));
    std::printf("%lu\n", errorNum);
    return 0;
}
