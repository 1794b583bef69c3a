// Senders: the three HTTP answers (playlist, stream, chunk), the one-segment HLS
// playlist, the chunk answer of HLS chunk mode, and the continuous transport stream
// of live mode with its null frames.
#include "relay/relay.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"

// Build date and time as "Jul 21 2017 14:56:43" (20 characters).
const char g_build_stamp[] = __DATE__ " " __TIME__;

#define SERVER_LINE "Server: Corvane-TV SN/Win64/X.54-03/Build at %s\r\n"
#define NO_CACHE "Cache-Control: no-cache, max-age=0\r\nExpires: Mon, 17 Nov 1958 00:00:01\r\n"

int build_stream_header(char *out, size_t cap) {
    return snprintf(
        out, cap,
        "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n"
        "Content-Type: video/mp2t\r\nConnection: close\r\nAccept-Ranges: bytes\r\n" NO_CACHE
            SERVER_LINE "\r\n",
        g_build_stamp);
}

// The segment address carries a media extension (".ts") before the query, which
// current ffmpeg-based players require of HLS segments; the supervisor takes both
// "/hls.chunk" and "/hls.chunk.ts" by their "hls" prefix.
int build_playlist(char *out, size_t cap, int32_t t, int pid) {
    return snprintf(out, cap,
                    "#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-MEDIA-SEQUENCE:%d\r\n"
                    "#EXT-X-TARGETDURATION:%d\r\n#EXTINF:%d.0,\r\n"
                    "/hls.chunk.ts?cid=%d&sid=%d&chunk=%d\r\n",
                    t, g_relay.duration + 2, g_relay.duration + 1, g_relay.cid, pid, t);
}

int build_playlist_header(char *out, size_t cap, int content_length) {
    return snprintf(out, cap,
                    "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\n"
                    "Content-Type: application/vnd.apple.mpegurl\r\n"
                    "Access-Control-Allow-Origin: *\r\nConnection: close\r\n" NO_CACHE SERVER_LINE
                    "Content-Length: %d\r\n\r\n",
                    g_build_stamp, content_length);
}

int build_chunk_header(char *out, size_t cap, uint32_t content_length) {
    return snprintf(out, cap,
                    "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n"
                    "Content-Type: video/mp2t\r\nConnection: close\r\nContent-Length: %d\r\n"
                    "Accept-Ranges: bytes\r\n" NO_CACHE SERVER_LINE "\r\n",
                    (int)content_length, g_build_stamp);
}

int build_not_found(char *out, size_t cap) {
    return snprintf(out, cap,
                    "HTTP/1.1 404 Not Found\r\nVersion: HTTP/1.1\r\n"
                    "Access-Control-Allow-Origin: *\r\nConnection: close\r\n"
                    "Content-Length: 0\r\nCache-Control: no-cache, max-age=0\r\n" SERVER_LINE
                    "\r\n",
                    g_build_stamp);
}

// MPEG-2 TS null packet: PID 0x1FFF, payload only; octet 3 carries the counter.
void null_frame_init(uint8_t frame[TS_PACKET]) {
    memset(frame, 0xFF, TS_PACKET);
    frame[0] = 0x47;
    frame[1] = 0x1F;
    frame[2] = 0xFF;
    frame[3] = 0x10;
}

int32_t send_playlist() {
    static const char op[] = "send_playlist";
    char playlist[1024], header[1024];
    net_sock s = g_relay.chan;
    int plen = build_playlist(playlist, sizeof playlist, g_relay.hls_time, os_process_id());
    int hlen = build_playlist_header(header, sizeof header, plen);
    long sent = net_send(s, header, (size_t)hlen);
    // A short header is reported and the playlist is sent all the same; only the
    // body's failure decides the status.
    if (sent != hlen)
        RLOG(SEV_E, op, "send (%d octets) -> %d, errno = %d", hlen, (int)sent, net_error());
    sent = net_send(s, playlist, (size_t)plen);
    if (sent != plen)
        return RLOG(SEV_E, op, "send (%d octets) -> %d, errno = %d", plen, (int)sent, net_error());
    if (g_trace)
        RTRACE(op, "[#%d] CID=%d : Sent answer[0:%d] = \n%.*s%.*s", g_relay.chan, g_relay.cid, hlen,
               hlen, header, plen, playlist);
    return SEV_S;
}

// One buffer for the chunk answer's header and then every block of the file.
static uint8_t s_chunk_buf[CHUNK_BLOCK];
static uint8_t s_settle_buf[CHUNK_BLOCK]; // a block's second read (block_settled)

