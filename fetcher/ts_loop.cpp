// A looped transport-stream source read as one endless stream: a .ts file or a folder
// of them, repeated, where every octet position has fixed content. Each file's
// timestamps (PCR, PTS, DTS) are shifted so that the files and the loops follow one
// another without a jump, and each PID's continuity counter runs on across them, so
// a player sees one continuous broadcast. A position is read without reading what
// comes before it, which lets a writer start anywhere on the wall clock.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetcher.h"
#include "fetcher/ts_stamps.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { SCAN_BLOCK = TS_PACKET * 512 };
using ts::has_pcr;
using ts::PCR_MOD;
using ts::pes_stamps;
using ts::PTS_MOD;
using ts::read_pcr;
using ts::read_stamp;
using ts::wrap;
using ts::write_pcr;
using ts::write_stamp;
const int64_t DEFAULT_PERIOD_RATE = 250000; // octets/s when a file has no timestamps

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

int find_pid(const loop_file *f, int pid) {
    for (int i = 0; i < f->npids; i++)
        if (f->pids[i].pid == pid) return i;
    return -1;
}

// Reads one file through: per PID its first continuity counter, its payload packets
// and its timestamps; the file's content period from them (the latest end of a
// stream less the earliest start), else from its PCRs.
bool scan_file(loop_file *f, uint8_t *block) {
    uint64_t size = 0;
    if (!file_open_read(f->path, &f->f)) return false;
    if (!file_size(&f->f, &size) || size < TS_PACKET) {
        file_close(&f->f);
        return false;
    }
    f->size = size - size % TS_PACKET;
    f->npids = 0;
    int64_t first_pcr = -1, last_pcr = -1;
    uint64_t first_pcr_at = 0, last_pcr_at = 0;
    for (uint64_t off = 0; off < f->size;) {
        long r =
            file_pread(&f->f, block, size_t(std::min<uint64_t>(SCAN_BLOCK, f->size - off)), off);
        if (r < TS_PACKET) break;
        for (long i = 0; i + TS_PACKET <= r; i += TS_PACKET) {
            const uint8_t *p = block + i;
            if (p[0] != 0x47) continue;
            int pid = ((p[1] & 0x1F) << 8) | p[2];
            if (pid == 0x1FFF) continue;
            int x = find_pid(f, pid);
            if (x < 0) {
                if (f->npids >= LOOP_MAX_PIDS) continue;
                x = f->npids++;
                file_pid &n = f->pids[x];
                n = file_pid{};
                n.pid = uint16_t(pid);
                n.min_pts = n.max_pts = -1;
            }
            file_pid &fp = f->pids[x];
            if (p[3] & 0x10) {
                if (fp.payloads == 0) fp.cc0 = p[3] & 15;
                fp.payloads++;
            }
            if (has_pcr(p)) {
                int64_t pcr = read_pcr(p);
                if (first_pcr < 0) {
                    first_pcr = pcr;
                    first_pcr_at = off + uint64_t(i);
                } else if (pcr > first_pcr) {
                    last_pcr = pcr;
                    last_pcr_at = off + uint64_t(i);
                }
            }
            int pts_at, dts_at;
            if (!pes_stamps(p, &pts_at, &dts_at)) continue;
            int64_t pts = read_stamp(p + pts_at);
            if (fp.min_pts < 0 || pts < fp.min_pts) fp.min_pts = pts;
            if (fp.max_pts >= 0 && pts > fp.last_pts &&
                (fp.step == 0 || pts - fp.last_pts < fp.step))
                fp.step = pts - fp.last_pts;
            if (pts > fp.max_pts) fp.max_pts = pts;
            fp.last_pts = pts;
        }
        off += uint64_t(r);
    }
    int64_t start = -1, end = -1;
    for (int i = 0; i < f->npids; i++) {
        const file_pid &fp = f->pids[i];
        if (fp.min_pts < 0) continue;
        if (start < 0 || fp.min_pts < start) start = fp.min_pts;
        end = std::max(end, fp.max_pts + fp.step);
    }
    if (start >= 0 && end > start) {
        f->first_pts = start;
        f->period = end - start;
    } else {
        // No timestamps to go by: the PCR rate, or a plain default rate.
        double rate = DEFAULT_PERIOD_RATE;
        if (last_pcr > first_pcr && last_pcr_at > first_pcr_at)
            rate = double(last_pcr_at - first_pcr_at) * 27000000.0 / double(last_pcr - first_pcr);
        f->first_pts = first_pcr >= 0 ? first_pcr / 300 : 0;
        f->period = int64_t(double(f->size) * 90000.0 / rate);
        if (f->period <= 0) f->period = 1;
    }
    return true;
}

} // namespace

