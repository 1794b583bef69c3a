// HLS list mode (-hls_list=N, N >= 3): a standard live playlist of the channel's
// newest N complete chunk files that have a next one, one segment each, and the chunk
// relay that serves exactly the chunk number it is asked for. Only complete chunks are
// listed: each is then sent at full speed, its duration is known from its own clock,
// and a player that starts three segments behind the end never waits for one still
// being written.
#include "relay/relay.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/os.h"

namespace {

enum {
    LIST_BUF = 4096,
    LIST_POLL_MS = 100,
    LIST_ANCHOR_WAIT_MS = 2000,
    PCR_CLOCK = 27000000,
};
const int64_t PCR_WRAP = (int64_t(1) << 33) * 300;
const int64_t LIVE_WRITE_NS = 1500000000;

// Reads the whole file: its size, how far it is written (up to the first packet without its
// sync octet: the fetcher fills front to back, whole packets) and the first and last
// programme clock reference of the first PID that carries one.
bool inspect_chunk(const char *path, list_chunk *c) {
    os_file f;
    if (!file_open_read(path, &f, FILE_NO_LINKS)) return false;
    static uint8_t block[CHUNK_BLOCK];
    c->size = 0;
    file_size(&f, &c->size);
    c->filled = 0;
    c->pcr_pid = -1;
    c->pcr_first = c->pcr_last = -1;
    c->pcr_first_at = c->pcr_last_at = 0;
    bool ended = false;
    uint64_t pos = 0;
    while (!ended) {
        long got = file_read(&f, block, CHUNK_BLOCK);
        if (got <= 0) break;
        for (long i = 0; i + TS_PACKET <= got; i += TS_PACKET) {
            const uint8_t *p = block + i;
            if (p[0] != 0x47) {
                ended = true;
                break;
            }
            int pid = ((p[1] & 0x1F) << 8) | p[2];
            bool has_pcr = (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10);
            if (has_pcr && (c->pcr_pid < 0 || c->pcr_pid == pid)) {
                int64_t base = (int64_t(p[6]) << 25) | (int64_t(p[7]) << 17) |
                               (int64_t(p[8]) << 9) | (int64_t(p[9]) << 1) | (p[10] >> 7);
                int64_t pcr = base * 300 + (((p[10] & 1) << 8) | p[11]);
                c->pcr_pid = pid;
                if (c->pcr_first < 0) {
                    c->pcr_first = pcr;
                    c->pcr_first_at = pos + uint64_t(i);
                }
                c->pcr_last = pcr;
                c->pcr_last_at = pos + uint64_t(i);
            }
            c->filled = pos + uint64_t(i) + TS_PACKET;
        }
        pos += uint64_t(got);
    }
    file_close(&f);
    return true;
}

// Seconds per octet from the chunk's own clock; 0 when it holds fewer than two
// references.
double clock_rate(const list_chunk &c) {
    if (c.pcr_first < 0 || c.pcr_last_at <= c.pcr_first_at) return 0;
    int64_t ticks = (c.pcr_last - c.pcr_first + PCR_WRAP) % PCR_WRAP;
    return double(ticks) / PCR_CLOCK / double(c.pcr_last_at - c.pcr_first_at);
}

// The CID's newest chunk number: the highest within the sequence window of the file
// written last (a channel that restarted elsewhere starts a new window).
bool newest_number(const char *dir, int32_t *out, int64_t *mtime_ns) {
    char pattern[OS_PATH_MAX + 64];
    snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "%d---*.dat", dir, g_relay.cid);
    static dir_entry entries[256];
    int n = 0;
    dir_search s;
    dir_entry e;
    if (!dir_search_first(pattern, &s, &e)) return false;
    int newest = -1;
    do {
        int32_t cid = 0, seq = 0;
        if (e.is_dir || !parse_chunk_name(e.name, &cid, &seq) || n == 256) continue;
        entries[n] = e;
        if (newest < 0 || e.last_write_ns >= entries[newest].last_write_ns) newest = n;
        n++;
    } while (dir_search_next(&s, &e));
    dir_search_close(&s);
    if (newest < 0) return false;
    int32_t cid = 0, top = 0;
    parse_chunk_name(entries[newest].name, &cid, &top);
    int best = newest;
    for (int i = 0; i < n; i++) {
        int32_t seq = 0;
        parse_chunk_name(entries[i].name, &cid, &seq);
        if (seq_judge(top, seq) == SEQ_NEXT) {
            top = seq;
            best = i;
        }
    }
    *out = top;
    *mtime_ns = entries[best].last_write_ns;
    return true;
}

