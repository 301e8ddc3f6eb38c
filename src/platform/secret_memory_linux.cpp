#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/secret_memory.h"

namespace vexa::platform {

void wipeMemory(void* data, size_t length) {
    explicit_bzero(data, length);
}

void* allocateSecretPages(size_t bytes, size_t* pageBytes) {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t pageSize = page > 0 ? static_cast<size_t>(page) : 4096;
    const size_t size = (bytes + pageSize - 1) / pageSize * pageSize;
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        return nullptr;
    }
    // Best effort each: the memory is usable without them.
    (void)mlock(pages, size);
    (void)madvise(pages, size, MADV_DONTDUMP);
#ifdef MADV_WIPEONFORK
    (void)madvise(pages, size, MADV_WIPEONFORK);
#endif
    *pageBytes = size;
    return pages;
}

void releaseSecretPages(void* pages, size_t pageBytes) {
    wipeMemory(pages, pageBytes);
    (void)munlock(pages, pageBytes);
    munmap(pages, pageBytes);
}

}  // namespace vexa::platform
