// Live writers: a CID's channel as a live broadcast on the wall clock. Its source
// (a .ts file or folder, looped, or the generated test signal) is one endless stream
// whose octet position follows the time since a fixed origin, whoever watches; it is
// cut into chunk files "%d---%d.dat" numbered by that position, each a whole number
// of the readers' 65424-octet blocks. A chunk file is created at its final size,
// zero-filled, and filled front to back as the live position passes through it. On
// a start the current chunk is written up to the live position and the newest
// complete chunk at once, as peers would hand over what the swarm holds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetcher.h"
#include "fetcher/cache_writer.h"
#include "fetcher/sources/sources_file.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum : int64_t {
    SLICE_MS = 100,
    HANDOVER_MS = 600,
    WRITE_MAX = 348 * TS_PACKET * 4,
};

// The channel's timing: octets per loop delivered in ticks_per_loop (90 kHz).
struct channel_clock {
    uint64_t loop_octets;
    int64_t loop_ticks;
};

// Live position in octets, whole packets.
uint64_t live_position(const channel_clock &c) {
    int64_t ms = wall_ms() - ORIGIN_MS;
    uint64_t ticks = uint64_t(ms < 0 ? 0 : ms) * 90;
    uint64_t t = uint64_t(c.loop_ticks);
    // The part loop in long double: a folder source's loop may hold many gigaoctets.
    uint64_t x = ticks / t * c.loop_octets +
                 uint64_t((long double)(ticks % t) * (long double)c.loop_octets / t);
    return x - x % TS_PACKET;
}

bool stopped(const std::atomic<bool> *stop) {
    return *stop || g_fetcher.stop_all;
}

// Writes octets [from, to) of the stream into the chunk file that starts at base.
bool write_range(ts_loop *loop, os_file *f, uint64_t base, uint64_t from, uint64_t to,
                 uint8_t *buf) {
    while (from < to) {
        size_t n = size_t(std::min<uint64_t>(to - from, WRITE_MAX));
        if (!ts_loop_read(loop, from, buf, n)) return false;
        if (file_pwrite(f, buf, n, from - base) != long(n)) return false;
        from += n;
    }
    return true;
}

} // namespace

bool lookup_source(const option_text *list, int32_t cid, bool allow_default, char *out,
                   size_t cap) {
    const char *p = list->text;
    const char *end = p + list->len;
    bool found_default = false;
    while (p < end) {
        const char *semi = static_cast<const char *>(memchr(p, ';', size_t(end - p)));
        const char *stop = semi ? semi : end;
        const char *colon = static_cast<const char *>(memchr(p, ':', size_t(stop - p)));
        char *num_end = nullptr;
        long c = colon ? strtol(p, &num_end, 10) : 0;
        if (colon && num_end == colon && num_end != p) {
            if (c == cid) {
                snprintf(out, cap, "%.*s", int(stop - colon - 1), colon + 1);
                return true;
            }
        } else if (allow_default && !found_default && stop > p) {
            snprintf(out, cap, "%.*s", int(stop - p), p);
            found_default = true;
        }
        p = stop + (semi ? 1 : 0);
    }
    return found_default;
}

