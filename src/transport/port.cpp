#include "transport/port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "transport/hid_device_match.h"
#include "transport/hid_transport.h"

namespace {
constexpr const char* kUnknownError = "unknown error";

// A copy of text in memory from malloc, so that port_list_free can free it.
char* duplicate(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

// Runs `step`; when it throws, says so on standard error (the line is
// `prefix` followed by the error's text) and answers false.
template <class Step>
bool runReported(const char* prefix, Step step) {
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s%s\n", prefix, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s%s\n", prefix, kUnknownError);
    }
    return false;
}
}  // namespace

talvoranth::CTransport* port_open(unsigned short vendorId, unsigned short productId, int timeoutMs,
                                  const char* product, const char* serial) {
    talvoranth::CTransport* opened = nullptr;
    runReported("Error opening port: ", [&] {
        auto transport = std::make_unique<talvoranth::CHIDTransport>();
        transport->setVendorProduct(vendorId, productId);
        if (product != nullptr) {
            transport->setProduct(product);
        }
        if (serial != nullptr) {
            transport->setSerialNumber(serial);
        }
        transport->open();
        transport->setTimeout(timeoutMs);
        opened = transport.release();
    });
    return opened;
}

bool port_read(talvoranth::CTransport* transport, unsigned char* buffer, int* length) {
    if (transport == nullptr || length == nullptr) {
        return false;
    }
    if (!runReported("Error reading from port",
                     [&] { *length = transport->read(buffer, *length); })) {
        *length = 0;
        return false;
    }
    return true;
}

bool port_write(talvoranth::CTransport* transport, const unsigned char* data, int length) {
    if (transport == nullptr) {
        return false;
    }
    return runReported("Error writing to port", [&] { transport->write(data, length); });
}

void port_close(talvoranth::CTransport* transport) {
    if (transport == nullptr) {
        return;
    }
    try {
        transport->close();
    } catch (...) {
        // Closing releases a handle; there is nothing a caller could do.
    }
}

char** port_list(unsigned short vendorId, unsigned short productId) {
    std::vector<std::string> serials;
    try {
        serials = talvoranth::listSerialNumbers(vendorId, productId);
    } catch (...) {
        serials.clear();  // listSerialNumbers reports its own failures
    }
    auto** list = static_cast<char**>(std::calloc(serials.size() + 1, sizeof(char*)));
    if (list == nullptr) {
        return nullptr;
    }
    size_t filled = 0;
    for (const std::string& serial : serials) {
        char* copy = duplicate(serial);
        if (copy == nullptr) {
            break;  // out of memory: the list ends with what fit
        }
        list[filled++] = copy;
    }
    return list;
}

void port_list_free(char** list) {
    if (list == nullptr) {
        return;
    }
    for (char** entry = list; *entry != nullptr; ++entry) {
        std::free(*entry);
    }
    std::free(list);
}