void chunk_file_path(const char *dir, int32_t seq, char *out) {
    snprintf(out, OS_PATH_MAX + 1, "%s" OS_PATH_SEP "%d---%d.dat", dir, g_relay.cid, seq);
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civil_from_days(int64_t z, int *y, int *m, int *d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *d = int(doy - (153 * mp + 2) / 5 + 1);
    *m = int(mp < 10 ? mp + 3 : mp - 9);
    *y = int(yoe + era * 400 + (*m <= 2));
}

} // namespace

int format_utc_ms(char *out, size_t cap, int64_t ms) {
    int64_t days = (ms >= 0 ? ms : ms - 86399999) / 86400000;
    int64_t rest = ms - days * 86400000;
    int y, m, d;
    civil_from_days(days, &y, &m, &d);
    return snprintf(out, cap, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d, int(rest / 3600000),
                    int(rest / 60000 % 60), int(rest / 1000 % 60), int(rest % 1000));
}

int collect_list(const char *dir, int32_t want, list_chunk *out, bool *growing) {
    *growing = false;
    int32_t top = 0;
    int64_t top_mtime = 0;
    if (!newest_number(dir, &top, &top_mtime)) return 0;
    char path[OS_PATH_MAX + 1];
    list_chunk newest{};
    chunk_file_path(dir, top, path);
    if (!inspect_chunk(path, &newest)) return 0;
    newest.seq = top;
    // Written to within the last moments: a file that a stopped channel left half
    // written is no reference (the fetcher writes the live one every 100 ms).
    const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    *growing = newest.filled < newest.size && now_ns - top_mtime < LIVE_WRITE_NS;
    // Newest first while collecting; reversed at the end. The newest file is never
    // listed, even complete (a swarm viewer writes each chunk whole): its last units
    // end in the chunk after it, which does not exist yet, and segment N + 1 leaves
    // out what would have completed them.
    int n = 0;
    for (int64_t seq = int64_t(top) - 1; n < want && seq >= INT32_MIN; seq--) {
        list_chunk c{};
        chunk_file_path(dir, int32_t(seq), path);
        if (!inspect_chunk(path, &c) || c.size == 0 || c.filled != c.size) break;
        c.seq = int32_t(seq);
        out[n++] = c;
    }
    // Durations from each chunk's own clock; a chunk without two references takes its
    // neighbour's rate, and with none at all the segment lasts -duration + 1 seconds.
    double rate = clock_rate(newest);
    for (int i = 0; i < n && rate == 0; i++)
        rate = clock_rate(out[i]);
    for (int i = 0; i < n; i++) {
        double r = clock_rate(out[i]);
        out[i].seconds = r > 0 ? r * double(out[i].size)
                               : (rate > 0 ? rate * double(out[i].size) : g_relay.duration + 1);
    }
    // Wall-clock starts: the newest file was last written when its written end was
    // live; each older chunk starts one duration before the next.
    double newest_rate = clock_rate(newest) > 0 ? clock_rate(newest) : rate;
    if (newest_rate == 0 && newest.size > 0)
        newest_rate = double(g_relay.duration + 1) / double(newest.size);
    double start_ms = double(top_mtime / 1000000) - newest_rate * double(newest.filled) * 1000;
    for (int k = 0; k < n; k++) {
        start_ms -= out[k].seconds * 1000;
        out[k].start_ms = int64_t(start_ms);
    }
    for (int a = 0, b = n - 1; a < b; a++, b--) {
        list_chunk t = out[a];
        out[a] = out[b];
        out[b] = t;
    }
    return n;
}

