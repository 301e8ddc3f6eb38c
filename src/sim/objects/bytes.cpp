#include "sim/objects/bytes.h"

#include <mbedtls/platform_util.h>

namespace vexa::sim {

void wipe(Bytes* b) {
    if (!b->empty()) {
        mbedtls_platform_zeroize(b->data(), b->size());
    }
    b->clear();
}

bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t diff = 0;
    for (size_t i = 0; i < n; ++i) {
        diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    }
    return diff == 0;
}

std::string toHex(ByteView b) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size * 2);
    for (uint8_t c : b) {
        s.push_back(kDigits[c >> 4]);
        s.push_back(kDigits[c & 0xF]);
    }
    return s;
}

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
}  // namespace

bool fromHex(const std::string& text, Bytes* out) {
    if (text.size() % 2 != 0) {
        return false;
    }
    Bytes b;
    b.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigit(text[i]);
        const int lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        b.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    *out = std::move(b);
    return true;
}

}  // namespace vexa::sim
