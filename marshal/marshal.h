// The supervisor's one record of process-wide state and the operations its files
// offer each other. Each .cpp file of this folder owns one concern:
//   main.cpp          the program entry: calls marshal_main
//   startup.cpp       option table, start-up, create_and_listen, accept loop, shutdown
//   request.cpp       read_request, parse_request, send_ans, the key/value scanner
//   qi_session.cpp    qi_auth, qi_req over the QI client (qi/) and the link /
//                     start-streaming handlers
//   children.cpp      child table, start_fetcher_process, start_relay, register_and_announce
//   monitor.cpp       child_monitor
//   notify.cpp        tray_notify and the dwnldr-pipe messages
//   pages.h           the own pages: channel playlist and status page (their files there)
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "utils/log.h"
#include "utils/options.h"

#include "platform/msgpipe.h"
#include "platform/net.h"
#include "platform/process.h"
#include "qi/qi_client.h"

#include "pages.h"

#define MRSHL "MRSHL"
#define KVT_MARSH "KVT-MARSH"

enum {
    CHILD_SLOTS = 512,
    CHILD_RECORD_SIZE = 640,
    REQUEST_BUF_SIZE = 1024,
    ADMIT_THREADS_MAX = 16
};

// The current player request, cleared before every accept.
struct request_record {
    int32_t code;
    int32_t cid;
    int64_t range_start; // 64-bit so movie positions beyond 4 GiB arrive whole
    int32_t chunk;
    counted_text qi;
    counted_text udata;
    counted_text vtid;
    counted_text sid;
};

// A started streamer, and the layout of every dwnldr-pipe message (little-endian).
#pragma pack(push, 1)
struct child_record {
    int32_t cid;
    int32_t qi_sock;      // supervisor's QI descriptor; -1 for sid requests; 0 in stops
    int32_t command;      // 1 start downloading, 0 stop downloading
    counted_text qi_list; // octets 12..267
    uint8_t share_info[NET_SHARE_INFO_SIZE]; // octets 268..639
};
#pragma pack(pop)
static_assert(sizeof(child_record) == CHILD_RECORD_SIZE, "child record is 640 octets");

// A 'stop downloading' held back after the last streamer of a CID ended as an HLS
// playlist or chunk streamer: the player comes back for its next playlist or segment
// within the target duration, so the channel and its QI session stay.
struct held_stop {
    child_record rec; // the ended streamer's record, its QI session still open
    uint32_t addr;    // the ended streamer's player address (the -qi_reuse key)
    int32_t duration; // the QI duration of its admission
    uint32_t due_ms;  // os_tick_ms() at which the stop is sent
    bool used;
};

struct child_table {
    std::atomic<uint32_t> count; // used slots; slot 0 is the fetcher
    os_process procs[CHILD_SLOTS];
    child_record records[CHILD_SLOTS];
    uint32_t hold_ms[CHILD_SLOTS];           // per slot: how long its CID's stop is held (0: not)
    int32_t durations[CHILD_SLOTS];          // per slot: the QI duration it was started with
    held_stop held[CHILD_SLOTS];             // at most one per CID
    child_view views[CHILD_SLOTS];           // per slot: what the status page shows of it
    hls_viewer hls_viewers[HLS_VIEWERS_MAX]; // the status page's HLS viewers
};

// One connection's admission, from the request read to the answer or the child start.
// The accept loop's own is admits[0]; with -admit_threads=N each of the slots 1..N
// has its own, so no two connections share a buffer.
struct admission {
    request_record req;
    char req_buf[REQUEST_BUF_SIZE];
    uint32_t peer_addr; // network order
    uint16_t peer_port;
    net_sock qi_sock;          // QI socket of the current request, -1 when none
    int32_t duration;          // tag 14 of the latest QI answer
    counted_text channel_name; // tag-12 text of the latest start answer
    bool reused;               // admitted on the open QI session of its CID (-qi_reuse)
    qi_buffers qi;             // the QI exchange's PDU and welcome
};

// The worker slots of -admit_threads: the accept loop hands each accepted connection
// to an idle slot; a slot is busy until its connection is handled and its pause is over.
struct admit_pool {
    std::mutex lock;
    std::condition_variable changed;
    uint32_t slots; // 0: the accept loop admits itself
    bool busy[ADMIT_THREADS_MAX + 1];
    bool quit;
    net_sock sock[ADMIT_THREADS_MAX + 1];
    uint32_t addr[ADMIT_THREADS_MAX + 1];
    uint16_t port[ADMIT_THREADS_MAX + 1];
    std::thread threads[ADMIT_THREADS_MAX + 1];
};