int build_list_playlist(char *out, size_t cap, const list_chunk *list, int n, int pid) {
    double longest = 0;
    for (int i = 0; i < n; i++)
        if (list[i].seconds > longest) longest = list[i].seconds;
    int target =
        n > 0 ? int(longest) + (double(int(longest)) < longest ? 1 : 0) : g_relay.duration + 2;
    int len = snprintf(out, cap,
                       "#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-TARGETDURATION:%d\r\n"
                       "#EXT-X-MEDIA-SEQUENCE:%d\r\n",
                       target, n > 0 ? list[0].seq : 0);
    for (int i = 0; i < n && len > 0 && size_t(len) < cap; i++) {
        char when[40];
        format_utc_ms(when, sizeof when, list[i].start_ms);
        len += snprintf(out + len, cap - size_t(len),
                        "#EXT-X-PROGRAM-DATE-TIME:%s\r\n#EXTINF:%.3f,\r\n"
                        "/hls.chunk.ts?cid=%d&sid=%d&chunk=%d\r\n",
                        when, list[i].seconds, g_relay.cid, pid, list[i].seq);
    }
    return len < 0 ? 0 : (size_t(len) < cap ? len : int(cap) - 1); // never past the buffer
}

int32_t send_list_playlist(const char *dir) {
    static const char op[] = "send_playlist";
    static list_chunk list[HLS_LIST_MAX];
    // A channel just started has no complete chunk yet: wait for the first one, at
    // most -duration seconds. The list is taken when the channel's newest file is
    // being written, the live reference: not while the fetcher still writes the
    // chunks it hands over at once, nor from what a stopped channel left behind
    // before the fetcher is back (both at most LIST_ANCHOR_WAIT_MS).
    int n = 0;
    for (int waited = 0; g_relay.exit_flag == 0; waited += LIST_POLL_MS) {
        bool growing = false;
        n = collect_list(dir, g_relay.hls_list, list, &growing);
        if (n > 0 && (growing || waited >= LIST_ANCHOR_WAIT_MS)) break;
        if (waited >= g_relay.duration * 1000) break;
        g_relay.sleep_ms(LIST_POLL_MS);
    }
    static char playlist[LIST_BUF];
    char header[1024];
    int plen = build_list_playlist(playlist, sizeof playlist, list, n, os_process_id());
    int hlen = build_playlist_header(header, sizeof header, plen);
    net_sock s = g_relay.chan;
    long sent = net_send(s, header, size_t(hlen));
    if (sent != hlen)
        RLOG(SEV_E, op, "send (%d octets) -> %d, errno = %d", hlen, int(sent), net_error());
    sent = net_send(s, playlist, size_t(plen));
    if (sent != plen)
        return RLOG(SEV_E, op, "send (%d octets) -> %d, errno = %d", plen, int(sent), net_error());
    if (g_trace)
        RTRACE(op, "[#%d] CID=%d : Sent answer[0:%d] = \n%.*s%.*s", g_relay.chan, g_relay.cid, hlen,
               hlen, header, plen, playlist);
    return RLOG(SEV_S, op, "Listed %d chunk files from Seq. No = %d", n, n > 0 ? list[0].seq : 0);
}

int32_t send_exact_chunk(const char *dir) {
    static const char op[] = "send_hls";
    char path[OS_PATH_MAX + 1];
    chunk_file_path(dir, g_relay.chunk, path);
    os_file f;
    if (!file_open_read(path, &f, FILE_NO_LINKS)) {
        int err = os_error();
        char answer[512];
        int len = build_not_found(answer, sizeof answer);
        net_send(g_relay.chan, answer, size_t(len));
        return RLOG(SEV_I, op, "'%s' is not in the cache (errno = %d): 404 Not Found", path, err);
    }
    RLOG(SEV_I, op, "Loading '%s', idle_loops = %d", path, g_relay.idle_loops.load());
    // The highest chunk number has no next one to complete its units from.
    char next_path[OS_PATH_MAX + 1];
    bool has_next = g_relay.chunk < INT32_MAX;
    if (has_next) chunk_file_path(dir, g_relay.chunk + 1, next_path);
    int32_t st = send_whole_frames(&f, path, has_next ? next_path : nullptr);
    file_close(&f);
    if (!(st & 1)) g_relay.exit_flag = st;
    return st;
}
