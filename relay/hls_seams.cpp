// HLS list mode: a segment made of whole frames. The fetcher cuts chunk files at
// block boundaries, so a frame or an audio packet often begins at the end of one
// chunk and ends at the start of the next. A player that demuxes each segment on its
// own (hls.js) then decodes a cut frame at every such seam, and a cut key frame gives
// the browser's decoder a broken picture. So each segment starts every stream at a
// unit start (the packets before it went out with the segment before) and ends with
// the packets of the next chunk that complete its last units. Every packet still goes
// out once over consecutive segments, in its order within its stream.
#include <cstring>

#include "platform/os.h"
#include "relay/relay.h"

namespace {

enum { PID_COUNT = 8192, NULL_PID = 0x1FFF, NEXT_WAIT_MS = 2000, NEXT_POLL_MS = 100 };

uint8_t s_block[CHUNK_BLOCK];
uint8_t s_out[CHUNK_BLOCK];
uint8_t s_tail[CHUNK_BLOCK];
bool s_started[PID_COUNT]; // the stream met a unit start in this chunk
bool s_pes[PID_COUNT];     // its last unit is a PES packet (tables fit in one packet here)
bool s_closed[PID_COUNT];  // the next chunk reached this stream's next unit start

int pid_of(const uint8_t *p) {
    return ((p[1] & 0x1F) << 8) | p[2];
}
bool unit_start(const uint8_t *p) {
    return (p[1] & 0x40) != 0;
}
bool starts_pes(const uint8_t *p) {
    int at = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
    return at + 3 <= TS_PACKET && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1;
}

// Walks the chunk's packets from its start, keeping those from each stream's first
// unit start on; send false counts them only. The octets kept, or -1.
long walk_chunk(os_file *f, bool send) {
    memset(s_started, 0, sizeof s_started);
    memset(s_pes, 0, sizeof s_pes);
    long kept = 0;
    size_t out_len = 0;
    for (;;) {
        long got = file_read(f, s_block, CHUNK_BLOCK);
        if (got < 0) return -1;
        if (got == 0) break;
        for (long i = 0; i + TS_PACKET <= got; i += TS_PACKET) {
            const uint8_t *p = s_block + i;
            if (p[0] != 0x47) continue;
            // Stuffing stays where it is: it belongs to no unit.
            int pid = pid_of(p);
            if (pid != NULL_PID && !s_started[pid]) {
                if (!unit_start(p)) continue;
                s_started[pid] = true;
            }
            if (pid != NULL_PID && unit_start(p)) s_pes[pid] = starts_pes(p);
            kept += TS_PACKET;
            if (!send) continue;
            memcpy(s_out + out_len, p, TS_PACKET);
            out_len += TS_PACKET;
            if (out_len == sizeof s_out) {
                if (net_send(g_relay.chan, s_out, out_len) != long(out_len)) return -1;
                out_len = 0;
            }
        }
    }
    if (send && out_len > 0 && net_send(g_relay.chan, s_out, out_len) != long(out_len)) return -1;
    return kept;
}

// The packets at the next chunk's start that continue the units open at this chunk's
// end, into s_tail; its octets. The next chunk may still be written (front to back,
// zero-filled beyond): waits for it at most NEXT_WAIT_MS.
long collect_tail(const char *next_path) {
    for (int waited = 0;; waited += NEXT_POLL_MS) {
        os_file f;
        if (!file_open_read(next_path, &f, FILE_NO_LINKS)) return 0;
        long got = file_read(&f, s_block, CHUNK_BLOCK);
        file_close(&f);
        memset(s_closed, 0, sizeof s_closed);
        long len = 0;
        bool written = got > 0;
        int open = 0;
        for (int pid = 0; pid < PID_COUNT; pid++)
            open += s_pes[pid] ? 1 : 0;
        for (long i = 0; i + TS_PACKET <= got && open > 0; i += TS_PACKET) {
            const uint8_t *p = s_block + i;
            if (p[0] != 0x47) {
                written = false;
                break;
            }
            int pid = pid_of(p);
            if (!s_started[pid] || s_closed[pid]) continue;
            if (unit_start(p)) {
                s_closed[pid] = true;
                open -= s_pes[pid] ? 1 : 0;
                continue;
            }
            memcpy(s_tail + len, p, TS_PACKET);
            len += TS_PACKET;
        }
        if (open == 0 || (written && got == CHUNK_BLOCK) || waited >= NEXT_WAIT_MS ||
            g_relay.exit_flag != 0)
            return len;
        g_relay.sleep_ms(NEXT_POLL_MS);
    }
}

} // namespace

int32_t send_whole_frames(const char *path, const char *next_path) {
    static const char op[] = "send_hls";
    os_file f;
    if (!file_open_read(path, &f, FILE_NO_LINKS))
        return RLOG(SEV_E, op, "'%s', errno = %d", path, os_error());
    long kept = walk_chunk(&f, false);
    file_close(&f);
    long tail = kept < 0 ? 0 : collect_tail(next_path);
    if (kept < 0) return RLOG(SEV_E, op, "Reading '%s', errno = %d", path, os_error());
    char hdr[1024];
    int hlen = build_chunk_header(hdr, sizeof hdr, uint32_t(kept + tail));
    if (net_send(g_relay.chan, hdr, size_t(hlen)) != hlen)
        return RLOG(SEV_E, op, "send header, errno = %d", net_error());
    if (!file_open_read(path, &f, FILE_NO_LINKS))
        return RLOG(SEV_E, op, "'%s', errno = %d", path, os_error());
    long again = walk_chunk(&f, true);
    file_close(&f);
    if (again != kept)
        return RLOG(SEV_E, op, "'%s': %ld octets sent of %ld, errno = %d", path, again, kept,
                    net_error());
    if (tail > 0 && net_send(g_relay.chan, s_tail, size_t(tail)) != tail)
        return RLOG(SEV_E, op, "send (%ld octets), errno = %d", tail, net_error());
    return RLOG(SEV_S, op, "'%s': %ld octets from the chunk, %ld from the next", path, kept, tail);
}