bool ts_loop_open(ts_loop *l, const char *path) {
    memset(l, 0, sizeof *l);
    if (is_folder(path)) {
        char pattern[OS_PATH_MAX + 8];
        snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "*.ts", path);
        dir_search s;
        dir_entry e;
        if (dir_search_first(pattern, &s, &e)) {
            do {
                if (e.is_dir || l->count >= LOOP_MAX_FILES) continue;
                snprintf(l->files[l->count++].path, OS_PATH_MAX, "%.*s" OS_PATH_SEP "%.*s", 150,
                         path, 100, e.name);
            } while (dir_search_next(&s, &e));
            dir_search_close(&s);
        }
        std::sort(l->files, l->files + l->count, [](const loop_file &a, const loop_file &b) {
            return strcmp(a.path, b.path) < 0;
        });
    } else {
        snprintf(l->files[l->count++].path, OS_PATH_MAX, "%s", path);
    }
    uint8_t *block = static_cast<uint8_t *>(malloc(SCAN_BLOCK)); // once per channel start
    int kept = 0;
    for (int i = 0; block && i < l->count; i++) {
        if (!scan_file(&l->files[i], block)) continue; // unreadable or too short: left out
        if (kept != i) l->files[kept] = l->files[i];
        kept++;
    }
    free(block);
    l->count = kept;
    // Positions, timestamp shifts and counter bases of the files within one loop.
    for (int i = 0; i < l->count; i++) {
        loop_file &f = l->files[i];
        f.start = l->octets;
        f.shift = l->period;
        l->octets += f.size;
        l->period += f.period;
        for (int j = 0; j < f.npids; j++) {
            file_pid &fp = f.pids[j];
            int x = 0;
            while (x < l->npids && l->pids[x].pid != fp.pid)
                x++;
            if (x == l->npids) {
                if (l->npids >= LOOP_MAX_PIDS) continue;
                l->pids[l->npids++] = loop_pid{fp.pid, 0};
            }
            fp.loop_index = uint8_t(x);
            fp.before = l->pids[x].payloads;
            l->pids[x].payloads += fp.payloads;
        }
    }
    return l->count > 0;
}

void ts_loop_close(ts_loop *l) {
    for (int i = 0; i < l->count; i++)
        if (l->files[i].f.handle >= 0) file_close(&l->files[i].f);
    l->count = 0;
}

bool ts_loop_read(ts_loop *l, uint64_t at, uint8_t *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        uint64_t pos = at + got;
        uint64_t k = pos / l->octets, y = pos % l->octets;
        int i = 0;
        while (i + 1 < l->count && y >= l->files[i + 1].start)
            i++;
        loop_file &f = l->files[i];
        uint64_t in_file = y - f.start;
        size_t want = size_t(std::min<uint64_t>(n - got, f.size - in_file));
        long r = file_pread(&f.f, buf + got, want, in_file);
        if (r != long(want)) return false;
        const int64_t shift = wrap(int64_t(k) * l->period + f.shift - f.first_pts, PTS_MOD);
        for (size_t p = 0; p < want; p += TS_PACKET) {
            uint8_t *t = buf + got + p;
            if (t[0] != 0x47) continue;
            int pid = ((t[1] & 0x1F) << 8) | t[2];
            int x = find_pid(&f, pid);
            if (x < 0) continue;
            const file_pid &fp = f.pids[x];
            uint32_t base = uint32_t(k * l->pids[fp.loop_index].payloads) + fp.before;
            t[3] = uint8_t((t[3] & 0xF0) | ((t[3] + base - fp.cc0) & 15));
            if (has_pcr(t)) write_pcr(t, wrap(read_pcr(t) + shift * 300, PCR_MOD));
            int pts_at, dts_at;
            if (pes_stamps(t, &pts_at, &dts_at)) {
                write_stamp(t + pts_at, wrap(read_stamp(t + pts_at) + shift, PTS_MOD));
                if (dts_at) write_stamp(t + dts_at, wrap(read_stamp(t + dts_at) + shift, PTS_MOD));
            }
        }
        got += want;
    }
    return true;
}
