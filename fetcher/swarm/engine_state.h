// The swarm's engine: one libtorrent session per fetcher. The broadcaster turns every
// complete chunk file into a one-file torrent seeded from the cache itself and lists
// it in its signed feed; a viewer adds the torrents its broadcaster's feed lists into
// a staging folder beside the cache, and only when libtorrent has verified every
// piece against the signed piece hashes does it copy them, front to back, into the
// chunk file the readers see (a live chunk is complete at the broadcaster before the
// swarm has it, so the file is written in one go and no reader meets a zero tail).
// Each torrent is seeded until -keep (or anyone) deletes its chunk file.
//
// This is the state the engine's three files share: engine.cpp (the session, its
// alerts, the checks each second and the status), broadcaster.cpp (the key, the feed,
// publishing and the upload slots) and viewer.cpp (feeds read, chunks and movies
// fetched and written). Only fetcher/swarm/ includes it.
#pragma once

#include <libtorrent/alert_types.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "fetcher/sources/sources_file.h"
#include "fetcher/swarm/feed.h"
#include "fetcher/swarm/movie.h"
#include "fetcher/swarm/swarm_status.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace swarm_engine {

enum {
    MAX_TORRENTS = 1024,
    MAX_CHANNELS = 16,
    MAX_VIEWS = 64,
    MAX_PENDING = 64,
    POLL_MS = 250,
    FEED_WAIT_MS = 2000,
    WHITELIST_WAIT_MS = 300, // for the tracker to read its list again
    CHECK_MS = 1000,
    STUCK_MS = 60000,
    MAX_PIECES = 256,
    WRITE_TRIES = 3,
    JITTER_MS = 600,
    LIVE_SLOTS = 1,      // viewers the broadcaster sends one live chunk to at once
    LIVE_SLOTS_MAX = 16, // ... when it has not left in time (twice as many each second)
    MAX_SOURCES = 20,    // peers a chunk came from, for the trace
    LEFT_RATE = 4,       // a live chunk that has left: sent on at 4x the stream's rate
};

struct swarm_torrent {
    bool used;
    bool viewer;
    int32_t cid;
    uint64_t number, size;
    uint8_t info_hash[20];
    lt::torrent_handle h;
    int pieces, piece_len;
    bool written, reading;
    int next_piece;
    int write_tries; // a cache that cannot be written is given up after a few
    bool movie;      // a movie: verified pieces written as they come, start and end first
    int pieces_written;
    movie_readers readers;       // a movie: where its streamers read, as last followed
    char path[OS_PATH_MAX + 32]; // the file it is seeded for; gone: the torrent ends
    os_file out;
    int64_t added_ms;
    int slots;               // broadcaster, a live chunk: viewers sent it at once
    int64_t waiting_ms;      // ... since when viewers wait for it (0: none)
    uint64_t sent;           // ... octets sent of it, to tell when it has left once
    int left_rate;           // ... its rate from then on, octets per second
    uint32_t broadcaster_ip; // viewer: to tell what came from peers
    struct {
        uint32_t ip;
        uint64_t octets;
    } sources[MAX_SOURCES]; // viewer: what each peer sent of it, for the trace
};

struct bcast_channel {
    bool used;
    int32_t cid;
    int count;
    feed_chunk ring[FEED_CHUNKS];
    int64_t publish_ms[FEED_CHUNKS];
};

struct pending_chunk {
    int32_t cid;
    uint64_t number, size;
    int32_t duration_ms;
    char source[OS_PATH_MAX]; // a movie's file; empty for a chunk
};

struct view_channel {
    bool used;
    int32_t cid;
    char url[SOURCE_URL_MAX];
    uint8_t pub[FEED_PUBLIC];
    std::atomic<bool> stop{false};
    std::thread poller;
    bool begun;
    uint64_t next;
};

struct swarm_state {
    bool on, broadcasting;
    lt::session *ses;
    std::mutex lock; // the tables below
    swarm_torrent torrents[MAX_TORRENTS];
    bcast_channel channels[MAX_CHANNELS];
    pending_chunk pending[MAX_PENDING];
    int pending_count;
    view_channel views[MAX_VIEWS];
    swarm_cid_status status[SWARM_STATUS_MAX]; // per CID, for the status page
    uint8_t seed[FEED_SEED];
    char peer[64];
    char staging[OS_PATH_MAX];
    std::atomic<bool> stop{false};
    std::thread engine, server;
    intptr_t listener;
};

// The engine's one record of state (engine.cpp).
extern swarm_state g_sw;

// engine.cpp
int64_t now_ms();
bool file_there(const char *path);
swarm_cid_status *status_of(int32_t cid, bool viewer);  // null when the table is full
swarm_torrent *free_torrent();                          // with g_sw.lock held
swarm_torrent *torrent_of(const lt::torrent_handle &h); // with g_sw.lock held

// broadcaster.cpp
bool load_key();
size_t feed_of(int32_t cid, char *out, size_t cap);
void publish(const pending_chunk &p);
void count_sent(const lt::block_uploaded_alert *a);
void widen_slots(swarm_torrent *t, int64_t now);
void queue_movies();

// viewer.cpp
void start_write(swarm_torrent *t);
void count_block(const lt::block_finished_alert *a);
void on_piece(const lt::read_piece_alert *a);
void trace_sources(const swarm_torrent *t);
void on_metadata(swarm_torrent *t);

} // namespace swarm_engine
