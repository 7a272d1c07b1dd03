// Captures what a call writes on standard output and standard error, at the
// file-descriptor level, so that flushes and stream choice are tested too;
// and the texts it should write, from the scenario table (scenario_texts.h,
// which the build writes from scenarios.py).
#pragma once

#include "scenario_texts.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

struct Captured {
    std::string out;        // everything written on standard output
    std::string err;        // everything written on standard error
    std::string outFlushed; // what reached standard output before the call returned
};

template <typename Call> Captured Capture(Call call) {
    std::fflush(stdout);
    std::fflush(stderr);
    char outName[] = "/tmp/quillmar-out-XXXXXX";
    char errName[] = "/tmp/quillmar-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    const int savedOut = dup(1);
    const int savedErr = dup(2);
    dup2(outFd, 1);
    dup2(errFd, 2);
    call();
    const off_t flushedSize = lseek(outFd, 0, SEEK_END);
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    auto slurp = [](int fd) {
        std::string text;
        lseek(fd, 0, SEEK_SET);
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        close(fd);
        return text;
    };
    Captured captured{slurp(outFd), slurp(errFd), {}};
    captured.outFlushed = captured.out.substr(0, static_cast<std::size_t>(flushedSize));
    unlink(outName);
    unlink(errName);
    return captured;
}

// DisplayError's report in display mode.
inline std::string Report(const std::string &pTxt, unsigned long long num) {
    return " (Error) \nError " + pTxt + ": " + TextOf(num) + ".\n";
}