int32_t send_hls_chunk(os_file *file, const char *path) {
    static const char op[] = "send_hls_chunk";
    net_sock s = g_relay.chan;
    uint64_t size64 = 0;
    file_size(file, &size64);
    uint32_t size = (uint32_t)size64;
    char *hdr = reinterpret_cast<char *>(s_chunk_buf);
    int hlen = build_chunk_header(hdr, sizeof s_chunk_buf, size);
    if (g_trace) RTRACE(op, "[#%d] CID=%d : ---------\n%.*s", g_relay.chan, g_relay.cid, hlen, hdr);
    long sent = net_send(s, hdr, (size_t)hlen);
    if (sent != hlen) {
        int err = net_error();
        g_relay.exit_flag = SEV_E;
        return RLOG(SEV_E, op, "Error send header, send(%d octets) -> %d, errno = %d", hlen,
                    (int)sent, err);
    }
    // The body is exactly the announced length: a file that grows meanwhile is read
    // no further, and one that ends early (it shrank) ends the answer as a failure.
    int32_t sum = 0, attempts = 0, rereads = 0, status = SEV_S;
    while (g_relay.exit_flag == 0) {
        uint32_t left = size - (uint32_t)sum;
        if (left == 0) {
            status = SEV_S;
            break;
        }
        long want = left < (uint32_t)CHUNK_BLOCK ? (long)left : (long)CHUNK_BLOCK;
        long got = file_read(file, s_chunk_buf, (size_t)want);
        if (got < 0) return RLOG(SEV_E, op, "ReadFile(), errno = %d", os_error());
        if (got < want) {
            if (got > 0 && net_send(s, s_chunk_buf, (size_t)got) == got) sum += (int32_t)got;
            status = RLOG(SEV_E, op, "'%s' - file ended at %d of %d octets", path, sum, (int)size);
            break;
        }
        sum += (int32_t)got;
        if (got < CHUNK_BLOCK) {
            sent = net_send(s, s_chunk_buf, (size_t)got);
            if (sent != got)
                status = RLOG(SEV_E, op, "send (%d octets), errno = %d", (int)got, net_error());
            else
                status = SEV_S;
            break;
        }
        block_verdict v = judge_block(file, s_chunk_buf, got, s_settle_buf, &rereads, &sum);
        if (v == BLOCK_REREAD) continue;
        if (v == BLOCK_KEEP) {
            sent = net_send(s, s_chunk_buf, (size_t)got);
            if (sent != got) {
                status = RLOG(SEV_I, op, "send (%d octets) -> %d, errno = %d", (int)got, (int)sent,
                              net_error());
                break;
            }
            attempts = 0;
            continue;
        }
        if (++attempts <= ZERO_TAIL_ATTEMPTS) {
            wait_zero_tail(file, got, &sum, path, attempts, op);
            continue;
        }
        RLOG(SEV_E, op, "'%s' - skip block after %d attempts.", path, ZERO_TAIL_ATTEMPTS + 1);
        sent = net_send(s, s_chunk_buf, (size_t)got);
        if (sent != got) {
            status = RLOG(SEV_E, op, "send (%d octets) -> %d, errno = %d", (int)got, (int)sent,
                          net_error());
            break;
        }
        attempts = 0;
    }
    return log_trace_printf(RELAY_TAG, status, "[#%d] CID=%d : Loaded from '%s' %d from %d octets",
                            RELAY_PROG, op, __LINE__, g_relay.chan, g_relay.cid, path, sum,
                            (int)size);
}

void send_stream(net_sock s) {
    static const char op[] = "send_stream";
    RLOG(SEV_S, op, "Start sending video data on net I/O chan = %d ...", (int)s);
    char header[512];
    int hlen = build_stream_header(header, sizeof header);
    long sent = net_send(s, header, (size_t)hlen);
    if (sent != hlen) {
        int err = net_error();
        g_relay.exit_flag = SEV_E;
        RLOG(SEV_E, op, "send(%d octets) -> %d, errno = %d", hlen, (int)sent, err);
        return;
    }
    uint8_t frame[TS_PACKET];
    null_frame_init(frame);
    int32_t k = 0;
    int64_t total = 0;
    while (g_relay.exit_flag == 0) {
        stream_buffer *buf = nullptr;
        while (!(pool_take(&g_busy_pool, &buf) & 1)) {
            buf = nullptr;
            frame[3] = (uint8_t)(0x10 + k % 16);
            sent = net_send(s, frame, TS_PACKET);
            k = k % 16 + 1;
            if (sent != TS_PACKET) {
                // The player is gone: stop here rather than keep writing into a dead
                // connection until the idle limit.
                int err = net_error();
                g_relay.exit_flag = SEV_E;
                RLOG(SEV_E, op, "send(%d octets) -> %d, errno = %d", TS_PACKET, (int)sent, err);
                break;
            }
            if (g_trace)
                RTRACE(op, "[#%d] CID=%d : Sent MPEG2TS Null frame, count #%d", g_relay.chan,
                       g_relay.cid, k);
            RLOG(SEV_W, op, "Sent MPEG2TS Null frame, count #%d", k);
            if (!wake_wait(&g_data_available, &g_busy_pool)) {
                g_relay.exit_flag =
                    RLOG(SEV_E, op, "SleepConditionVariableCS(), errno = %d", os_error());
            }
            if (g_relay.exit_flag != 0) break;
        }
        if (!buf) break;
        int32_t length = buf->length;
        sent = net_send(s, buf->data, (size_t)length);
        k = 0;
        if (sent != length) {
            int err = net_error();
            // Once back in the free pool the buffer is the reader's: log the length
            // taken before.
            free_append(buf);
            g_relay.exit_flag = SEV_E;
            RLOG(SEV_E, op, "send(%d octets) -> %d, errno = %d", length, (int)sent, err);
            break;
        }
        total += sent;
        int32_t st = free_append(buf);
        if (!(st & 1)) {
            g_relay.exit_flag = RLOG(SEV_E, op, "Insert to busy buffers pool error -> %d", st);
            break;
        }
    }
    wake_signal(&g_space_available);
    RLOG(SEV_I, op, "Streaming thread has been stopped, %lld octets sent", (long long)total);
}
