// Entry point: the run's error number becomes the exit status.

#include "quillmar.h"

#include <cstdlib>

int main(int arg, char **argv) {
    const DWORD errorNum = RunQuillmar(arg, argv);
    std::exit(ProcessExitStatus(errorNum));
}
