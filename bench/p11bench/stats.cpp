#include "p11bench/stats.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <numeric>

namespace vexa::p11bench {

Figures summarize(std::vector<int64_t>& samplesNs) {
    Figures f;
    f.samples = samplesNs.size();
    if (samplesNs.empty()) {
        return f;
    }
    std::sort(samplesNs.begin(), samplesNs.end());
    const size_t n = samplesNs.size();
    f.medianNs =
        n % 2 == 1
            ? static_cast<double>(samplesNs[n / 2])
            : (static_cast<double>(samplesNs[n / 2 - 1]) + static_cast<double>(samplesNs[n / 2])) /
                  2;
    // Nearest rank: the smallest sample with at least 99 % at or below it.
    const auto rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
    f.p99Ns = static_cast<double>(samplesNs[std::max<size_t>(rank, 1) - 1]);
    const double total =
        static_cast<double>(std::accumulate(samplesNs.begin(), samplesNs.end(), int64_t{0}));
    f.opsPerSecond = total > 0 ? static_cast<double>(n) * 1e9 / total : 0;
    return f;
}

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

size_t residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return static_cast<size_t>(std::strtoull(line.c_str() + 6, nullptr, 10));
        }
    }
    return 0;
}

}  // namespace vexa::p11bench
