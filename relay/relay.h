// KVT-Relay: the live-channel streamer's process-wide state and the operations its
// files share (start-up, chunk scanning, buffer pool, senders).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/fs.h"
#include "platform/named_object.h"
#include "platform/net.h"
#include "utils/log.h"
#include "utils/options.h"

#define RELAY_TAG "RELAY"
#define RELAY_PROG "KVT-RELAY"

// Combined line of the relay with its "[#chan] CID=cid : " prefix; returns sev.
#define RLOG(sev, op, fmt, ...)                                                                    \
    log_trace_printf(RELAY_TAG, (sev), "[#%d] CID=%d : " fmt, RELAY_PROG, (op), __LINE__,          \
                     g_relay.chan, g_relay.cid, ##__VA_ARGS__)
// Verbose copy (trace line) written only with -trace.
#define RTRACE(op, fmt, ...) trace_printf("RELAY: " fmt, RELAY_PROG, (op), __LINE__, ##__VA_ARGS__)

enum {
    CHUNK_BLOCK = 65424, // 348 transport-stream packets
    TS_PACKET = 188,
    ZERO_TAIL = 752,          // last four packets of a full block
    ZERO_TAIL_WAIT_MS = 4230, // wait for a zero region to be written, and every pool wait
    ZERO_TAIL_ATTEMPTS = 13,
    SETTLE_REREADS = 16, // reads of a block that two reads disagree on, before a wait
    SETTLE_MS = 50,      // between the two reads of a block that holds a zero word
    SEQ_WINDOW = 120,
    STREAM_HEADER_LEN = 276,
    IDLE_PERIOD_MS = 2000,
};

// Process-wide state: the option targets first (their defaults are set here), then
// what the threads share.
struct relay_state {
    option_text sid;
    int32_t chunk;
    int32_t cid;
    option_text dir;
    int32_t chan;
    int32_t delay;
    int32_t hls;
    int32_t duration;
    int32_t hls_list; // 0: the one-segment playlist; else segments listed (3 to 20)

    std::atomic<int32_t> exit_flag;  // 0 while running, else the severity that stopped it
    std::atomic<int32_t> idle_loops; // 2-second periods since a chunk file was opened
    named_object sema;
    int32_t hls_time; // T: calendar seconds, taken once

    // Waits and sleeps; a test of this process may shorten them.
    unsigned wait_ms;              // every pool wake-up wait and zero-tail wait
    void (*sleep_ms)(unsigned ms); // every sleep of the relay
};
extern relay_state g_relay;

// Start-up and lifecycle (relay_main.cpp).
void relay_clamp_options();
int relay_main(int argc, char **argv);
// SIGTERM, SIGINT and SIGSEGV: the handler only notes the signal; a watcher thread
// logs "Get the %d/%x signal, set exit_flag!" and ends the process with its number.
void relay_install_signals();
extern option_entry g_relay_options[];

// Buffer pool (buffer_pool.cpp).
enum {
    POOL_BUFFERS = 1536,
    BUFFER_DATA = 65536,
    POOL_DONE = 1,
    POOL_OTHER_OWNER = 0x2C,
    POOL_NO_LOCK = 0x830,
    POOL_EMPTY = 0x1582EC,
};
struct buffer_pool;
struct stream_buffer {
    stream_buffer *previous;
    stream_buffer *next;
    buffer_pool *owner;
    int32_t length;
    uint8_t *data; // BUFFER_DATA octets of the static data; none while in the free pool
};
struct buffer_pool {
    stream_buffer *head;
    stream_buffer *tail;
    std::mutex lock;
    int32_t count;
};
struct wake_up {
    std::mutex cs;
    std::condition_variable cv;
    std::atomic<uint32_t> signals; // how often it was signalled (for tests and traces)
};
extern stream_buffer g_buffers[POOL_BUFFERS];
extern buffer_pool g_free_pool, g_busy_pool;
extern wake_up g_space_available, g_data_available;
extern uint32_t g_pool_lock_tries; // 4294967295; lowered only by tests

int32_t pool_lock(buffer_pool *pool);
int32_t pool_take(buffer_pool *pool, stream_buffer **out);
int32_t pool_put(buffer_pool *pool, stream_buffer *buf, int32_t *count_before = nullptr);
void pools_init(); // every buffer into the free pool, in array order
void wake_signal(wake_up *w);
// At most g_relay.wait_ms, not at all while ready (the pool the waiter takes from)
// holds a buffer; false only if the sleep failed.
bool wake_wait(wake_up *w, buffer_pool *ready);
// Appends with the wake-up thresholds of each side.
int32_t busy_append_full(stream_buffer *buf);
int32_t free_append(stream_buffer *buf);

// Chunk file names and the sequence rules (chunk_names.cpp).
bool match_name(const char *name, const char *pattern);
bool parse_chunk_name(const char *name, int32_t *cid, int32_t *seq);
enum seq_verdict { SEQ_SAME = 0, SEQ_RESET, SEQ_BEHIND, SEQ_NEXT };
seq_verdict seq_judge(int32_t current, int32_t n);
// Applies the record rules to one notified name; true when the file is to be taken
// (the current number has then moved to its number); op names the operation that logs.
bool scan_accept_name(int action, const char *name, int32_t *current,
                      const char *op = "read_stream");

// The block reader (chunk_reader.cpp).
// A full block with a zero tail: steps the file back over it, takes its octets off
// *sum and waits for the writer (attempt of ZERO_TAIL_ATTEMPTS).
void wait_zero_tail(os_file *file, long got, int32_t *sum, const char *path, int attempt,
                    const char *op);
bool has_zero_tail(const uint8_t *block);
// Whether the full block just read (got octets, the file now at its end) can be kept:
// see chunk_reader.cpp; scratch holds CHUNK_BLOCK octets.
bool block_settled(os_file *file, const uint8_t *block, long got, uint8_t *scratch);
// A full block just read: kept; read again at once (the file stepped back over it and
// its octets taken off *sum); or waited for as a zero tail. *rereads counts the
// agains of one block.
enum block_verdict { BLOCK_KEEP, BLOCK_REREAD, BLOCK_WAIT };
block_verdict judge_block(os_file *file, const uint8_t *block, long got, uint8_t *scratch,
                          int32_t *rereads, int32_t *sum);
int32_t read_stream_file(os_file *file, const char *path);

// The newest-file search (chunk_newest.cpp).
enum newest_result { NEWEST_NONE = 0, NEWEST_LOADED = 1, NEWEST_FAILED = 2 };
// Finds the latest-written chunk file of the channel and hands it on (to the chunk
// sender when hls, else to the block reader); path gets its path, *current its
// number, *status the hand-on's status.
newest_result load_newest(const char *dir, const char *op, int32_t *current, char *path, bool hls,
                          int32_t *status);
// List mode: the newest complete chunk file, else load_newest.
newest_result load_newest_complete(const char *dir, const char *op, int32_t *current, char *path,
                                   int32_t *status);

// The watch loops (chunk_watch.cpp).
void read_stream(const char *dir);
int32_t send_hls(const char *dir);

// Senders (senders.cpp).
extern const char g_build_stamp[]; // "Jul 21 2017 14:56:43"
int build_stream_header(char *out, size_t cap);
int build_playlist(char *out, size_t cap, int32_t t, int pid);
int build_playlist_header(char *out, size_t cap, int content_length);
// The answer for a chunk that is no longer in the cache.
int build_not_found(char *out, size_t cap);
int build_chunk_header(char *out, size_t cap, uint32_t content_length);
void null_frame_init(uint8_t frame[TS_PACKET]);
int32_t send_playlist();
int32_t send_hls_chunk(os_file *file, const char *path);
// List mode: the open chunk file as a segment of whole frames, completed from the next
// one (next_path; none for the highest chunk number). The body is its Content-Length.
int32_t send_whole_frames(os_file *file, const char *path, const char *next_path);
void send_stream(net_sock sock);

// HLS list mode (hls_list.cpp).
enum { HLS_LIST_MIN = 3, HLS_LIST_MAX = 20 };
struct list_chunk {
    int32_t seq;
    uint64_t size, filled; // octets; complete when equal
    int pcr_pid;
    int64_t pcr_first, pcr_last; // 27 MHz; -1 when none
    uint64_t pcr_first_at, pcr_last_at;
    double seconds;   // duration by the chunk's own clock
    int64_t start_ms; // wall-clock start, ms since 1970 UTC
};
// "2026-12-10T01:50:12.345Z"
int format_utc_ms(char *out, size_t cap, int64_t ms);
// The newest `want` complete consecutive chunk files, oldest first; their count.
// *growing: the channel's newest file, the wall-clock reference, is being written.
int collect_list(const char *dir, int32_t want, list_chunk *out, bool *growing);
int build_list_playlist(char *out, size_t cap, const list_chunk *list, int n, int pid);
int32_t send_list_playlist(const char *dir);
// The chunk file numbered -chunk, or 404 Not Found when it has left the cache.
int32_t send_exact_chunk(const char *dir);
