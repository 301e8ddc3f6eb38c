// The socket protocol between the virtual HID backend (host side) and
// vexa-sim (device side).
//
// vexa-sim listens on a Unix socket of type SOCK_SEQPACKET, where every
// message below is one packet with its boundaries kept, and, when asked to,
// on a TCP port ("tcp:HOST:PORT", for systems without such sockets), where
// every message is preceded by its length as a little-endian u32. A message
// is one type byte followed by its payload. Integers are little-endian; a string
// is a u16 length followed by that many bytes (no terminator).
//
// A connection starts unbound. It may enumerate any number of times and
// send control commands. OPEN binds the connection to one device; from then
// on WRITE addresses that device, the device's input reports come to the
// host unasked, and closing the connection closes the device. One
// connection per open device.
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
//   REPORT         (sim -> host,  i32 result (-1 error, else the number of
//                   unasked)      bytes that follow), str error text, then
//                                 the bytes as hid_read_timeout delivers
//                                 them: a device without report ids (u2f
//                                 framing) sends the report_length report
//                                 bytes alone; a device that numbers its
//                                 reports (plain framing, report id 1)
//                                 sends the report id byte first, then the
//                                 report_length bytes
//   CONTROL        (host -> sim)  str command (fault injection; vexa-sim
//                                 documents the commands)
//   CONTROL_REPLY                 u8 status (0 ok), str text
//
// report_length counts the report bytes without the report id byte; the
// output report length the host works with is report_length + 1 (64 → 65).
//
// Input reports travel as a USB device delivers them: the sim sends a
// REPORT as soon as the device has the report, in the device's order, and
// a report caused by a WRITE always after that WRITE's WRITE_REPLY. A
// response the device holds back (a delayed answer) comes when it is due;
// one it never sends (a dropped answer) never comes. The host keeps the
// reports in its own small queue and each read takes the next one, or
// waits for one up to its time-out: a time-out is nothing arriving, not a
// message. An error REPORT is consumed by one read, which fails with its
// text. When the open device goes away (unplugged), the sim sends an error
// REPORT with the reason as its last message and ends the connection; the
// host then fails every later call with that text.
//
// The sim keeps at most a bounded number of reports for a host that does
// not read them; later ones are lost, as in a device's small output
// buffer. The host's queue is bounded the same way.
//
// Message types 0x04 and 0x84 are not used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace vexa::virtual_wire {

enum MessageType : uint8_t {
    ENUMERATE = 0x01,
    OPEN = 0x02,
    WRITE = 0x03,
    CONTROL = 0x05,
    ENUMERATE_REPLY = 0x81,
    OPEN_REPLY = 0x82,
    WRITE_REPLY = 0x83,
    CONTROL_REPLY = 0x85,
    REPORT = 0x86,
};

// Reports either side keeps for a peer that does not take them, at most (a
// few full-size answers).
constexpr size_t kMaxQueuedReports = 1024;

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
    // Starts a new message of this type, keeping the buffer's capacity.
    Writer& reset(MessageType type) {
        bytes_.assign(1, type);
        return *this;
    }
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

enum class SendResult : uint8_t { Sent, NoRoom, Failed };

// One connection of the link, with the framing of its kind of socket. Owns
// the socket. A TCP connection keeps the bytes of a message that has not
// fully arrived until the rest comes.
class Channel {
public:
    Channel() = default;
    Channel(platform::SocketHandle socket, bool stream);
    ~Channel() { close(); }
    Channel(Channel&& other) noexcept;
    Channel& operator=(Channel&& other) noexcept;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool isOpen() const { return socket_ != platform::kNoSocket; }
    platform::SocketHandle handle() const { return socket_; }
    // True when a message, or part of one, has been received and not
    // taken yet: a wait on the socket alone would miss it.
    bool hasBuffered() const { return end_ > begin_; }

    // Sends one message, waiting for room. False on error.
    bool send(const std::vector<uint8_t>& message);
    // Sends one message without waiting: NoRoom when the socket has no room
    // (the peer is not reading), and nothing was sent. A TCP connection that
    // took part of a message waits for room for the rest, so that messages
    // never interleave.
    SendResult trySend(const std::vector<uint8_t>& message);
    // Receives one message (at most kMaxMessage bytes) into buffer, waiting
    // at most timeoutMs (-1: no limit). Returns the message length, 0 on
    // time-out, -1 when the peer closed the connection, broke the framing,
    // or on error.
    long receive(std::vector<uint8_t>& buffer, int timeoutMs);

    // Ends both directions; the peer and a waiting receive see the end.
    void shutdown();
    void close();

private:
    bool takeBuffered(std::vector<uint8_t>& buffer, long& length);

    platform::SocketHandle socket_ = platform::kNoSocket;
    bool stream_ = false;
    // TCP: received bytes not taken yet, in [begin_, end_).
    std::vector<uint8_t> pending_;
    // TCP: the message being sent, behind its length.
    std::vector<uint8_t> framed_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

// The prefix of an address that names a TCP port instead of a socket path.
constexpr const char* kTcpPrefix = "tcp:";

// Splits "HOST:PORT" (the part after "tcp:"; an IPv6 host in brackets) into
// host and port. False when either is missing.
bool splitHostPort(const std::string& hostPort, std::string& host, std::string& port);

// Connects to the vexa-sim at address: "tcp:HOST:PORT" or the path of its
// Unix socket. A closed channel on failure.
Channel connectTo(const std::string& address);

// The file on which host processes lock the device at devicePath (a
// virtual device has no node of its own). For a Unix socket it lies beside
// the socket: "<socket>.vexa-sim-0.lock" for "vexa-sim:0"; vexa-sim makes
// these files, open to every user who may reach its socket. For
// "tcp:HOST:PORT" it lies in DeviceLock::sharedDirectory(), and the first
// host process to lock the device makes it.
std::string deviceLockFile(const std::string& address, const std::string& devicePath);

}  // namespace vexa::virtual_wire
