// vexa-p11bench: loads any PKCS#11 module and measures, on one thread, the
// latency (median, 99th percentile) and rate of common calls, in one table.
//
//   vexa-p11bench --module PATH [--slot N] [--pin PIN] [--iterations N]
//                 [--seconds S] [--only NAME] [--tsv]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "p11bench/module_loader.h"
#include "p11bench/rows.h"

namespace {

using vexa::p11bench::Options;
using vexa::p11bench::RowResult;

constexpr const char* kUsage =
    "usage: vexa-p11bench --module PATH [--slot N] [--pin PIN] [--iterations N] [--seconds S] "
    "[--only NAME] [--tsv]\n"
    "  --module PATH     the PKCS#11 module to load\n"
    "  --slot N          slot id (default: the first slot with a token)\n"
    "  --pin PIN         user PIN; the key rows need it (also from VEXA_P11BENCH_PIN)\n"
    "  --iterations N    samples per row (default 1000; the 1 MiB stream takes N/100)\n"
    "  --seconds S       stop a row after S seconds of measured time (default 10)\n"
    "  --only NAME       only the rows whose name starts with NAME\n"
    "  --tsv             tab-separated output for scripts, times in nanoseconds\n";

bool parseUnsigned(const char* text, unsigned long long max, unsigned long long* out) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    *out = v;
    return true;
}

// False (with a message) on a bad command line.
bool parse(int argc, char** argv, Options& o) {
    if (const char* pin = std::getenv("VEXA_P11BENCH_PIN"); pin != nullptr) {
        o.pin = pin;
        o.pinGiven = true;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long n = 0;
        if (arg == "--tsv") {
            o.tsv = true;
            continue;
        }
        if (next == nullptr) {
            std::fprintf(stderr, "vexa-p11bench: %s needs a value\n", arg.c_str());
            return false;
        }
        ++i;
        if (arg == "--module") {
            o.module = next;
        } else if (arg == "--only") {
            o.only = next;
        } else if (arg == "--pin") {
            o.pin = next;
            o.pinGiven = true;
        } else if (arg == "--slot" && parseUnsigned(next, 0xFFFFFFFFull, &n)) {
            o.slot = static_cast<CK_SLOT_ID>(n);
            o.slotGiven = true;
        } else if (arg == "--iterations" && parseUnsigned(next, 100000000ull, &n) && n > 0) {
            o.iterations = static_cast<size_t>(n);
        } else if (arg == "--seconds" && parseUnsigned(next, 86400ull, &n) && n > 0) {
            o.rowSeconds = static_cast<double>(n);
        } else {
            std::fprintf(stderr, "vexa-p11bench: bad argument %s %s\n", arg.c_str(), next);
            return false;
        }
    }
    if (o.module.empty()) {
        std::fprintf(stderr, "vexa-p11bench: --module is required\n");
        return false;
    }
    return true;
}

// "12.3 us", "1.52 ms".
std::string duration(double ns) {
    char text[32];
    if (ns < 1e3) {
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    } else if (ns < 1e6) {
        std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    }
    return text;
}

void printTable(const Options& o, const vexa::p11bench::CBenchSession& s,
                const std::vector<RowResult>& rows) {
    std::printf("vexa-p11bench: %s, slot %lu (\"%s\"), up to %zu samples per row, one thread\n\n",
                o.module.c_str(), s.slot(), s.tokenLabel().c_str(), o.iterations);
    std::printf("%-44s %7s %11s %11s %11s %12s\n", "operation", "samples", "median", "p99", "ops/s",
                "throughput");
    for (const RowResult& r : rows) {
        if (!r.missing.empty()) {
            std::printf("%-44s %7s %11s %11s %11s %12s  (%s)\n", r.name.c_str(), "-", "n/a", "n/a",
                        "n/a", "", r.missing.c_str());
            continue;
        }
        const auto& f = r.figures;
        std::string throughput;
        if (r.bytesPerOp != 0 && f.medianNs > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f MiB/s",
                          static_cast<double>(r.bytesPerOp) / (1 << 20) / (f.medianNs / 1e9));
            throughput = text;
        }
        std::printf("%-44s %7zu %11s %11s %11.0f %12s\n", r.name.c_str(), f.samples,
                    duration(f.medianNs).c_str(), duration(f.p99Ns).c_str(), f.opsPerSecond,
                    throughput.c_str());
    }
}

// One line per row: name, status ("ok" or the reason), samples, median ns,
// p99 ns, ops/s, bytes/s (0 unless a throughput row).
void printTsv(const std::vector<RowResult>& rows) {
    for (const RowResult& r : rows) {
        const auto& f = r.figures;
        const double bytesPerSecond = r.bytesPerOp != 0 && f.medianNs > 0
                                          ? static_cast<double>(r.bytesPerOp) * 1e9 / f.medianNs
                                          : 0;
        std::printf("%s\t%s\t%zu\t%.0f\t%.0f\t%.1f\t%.0f\n", r.name.c_str(),
                    r.missing.empty() ? "ok" : ("n/a (" + r.missing + ")").c_str(), f.samples,
                    f.medianNs, f.p99Ns, f.opsPerSecond, bytesPerSecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const size_t residentBefore = vexa::p11bench::residentKiB();
    vexa::p11bench::CModule module(options.module);
    if (module.functions() == nullptr) {
        std::fprintf(stderr, "vexa-p11bench: cannot load %s: %s\n", options.module.c_str(),
                     module.error().c_str());
        return 1;
    }
    std::vector<RowResult> rows;
    {
        vexa::p11bench::CBenchSession session(module.functions());
        std::string step;
        const CK_RV rv = session.open(options, &step);
        if (rv != CKR_OK) {
            std::fprintf(stderr, "vexa-p11bench: %s failed: %s\n", step.c_str(),
                         vexa::p11bench::rvName(rv).c_str());
            return 1;
        }
        rows = vexa::p11bench::runRows(session, options);
        const long added =
            static_cast<long>(session.residentAfterOpenKiB()) - static_cast<long>(residentBefore);
        if (options.tsv) {
            printTsv(rows);
            std::printf("resident memory added\t%ld\n", added);
        } else {
            printTable(options, session, rows);
            std::printf(
                "\nresident memory added by loading the module, C_Initialize and one "
                "session: %ld KiB\n",
                added);
        }
    }
    return 0;
}
