#include <windows.h>

#include "platform/secret_memory.h"

namespace vexa::platform {

void wipeMemory(void* data, size_t length) {
    SecureZeroMemory(data, length);
}

void* allocateSecretPages(size_t bytes, size_t* pageBytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t pageSize = info.dwPageSize > 0 ? info.dwPageSize : 4096;
    const size_t size = (bytes + pageSize - 1) / pageSize * pageSize;
    void* pages = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (pages == nullptr) {
        return nullptr;
    }
    // Best effort: the memory is usable unlocked.
    (void)VirtualLock(pages, size);
    *pageBytes = size;
    return pages;
}

void releaseSecretPages(void* pages, size_t pageBytes) {
    wipeMemory(pages, pageBytes);
    (void)VirtualUnlock(pages, pageBytes);
    VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace vexa::platform
