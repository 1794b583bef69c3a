// The answer headers and the streaming thread: sends the 206 header, then the busy
// buffers in order, one send at a time, returning each buffer to the free list once
// its send has completed.
#include "cinema/cinema.h"

#include <chrono>
#include <cstdio>

#define SERVER_LINE "Server: Corvane-TV/Swarm-Node/X.01/Build at " __DATE__ " " __TIME__ "\r\n"

int format_answer_header(char *out, size_t cap, int64_t size, int64_t start) {
    return snprintf(out, cap,
                    "HTTP/1.1 206 Partial Content\r\nVersion: HTTP/1.1\r\n"
                    "Content-Type: video/x-msvideo\r\n" SERVER_LINE "Content-Length: %lld\r\n"
                    "Content-Range: bytes %lld-%lld/%lld\r\nConnection: close\r\n\r\n",
                    (long long)(size - start), (long long)start, (long long)(size - 1),
                    (long long)size);
}

// A start at or beyond the end of the file (an empty file included) has no bytes to
// send: the range cannot be satisfied.
int format_refusal_header(char *out, size_t cap, int64_t size) {
    return snprintf(out, cap,
                    "HTTP/1.1 416 Range Not Satisfiable\r\nVersion: HTTP/1.1\r\n"
                    "Content-Type: video/x-msvideo\r\n" SERVER_LINE "Content-Length: 0\r\n"
                    "Content-Range: bytes */%lld\r\nConnection: close\r\n\r\n",
                    (long long)size);
}

static void wake(std::mutex &sleeper, std::condition_variable &cv) {
    { std::lock_guard<std::mutex> hold(sleeper); }
    cv.notify_one();
}

// The next filled buffer, sleeping up to 1000 ms at a time; nullptr once the run
// ends (stop_code set, by this function when the reading thread has finished).
static movie_buffer *take_busy_buffer() {
    cinema_state &g = g_cinema;
    for (;;) {
        movie_buffer *b = pool_get(&g.busy_pool);
        if (b) return b;
        if (g.stop_code.load() != 0) return nullptr;
        if (g.reader_finished.load()) {
            // The reader may have queued its last buffer between the two tests.
            b = pool_get(&g.busy_pool);
            if (b) return b;
            g.stop_code.store(SEV_S);
            return nullptr;
        }
        std::unique_lock<std::mutex> sleep(g.sender_sleep);
        b = pool_get(&g.busy_pool);
        if (b) return b;
        if (g.stop_code.load() != 0 || g.reader_finished.load()) continue;
        g.data_queued.wait_for(sleep, std::chrono::milliseconds(MOVIE_SLEEP_MS));
    }
}

// One buffer on the wire: the single outstanding send of the run. A send that cannot
// take the whole buffer at once is under way (the pending case): wait until the
// socket takes more and go on. A failure of the very first call is a send refused at
// once; a failure once the send is under way is reported as its completion failing.
// Returns 0 when all went out, else the stop code.
static int32_t send_buffer(net_sock s, const uint8_t *data, int32_t len) {
    int32_t done = 0;
    bool under_way = false;
    while (done < len) {
        long n = net_send(s, data + done, size_t(len - done));
        if (n > 0) {
            done += int32_t(n);
            under_way = true;
            continue;
        }
        int err = net_error();
        os_error_kind kind = os_error_kind_of(err);
        if (n < 0 && kind == OS_E_PENDING) {
            under_way = true;
            if (net_wait_writable(s, -1) < 0) {
                CINEMA_LOG(SEV_E, "WSAWaitForMultipleEvents failed, error code: %d", net_error());
                return SEV_E;
            }
            continue;
        }
        if (under_way) {
            CINEMA_LOG(SEV_E, "WSASend failed, error code: %d", err);
            return SEV_E;
        }
        CINEMA_LOG(SEV_I, "Stream sending stopped, error code: %d", err);
        return kind == OS_E_CONN_RESET ? SEV_S : SEV_E;
    }
    return 0;
}

void send_movie(net_sock s) {
    cinema_state &g = g_cinema;
    CINEMA_LOG(SEV_S, "Start sending video data on net I/O chan = %d ...", int(s));

    g.header_len = format_answer_header(g.header, sizeof g.header, g.size, g.start);
    if (net_send_all(s, g.header, size_t(g.header_len)) != g.header_len) {
        CINEMA_LOG(SEV_E, "Error while sending answer header to client : %d", net_error());
        g.stop_code.store(SEV_E);
    }

    while (g.stop_code.load() == 0) {
        movie_buffer *b = take_busy_buffer();
        if (!b) break;
        int32_t code = send_buffer(s, b->data, b->length);
        if (code != 0) {
            g.stop_code.store(code);
            break;
        }
        int32_t before = pool_put(&g.free_pool, b);
        if (before < 0) {
            CINEMA_LOG(SEV_E, "Insert to busy buffers pool error : %d", POOL_INSERT_ERROR);
            g.stop_code.store(SEV_E);
            break;
        }
        if (before == 511 || before == 767 || before == 1023) wake(g.reader_sleep, g.buffer_freed);
    }

    wake(g.reader_sleep, g.buffer_freed);
    CINEMA_LOG(g.stop_code.load(), "Streaming thread %d was stopped", int(s));
}
