// Captures what a call writes on each stream at the file-descriptor level, so that flushes
// and stream choice are tested too; the expected texts come from scenario_texts.h.
#pragma once

#include "scenario_texts.h"

#include <cstdio>
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
    std::FILE *outFile = std::tmpfile();
    std::FILE *errFile = std::tmpfile();
    const int outFd = fileno(outFile);
    const int errFd = fileno(errFile);
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
    auto slurp = [](std::FILE *file) {
        std::string text;
        std::rewind(file);
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            text.append(buffer, got);
        }
        std::fclose(file);
        return text;
    };
    Captured captured{slurp(outFile), slurp(errFile), {}};
    captured.outFlushed = captured.out.substr(0, static_cast<std::size_t>(flushedSize));
    return captured;
}

// DisplayError's report in display mode.
inline std::string Report(const std::string &pTxt, unsigned long long num) {
    return " (Error) \nError " + pTxt + ": " + TextOf(num) + ".\n";
}
