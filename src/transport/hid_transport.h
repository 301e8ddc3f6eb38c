// CHIDTransport: the transport over USB HID. It finds the device by vendor
// id, product id, usage page, manufacturer, product and serial-number
// strings, opens it, and carries each whole message as a sequence of HID
// reports in one of two framings, chosen at every open: the U2FHID channel
// framing when the device answers the channel allocation, else the
// device's plain framing.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "log/log_target.h"
#include "transport/byte_queue.h"
#include "transport/hid_backend.h"
#include "transport/hid_device_match.h"
#include "transport/hid_framing.h"
#include "transport/transport.h"

namespace vexa::platform {
class DeviceLock;
}

namespace talvoranth {

// Sharing one device between the processes of a machine: every open joins
// the device's operating-system lock (platform/device_lock.h), and each
// write takes the exchange part until its answer has been read, so the
// exchanges of different processes never interleave whatever the framing.
// A process that opens the device and finds no other process holding it
// runs the clear routine first (the module and the daemon close every
// session, which also ends the login): what crashed or killed processes
// left on the device dies with them. While other processes hold the device
// their sessions are left alone.
//
// Recovery: an answer that did not arrive in time is never taken for the
// next request. On a shared device the reports already waiting are
// discarded before every request (hidraw hands every report to every
// process that has the node open). After a time-out the channel framing
// moves to a fresh channel; the plain framing, which has no channel, waits
// (up to the time-out once more) for the late answer and discards it, on a
// shared device before it lets the device go. A device that fails
// (unplugged, vexa-sim gone) is closed, so the next exchange opens it again.
class CHIDTransport : public CTransport {
public:
    // Uses the backend selectHidBackend() chooses. log may be null (silent);
    // it is not owned.
    explicit CHIDTransport(ILogTarget* log = nullptr);
    CHIDTransport(ILogTarget* log, std::shared_ptr<IHidBackend> backend);
    ~CHIDTransport() override;
    CHIDTransport(const CHIDTransport&) = delete;
    CHIDTransport& operator=(const CHIDTransport&) = delete;

    // Finds and opens the device, waits for it to settle and runs the
    // channel allocation. Throws IOException "Device not detected" or
    // "Unable to connect to device".
    void open() override;
    bool isOpen() override { return device_ != nullptr; }
    // Releases the device; filters, lengths, channel and buffered bytes stay.
    void close() override;
    void setTimeout(int milliseconds) override { timeoutMs_ = milliseconds; }
    int getTimeout() override { return timeoutMs_; }
    // Hands out buffered response bytes first; fetches one response from the
    // device when fewer than capacity are buffered.
    int read(unsigned char* buffer, int capacity) override;
    // Sends one whole message (channel framing: at most 7609 bytes; plain
    // framing: at most 0xFFFFFF). Returns length.
    int write(const unsigned char* data, int length) override;
    std::string name() override { return "HID"; }
    // Every successful open counts: a device opened anew after it failed or
    // vanished (unplugged, vexa-sim restarted) has lost its sessions.
    unsigned long connectionCount() const override { return opens_; }
    // How often a waiting read asks the answer watch.
    static constexpr int kAnswerWatchMs = 200;
    // The wait for an answer in slices of kAnswerWatchMs; one the watch
    // gives up ends like a time-out (fresh channel at the next exchange, or
    // the plain framing's late answer discarded before it; the read does not
    // wait for that late answer itself then).
    void setAnswerWatch(std::function<bool()> stillWanted) override {
        answerWatch_ = std::move(stillWanted);
    }

