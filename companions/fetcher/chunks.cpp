// Live writers: a CID's transport stream (a file or a folder of .ts files, looped,
// or the generated test signal) cut into chunk files "%d---%d.dat" at the stream's
// own rate. Each chunk file grows front to back; with -zero_ahead a zero-filled
// region is kept ahead of the writer, as the streamers expect of a file in progress.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetcher.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { MAX_SOURCE_FILES = 64, SLICE_MS = 100, DEFAULT_RATE = 250000, SCAN_BLOCK = TS_PACKET * 512 };

// A looped sequence of transport-stream files, read packet-aligned.
struct ts_source {
    char files[MAX_SOURCE_FILES][OS_PATH_MAX];
    int count = 0;
    int current = -1;
    os_file f{-1};
    uint64_t usable = 0; // whole packets of the current file
    uint64_t pos = 0;
};

bool is_folder(const char *path) {
    char pattern[OS_PATH_MAX + 8];
    snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "*", path);
    dir_search s;
    dir_entry e;
    if (!dir_search_first(pattern, &s, &e)) {
        os_file f;
        if (file_open_read(path, &f)) {
            file_close(&f);
            return false;
        }
        return os_error_kind_of(os_error()) != OS_E_NOT_FOUND;
    }
    dir_search_close(&s);
    return true;
}

bool source_open(ts_source *src, const char *path) {
    src->count = 0;
    if (is_folder(path)) {
        char pattern[OS_PATH_MAX + 8];
        snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "*.ts", path);
        dir_search s;
        dir_entry e;
        if (dir_search_first(pattern, &s, &e)) {
            do {
                if (e.is_dir || src->count >= MAX_SOURCE_FILES) continue;
                snprintf(src->files[src->count++], OS_PATH_MAX, "%.*s" OS_PATH_SEP "%.*s", 150,
                         path, 100, e.name);
            } while (dir_search_next(&s, &e));
            dir_search_close(&s);
        }
        qsort(src->files, size_t(src->count), sizeof src->files[0],
              [](const void *a, const void *b) {
                  return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
              });
    } else {
        snprintf(src->files[src->count++], OS_PATH_MAX, "%s", path);
    }
    return src->count > 0;
}

// Opens the next file of the loop; false when none of them can be read.
bool source_next(ts_source *src) {
    for (int tries = 0; tries < src->count; tries++) {
        if (src->f.handle >= 0) file_close(&src->f);
        src->current = (src->current + 1) % src->count;
        uint64_t size = 0;
        if (!file_open_read(src->files[src->current], &src->f)) continue;
        if (!file_size(&src->f, &size) || size < TS_PACKET) continue;
        src->usable = size - size % TS_PACKET;
        src->pos = 0;
        return true;
    }
    if (src->f.handle >= 0) file_close(&src->f);
    return false;
}

// Fills n octets from the loop.
bool source_read(ts_source *src, uint8_t *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        if (src->f.handle < 0 || src->pos >= src->usable) {
            if (!source_next(src)) return false;
        }
        size_t want = std::min<uint64_t>(n - got, src->usable - src->pos);
        long r = file_pread(&src->f, buf + got, want, src->pos);
        if (r <= 0) {
            src->pos = src->usable; // unreadable rest: go on with the next file
            continue;
        }
        got += size_t(r);
        src->pos += uint64_t(r);
    }
    return true;
}

// Next free sequence number of the CID: one above the highest chunk file there.
int32_t first_sequence(int32_t cid) {
    char pattern[OS_PATH_MAX + 32];
    snprintf(pattern, sizeof pattern, "%.*s" OS_PATH_SEP "%d---*.dat", int(g_fetcher.dir.len),
             g_fetcher.dir.text, cid);
    dir_search s;
    dir_entry e;
    int32_t best = 0;
    if (dir_search_first(pattern, &s, &e)) {
        do {
            int c, n;
            if (sscanf(e.name, "%d---%d", &c, &n) == 2 && c == cid && n > best) best = n;
        } while (dir_search_next(&s, &e));
        dir_search_close(&s);
    }
    return best + 1;
}

