// The first thing every fixture does: say on standard error that its main
// has been reached. A run without this line never started (Wine's loader
// failed on the host), which the test backend tells apart from a fixture
// that ran and failed.
#pragma once

#include <cstdio>

inline void AnnounceStart() {
    std::fputs("[fixture started]\n", stderr);
    std::fflush(stderr);
}
