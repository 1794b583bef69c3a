// HLS list mode: a segment made of whole frames. The fetcher cuts chunk files at
// block boundaries, so a frame or an audio packet often begins at the end of one
// chunk and ends at the start of the next. A player that demuxes each segment on its
// own (hls.js) then decodes a cut frame at every such seam, and a cut key frame gives
// the browser's decoder a broken picture. So segment N carries, stream by stream, the
// packets of chunk N from that stream's first unit start there on, and then the
// packets of chunk N + 1 before that stream's first unit start there, however far
// into the chunk that is: exactly the packets segment N + 1 leaves out. Every packet
// of consecutive chunk files thus goes out once, in its order within its stream;
// stuffing stays where it is.
//
// The answer's length is fixed by a first pass over what is written at that moment
// (the fetcher fills front to back; the written end is the first packet without its
// sync octet); the second pass reads the same octets through the same open files, so
// the body is that length. A file changed underneath all the same is held to it, with
// a message.
#include <cstring>

#include "platform/os.h"
#include "relay/relay.h"

namespace {

enum { PID_COUNT = 8192, NULL_PID = 0x1FFF, NEXT_WAIT_MS = 2000, NEXT_POLL_MS = 100 };

uint8_t s_block[CHUNK_BLOCK];
uint8_t s_out[CHUNK_BLOCK];
uint8_t s_null[TS_PACKET];
bool s_started[PID_COUNT]; // chunk: the stream met a unit start
bool s_pes[PID_COUNT];     // chunk: its last unit is a PES packet (tables fit in one packet here)
bool s_closed[PID_COUNT];  // next chunk: the stream met its first unit start there

enum walk_mode { WALK_CHUNK, WALK_NEXT };

// The body of the second pass, held to the length announced.
struct body_out {
    uint64_t length;
    uint64_t given; // octets sent or waiting in s_out
    uint64_t over;  // octets left out past the length
    size_t fill;
    bool failed;
};

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

void out_flush(body_out *o) {
    if (o->fill == 0 || o->failed) return;
    o->failed = net_send(g_relay.chan, s_out, o->fill) != long(o->fill);
    o->fill = 0;
}

void out_put(body_out *o, const uint8_t *p) {
    if (o->given + TS_PACKET > o->length) {
        o->over += TS_PACKET;
        return;
    }
    memcpy(s_out + o->fill, p, TS_PACKET);
    o->fill += TS_PACKET;
    o->given += TS_PACKET;
    if (o->fill == sizeof s_out) out_flush(o);
}

// Whether the segment carries this packet. *open counts the PES units of the chunk
// that the next chunk has not yet shown to be complete.
bool keep_packet(walk_mode mode, const uint8_t *p, int *open) {
    int pid = pid_of(p);
    if (pid == NULL_PID) return mode == WALK_CHUNK;
    if (mode == WALK_CHUNK) {
        if (unit_start(p)) {
            s_started[pid] = true;
            s_pes[pid] = starts_pes(p);
        }
        return s_started[pid];
    }
    if (s_closed[pid]) return false;
    if (!unit_start(p)) return true;
    s_closed[pid] = true;
    if (s_pes[pid] && open) --*open;
    return false;
}

// Walks whole packets from octet `from` up to `to` or the written end; *end gets
// where it stopped, *kept grows by the octets kept, out (second pass) receives them.
// False on a read error.
bool walk(os_file *f, walk_mode mode, uint64_t from, uint64_t to, uint64_t *end, uint64_t *kept,
          int *open, body_out *out) {
    uint64_t pos = from;
    while (pos < to) {
        size_t want = to - pos < CHUNK_BLOCK ? size_t(to - pos) : size_t(CHUNK_BLOCK);
        long got = file_pread(f, s_block, want, pos);
        if (got < 0) return false;
        long i = 0;
        for (; i + TS_PACKET <= got && s_block[i] == 0x47; i += TS_PACKET) {
            if (!keep_packet(mode, s_block + i, open)) continue;
            *kept += TS_PACKET;
            if (out) out_put(out, s_block + i);
        }
        pos += uint64_t(i);
        if (i < long(want)) break; // the written end or the end of the file
    }
    *end = pos;
    return true;
}

void reset_chunk_state() {
    memset(s_started, 0, sizeof s_started);
    memset(s_pes, 0, sizeof s_pes);
}

// First pass over the next chunk: the packets that complete the chunk's units. The
// next chunk may not exist yet or still be written: while PES units are open, waits
// for it at most NEXT_WAIT_MS. *end: how far it was walked; *kept: octets it gives.
bool walk_next(const char *next_path, os_file *next, bool *opened, uint64_t *end, uint64_t *kept) {
    int open = 0;
    for (int pid = 0; pid < PID_COUNT; pid++)
        open += s_pes[pid] ? 1 : 0;
    memset(s_closed, 0, sizeof s_closed);
    *end = *kept = 0;
    for (int waited = 0;; waited += NEXT_POLL_MS) {
        if (!*opened) *opened = file_open_read(next_path, next, FILE_NO_LINKS);
        bool complete = false;
        if (*opened) {
            uint64_t size = 0;
            file_size(next, &size);
            if (!walk(next, WALK_NEXT, *end, size, end, kept, &open, nullptr)) return false;
            complete = size > 0 && *end == size;
        }
        if (open <= 0 || complete || waited >= NEXT_WAIT_MS || g_relay.exit_flag != 0) return true;
        g_relay.sleep_ms(NEXT_POLL_MS);
    }
}

} // namespace

