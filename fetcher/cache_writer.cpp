// Chunk files of the cache, shared by the local signal and the live sources.
#include "fetcher/cache_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetcher.h"
#include "fetcher/swarm/swarm.h"
#include "platform/os.h"

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The file of chunk n; its number stays a positive 32-bit one (a wrap after 10^9
// chunks is a sequence reset to the readers).
void chunk_path(int32_t cid, uint64_t n, char *out, size_t cap) {
    snprintf(out, cap, "%.*s" OS_PATH_SEP "%d---%d.dat", int(g_fetcher.dir.len), g_fetcher.dir.text,
             cid, int32_t(n % 1000000000));
}

// Up to the start of the next block's last four packets, which go out in a later
// write than the rest of their block: a reader that finds them written then finds
// the whole block written, rather than a part it read just before the write came.
uint64_t tail_cap(uint64_t pos) {
    const uint64_t tail = (pos / READER_BLOCK + 1) * READER_BLOCK - ZERO_TAIL;
    return pos < tail ? tail : tail + READER_BLOCK;
}

// The readers take a block whose last four packets are not all zero: a tail written
// in part would hand them the rest as zeros. An end that falls inside a tail is
// moved back to the tail's start, so that each tail goes out whole, in one write.
uint64_t whole_tail_end(uint64_t to) {
    const uint64_t in_block = to % READER_BLOCK;
    return in_block > READER_BLOCK - ZERO_TAIL ? to - in_block + (READER_BLOCK - ZERO_TAIL) : to;
}

uint64_t write_end(uint64_t pos, uint64_t avail) {
    return std::max(pos, whole_tail_end(std::min(avail, tail_cap(pos))));
}

bool open_chunk(int32_t cid, uint64_t n, uint64_t size, bool fresh, os_file *f, char *path,
                size_t cap) {
    chunk_path(cid, n, path, cap);
    if (!file_open_write(path, f, FILE_NO_LINKS)) return false;
    uint64_t now = 0;
    if (fresh) {
        if (!file_set_size(f, 0)) {
            file_close(f);
            return false;
        }
    } else if (file_size(f, &now) && now == size) {
        return true; // a restart within -keep: the same content by position
    }
    if (file_set_size(f, size)) return true;
    file_close(f);
    return false;
}

namespace {

enum { FIRST_SPAN = 90000, BATCH_MS = 100, FIRST_WAIT_MS = 2000 };

// The number after every chunk of the CID in the cache, and not before the wall
// clock's: a fetcher started again goes on above what the readers have seen.
uint64_t first_number(int32_t cid, int32_t chunk_ms) {
    uint64_t n = uint64_t(std::max<int64_t>(0, wall_ms() - ORIGIN_MS) / chunk_ms);
    char pattern[OS_PATH_MAX + 32];
    snprintf(pattern, sizeof pattern, "%.*s" OS_PATH_SEP "%d---*.dat", int(g_fetcher.dir.len),
             g_fetcher.dir.text, cid);
    dir_search s;
    dir_entry e;
    if (!dir_search_first(pattern, &s, &e)) return n;
    do {
        int c = 0, k = 0;
        if (sscanf(e.name, "%d---%d.dat", &c, &k) == 2 && c == cid && k >= 0 &&
            uint64_t(k) >= n % 1000000000 && uint64_t(k) < 1000000000)
            n = n - n % 1000000000 + uint64_t(k) + 1;
    } while (dir_search_next(&s, &e));
    dir_search_close(&s);
    return n;
}

uint64_t chunk_size(double rate, int32_t chunk_ms) {
    uint64_t blocks = uint64_t(rate * chunk_ms / 1000.0 / READER_BLOCK + 0.999);
    return std::max<uint64_t>(blocks, 1) * READER_BLOCK;
}

bool next_chunk(cache_stream *c) {
    if (c->open) {
        file_close(&c->f);
        c->open = false;
        c->number++;
    }
    c->size = chunk_size(c->rate, c->chunk_ms);
    c->filled = 0;
    char path[OS_PATH_MAX + 32];
    if (!open_chunk(c->cid, c->number, c->size, true, &c->f, path, sizeof path)) {
        log_printf(FETCH, SEV_E, "CID=%d : open '%s' : %d", c->cid, path, os_error());
        return false;
    }
    c->open = true;
    c->chunks++;
    if (g_trace)
        log_printf(FETCH, SEV_I, "CID=%d : writing '%s', %llu octets (%.0f octets/s)", c->cid, path,
                   (unsigned long long)c->size, c->rate);
    return true;
}

// The rate over the stream time since the mark, when there is enough of it.
void measure(cache_stream *c, int64_t clock, int64_t min_span) {
    if (clock < 0 || c->mark_clock < 0) return;
    int64_t span = clock - c->mark_clock;
    if (span < min_span || span > 3600 * 90000LL) return;
    c->rate = double(c->octets - c->mark_octets) * 90000.0 / double(span);
    c->mark_clock = clock;
    c->mark_octets = c->octets;
}

// Writes p as far as the rules allow; *done gets how far that was. What is left is
// the start of a tail whose end has not come yet.
bool write_out(cache_stream *c, const uint8_t *p, size_t n, int64_t clock, size_t *done) {
    *done = 0;
    while (n > 0) {
        if (!c->open || c->filled == c->size) {
            measure(c, clock, FIRST_SPAN / 2);
            if (!next_chunk(c)) return false;
        }
        const uint64_t to = write_end(c->filled, std::min<uint64_t>(c->filled + n, c->size));
        if (to == c->filled) return true;
        const size_t k = size_t(to - c->filled);
        if (file_pwrite(&c->f, p, k, c->filled) != long(k)) {
            log_printf(FETCH, SEV_E, "CID=%d : write chunk %llu : %d", c->cid,
                       (unsigned long long)c->number, os_error());
            return false;
        }
        c->filled += k;
        p += k;
        n -= k;
        *done += k;
        // A whole chunk: the broadcaster publishes it to the swarm.
        if (c->filled == c->size && c->rate > 0)
            swarm_chunk_complete(c->cid, c->number, c->size,
                                 int32_t(double(c->size) * 1000.0 / c->rate));
    }
    return true;
}

// Writes the hold out; what has to wait moves to its front. A failed write drops it.
bool write_held(cache_stream *c, int64_t clock) {
    size_t done = 0;
    const bool ok = write_out(c, c->hold, c->held, clock, &done);
    c->held = ok ? c->held - done : 0;
    if (c->held > 0) memmove(c->hold, c->hold + done, c->held);
    c->held_since_ms = wall_ms();
    return ok;
}

// Octets beyond a batch go through the hold all the same, behind what waits there.
bool write_through(cache_stream *c, const uint8_t *p, size_t n, int64_t clock) {
    while (n > 0) {
        const size_t take = std::min(n, CACHE_HOLD - c->held);
        memcpy(c->hold + c->held, p, take);
        c->held += take;
        p += take;
        n -= take;
        if (!write_held(c, clock)) return false;
    }
    return true;
}

} // namespace

bool cache_stream_open(cache_stream *c, int32_t cid, int32_t chunk_ms) {
    memset(c, 0, sizeof *c);
    c->cid = cid;
    c->chunk_ms = chunk_ms;
    c->mark_clock = -1;
    c->hold = static_cast<uint8_t *>(malloc(CACHE_HOLD)); // once per source
    c->number = first_number(cid, chunk_ms);
    return c->hold != nullptr;
}

bool cache_stream_put(cache_stream *c, const uint8_t *p, size_t n, int64_t clock) {
    const int64_t now = wall_ms();
    if (c->octets == 0) c->first_ms = now;
    if (c->held == 0) c->held_since_ms = now;
    if (clock >= 0 && c->mark_clock < 0) {
        c->mark_clock = clock;
        c->mark_octets = c->octets;
    }
    c->octets += n;
    if (c->rate <= 0) {
        // The first chunk waits for a second of the stream to know its size.
        size_t take = std::min(n, CACHE_HOLD - c->held);
        memcpy(c->hold + c->held, p, take);
        c->held += take;
        measure(c, clock, FIRST_SPAN);
        const int64_t waited = now - c->first_ms;
        if (c->rate <= 0 && (c->held + TS_PACKET * 64 > CACHE_HOLD || waited >= FIRST_WAIT_MS)) {
            c->rate = double(c->octets) * 1000.0 / double(std::max<int64_t>(waited, 100));
            c->mark_clock = clock;
            c->mark_octets = c->octets;
        }
        if (c->rate <= 0) return true;
        bool ok = write_held(c, clock);
        if (ok && take < n) ok = write_through(c, p + take, n - take, clock);
        return ok;
    }
    if (c->held + n > CACHE_PENDING || n > CACHE_PENDING) {
        if (!cache_stream_flush(c)) return false;
        if (n > CACHE_PENDING) return write_through(c, p, n, clock);
    }
    memcpy(c->hold + c->held, p, n);
    c->held += n;
    c->last_clock = clock;
    if (now - c->held_since_ms >= BATCH_MS) return cache_stream_flush(c);
    return true;
}

bool cache_stream_flush(cache_stream *c) {
    if (c->rate <= 0 || c->held == 0) return true;
    return write_held(c, c->last_clock);
}

void cache_stream_close(cache_stream *c) {
    cache_stream_flush(c);
    // The source ends: the start of a tail that waited goes out as it is.
    if (c->open && c->held > 0 && c->held < c->size - c->filled)
        file_pwrite(&c->f, c->hold, c->held, c->filled);
    if (c->open) file_close(&c->f);
    c->open = false;
    free(c->hold);
    c->hold = nullptr;
}
