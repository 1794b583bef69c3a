// Windows memory hints: large pages must be chosen when memory is reserved
// (MEM_LARGE_PAGES, with a privilege), not advised afterwards, so the hint is refused.
#include "platform/memory.h"

#include <windows.h>

bool os_memory_hint_large_pages(void *p, size_t len) {
    (void)p;
    (void)len;
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}
