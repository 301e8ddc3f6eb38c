// The daemon's device functions: plain results over the HID transport. No
// exception crosses them; every failure is a line on standard error and a
// null or false result.
#pragma once

#include "transport/transport.h"

// A new, open HID transport for the device, or nullptr ("Error opening
// port: %s\n"). product and serial may be null. The caller owns the result:
// it closes it with port_close and then deletes it.
talvoranth::CTransport* port_open(unsigned short vendorId, unsigned short productId, int timeoutMs,
                                  const char* product, const char* serial);

// Reads one response: *length is the capacity on entry and the number of
// bytes received on return. False for a null transport or on failure
// ("Error reading from port%s\n", *length = 0).
bool port_read(talvoranth::CTransport* transport, unsigned char* buffer, int* length);

// Writes one whole message. False for a null transport or on failure
// ("Error writing to port%s\n").
bool port_write(talvoranth::CTransport* transport, const unsigned char* data, int length);

// Closes the transport (it is not destroyed); null is ignored.
void port_close(talvoranth::CTransport* transport);

// Serial numbers of the attached devices with these ids: a null-terminated
// array whose texts and the array itself are allocated separately.
char** port_list(unsigned short vendorId, unsigned short productId);

// Frees what port_list returned; null is accepted.
void port_list_free(char** list);