void live_writer(cid_entry *e) {
    fetcher_state &g = g_fetcher;
    const int32_t cid = e->cid;
    char path[OS_PATH_MAX];
    char url[SOURCE_URL_MAX];
    bool network = false;
    if (source_of(cid, url, sizeof url, &network) && !network)
        snprintf(path, sizeof path, "%s", url + (strncmp(url, "file://", 7) == 0 ? 7 : 5));
    else if (!lookup_source(&g.source, cid, true, path, sizeof path))
        snprintf(path, sizeof path, "%.*s", int(g.signal.len), g.signal.text);
    // Once per writer, not per chunk.
    ts_loop *loop = static_cast<ts_loop *>(malloc(sizeof(ts_loop)));
    uint8_t *buf = static_cast<uint8_t *>(malloc(WRITE_MAX));
    if (!loop || !buf || !ts_loop_open(loop, path)) {
        log_printf(FETCH, SEV_E, "CID=%d : no readable transport stream at '%s'", cid, path);
        if (loop) ts_loop_close(loop);
        free(loop);
        free(buf);
        return;
    }
    channel_clock clock{loop->octets, loop->period};
    if (g.rate > 0) clock.loop_ticks = int64_t(loop->octets * 90000 / uint64_t(g.rate));
    if (clock.loop_ticks <= 0) clock.loop_ticks = 1;
    const double rate = double(loop->octets) * 90000.0 / double(clock.loop_ticks);
    // Rounded up: a chunk never lasts less than asked (an HLS player reloads its
    // one-segment playlist every segment duration, and a shorter chunk would finish
    // before the player's next request and be skipped).
    uint64_t blocks = uint64_t(rate * g.chunk_ms / 1000.0 / READER_BLOCK + 0.999);
    const uint64_t chunk = std::max<uint64_t>(blocks, 1) * READER_BLOCK;
    log_printf(FETCH, SEV_I,
               "CID=%d : source '%s' (%d files, loop of %.3f s), %.0f octets/s, chunks of %llu "
               "octets (%.3f s)",
               cid, path, loop->count, double(loop->period) / 90000.0, rate,
               (unsigned long long)chunk, double(chunk) / rate);

    // The start: the current chunk up to the live position, then the newest complete
    // chunk (with -history, the newest that many), whole, so that it is the newest
    // file the streamer started with this
    // message finds; the current one is left alone for a short hand-over time. An
    // HLS segment request comes a second or more after its playlist's message and
    // finds the current chunk again, whose successor its next request will find.
    // Not into a block's tail: a tail goes out whole (whole_tail_end).
    const uint64_t live = whole_tail_end(live_position(clock));
    uint64_t n = live / chunk;
    bool ok = true;
    char name[OS_PATH_MAX + 32];
    os_file f;
    // The newest -history complete chunks follow, oldest first, so that the one just
    // before the current chunk is the newest file (a standard live playlist lists
    // several).
    if (open_chunk(cid, n, chunk, false, &f, name, sizeof name)) {
        ok = write_range(loop, &f, n * chunk, n * chunk, live, buf);
        file_close(&f);
    }
    const uint64_t history = std::min<uint64_t>(uint64_t(g.history), n);
    for (uint64_t k = n - history; ok && k < n; k++) {
        if (!open_chunk(cid, k, chunk, false, &f, name, sizeof name)) continue;
        ok = write_range(loop, &f, k * chunk, k * chunk, (k + 1) * chunk, buf);
        file_close(&f);
        if (g_trace) log_printf(FETCH, SEV_I, "CID=%d : wrote '%s' at once", cid, name);
    }
    for (int waited = 0; waited < HANDOVER_MS && !stopped(&e->stop); waited += SLICE_MS)
        os_sleep_ms(SLICE_MS);
    uint64_t pos = live;
    for (; ok && !stopped(&e->stop); n++) {
        if (!open_chunk(cid, n, chunk, false, &f, name, sizeof name)) {
            log_printf(FETCH, SEV_E, "CID=%d : open '%s' : %d", cid, name, os_error());
            break;
        }
        if (g_trace) log_printf(FETCH, SEV_I, "CID=%d : writing '%s'", cid, name);
        const uint64_t base = n * chunk, end = base + chunk;
        if (pos < base) pos = base;
        while (pos < end && !stopped(&e->stop)) {
            const uint64_t now = write_end(pos, std::min(live_position(clock), end));
            if (now > pos) {
                if (!write_range(loop, &f, base, pos, now, buf)) {
                    log_printf(FETCH, SEV_E, "CID=%d : write '%s' : %d", cid, name, os_error());
                    ok = false;
                    break;
                }
                pos = now;
            }
            if (pos < end) os_sleep_ms(SLICE_MS);
        }
        file_close(&f);
    }
    ts_loop_close(loop);
    free(loop);
    free(buf);
    log_printf(FETCH, SEV_I, "CID=%d : writer stopped", cid);
}
