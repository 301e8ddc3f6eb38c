#include "unit/rpc/memory_device.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>
#include <thread>

#include "transport/exceptions.h"

namespace vexa::test {
namespace {

bool captureBytes(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* target = static_cast<std::optional<std::vector<uint8_t>>*>(*arg);
    std::vector<uint8_t> bytes(stream->bytes_left);
    if (!bytes.empty() && !pb_read(stream, bytes.data(), bytes.size())) {
        return false;
    }
    *target = std::move(bytes);
    return true;
}

bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* bytes = static_cast<const std::vector<uint8_t>*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, bytes->data(), bytes->size());
}

}  // namespace

Reply Reply::withRv(CK_RV rv) {
    Reply reply;
    reply.response.rv = static_cast<uint32_t>(rv);
    return reply;
}

Reply Reply::noReply() {
    Reply reply;
    reply.kind = Kind::NoReply;
    return reply;
}

Reply Reply::rawBytes(std::vector<uint8_t> bytes) {
    Reply reply;
    reply.kind = Kind::Raw;
    reply.raw = std::move(bytes);
    return reply;
}

Reply Reply::throwOnRead(std::string message) {
    Reply reply;
    reply.kind = Kind::ThrowOnRead;
    reply.message = std::move(message);
    return reply;
}

std::vector<uint8_t> encodeResponse(const Response& response,
                                    const std::optional<std::vector<uint8_t>>& data) {
    Response copy = response;
    copy.data = pb_callback_t{};
    copy.attributes = pb_callback_t{};
    if (data) {
        copy.data.funcs.encode = &writeBytes;
        copy.data.arg = const_cast<std::vector<uint8_t>*>(&*data);
    }
    std::vector<uint8_t> bytes(8192);
    pb_ostream_t out = pb_ostream_from_buffer(bytes.data(), bytes.size());
    if (!pb_encode(&out, Response_fields, &copy)) {
        return {};
    }
    bytes.resize(out.bytes_written);
    return bytes;
}

bool decodeRequest(const uint8_t* bytes, size_t length, SeenRequest& seen) {
    seen.request = Request_init_zero;
    seen.request.data.funcs.decode = &captureBytes;
    seen.request.data.arg = &seen.data;
    seen.request.data2.funcs.decode = &captureBytes;
    seen.request.data2.arg = &seen.data2;
    pb_istream_t in = pb_istream_from_buffer(bytes, length);
    const bool ok = pb_decode(&in, Request_fields, &seen.request);
    seen.request.data = pb_callback_t{};
    seen.request.data2 = pb_callback_t{};
    seen.encodedSize = length;
    seen.encoded.assign(bytes, bytes + length);
    return ok;
}

CMemoryDevice::CMemoryDevice(std::string productName, std::string transportKind)
    : product(std::move(productName)), kind(std::move(transportKind)) {}

void CMemoryDevice::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void CMemoryDevice::failOpens(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    openError_ = message;
}

std::vector<SeenRequest> CMemoryDevice::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<uint32_t> CMemoryDevice::functionIds() const {
    std::vector<uint32_t> ids;
    for (const SeenRequest& seen : requests()) {
        ids.push_back(seen.functionId());
    }
    return ids;
}

void CMemoryDevice::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

Reply CMemoryDevice::answer(const SeenRequest& seen) {
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(seen);
        responder = responder_;
    }
    return responder ? responder(seen) : Reply::withRv(CKR_OK);
}

CMemoryTransport::CMemoryTransport(std::shared_ptr<CMemoryDevice> device)
    : device_(std::move(device)) {}

CMemoryTransport::~CMemoryTransport() {
    close();
}

void CMemoryTransport::open() {
    close();
    {
        std::lock_guard<std::mutex> lock(device_->mutex_);
        if (device_->openError_) {
            throw talvoranth::IOException(*device_->openError_);
        }
    }
    ++device_->opens;
    open_ = true;
}

void CMemoryTransport::close() {
    if (open_) {
        open_ = false;
        ++device_->closes;
    }
}

int CMemoryTransport::write(const unsigned char* data, int length) {
    if (device_->inside_.fetch_add(1) != 0) {
        device_->overlapped = true;
    }
    // Widen the window in which an unserialised second exchange would show.
    std::this_thread::yield();
    SeenRequest seen;
    if (!decodeRequest(data, static_cast<size_t>(length), seen)) {
        pending_ = Reply::rawBytes({});
    } else {
        pending_ = device_->answer(seen);
    }
    return length;
}

int CMemoryTransport::read(unsigned char* buffer, int capacity) {
    device_->timeoutAtRead = device_->timeout.load();
    Reply reply = pending_ ? std::move(*pending_) : Reply::noReply();
    pending_.reset();
    device_->inside_.fetch_sub(1);
    std::vector<uint8_t> bytes;
    switch (reply.kind) {
        case Reply::Kind::Answer:
            bytes = encodeResponse(reply.response, reply.data);
            break;
        case Reply::Kind::Raw:
            bytes = reply.raw;
            break;
        case Reply::Kind::NoReply:
            return 0;
        case Reply::Kind::ThrowOnRead:
            throw talvoranth::IOException(reply.message);
    }
    const size_t n = std::min(bytes.size(), static_cast<size_t>(capacity));
    std::memcpy(buffer, bytes.data(), n);
    return static_cast<int>(n);
}

}  // namespace vexa::test
