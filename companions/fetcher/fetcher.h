// KVT-Fetcher, the local stand-in for the peer fetcher: reads the supervisor's
// 640-octet start/stop messages from dwnldr-pipe, takes over passed QI sockets and
// writes growing chunk files "%d---%d.dat" and movie files into the cache folder
// from local transport-stream sources or a generated test signal.
// Files of this folder:
//   fetcher.cpp   options, start-up, the pipe loop
//   messages.cpp  the CID table, start/stop handling, QI socket readers, dumps
//   chunks.cpp    live writers: source files, rate from the PCRs, paced chunk files
//   movies.cpp    progressive movie copies
//   keep.cpp      deletion of files older than -keep seconds
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/net.h"
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
};

struct fetcher_state {
    // options
    option_text dir;
    int32_t keep; // seconds
    option_text peer_id;
    option_text source; // "path" for every CID, or "CID:path;CID:path"
    option_text signal; // generated test signal; default next to the program
    int32_t chunk_ms;
    int32_t rate;       // octets per second; 0 = from the stream's PCRs
    int32_t zero_ahead; // octets of zero-filled space kept ahead of the writer
    option_text movie;  // "CID:path;CID:path"
    int32_t movie_rate; // octets per second
    option_text dump;   // folder for raw copies of the received messages
    int32_t help;

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

// chunks.cpp: body of a CID's writer thread (live channel or movie).
void live_writer(cid_entry *e);
// The rate of a transport-stream file from its first and last PCR; 0 when unknown.
uint32_t ts_rate_from_pcr(const char *path);
// Finds "CID:path" for cid (or a plain "path" for every CID) in a ';' list.
bool lookup_source(const option_text *list, int32_t cid, bool allow_default, char *out, size_t cap);

// movies.cpp
void movie_writer(cid_entry *e, const char *source);

// keep.cpp
void keep_cleaner();
