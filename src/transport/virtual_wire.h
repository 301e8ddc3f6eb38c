// The socket protocol between the virtual HID backend (host side) and
// vexa-sim (device side).
//
// vexa-sim listens on a Unix socket of type SOCK_SEQPACKET, so every
// message below is one packet with its boundaries kept. A message is one
// type byte followed by its payload. Integers are little-endian; a string
// is a u16 length followed by that many bytes (no terminator).
//
// A connection starts unbound. It may enumerate any number of times and
// send control commands. OPEN binds the connection to one device; from then
// on WRITE and READ address that device, and closing the connection closes
// the device. One connection per open device.
//
//   ENUMERATE      (host -> sim)  no payload
//   ENUMERATE_REPLY               u16 count, then count records:
//                                   str path, u16 vendor_id, u16 product_id,
//                                   str serial_number, str manufacturer,
//                                   str product, u16 usage_page, u16 usage,
//                                   u16 report_length
//   OPEN           (host -> sim)  str path
//   OPEN_REPLY                    u8 status (0 ok, else the device is not
//                                 there), u32 settle_ms (how long the host
//                                 waits after opening), u16 report_length,
//                                 str error text (empty when ok)
//   WRITE          (host -> sim)  the report as hid_write takes it: report
//                                 id byte, then report_length bytes
//   WRITE_REPLY                   i32 result (bytes taken counting the
//                                 report id byte, as hid_write returns:
//                                 report_length + 1; -1 on error),
//                                 str error text
//   READ           (host -> sim)  i32 timeout_ms (-1 waits without limit)
//   READ_REPLY                    i32 result (-1 error, 0 time-out, else
//                                 the number of bytes that follow), str
//                                 error text, then the bytes as
//                                 hid_read_timeout delivers them: a device
//                                 without report ids (u2f framing) sends
//                                 the report_length report bytes alone; a
//                                 device that numbers its reports (plain
//                                 framing, report id 1) sends the report id
//                                 byte first, then the report_length bytes
//
// report_length counts the report bytes without the report id byte; the
// output report length the host works with is report_length + 1 (64 → 65).
// The sim answers READ within timeout_ms; the host gives up on a reply that
// is much later than that and drops the connection.
//   CONTROL        (host -> sim)  str command (fault injection; vexa-sim
//                                 documents the commands)
//   CONTROL_REPLY                 u8 status (0 ok), str text
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa::virtual_wire {

enum MessageType : uint8_t {
    ENUMERATE = 0x01,
    OPEN = 0x02,
    WRITE = 0x03,
    READ = 0x04,
    CONTROL = 0x05,
    ENUMERATE_REPLY = 0x81,
    OPEN_REPLY = 0x82,
    WRITE_REPLY = 0x83,
    READ_REPLY = 0x84,
    CONTROL_REPLY = 0x85,
};

// The largest message either side sends or accepts.
constexpr size_t kMaxMessage = 65536;

// Name of the environment variable that selects the virtual backend.
constexpr const char* kSocketEnvironment = "VEXA_VIRTUAL_DEVICE";

struct DeviceRecord {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serialNumber;
    std::string manufacturer;
    std::string product;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    uint16_t reportLength = 64;
};

// Appends little-endian fields to a message.
class Writer {
public:
    explicit Writer(MessageType type) { bytes_.push_back(type); }
    Writer& u8(uint8_t v);
    Writer& u16(uint16_t v);
    Writer& u32(uint32_t v);
    Writer& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    Writer& str(const std::string& s);  // truncated to 65535 bytes
    Writer& raw(const uint8_t* data, size_t length);
    Writer& record(const DeviceRecord& r);
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// Reads fields from a received message; every read is bounds-checked and a
// short message makes ok() false instead of reading past the end.
class Reader {
public:
    Reader(const uint8_t* data, size_t length) : data_(data), length_(length) {}
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    int32_t i32() { return static_cast<int32_t>(u32()); }
    std::string str();
    DeviceRecord record();
    // The bytes not read yet.
    const uint8_t* rest() const { return data_ + pos_; }
    size_t remaining() const { return ok_ ? length_ - pos_ : 0; }
    bool ok() const { return ok_; }

private:
    bool take(size_t n);
    const uint8_t* data_;
    size_t length_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Sends one message on a connected SOCK_SEQPACKET socket. False on error.
bool sendMessage(int fd, const std::vector<uint8_t>& message);

// Receives one message (at most kMaxMessage bytes) into buffer, waiting at
// most timeoutMs (-1: no limit). Returns the message length, 0 on time-out,
// -1 when the peer closed the connection or on error.
long receiveMessage(int fd, std::vector<uint8_t>& buffer, int timeoutMs);

// Connects to the vexa-sim socket at path; -1 on failure.
int connectSocket(const std::string& path);

}  // namespace vexa::virtual_wire
