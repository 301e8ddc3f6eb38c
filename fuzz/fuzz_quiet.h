// Silences the daemon's console lines in a fuzz target: the standard FILE
// streams are pointed at /dev/null. The sanitizers report on descriptor 2
// and libFuzzer keeps the stream it took at start-up, so findings and
// statistics still show.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vexa::fuzz {

inline void silenceConsoleLines() {
    FILE* sink = std::fopen("/dev/null", "w");
    if (sink == nullptr) {
        std::abort();
    }
    stdout = sink;
    stderr = sink;
}

}  // namespace vexa::fuzz
