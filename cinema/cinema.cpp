// The movie streamer's options, usage text and main thread: parse, find and open the
// movie, answer a start outside it with 416, otherwise run the reading and the
// streaming thread and wait for both.
#include "cinema/cinema.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

cinema_state g_cinema;

#ifdef _WIN32
#define CINEMA_DEFAULT_DIR "T:\\TEMP\\vcache"
#else
#define CINEMA_DEFAULT_DIR "/tmp/vcache"
#endif

option_entry g_cinema_options[] = {
    option_def("cid", &g_cinema.cid, 255, OPT_TEXT),
    option_def("dir", &g_cinema.dir, 255, OPT_TEXT),
    option_def("trace", &g_cinema.trace, sizeof(int32_t), OPT_FLAG),
    option_def("chan", &g_cinema.chan, sizeof(int32_t), OPT_INT),
    option_def("pos", &g_cinema.pos, sizeof(int64_t), OPT_INT64),
    option_entry{},
};

static const char USAGE[] =
    "KVT-Cinema\t<options list>\n  options:\t-dir\t\t- where were store temp files\n"
    "\t\t-trace\t\t- additional tracing\nexample:\t-dir=C:\\temp -trace=1\n";

static void set_text(option_text *t, const char *text) {
    size_t n = strlen(text);
    if (n > 255) n = 255;
    t->len = uint8_t(n);
    memcpy(t->text, text, n);
    t->text[n] = 0;
}

void cinema_reset_state() {
    cinema_state &g = g_cinema;
    set_text(&g.cid, "test_avi");
    set_text(&g.dir, CINEMA_DEFAULT_DIR);
    g.trace = 0;
    g.chan = -1;
    g.pos = 0;
    g.movie.handle = -1;
    g.path[0] = 0;
    g.size = 0;
    g.start = 0;
    g.header_len = 0;
    g.read_pos.slot = -1;
    g.stop_code.store(0);
    g.reader_finished.store(0);
    while (pool_get(&g.free_pool)) {
    }
    while (pool_get(&g.busy_pool)) {
    }
    if (!g.tick) g.tick = os_tick_ms;
    if (!g.wait_slice_ms) g.wait_slice_ms = MOVIE_WAIT_SLICE_MS;
    if (!g.wait_limit_ms) g.wait_limit_ms = MOVIE_WAIT_LIMIT_MS;
}

// Closes what the main thread holds on a failed start.
static void close_all() {
    net_close(net_sock(g_cinema.chan));
    if (g_cinema.movie.handle != -1) file_close(&g_cinema.movie);
}

// Nothing to send from the start position: answer 416 with the size and end the run.
static int32_t refuse_range() {
    cinema_state &g = g_cinema;
    CINEMA_LOG(SEV_I, "Position %lld is %s '%s' (%lld bytes), answered 416", (long long)g.start,
               g.start < 0 ? "before the start of" : "beyond the end of", g.path,
               (long long)g.size);
    g.header_len = format_refusal_header(g.header, sizeof g.header, g.size);
    if (net_send_all(net_sock(g.chan), g.header, size_t(g.header_len)) != g.header_len) {
        CINEMA_LOG(SEV_E, "Error while sending answer header to client : %d", net_error());
        g.stop_code.store(SEV_E);
    } else {
        g.stop_code.store(SEV_S);
    }
    net_close(net_sock(g.chan));
    file_close(&g.movie);
    int32_t code = g.stop_code.load();
    return CINEMA_LOG(code, "Stopped, net I/O chan = %d", g.chan);
}

int cinema_main(int argc, char **argv) {
    cinema_state &g = g_cinema;
    g.pid = os_process_id();
    if (argc < 2) {
        fputs(USAGE, stdout);
        fputs("\n", stdout);
        fflush(stdout);
        return 0;
    }
    cinema_reset_state();
    log_set_style(LOG_STYLE_CINEMA);
    parse_and_list_options(argc, argv, g_cinema_options);
    CINEMA_LOG(SEV_S, "Started, net I/O chan = %d", g.chan);

    int err = net_startup();
    if (err != 0) return CINEMA_LOG(SEV_F, "WSAStartup(2.2) :  %d", err);
    g.chan = int32_t(net_adopt_inherited(net_sock(g.chan)));

    g.stop_code.store(0);
    g.reader_finished.store(0);
    pool_fill(&g.free_pool, g_movie_buffers, MOVIE_BUFFERS);

    int32_t found = find_movie();
    if (!(found & 1)) return found;

    if (!file_open_read(g.path, &g.movie, FILE_NO_LINKS)) {
        err = os_error();
        g.movie.handle = -1;
        close_all();
        return CINEMA_LOG(SEV_F, "Opening archive '%s' failure : %d", g.path, err);
    }
    uint64_t size = 0;
    if (!file_size(&g.movie, &size)) {
        err = os_error();
        close_all();
        return CINEMA_LOG(SEV_F, "Cannot get size of '%s' : %d", g.path, err);
    }
    // A fetcher makes a movie file and then gives it its final size: one found empty
    // is looked at again for a moment before it counts as empty.
    for (int tries = 0; size == 0 && tries < MOVIE_EMPTY_TRIES; tries++) {
        os_sleep_ms(MOVIE_RETRY_MS);
        file_size(&g.movie, &size);
    }
    g.size = int64_t(size);
    // A suffix range (bytes=-N) arrives as a negative position and a huge one as a
    // position past the end: neither can be sought, both are answered 416.
    if (g.pos < 0 || g.pos >= g.size) {
        g.start = g.pos;
        return refuse_range();
    }
    int64_t start = 0;
    if (!file_seek(&g.movie, g.pos, FILE_FROM_BEGIN, &start)) {
        err = os_error();
        close_all();
        return CINEMA_LOG(SEV_F, "Cannot seek position of '%s' : %d", g.path, err);
    }
    g.start = start;
    if (g.start >= g.size) return refuse_range();

    net_sock chan = net_sock(g.chan);
    std::thread reader, sender;
    try {
        reader = std::thread(read_movie);
    } catch (const std::system_error &e) {
        net_close(chan);
        file_close(&g.movie);
        return CINEMA_LOG(SEV_E, "Creation reading thread was failed : %d", e.code().value());
    }
    try {
        sender = std::thread(send_movie, chan);
    } catch (const std::system_error &e) {
        net_close(chan);
        g.stop_code.store(SEV_E);
        g.buffer_freed.notify_all();
        reader.join();
        file_close(&g.movie);
        return CINEMA_LOG(SEV_E, "Creation streaming thread was failed : %d", e.code().value());
    }
    reader.join();
    sender.join();

    net_close(chan);
    file_close(&g.movie);
    int32_t code = g.stop_code.load();
    return CINEMA_LOG(code, "Stopped, net I/O chan = %d", g.chan);
}
