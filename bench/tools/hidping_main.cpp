// vexa-hidping: the virtual HID link alone. Opens the first device of the
// vexa-sim named by VEXA_VIRTUAL_DEVICE through the virtual backend and
// times one report round trip: a channel allocation request out, its
// answer back. The framing layer of the device answers it without the
// firmware, so this is the cost of the simulated wire itself.
//
//   vexa-hidping [--iterations N]
// prints "<median ns>\t<p99 ns>\t<ops/s>".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p11bench/stats.h"
#include "transport/hid_backend.h"
#include "transport/hid_framing.h"
#include "transport/virtual_hid_backend.h"

namespace {

namespace hf = talvoranth::hidframe;
namespace u2fhid = vexa::u2fhid;
using vexa::p11bench::nowNs;

constexpr int kWarmUp = 50;
constexpr int kWaitMs = 2000;

}  // namespace

int main(int argc, char** argv) {
    size_t iterations = 10000;
    if (argc == 3 && std::strcmp(argv[1], "--iterations") == 0) {
        iterations = std::strtoul(argv[2], nullptr, 10);
    }
    if ((argc != 1 && argc != 3) || iterations == 0) {
        std::fprintf(stderr, "usage: vexa-hidping [--iterations N]\n");
        return 2;
    }
    const char* socketPath = std::getenv("VEXA_VIRTUAL_DEVICE");
    if (socketPath == nullptr || *socketPath == '\0') {
        std::fprintf(stderr, "vexa-hidping: VEXA_VIRTUAL_DEVICE names no vexa-sim socket\n");
        return 1;
    }
    auto backend = talvoranth::makeVirtualHidBackend(socketPath);
    std::vector<talvoranth::HidDeviceInfo> devices;
    try {
        devices = backend->enumerate(0, 0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexa-hidping: %s\n", e.what());
        return 1;
    }
    std::unique_ptr<talvoranth::IHidDevice> device =
        devices.empty() ? nullptr : backend->openPath(devices.front().path);
    if (!device) {
        std::fprintf(stderr, "vexa-hidping: no device to open\n");
        return 1;
    }
    // Report id 0, then the allocation request on the broadcast channel.
    std::vector<uint8_t> out(device->outputReportLength(), 0);
    const uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    hf::buildInitPacket(out.data() + 1, hf::kNoChannel, u2fhid::kCommandAllocate, sizeof nonce,
                        nonce, sizeof nonce);
    std::vector<uint8_t> in(out.size());
    std::vector<int64_t> samples;
    samples.reserve(iterations);
    for (size_t i = 0; i < iterations + kWarmUp; ++i) {
        const int64_t start = nowNs();
        if (device->write(out.data(), out.size()) != static_cast<int>(out.size()) ||
            device->readTimeout(in.data(), in.size(), kWaitMs) <= 0) {
            std::fprintf(stderr, "vexa-hidping: no answer (is the device in plain framing?)\n");
            return 1;
        }
        if (i >= kWarmUp) {
            samples.push_back(nowNs() - start);
        }
    }
    const vexa::p11bench::Figures f = vexa::p11bench::summarize(samples);
    std::printf("%.0f\t%.0f\t%.1f\n", f.medianNs, f.p99Ns, f.opsPerSecond);
    return 0;
}
