// Memory hints: the large-page hint marks exactly the whole large pages inside the
// range, commits nothing, and refuses a range without a whole large page.
#include "platform/memory.h"
#include "platform/os.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>

namespace {

// The mapping of /proc/self/smaps that contains addr: its bounds, flags and resident size.
struct mapping {
    uintptr_t begin = 0, end = 0;
    std::string flags;
    long rss_kib = -1;
};

mapping mapping_of(const void *addr) {
    mapping m;
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    FILE *f = fopen("/proc/self/smaps", "r");
    if (!f) return m;
    char line[512];
    bool inside = false;
    while (fgets(line, sizeof line, f)) {
        unsigned long b = 0, e = 0;
        char dash = 0;
        if (sscanf(line, "%lx%c%lx ", &b, &dash, &e) == 3 && dash == '-') {
            if (inside) break;
            inside = a >= b && a < e;
            if (inside) {
                m.begin = b;
                m.end = e;
            }
            continue;
        }
        if (!inside) continue;
        long v = 0;
        if (sscanf(line, "Rss: %ld", &v) == 1) m.rss_kib = v;
        if (strncmp(line, "VmFlags:", 8) == 0) m.flags = line + 8;
    }
    fclose(f);
    return m;
}

// VmFlags holds two-letter words separated by blanks ("rd wr mr mw me ac hg").
bool has_flag(const mapping &m, const char *flag) {
    std::string words = " " + m.flags;
    for (char &c : words)
        if (c == '\n' || c == '\t') c = ' ';
    return (words + " ").find(std::string(" ") + flag + " ") != std::string::npos;
}

} // namespace

TEST(PlatformMemory, LargePageHint) {
    const size_t L = OS_LARGE_PAGE;
    // Eight large pages of address space; work on an aligned stretch inside.
    void *map = mmap(nullptr, 8 * L, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    uint8_t *base = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(map) + 2 * L - 1) &
                                                ~uintptr_t(L - 1));

    // No whole large page inside: refused, nothing marked.
    errno = 0;
    EXPECT_FALSE(os_memory_hint_large_pages(base + 4096, L));
    EXPECT_EQ(os_error(), EINVAL);
    EXPECT_FALSE(has_flag(mapping_of(base + L / 2), "hg"));

    // From half a page before to half a page after two whole large pages: only those
    // two are marked, and nothing becomes resident.
    ASSERT_TRUE(os_memory_hint_large_pages(base + L / 2, 2 * L + L)) << "errno = " << os_error();
    mapping inner = mapping_of(base + L);
    EXPECT_TRUE(has_flag(inner, "hg")) << inner.flags;
    EXPECT_EQ(inner.begin, reinterpret_cast<uintptr_t>(base + L));
    EXPECT_EQ(inner.end, reinterpret_cast<uintptr_t>(base + 3 * L));
    EXPECT_EQ(inner.rss_kib, 0);
    EXPECT_FALSE(has_flag(mapping_of(base + L / 2), "hg"));
    EXPECT_FALSE(has_flag(mapping_of(base + 3 * L + L / 2), "hg"));

    // The marked memory is ordinary memory: written and read back.
    memset(base + L, 0x5A, 2 * L);
    EXPECT_EQ(base[L], 0x5A);
    EXPECT_EQ(base[3 * L - 1], 0x5A);
    EXPECT_GE(mapping_of(base + L).rss_kib, 2048);
    munmap(map, 8 * L);
}
