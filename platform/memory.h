// Memory hints: asking the system to back a large, long-lived range with large pages
// (2 MiB on x86-64 Linux), so that touching it for the first time costs one fault and
// one page clearing per large page instead of one per 4 KiB page.
#pragma once

#include <cstddef>

enum { OS_LARGE_PAGE = 2 * 1024 * 1024 };

// Advises large pages for the whole large pages inside [p, p + len); parts of the range
// outside them are left alone. Nothing is touched or committed by this call, so memory
// stays unused until first written. False when the system refuses the hint or has no
// such pages (os_error() then holds its error number), and on systems that cannot
// change the page size of memory already reserved (Windows); callers carry on either way.
bool os_memory_hint_large_pages(void *p, size_t len);
