// Linux memory hints: transparent huge pages through madvise(MADV_HUGEPAGE).
#include "platform/memory.h"

#include <cerrno>
#include <cstdint>
#include <sys/mman.h>

bool os_memory_hint_large_pages(void *p, size_t len) {
    uintptr_t begin =
        (reinterpret_cast<uintptr_t>(p) + OS_LARGE_PAGE - 1) & ~uintptr_t(OS_LARGE_PAGE - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + len) & ~uintptr_t(OS_LARGE_PAGE - 1);
    if (end <= begin) {
        errno = EINVAL;
        return false;
    }
#ifdef MADV_HUGEPAGE
    return madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE) == 0;
#else
    errno = ENOSYS;
    return false;
#endif
}
