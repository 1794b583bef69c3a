// The reading thread: moves the movie file into the busy list in 4096-byte chunks.
// Each pass reads 8192 bytes and queues only the first 4096, and only once the 4096
// after them are not all zero, so data still being written by the fetcher (zero
// regions) is never passed on; the rest is read again by the next pass. While it
// waits so, a player that closes or resets the connection ends the run (status 1).
// Where it reads is noted for the fetcher (utils/read_position.h), so that a movie
// still coming from the swarm comes first from there.
#include "cinema/cinema.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "utils/read_position.h"

bool lookahead_chunk(const uint8_t *data, long n, int32_t *chunk, int32_t *rest) {
    int32_t c = n < MOVIE_BUFFER_SIZE ? int32_t(n) : MOVIE_BUFFER_SIZE;
    *chunk = c;
    *rest = int32_t(n) - c;
    if (n != MOVIE_READ_SIZE) return true;
    for (int i = c; i < MOVIE_READ_SIZE; i++)
        if (data[i] != 0) return true;
    return false;
}

// Wakes the thread that sleeps on cv; taking its lock first means a thread that has
// just found its list empty is either not yet tested or already asleep.
static void wake(std::mutex &sleeper, std::condition_variable &cv) {
    { std::lock_guard<std::mutex> hold(sleeper); }
    cv.notify_one();
}

// An empty buffer, sleeping up to 1000 ms at a time for one; nullptr once stopping.
static movie_buffer *take_free_buffer() {
    cinema_state &g = g_cinema;
    for (;;) {
        movie_buffer *b = pool_get(&g.free_pool);
        if (b) return b;
        if (g.stop_code.load() != 0) return nullptr;
        std::unique_lock<std::mutex> sleep(g.reader_sleep);
        b = pool_get(&g.free_pool);
        if (b) return b;
        if (g.stop_code.load() != 0) return nullptr;
        // A player that pauses still reads here: the fetcher keeps fetching ahead of it.
        read_pos_note(&g.read_pos, g.read_pos.last.offset, uint64_t(g.size), false, os_tick_ms());
        g.buffer_freed.wait_for(sleep, std::chrono::milliseconds(MOVIE_SLEEP_MS));
    }
}

// The CID as the fetcher numbers it; false for a CID text that is no plain number.
static bool cid_number(const char *text, int32_t *cid) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (!*text || !end || *end || v < INT32_MIN || v > INT32_MAX) return false;
    *cid = int32_t(v);
    return true;
}

void read_movie() {
    cinema_state &g = g_cinema;
    uint8_t local[MOVIE_READ_SIZE];
    CINEMA_LOG(SEV_S, "Start reading thread for '%s'", g.path);
    read_pos_writer &pos = g.read_pos;
    pos.slot = -1;
    int32_t cid = 0;
    if (cid_number(g.cid.text, &cid)) read_pos_open(&pos, cid, uint32_t(g.pid), os_tick_ms());

    // The body never goes beyond the size announced in the header, even when the file
    // grows meanwhile; for a file of fixed size this reads exactly as far as the end.
    int64_t at = g.start;
    while (g.stop_code.load() == 0) {
        int64_t want = g.size - at;
        if (want > MOVIE_READ_SIZE) want = MOVIE_READ_SIZE;
        if (want <= 0) break;
        read_pos_note(&pos, uint64_t(at), uint64_t(g.size), false, os_tick_ms());
        // Positioned reads: the same bytes as reading on and moving back, one call less.
        long n = file_pread(&g.movie, local, size_t(want), uint64_t(at));
        if (n < 0) {
            CINEMA_LOG(SEV_E, "ReadFile() error : %d", os_error());
            break;
        }
        if (n == 0) break;

        int32_t chunk = 0, rest = 0;
        if (!lookahead_chunk(local, n, &chunk, &rest)) {
            read_pos_note(&pos, uint64_t(at), uint64_t(g.size), true, os_tick_ms());
            // Nothing goes out while the fetcher has not written on, so no failed send
            // would ever tell that the player has gone: look at the connection, or the
            // run (and the supervisor's slot and QI session) would wait for good.
            int err = 0;
            if (net_peer_gone(net_sock(g.chan), &err)) {
                CINEMA_LOG(SEV_I, "Player has gone while waiting for data, error code: %d", err);
                int32_t running = 0;
                g.stop_code.compare_exchange_strong(running, SEV_S);
                break;
            }
            os_sleep_ms(MOVIE_RETRY_MS);
            continue;
        }

        movie_buffer *b = take_free_buffer();
        if (!b || g.stop_code.load() != 0) break;
        memcpy(b->data, local, size_t(chunk));
        b->length = chunk;
        int32_t before = pool_put(&g.busy_pool, b);
        if (before < 0) {
            CINEMA_LOG(SEV_E, "Insert to busy buffers pool error : %d", POOL_INSERT_ERROR);
            break;
        }
        if (before == 0 || before == 255 || before == 511 || before == 767 || before == 1023)
            wake(g.sender_sleep, g.data_queued);
        at += chunk;
    }

    read_pos_close(&pos);
    g.reader_finished.store(1);
    wake(g.sender_sleep, g.data_queued);
    CINEMA_LOG(g.stop_code.load(), "Reading thread was stopped");
}
