// An in-memory device for the module's tests: a CTransport that decodes
// each request the way a device does, records it, and answers from a
// scripted responder, or fails in one of the ways a transport can (open
// refused, exception on write or read, no reply, bytes that are no reply).
#pragma once

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/transport.h"
#include "vexa.pb.h"

namespace vexa::test {

// One request as the device saw it.
struct SeenRequest {
    Request request = Request_init_zero;  // scalar fields; callbacks cleared
    std::optional<std::vector<uint8_t>> data;
    std::optional<std::vector<uint8_t>> data2;
    size_t encodedSize = 0;
    std::vector<uint8_t> encoded;  // the request's bytes as they arrived

    uint32_t functionId() const { return request.function_id; }
};

// What the device does with one request.
struct Reply {
    enum class Kind { Answer, NoReply, Raw, ThrowOnRead };

    Kind kind = Kind::Answer;
    Response response = Response_init_zero;    // for Answer (rv, scalars, nested)
    std::optional<std::vector<uint8_t>> data;  // Response.data for Answer
    std::vector<uint8_t> raw;                  // the bytes for Raw
    std::string message = "device link lost";  // for ThrowOnRead

    static Reply withRv(CK_RV rv);
    static Reply noReply();
    static Reply rawBytes(std::vector<uint8_t> bytes);
    static Reply throwOnRead(std::string message);
};

// The state of one device; it outlives the transports made for it.
class CMemoryDevice {
public:
    using Responder = std::function<Reply(const SeenRequest&)>;

    explicit CMemoryDevice(std::string product = "Vexa", std::string kind = "HID");

    // Answers CKR_OK with nothing else unless told otherwise.
    void setResponder(Responder responder);
    // Every later open throws IOException with this message.
    void failOpens(const std::string& message);

    std::vector<SeenRequest> requests() const;
    std::vector<uint32_t> functionIds() const;
    void clearRequests();

    std::string product;
    std::string kind;
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    // The transport tells every open as a new connection (as the TLS
    // transport does), so the module restores its sessions after it.
    std::atomic<bool> countsConnections{false};
    // Time-out in force at the last read, and what the transport holds now.
    std::atomic<int> timeoutAtRead{-1};
    std::atomic<int> timeout{0};
    // Set when two threads were inside one exchange of this device at once.
    std::atomic<bool> overlapped{false};

private:
    friend class CMemoryTransport;
    Reply answer(const SeenRequest& seen);

    mutable std::mutex mutex_;
    Responder responder_;
    std::optional<std::string> openError_;
    std::vector<SeenRequest> requests_;
    std::atomic<int> inside_{0};
};

class CMemoryTransport : public talvoranth::CTransport {
public:
    explicit CMemoryTransport(std::shared_ptr<CMemoryDevice> device);
    ~CMemoryTransport() override;

    void open() override;
    bool isOpen() override { return open_; }
    void close() override;
    void setTimeout(int milliseconds) override { device_->timeout = milliseconds; }
    int getTimeout() override { return device_->timeout; }
    int read(unsigned char* buffer, int capacity) override;
    int write(const unsigned char* data, int length) override;
    std::string name() override { return device_->kind; }
    std::string product() const { return device_->product; }
    unsigned long connectionCount() const override {
        return device_->countsConnections ? static_cast<unsigned long>(device_->opens.load()) : 0;
    }

private:
    std::shared_ptr<CMemoryDevice> device_;
    bool open_ = false;
    std::optional<Reply> pending_;
};

// Encodes a Response (with optional data bytes) the way a device does.
std::vector<uint8_t> encodeResponse(const Response& response,
                                    const std::optional<std::vector<uint8_t>>& data);
// Decodes a request as a device does.
bool decodeRequest(const uint8_t* bytes, size_t length, SeenRequest& seen);

}  // namespace vexa::test
