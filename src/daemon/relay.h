// The client relay: a client's framed requests relayed to the Vexa device
// and the device's answers written back raw, while the client holds its
// turn at the device.
//
// Frame, client to daemon (transport/tls_frame.h): payload length n (4
// bytes, little-endian, at most 4096), a flag byte, then n payload bytes.
// Flag 0 sends the payload to the device and answers with what the device
// returned; any other flag answers with the payload itself. The 5 header
// bytes must arrive in one TLS record.
#pragma once

#include <mbedtls/ssl.h>

#include <string>

#include "transport/tls_frame.h"

class ClientConnection;
class DeviceTurns;
class DeviceClaim;

// The Vexa device: a USB HID device told apart by its serial number.
constexpr unsigned short kVexaVendorId = 0x0483;
constexpr unsigned short kVexaProductId = 0xA2AC;

// Capacity of the relay buffer: the largest payload and the largest answer.
constexpr int kRelayCapacity = 4096;
using vexa::tls::kFrameHeaderSize;

// How long a client that holds the device may idle while another client
// waits for it before its connection is ended to hand the device over. An
// application's calls come in bursts with short pauses between them (a
// program's own work, a tool's next step): 3 s lets a burst finish without
// a hand-over in the middle of it, whose cost the holder pays at its next
// call (a new connection, its sessions opened again and its login redone by
// the module), while a waiting client is still served well within the
// module's own time-out (12 s by default).
constexpr int kHandOverGraceMs = 3000;

// How long a client may stay silent between requests before the connection
// ends, and how long it may idle while another client waits for the device
// before it is ended to hand the device over.
struct RelayLimits {
    int silentMs = 60000;
    int handOverGraceMs = kHandOverGraceMs;
};

// Relays the requests of a client that holds its turn until it leaves,
// breaks the framing, stays silent for too long or idles while another
// client waits; then sends the close notification. A stop request lets the
// connection go on to its end. The device is closed after a failed exchange.
void RelayClient(ClientConnection& client, DeviceClaim& device, DeviceTurns& turns,
                 const RelayLimits& limits);

// Reads one whole frame into buffer. *length is the capacity on entry and
// the payload length on return; *flag receives the flag byte. False when
// the connection closed, a read failed, the header was short or the
// announced length exceeds the capacity (each with its line).
bool ReadPacket(mbedtls_ssl_context& ssl, unsigned char* buffer, int* length, unsigned char* flag);

// One TLS read of the header: *count is the number of bytes wanted on
// entry and the number obtained on return (0 on failure). False on a closed
// connection or a read error.
bool ReadHeader(mbedtls_ssl_context& ssl, unsigned char* header, int* count);
