// A movie fetched from the swarm follows its readers: every MOVIE_FOLLOW_MS the engine
// reads where the movie streamers of the CID read (utils/read_position.h) and, when
// that changed, puts piece deadlines on a window of MOVIE_WINDOW octets from each
// reader's piece on (the nearest first) and the top priority on every piece from the
// first reader's on, the pieces before it last; earlier deadlines are dropped, but the
// start and the end keep theirs until they are held (players read the header and the
// index first, and the streamer passes a file's last 8 KiB on as it finds them). With
// no reader the movie is fetched in order again. Only fetcher/swarm/ includes this.
#pragma once

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <cstdint>

enum {
    MOVIE_FOLLOW_MS = 250,
    MOVIE_WINDOW = 4 << 20, // the streamer's own buffers: it reads this far ahead of the player
    MOVIE_STEP_MS = 400,    // between the deadlines of a window's next pieces
    MOVIE_READERS = 8,
    MOVIE_TAIL = 8192, // the streamer's last read of a file: passed on as it is found
};

struct movie_readers {
    int count;                // readers followed; 0: fetched in order
    int piece[MOVIE_READERS]; // each one's piece, as last set
};

// pieces and piece_len of the torrent of a movie of size octets.
void movie_follow(const lt::torrent_handle &h, int32_t cid, uint64_t size, int pieces,
                  int piece_len, movie_readers *m, uint32_t now_ms);

// A movie's file in the cache: "<dir>/<CID><extension>", the extension of the torrent's
// file name (letters and digits only), as the movie streamer looks for it.
bool movie_path(int32_t cid, const char *name, char *out, size_t cap);

// Players read the start and the end (the index) first: deadlines on those pieces.
void movie_ends_first(const lt::torrent_handle &h, int pieces);

// A magnet link (magnet:?xt=urn:btih:...) read into atp: its info-hash, name, trackers
// (tr=) and peers (x.pe=), fetched in order into folder; false with the reason in why
// (cap octets). One that names no tracker nor peer is taken with a warning: only the
// DHT (-swarm_discovery=1) can find its peers.
bool movie_magnet(int32_t cid, const char *uri, const char *folder, lt::add_torrent_params *atp,
                  char *why, size_t cap);
