// Entry point: the run's error number becomes the exit status.

#include "quillmar.h"

#include <cstdio>
#include <cstdlib>

int main(int arg, char **argv) {
    // Flushed where the program flushes, and at exit. Standard error stays
    // unbuffered: each report is one fputs, and the merge tool's messages
    // are relayed to it past the C runtime.
    static char outBuffer[streamBufferSize];
    std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    const DWORD errorNum = RunQuillmar(arg, argv);
    std::exit(ProcessExitStatus(errorNum));
}