bool sleep_until(int64_t due_ms, int64_t start_ms, const std::atomic<bool> *stop) {
    for (;;) {
        if (*stop || g_fetcher.stop_all) return false;
        int64_t now = int64_t(uint32_t(os_tick_ms() - uint32_t(start_ms)));
        if (now >= due_ms) return true;
        int64_t left = due_ms - now;
        os_sleep_ms(unsigned(left > 50 ? 50 : left));
    }
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

uint32_t ts_rate_from_pcr(const char *path) {
    os_file f;
    if (!file_open_read(path, &f)) return 0;
    static thread_local uint8_t block[SCAN_BLOCK];
    uint64_t offset = 0;
    int pcr_pid = -1;
    uint64_t first_pos = 0, last_pos = 0, first_pcr = 0, last_pcr = 0;
    bool have_first = false;
    for (;;) {
        long r = file_pread(&f, block, sizeof block, offset);
        if (r < TS_PACKET) break;
        for (long i = 0; i + TS_PACKET <= r; i += TS_PACKET) {
            const uint8_t *p = block + i;
            if (p[0] != 0x47) continue;
            int pid = ((p[1] & 0x1f) << 8) | p[2];
            bool adaptation = (p[3] & 0x20) != 0;
            if (!adaptation || p[4] < 7 || !(p[5] & 0x10)) continue;
            if (pcr_pid < 0) pcr_pid = pid;
            if (pid != pcr_pid) continue;
            uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) |
                            (uint64_t(p[8]) << 9) | (uint64_t(p[9]) << 1) | (p[10] >> 7);
            uint64_t pcr = base * 300 + (((p[10] & 1u) << 8) | p[11]);
            uint64_t pos = offset + uint64_t(i);
            if (!have_first) {
                first_pos = pos;
                first_pcr = pcr;
                have_first = true;
            } else if (pcr > first_pcr) {
                last_pos = pos;
                last_pcr = pcr;
            }
        }
        offset += uint64_t(r);
    }
    file_close(&f);
    if (!have_first || last_pcr <= first_pcr || last_pos <= first_pos) return 0;
    double rate = double(last_pos - first_pos) * 27000000.0 / double(last_pcr - first_pcr);
    return rate < TS_PACKET ? 0 : uint32_t(rate);
}

void live_writer(cid_entry *e) {
    fetcher_state &g = g_fetcher;
    const int32_t cid = e->cid;
    static thread_local ts_source src;
    src = ts_source{};
    char path[OS_PATH_MAX];
    if (!lookup_source(&g.source, cid, true, path, sizeof path))
        snprintf(path, sizeof path, "%.*s", int(g.signal.len), g.signal.text);
    if (!source_open(&src, path) || !source_next(&src)) {
        log_printf(FETCH, SEV_E, "CID=%d : no readable transport stream at '%s'", cid, path);
        return;
    }
    uint32_t rate = g.rate > 0 ? uint32_t(g.rate) : ts_rate_from_pcr(src.files[0]);
    if (rate == 0) rate = DEFAULT_RATE;
    uint64_t chunk = uint64_t(rate) * uint64_t(g.chunk_ms) / 1000;
    chunk -= chunk % TS_PACKET;
    if (chunk < TS_PACKET) chunk = TS_PACKET;
    size_t slice = size_t(uint64_t(rate) * SLICE_MS / 1000);
    slice -= slice % TS_PACKET;
    if (slice < TS_PACKET) slice = TS_PACKET;
    if (slice > 1u << 20) slice = 1u << 20;
    uint8_t *buf = static_cast<uint8_t *>(malloc(slice)); // once per writer, not per chunk
    if (!buf) return;
    log_printf(FETCH, SEV_I, "CID=%d : source '%s' (%d files), %u octets/s, chunks of %llu octets",
               cid, path, src.count, rate, (unsigned long long)chunk);

    int32_t seq = first_sequence(cid);
    const int64_t start = int64_t(os_tick_ms());
    uint64_t total = 0;
    while (!e->stop && !g.stop_all) {
        char name[OS_PATH_MAX + 32];
        snprintf(name, sizeof name, "%.*s" OS_PATH_SEP "%d---%d.dat", int(g.dir.len), g.dir.text,
                 cid, seq);
        os_file f;
        if (!file_open_write(name, &f)) {
            log_printf(FETCH, SEV_E, "CID=%d : open '%s' : %d", cid, name, os_error());
            if (!sleep_until(int64_t(total * 1000 / rate) + 1000, start, &e->stop)) break;
            continue;
        }
        file_set_size(&f, 0);
        if (g_trace) log_printf(FETCH, SEV_I, "CID=%d : writing '%s'", cid, name);
        uint64_t written = 0, reserved = 0;
        bool ok = true;
        while (written < chunk) {
            size_t piece = size_t(std::min<uint64_t>(slice, chunk - written));
            if (!source_read(&src, buf, piece)) {
                log_printf(FETCH, SEV_E, "CID=%d : source '%s' cannot be read", cid, path);
                ok = false;
                break;
            }
            uint64_t ahead = std::min<uint64_t>(chunk, written + piece + uint64_t(g.zero_ahead));
            if (ahead > reserved && g.zero_ahead > 0) {
                file_set_size(&f, ahead);
                reserved = ahead;
            }
            if (file_pwrite(&f, buf, piece, written) != long(piece)) {
                log_printf(FETCH, SEV_E, "CID=%d : write '%s' : %d", cid, name, os_error());
                ok = false;
                break;
            }
            written += piece;
            total += piece;
            if (!sleep_until(int64_t(total * 1000 / rate), start, &e->stop)) break;
        }
        if (reserved > written) file_set_size(&f, written); // no zero tail is left behind
        file_close(&f);
        if (!ok) break;
        seq++;
    }
    free(buf);
    if (src.f.handle >= 0) file_close(&src.f);
    log_printf(FETCH, SEV_I, "CID=%d : writer stopped", cid);
}