    // Vendor id 0 admits any device whose manufacturer is "Talvoranth".
    void setVendorProduct(uint16_t vendorId, uint16_t productId);
    void setProduct(const std::string& product) { filter_.product = product; }
    // The filter; after an open, the opened device's product string.
    std::string product() const { return filter_.product; }
    void setSerialNumber(const std::string& serial) { filter_.serialNumber = serial; }
    std::string serialNumber() const { return filter_.serialNumber; }
    // 0 admits any usage page.
    void setUsagePage(uint16_t usagePage) { filter_.usagePage = usagePage; }
    uint16_t productId() const { return filter_.productId; }
    uint16_t vendorId() const { return filter_.vendorId; }

    void setLogTarget(ILogTarget* log) { log_ = log; }

    // Runs through this transport, right after an open that found no other
    // process holding the device. It may throw; the open still succeeds.
    using ClearRoutine = std::function<void(CHIDTransport&)>;
    void setClearRoutine(ClearRoutine routine) { clear_ = std::move(routine); }
    // Holds the device for this process alone while it is open: the open
    // waits (up to the time-out) for the other processes to let go and
    // fails with "Device in use by another process" when they do not;
    // meanwhile other processes' opens wait and fail alike.
    void setExclusive(bool exclusive) { exclusive_ = exclusive; }
    // For a holder that keeps the device open between its users (the
    // daemon between clients): leavePresence lets the other processes count
    // as alone while the device stays open and settled; rejoinAlone takes
    // presence back exclusively, waiting up to waitMs, false when others
    // keep it that long.
    void leavePresence();
    bool rejoinAlone(int waitMs);
    // True when the device answered the channel allocation at the last open.
    bool channelFraming() const { return channel_ != hidframe::kNoChannel; }

private:
    // Results of packet receive and fetch in channel framing.
    static constexpr int kTimedOut = -5;
    static constexpr int kSequenceError = -4;
    static constexpr int kNoDevice = -127;

    int allocateChannel(int waitMs);
    // One report from the device within waitMs (-1: no limit), asking the
    // answer watch between slices when one is set: 0 also when it gave up.
    int readWatched(uint8_t* data, size_t length, int waitMs);
    bool joinDevice(IHidDevice& device);
    void beginExchange();
    void endExchange();
    void discardWaitingReports();
    void discardLateAnswer();
    [[noreturn]] void failDevice(const IOException& error);
    void sendPacket();
    int receivePacket(int waitMs);
    void writeChannel(const uint8_t* data, size_t length);
    void writePlain(const uint8_t* data, size_t length);
    void fetchPlain();
    void fetchChannel(size_t capacity);
    int fetchChannelMessage(size_t capacity);

    ILogTarget* log_;
    std::shared_ptr<IHidBackend> backend_;
    std::unique_ptr<IHidDevice> device_;
    std::unique_ptr<vexa::platform::DeviceLock> lock_;
    ClearRoutine clear_;
    bool exclusive_ = false;
    unsigned long opens_ = 0;
    std::function<bool()> answerWatch_;
    // The answer watch ended the last wait.
    bool answerAbandoned_ = false;
    // The last answer did not arrive whole in time: it may still come.
    bool answerOverdue_ = false;
    // Plain framing: how far that answer had come.
    struct PlainProgress {
        bool first = false;
        size_t total = 0;
        size_t got = 0;
    };
    PlainProgress lateAnswer_;
    // The last answer was malformed: what is left of it is discarded.
    bool answerBroken_ = false;
    uint32_t channel_ = hidframe::kNoChannel;
    size_t writeReportLength_ = 0;
    size_t readReportLength_ = 0;
    int timeoutMs_ = 4000;
    HidFilter filter_;
    ByteQueue received_;

    // Work areas reused by every exchange: one output report behind its
    // report id byte, one input packet, one plain report, and the staging
    // area of a channel-framed response.
    std::array<uint8_t, vexa::u2fhid::kPacketSize + 1> outPacket_{};
    std::array<uint8_t, vexa::u2fhid::kPacketSize> inPacket_{};
    std::vector<uint8_t> report_;
    std::array<uint8_t, vexa::u2fhid::kMaxMessage> staging_{};
};

}  // namespace talvoranth
