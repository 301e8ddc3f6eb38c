// The module's log call when the line's level is below the threshold: what
// every exported function pays for its TRACE line in a normal run. The
// written line (to a discarding stream) is there for contrast.
#include <benchmark/benchmark.h>

#include <ostream>
#include <streambuf>
#include <string>

#include "log/logger.h"

namespace vexa::bench {
namespace {

// A stream buffer that drops everything.
class CNullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// state.range(0): the threshold; the line is at TRACE.
void formattedLine(benchmark::State& state) {
    CNullBuffer sink;
    std::ostream console(&sink);
    talvoranth::CLogger log(&console);
    log.setConsole(true);
    log.setThreshold(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        log.log(talvoranth::LOG_TRACE, "%s", "C_GetSessionInfo");
    }
}

void formattedLineWithArguments(benchmark::State& state) {
    CNullBuffer sink;
    std::ostream console(&sink);
    talvoranth::CLogger log(&console);
    log.setConsole(true);
    log.setThreshold(static_cast<int>(state.range(0)));
    unsigned long handle = 0x10001;
    for (auto _ : state) {
        log.log(talvoranth::LOG_TRACE, "session %lu slot %d rv 0x%lx", handle, 0, 0x0UL);
        benchmark::DoNotOptimize(handle);
    }
}

// Thresholds: ERROR (the default: TRACE is filtered out), OFF, and TRACE
// (the line is written) for contrast.
void thresholds(benchmark::internal::Benchmark* b) {
    b->ArgName("threshold")
        ->Arg(talvoranth::LOG_ERROR)
        ->Arg(talvoranth::LOG_OFF)
        ->Arg(talvoranth::LOG_TRACE);
}

BENCHMARK(formattedLine)->Name("Log/Trace")->Apply(thresholds);
BENCHMARK(formattedLineWithArguments)->Name("Log/TraceWithArguments")->Apply(thresholds);

}  // namespace
}  // namespace vexa::bench
