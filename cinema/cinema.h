// The movie streamer's one record of process-wide state and the operations its files
// offer each other. Each .cpp file of this folder owns one concern:
//   main.cpp        the program entry: calls cinema_main
//   cinema.cpp      option table, usage text, start-up, the main thread's run
//   movie_file.cpp  finding the movie file by CID prefix, waiting for it to appear
//   pool.cpp        the static buffers and their two FIFO lists
//   reader.cpp      the reading thread and its look-ahead over zero regions
//   sender.cpp      the answer headers and the streaming thread
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "utils/log.h"
#include "utils/options.h"
#include "utils/read_position.h"

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/os.h"

#define CINEMA "CINEMA"

enum {
    MOVIE_BUFFERS = 1024,
    MOVIE_BUFFER_SIZE = 4096,
    MOVIE_READ_SIZE = 8192,
    MOVIE_HEADER_MAX = 512,
    MOVIE_WAIT_SLICE_MS = 5000,
    MOVIE_RETRY_MS = 200,
    MOVIE_EMPTY_TRIES = 5, // an empty movie file is looked at again for 1 s
    MOVIE_SLEEP_MS = 1000,
    POOL_INSERT_ERROR = 2096,
};
inline constexpr uint32_t MOVIE_WAIT_LIMIT_MS = 300000;

// One pool buffer; links point at the neighbours within its current list.
struct movie_buffer {
    movie_buffer *older;
    movie_buffer *newer;
    int32_t length; // bytes used, 1 to 4096
    uint8_t data[MOVIE_BUFFER_SIZE];
};

// FIFO list of buffers: put at the newest end, get from the oldest end.
struct buffer_list {
    movie_buffer *oldest = nullptr;
    movie_buffer *newest = nullptr;
    std::mutex lock; // only ever tried, never waited for
    int32_t count = 0;
};

// Millisecond tick source of the file wait; tests of the wait replace it.
using cinema_tick_fn = uint32_t (*)();

struct cinema_state {
    int pid;
    // options
    option_text cid;
    option_text dir;
    int32_t trace;
    int32_t chan;
    int64_t pos;
    // the movie
    os_file movie;
    char path[2 * OS_PATH_MAX];
    int64_t size;
    int64_t start; // where the seek to pos landed
    char header[MOVIE_HEADER_MAX];
    int header_len;
    // run state shared by the threads
    std::atomic<int32_t> stop_code;
    std::atomic<int32_t> reader_finished;
    buffer_list free_pool;
    buffer_list busy_pool;
    std::condition_variable buffer_freed; // the reading thread sleeps on it
    std::condition_variable data_queued;  // the streaming thread sleeps on it
    std::mutex reader_sleep;              // each sleeper's own lock for its variable
    std::mutex sender_sleep;
    read_pos_writer read_pos; // where the reading thread reads, for the fetcher
    // the file wait
    cinema_tick_fn tick;
    unsigned wait_slice_ms;
    uint32_t wait_limit_ms;
};

extern cinema_state g_cinema;
extern movie_buffer g_movie_buffers[MOVIE_BUFFERS];

// Every message carries "[pid/cid] : " in front.
#define CINEMA_LOG(sev, fmt, ...)                                                                  \
    log_printf(CINEMA, sev, "[%d/%s] : " fmt, g_cinema.pid, g_cinema.cid.text, ##__VA_ARGS__)

// cinema.cpp
extern option_entry g_cinema_options[]; // -cid, -dir, -trace, -chan, -pos
int cinema_main(int argc, char **argv);
void cinema_reset_state(); // defaults of the options and an idle run state

// movie_file.cpp: finds "<dir>/<cid>*", waiting up to 300000 ms for it to appear.
// 1 with g_cinema.path filled; otherwise the status to exit with, its line logged
// and the socket closed.
int32_t find_movie();
// A name in the cache folder that is this CID's movie: the CID text (any case), then
// no decimal digit, and no live chunk name.
bool is_movie_name(const char *name);

// pool.cpp
bool try_lock_spin(std::mutex &lock);
int32_t pool_put(buffer_list *list, movie_buffer *buffer); // count before, -1 on failure
movie_buffer *pool_get(buffer_list *list);                 // nullptr when empty or locked
void pool_fill(buffer_list *list, movie_buffer *buffers, int count);

// reader.cpp
// Look-ahead rule over one read of n bytes: false when the read must be repeated
// later (a full read whose 4096 bytes after the chunk are all zero); otherwise the
// chunk to queue and the rest to move back over.
bool lookahead_chunk(const uint8_t *data, long n, int32_t *chunk, int32_t *rest);
void read_movie();

// sender.cpp
int format_answer_header(char *out, size_t cap, int64_t size, int64_t start);
int format_refusal_header(char *out, size_t cap, int64_t size);
void send_movie(net_sock s);
