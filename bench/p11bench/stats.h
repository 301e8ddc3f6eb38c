// Latency figures of one row: median and 99th percentile of the samples,
// and operations per second over the whole time measured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa::p11bench {

struct Figures {
    size_t samples = 0;
    double medianNs = 0;
    double p99Ns = 0;
    double opsPerSecond = 0;
};

// Samples in nanoseconds (reordered). Nothing when empty.
Figures summarize(std::vector<int64_t>& samplesNs);

// Monotonic nanoseconds.
int64_t nowNs();

// This process's resident memory in KiB (VmRSS), 0 when unknown.
size_t residentKiB();

}  // namespace vexa::p11bench