struct marshal_state {
    // options
    int32_t port;
    option_text listen;    // address of the listening socket, "0.0.0.0": every interface
    option_text host;      // default QI server list
    option_text cache_dir; // also the storage of -dir
    int32_t keep;
    int32_t port_min, port_max;
    int32_t delay;
    int32_t hls_list;      // 0: HLS relays answer the one-segment playlist; else 3..20
    int32_t handover_ms;   // pause before closing the supervisor's copy of a player socket
    int32_t qi_reuse;      // seconds a CID's QI session admits its player's next requests (0: off)
    int32_t qi_pause_ms;   // pause before each QI request
    int32_t admit_threads; // connections admitted at once
    // -service: started by KVT-Keeper as the system's service (or running as
    // LocalSystem): the cache path must also pass the service's rules
    int32_t as_service;

    char module_dir[260]; // folder of the supervisor's executable
    counted_text peer_id; // "%X%XKVT$" from 8 random octets
    std::atomic<int32_t> stop_status;

    os_job job;
    std::mutex pages_lock; // the own pages' buffers; taken before table_lock
    std::mutex table_lock; // taken before pipe_lock, never the other way
    std::mutex pipe_lock;  // fetcher pipe, fetcher pid, every write to it
    child_table children;
    msg_pipe fetcher_pipe;
    int fetcher_pid;

    net_sock listen_sock;
    uint32_t listen_addr; // network order, from -listen
    admission admits[ADMIT_THREADS_MAX + 1];
    admit_pool pool;
    // The accept loop's admission under the names of the one-at-a-time supervisor.
    request_record &req = admits[0].req;
    int32_t &duration = admits[0].duration;

    own_pages pages; // the playlist and status pages
};

extern marshal_state g_marshal;

// startup.cpp
enum { REQUEST_DONE = 11099 }; // parse_request: answered completely, nothing left to do
int marshal_main(int argc, char **argv);
// Handles one accepted connection from the request read to the answer or the child
// start in admission a; returns the pause in seconds before its next connection (0 or 3).
int handle_admission(admission &a, net_sock s, uint32_t addr, uint16_t port);
// handle_admission in the accept loop's own admission.
int handle_connection(net_sock s, uint32_t addr, uint16_t port);
void marshal_set_defaults();

// request.cpp
extern const char marshal_build_stamp[]; // __DATE__ " " __TIME__
int32_t read_request(net_sock s, char *buf, int32_t *len);
// text holds the received octets: len (the request length) plus the closing blank line.
int32_t parse_request_in(request_record &rq, net_sock s, const char *text, int32_t len,
                         uint32_t addr, uint16_t port);
// parse_request_in with the accept loop's request record.
int32_t parse_request(net_sock s, const char *text, int32_t len, uint32_t addr, uint16_t port);
int32_t send_ans(net_sock s, int32_t code);
// The value of key in the query text q[0..qlen): its offset in *value, its length as
// the result (0 when the key is absent or has no value).
int scan_key_value(const char *q, int qlen, const char *key, const char **value);

// notify.cpp
int32_t tray_notify(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Writes one 640-octet message to dwnldr-pipe; the caller holds the pipe lock. pass_sock (or -1)
// travels with it. Returns the octets written.
long fetcher_pipe_write(const child_record *rec, net_sock pass_sock);

// qi_session.cpp: the QI part of the request handlers. Both answer the player
// themselves on failure and close the QI socket.
int32_t handle_link(admission &a, net_sock player);
// Stream, movie and HLS requests without a sid: on an odd result a.qi_sock is the
// open, admitted QI connection and a.channel_name holds the tag-12 text.
int32_t qi_start_streaming(admission &a, net_sock player);

// children.cpp and monitor.cpp
int32_t start_fetcher_process();
int32_t start_relay(os_process *out, const admission &a, net_sock chan);
int32_t register_and_announce(admission &a, net_sock player);
// register_and_announce in the accept loop's own admission.
int32_t register_and_announce(net_sock player);
// -qi_reuse: whether the CID's QI session is open for the player at addr (a streamer
// of the CID for that address runs, or its held stop waits) and *duration, the QI
// duration it was admitted with; a held stop found is held S seconds more. Called
// with the table lock held.
bool qi_session_reusable(int32_t cid, uint32_t addr, int32_t *duration);
void child_monitor();

// stop_hold.cpp; all but hls_hold_ms with the table lock held.
// The hold of an HLS streamer started with the QI duration: its target duration.
uint32_t hls_hold_ms(int32_t qi_duration);
// The last streamer of rec's CID ended (its player at addr, admitted with QI duration
// duration): the stop is sent now, or held for hold_ms (with -qi_reuse at least S s).
void stop_or_hold(const child_record &rec, uint32_t addr, int32_t duration, uint32_t hold_ms);
// Cancels the held stops of CIDs served again and sends those that are due.
void held_stops_pass();
// The monitor's next wait: at most slice_ms, less when a held stop falls due sooner.
unsigned held_stops_wait_ms(unsigned slice_ms);
// Shutdown: every held stop is sent at once.
void held_stops_flush();

// Trace lines of the supervisor: only while tracing, program tag KVT-MARSH.
#define MTRACE(op, fmt, ...)                                                                       \
    do {                                                                                           \
        if (g_trace) trace_printf(fmt, KVT_MARSH, op, __LINE__, ##__VA_ARGS__);                    \
    } while (0)
