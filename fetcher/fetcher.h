// KVT-Fetcher, the peer fetcher: reads the supervisor's 640-octet start/stop
// messages from dwnldr-pipe, takes over passed QI sockets and writes growing chunk
// files "%d---%d.dat" and movie files into the cache folder from live sources
// (KVT-Sources.txt), from the swarm (swarm: lines; a broadcaster publishes its live
// sources' chunks to it), local transport-stream files or a generated test signal.
// Files of this folder:
//   fetcher.cpp   options, start-up, the pipe loop
//   messages.cpp  the CID table, start/stop handling, QI socket readers, dumps
//   ts_loop.cpp   a looped source read as one endless stream with continuous timestamps
//   chunks.cpp    live writers: the channel on the wall clock, cut into chunk files
//   movies.cpp    progressive movie copies
//   keep.cpp      deletion of files older than -keep seconds
//   cache_writer.cpp  chunk files: names, final size, the zero-tail write rule, and
//                 the writer of live streams of unknown rate
//   swarm/        the swarm (libtorrent), behind fetcher/swarm/swarm.h
//   sources/      KVT-Sources.txt, the receivers of network sources, the packet
//                 split and continuity filter, and (av_input.cpp only) libavformat
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/os.h"
#include "utils/log.h"
#include "utils/options.h"

#define FETCH "FETCH"

enum {
    FETCH_MESSAGE_SIZE = 640,
    FETCH_MAX_CIDS = 512,
    FETCH_MAX_QI = 16,
    TS_PACKET = 188,
};

// One 640-octet dwnldr-pipe message, little-endian.
#pragma pack(push, 1)
struct fetch_message {
    int32_t cid;
    int32_t qi_sock;
    int32_t command;
    uint8_t list_len;
    char list[255];
    uint8_t share_info[NET_SHARE_INFO_SIZE];
};
#pragma pack(pop)
static_assert(sizeof(fetch_message) == FETCH_MESSAGE_SIZE, "messages are 640 octets");

// One passed QI session and the thread that reads its PDUs.
struct qi_session_slot {
    net_sock sock = NET_BAD_SOCK;
    std::thread reader;
};

// A CID being fetched: its writer and the QI sessions passed for it.
struct cid_entry {
    int32_t cid = 0;
    bool used = false;
    std::atomic<bool> stop{false};
    std::thread writer;
    qi_session_slot qi[FETCH_MAX_QI];
    std::atomic<bool> qi_stop{false};
    bool swarm = false; // fetched from the swarm (no writer thread)
};

struct fetcher_state {
    // options
    option_text dir;
    int32_t keep; // seconds
    option_text peer_id;
    option_text source; // "path" for every CID, or "CID:path;CID:path"
    option_text signal; // generated test signal; default next to the program
    int32_t chunk_ms;
    int32_t rate;       // octets per second; 0 = the source's own (its timestamps)
    int32_t history;    // complete chunks written at once on a start
    option_text movie;  // "CID:path;CID:path"
    int32_t movie_rate; // octets per second
    option_text dump;   // folder for raw copies of the received messages
    int32_t help;
    // the swarm (fetcher/swarm/): off without swarm_listen
    option_text swarm_listen;    // ADDR:PORT the engine listens and connects from
    option_text swarm_tracker;   // announce URL put into the broadcaster's torrents
    option_text swarm_feed;      // ADDR:PORT the broadcaster serves its feeds on
    option_text swarm_key;       // the broadcaster's ed25519 key file
    option_text swarm_whitelist; // file of published info-hashes, for a listing tracker
    int32_t swarm_discovery;     // DHT, local discovery, UPnP and NAT-PMP on
    int32_t swarm_superseed;     // the broadcaster super-seeds
    int32_t swarm_slots;         // viewers sent a live chunk at once; 0: 1, -1: all

    std::atomic<int32_t> stop_all{0};
    std::mutex table_lock;
    cid_entry cids[FETCH_MAX_CIDS];
    int32_t dump_count;
};

extern fetcher_state g_fetcher;

int fetcher_main(int argc, char **argv);

// messages.cpp
void handle_message(const fetch_message *m, long len, intptr_t passed_sock);
void stop_everything();

// ts_loop.cpp: a .ts file or a folder of them, looped, read as one endless stream.
enum { LOOP_MAX_FILES = 64, LOOP_MAX_PIDS = 32 };
struct file_pid {
    uint16_t pid;
    uint8_t loop_index; // its entry in the loop's PID list
    uint8_t cc0;        // continuity counter of its first payload packet
    uint32_t payloads;  // packets with payload in this file
    uint32_t before;    // payload packets of the PID in the loop's earlier files
    int64_t min_pts, max_pts, last_pts, step; // 90 kHz; step: the shortest PTS spacing
};
struct loop_pid {
    uint16_t pid;
    uint32_t payloads; // per loop
};
struct loop_file {
    char path[OS_PATH_MAX];
    os_file f;
    uint64_t size;     // whole packets, octets
    uint64_t start;    // octet position within the loop
    int64_t first_pts; // earliest timestamp of the file (90 kHz)
    int64_t period;    // its content's duration (90 kHz)
    int64_t shift;     // its start time within the loop (90 kHz)
    file_pid pids[LOOP_MAX_PIDS];
    int npids;
};
struct ts_loop {
    loop_file files[LOOP_MAX_FILES];
    int count;
    uint64_t octets; // one loop
    int64_t period;  // one loop's duration (90 kHz)
    loop_pid pids[LOOP_MAX_PIDS];
    int npids;
};
// Opens and scans every file; false when none can be used.
bool ts_loop_open(ts_loop *l, const char *path);
// n octets of the endless stream from position at (both whole packets), with
// timestamps and continuity counters running on across files and loops.
bool ts_loop_read(ts_loop *l, uint64_t at, uint8_t *buf, size_t n);
void ts_loop_close(ts_loop *l);

// chunks.cpp: body of a CID's writer thread (live channel).
void live_writer(cid_entry *e);
// Finds "CID:path" for cid (or a plain "path" for every CID) in a ';' list.
bool lookup_source(const option_text *list, int32_t cid, bool allow_default, char *out, size_t cap);

// movies.cpp
void movie_writer(cid_entry *e, const char *source);

// keep.cpp
void keep_cleaner();

// sources/receivers.cpp: KVT-Sources.txt and the receivers of its network sources.
void sources_start();
void sources_stop(); // after stop_all is set
// The configured source of cid: its URL and whether a receiver serves it.
bool source_of(int32_t cid, char *url, size_t cap, bool *network);
// A swarm: line for cid: its feed URL (without "swarm:") and the broadcaster's key.
bool swarm_source_of(int32_t cid, char *url, size_t cap, char *key, size_t key_cap);
