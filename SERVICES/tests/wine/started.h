// A fixture's first line on standard error: a run without it never reached
// main (Wine failed on the host), unlike a fixture that ran and failed.
#pragma once

#include <cstdio>

inline void AnnounceStart() {
    std::fputs("[fixture started]\n", stderr);
    std::fflush(stderr);
}
