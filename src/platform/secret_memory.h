// Memory for a secret that the process must keep for a while (a PIN kept
// for a later login): pages of its own, locked against swapping and left
// out of core dumps where the system allows, not inherited by the child of
// a fork (Linux: the child sees zeros), and wiped with a zeroising call
// before they are given back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::platform {

// Overwrites length bytes with zeros in a way the compiler may not drop.
void wipeMemory(void* data, size_t length);

// Whole pages for at least `bytes` bytes, zero-filled; nullptr when the
// system gives none. *pageBytes receives the size actually reserved.
// Locking and the other protections are best effort: a system that refuses
// them (a low RLIMIT_MEMLOCK) still gets usable memory.
void* allocateSecretPages(size_t bytes, size_t* pageBytes);
// Wipes, unlocks and releases what allocateSecretPages gave.
void releaseSecretPages(void* pages, size_t pageBytes);

// A byte string held in secret pages. Move-only; wiped when it is
// destroyed, replaced or cleared.
class SecretBytes {
public:
    SecretBytes() = default;
    // A copy of length bytes; empty when the system gives no memory.
    SecretBytes(const void* bytes, size_t length);
    ~SecretBytes() { clear(); }
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    const uint8_t* data() const { return pages_; }
    size_t size() const { return length_; }
    // True when it holds the bytes it was given (a zero-length secret too).
    bool held() const { return pages_ != nullptr; }
    void clear();
    // Zeroes the bytes without releasing the pages: for the child of a fork,
    // which must not touch locks or the allocator.
    void wipeInPlace();

private:
    uint8_t* pages_ = nullptr;
    size_t pageBytes_ = 0;
    size_t length_ = 0;
};

}  // namespace vexa::platform
