#include "platform/secret_memory.h"

#include <cstring>
#include <utility>

namespace vexa::platform {

SecretBytes::SecretBytes(const void* bytes, size_t length) {
    // At least one byte, so that an empty secret is still held.
    auto* pages = static_cast<uint8_t*>(allocateSecretPages(length > 0 ? length : 1, &pageBytes_));
    if (pages == nullptr) {
        return;
    }
    if (length > 0) {
        std::memcpy(pages, bytes, length);
    }
    pages_ = pages;
    length_ = length;
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : pages_(std::exchange(other.pages_, nullptr)),
      pageBytes_(std::exchange(other.pageBytes_, 0)),
      length_(std::exchange(other.length_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        clear();
        pages_ = std::exchange(other.pages_, nullptr);
        pageBytes_ = std::exchange(other.pageBytes_, 0);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

void SecretBytes::clear() {
    if (pages_ != nullptr) {
        releaseSecretPages(pages_, pageBytes_);
    }
    pages_ = nullptr;
    pageBytes_ = 0;
    length_ = 0;
}

void SecretBytes::wipeInPlace() {
    if (pages_ != nullptr) {
        wipeMemory(pages_, pageBytes_);
    }
}

}  // namespace vexa::platform