int32_t send_whole_frames(os_file *f, const char *path, const char *next_path) {
    static const char op[] = "send_hls";
    uint64_t size = 0, written = 0, kept = 0;
    file_size(f, &size);
    reset_chunk_state();
    if (!walk(f, WALK_CHUNK, 0, size, &written, &kept, nullptr, nullptr))
        return RLOG(SEV_E, op, "Reading '%s', errno = %d", path, os_error());
    // A chunk still being written ends where it is written: its units go on in itself.
    os_file next;
    bool next_open = false;
    uint64_t next_end = 0, tail = 0;
    if (next_path && size > 0 && written == size &&
        !walk_next(next_path, &next, &next_open, &next_end, &tail)) {
        if (next_open) file_close(&next);
        return RLOG(SEV_E, op, "Reading '%s', errno = %d", next_path, os_error());
    }
    body_out out{kept + tail, 0, 0, 0, false};
    char hdr[1024];
    int hlen = build_chunk_header(hdr, sizeof hdr, uint32_t(out.length));
    bool sent = net_send(g_relay.chan, hdr, size_t(hlen)) == hlen;
    uint64_t again = 0, again_tail = 0, stop = 0;
    bool read = sent;
    if (sent) {
        reset_chunk_state();
        read = walk(f, WALK_CHUNK, 0, written, &stop, &again, nullptr, &out);
        memset(s_closed, 0, sizeof s_closed);
        if (read && next_open)
            read = walk(&next, WALK_NEXT, 0, next_end, &stop, &again_tail, nullptr, &out);
        // A read that failed or came short still ends the body at its length.
        null_frame_init(s_null);
        while (!out.failed && out.given < out.length)
            out_put(&out, s_null);
        out_flush(&out);
    }
    if (next_open) file_close(&next);
    if (!sent) return RLOG(SEV_E, op, "send header, errno = %d", net_error());
    if (!read) return RLOG(SEV_E, op, "Reading '%s', errno = %d", path, os_error());
    if (out.failed)
        return RLOG(SEV_E, op, "'%s': send, errno = %d (%llu of %llu octets)", path, net_error(),
                    (unsigned long long)out.given, (unsigned long long)out.length);
    if (again + again_tail != out.length)
        return RLOG(SEV_E, op, "'%s' changed while sent: %llu octets held to %llu", path,
                    (unsigned long long)(again + again_tail), (unsigned long long)out.length);
    return RLOG(SEV_S, op, "'%s': %llu octets from the chunk, %llu from the next", path,
                (unsigned long long)kept, (unsigned long long)tail);
}
