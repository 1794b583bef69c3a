// Watching a folder by looking at it, for a system that has no change watch to give:
// each look lists the matching files and compares them with the look before by the
// hash of the name, the size and the last-write time.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/os.h"

static uint64_t name_hash(const char *name) {
    uint64_t h = 14695981039346656037ull; // FNV-1a
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c; c++)
        h = (h ^ *c) * 1099511628211ull;
    return h;
}

static int by_hash(const void *a, const void *b) {
    uint64_t x = static_cast<const dirpoll_file *>(a)->name_hash;
    uint64_t y = static_cast<const dirpoll_file *>(b)->name_hash;
    return x < y ? -1 : x > y;
}

// Adds a file to a look; with the look full, it takes the place of the oldest file
// when it is newer.
static void keep_file(dirpoll_file *files, int *count, bool *full, const dirpoll_file &f) {
    if (*count < DIRPOLL_MAX_FILES) {
        files[(*count)++] = f;
        return;
    }
    *full = true;
    int oldest = 0;
    for (int i = 1; i < *count; i++)
        if (files[i].last_write_ns < files[oldest].last_write_ns) oldest = i;
    if (f.last_write_ns > files[oldest].last_write_ns) files[oldest] = f;
}

// Whether the entry is news against the previous look.
static bool changed(const dir_poll *p, const dirpoll_file &f) {
    if (p->current < 0) return false; // the first look only learns what is there
    const dirpoll_file *seen = static_cast<const dirpoll_file *>(
        bsearch(&f, p->files[p->current], size_t(p->count[p->current]), sizeof f, by_hash));
    if (seen) return seen->size != f.size || seen->last_write_ns != f.last_write_ns;
    // New to this look: news when it holds something, unless it is only older than
    // everything a full look followed.
    return f.size > 0 && !(p->full && f.last_write_ns <= p->floor_ns);
}

// One look: records of the changed files oldest write first; -1 when the folder
// cannot be searched, else their number (*overflow when they did not fit).
static int look(dir_poll *p, dirwatch_record *recs, int max_recs, bool *overflow) {
    int next = p->current == 0 ? 1 : 0;
    dirpoll_file *files = p->files[next];
    int count = 0, n = 0;
    bool full = false;
    int64_t written[DIRWATCH_MAX_RECORDS];
    if (max_recs > DIRWATCH_MAX_RECORDS) max_recs = DIRWATCH_MAX_RECORDS;
    dir_search search;
    dir_entry e;
    if (dir_search_first(p->path_pattern, &search, &e)) {
        do {
            if (e.is_dir) continue;
            dirpoll_file f{name_hash(e.name), e.size, e.last_write_ns};
            keep_file(files, &count, &full, f);
            if (!changed(p, f)) continue;
            if (n >= max_recs) {
                *overflow = true;
                continue;
            }
            // Insertion by write time keeps the order in which the files were written.
            int at = n++;
            for (; at > 0 && written[at - 1] > e.last_write_ns; at--) {
                recs[at] = recs[at - 1];
                written[at] = written[at - 1];
            }
            recs[at].action = DIRWATCH_ACTION_MODIFIED;
            snprintf(recs[at].name, sizeof recs[at].name, "%s", e.name);
            written[at] = e.last_write_ns;
        } while (dir_search_next(&search, &e));
        dir_search_close(&search);
    } else if (os_error_kind_of(os_error()) != OS_E_NOT_FOUND) {
        return -1; // the folder is gone or cannot be read
    }
    qsort(files, size_t(count), sizeof files[0], by_hash);
    p->count[next] = count;
    p->current = next;
    p->full = full;
    p->floor_ns = INT64_MAX;
    for (int i = 0; i < count; i++)
        if (files[i].last_write_ns < p->floor_ns) p->floor_ns = files[i].last_write_ns;
    p->looked_at = os_tick_ms();
    return n;
}

bool dirpoll_open(const char *dir, const char *pattern, unsigned interval_ms, dir_poll *p) {
    int len =
        snprintf(p->path_pattern, sizeof p->path_pattern, "%s" OS_PATH_SEP "%s", dir, pattern);
    if (len < 0 || size_t(len) >= sizeof p->path_pattern) return false;
    p->interval_ms = interval_ms > 0 ? interval_ms : 1;
    p->current = -1;
    p->count[0] = p->count[1] = 0;
    p->full = false;
    p->floor_ns = 0;
    bool overflow = false;
    return look(p, nullptr, 0, &overflow) >= 0;
}

int dirpoll_read(dir_poll *p, int timeout_ms, dirwatch_record *recs, int max_recs,
                 bool *signalled) {
    *signalled = false;
    const uint32_t start = os_tick_ms();
    for (;;) {
        // The next look is due interval_ms after the last one, or at the time-out.
        uint32_t now = os_tick_ms();
        uint32_t since = now - p->looked_at, waited = now - start;
        uint32_t wait = since < p->interval_ms ? p->interval_ms - since : 0;
        if (timeout_ms >= 0 && waited + wait > uint32_t(timeout_ms)) {
            if (waited >= uint32_t(timeout_ms)) return 0;
            os_sleep_ms(uint32_t(timeout_ms) - waited);
            return 0;
        }
        if (wait > 0) os_sleep_ms(wait);
        bool overflow = false;
        int n = look(p, recs, max_recs < 0 ? 0 : max_recs, &overflow);
        if (n < 0) return -1;
        if (n > 0 || overflow) {
            *signalled = true;
            return overflow ? 0 : n;
        }
    }
}
