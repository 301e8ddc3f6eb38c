// The client relay: one TLS client at a time, its framed requests relayed
// to the Vexa device and the device's answers written back raw.
//
// Frame, client to daemon: payload length n (4 bytes, little-endian, at
// most 4096), a flag byte, then n payload bytes. Flag 0 sends the payload
// to the device and answers with what the device returned; any other flag
// answers with the payload itself. The 5 header bytes must arrive in one
// TLS record.
#pragma once

#include <string>

#include "daemon/server_context.h"

// The Vexa device: a USB HID device told apart by its serial number.
constexpr unsigned short kVexaVendorId = 0x0483;
constexpr unsigned short kVexaProductId = 0xA2AC;

// Capacity of the relay buffer: the largest payload and the largest answer.
constexpr int kRelayCapacity = 4096;
constexpr int kFrameHeaderSize = 5;

// Waits for one client (polling every 2 ms), serves it to the end and
// returns. True when StopRequested was seen while waiting; a client
// accepted on that same pass is still served first. No failure of the
// client or the device is returned: the caller simply serves the next one.
bool ServeOneClient(ServerContext& ctx, const std::string& serial);

// Reads one whole frame into buffer. *length is the capacity on entry and
// the payload length on return; *flag receives the flag byte. False when
// the connection closed, a read failed, the header was short or the
// announced length exceeds the capacity (each with its line).
bool ReadPacket(ServerContext& ctx, unsigned char* buffer, int* length, unsigned char* flag);

// One TLS read of the header: *count is the number of bytes wanted on
// entry and the number obtained on return (0 on failure). False on a closed
// connection or a read error.
bool ReadHeader(ServerContext& ctx, unsigned char* header, int* count);
