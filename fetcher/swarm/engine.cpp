// The swarm's engine: one libtorrent session per fetcher. The broadcaster turns every
// complete chunk file into a one-file torrent seeded from the cache itself and lists
// it in its signed feed; a viewer adds the torrents its broadcaster's feed lists into
// a staging folder beside the cache, and only when libtorrent has verified every
// piece against the signed piece hashes does it copy them, front to back, into the
// chunk file the readers see (a live chunk is complete at the broadcaster before the
// swarm has it, so the file is written in one go and no reader meets a zero tail).
// Each torrent is seeded until -keep (or anyone) deletes its chunk file.
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/address.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <tuple>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fetcher/cache_writer.h"
#include "fetcher/fetcher.h"
#include "fetcher/swarm/feed.h"
#include "fetcher/swarm/feed_http.h"
#include "fetcher/swarm/movie.h"
#include "fetcher/swarm/swarm.h"
#include "fetcher/sources/sources_file.h"
#include "fetcher/swarm/swarm_status.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "platform/registry.h"

namespace {

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
} g_sw;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char *text_of(const option_text &t) {
    return t.text;
}

bool file_there(const char *path) {
    os_file f;
    if (!file_open_read(path, &f, FILE_NO_LINKS)) return false;
    file_close(&f);
    return true;
}

swarm_cid_status *status_of(int32_t cid, bool viewer) {
    swarm_cid_status *free_one = nullptr;
    for (swarm_cid_status &s : g_sw.status) {
        if (s.used && s.cid == cid) return &s;
        if (!s.used && !free_one) free_one = &s;
    }
    if (!free_one) return nullptr;
    memset(free_one, 0, sizeof *free_one);
    free_one->used = true;
    free_one->cid = cid;
    free_one->viewer = viewer;
    return free_one;
}

// ---- keys

// The broadcaster's key file: 64 hex digits of an ed25519 seed; made when missing,
// with its public key in PATH.pub.
bool load_key() {
    const fetcher_state &g = g_fetcher;
    char path[OS_PATH_MAX];
    if (g.swarm_key.len) {
        snprintf(path, sizeof path, "%.*s", int(g.swarm_key.len), g.swarm_key.text);
    } else {
        char module[OS_PATH_MAX];
        if (!os_module_path(module, sizeof module)) return false;
        char *cut = strrchr(module, OS_PATH_SEP[0]);
        if (cut) *cut = 0;
        snprintf(path, sizeof path, "%.*s" OS_PATH_SEP "KVT-Swarm.key", 200, module);
    }
    char text[80] = {0};
    os_file f;
    if (file_open_read(path, &f, FILE_NO_LINKS)) {
        file_owner_only(&f); // one made by hand with the usual mode: narrowed
        long n = file_read(&f, text, sizeof text - 1);
        file_close(&f);
        if (n < 64 || !hex_decode(text, 64, g_sw.seed, FEED_SEED))
            return log_printf(FETCH, SEV_E, "swarm: '%s' is not 64 hex digits", path) & 0;
    } else {
        if (!crypto_random(g_sw.seed, FEED_SEED) || !file_open_write(path, &f, FILE_NO_LINKS))
            return log_printf(FETCH, SEV_E, "swarm: cannot make the key '%s' : %d", path,
                              os_error()) &
                   0;
        // The seed signs the feed: no other user may read it.
        if (!file_owner_only(&f)) {
            file_close(&f);
            return log_printf(FETCH, SEV_E, "swarm: cannot make the key '%s' private : %d", path,
                              os_error()) &
                   0;
        }
        hex_encode(g_sw.seed, FEED_SEED, text);
        text[64] = '\n';
        file_set_size(&f, 0);
        file_write(&f, text, 65);
        file_close(&f);
    }
    uint8_t pub[FEED_PUBLIC];
    char pub_hex[2 * FEED_PUBLIC + 2];
    if (!feed_public_key(g_sw.seed, pub)) return false;
    hex_encode(pub, FEED_PUBLIC, pub_hex);
    char pub_path[OS_PATH_MAX + 8];
    snprintf(pub_path, sizeof pub_path, "%s.pub", path);
    if (file_open_write(pub_path, &f, FILE_NO_LINKS)) {
        pub_hex[64] = '\n';
        file_set_size(&f, 0);
        file_write(&f, pub_hex, 65);
        file_close(&f);
        pub_hex[64] = 0;
    }
    log_printf(FETCH, SEV_I, "swarm: broadcaster key '%s', public key %s", path, pub_hex);
    return true;
}

// ---- the feed

size_t feed_of(int32_t cid, char *out, size_t cap) {
    static feed served; // the feed server's thread only
    {
        std::lock_guard<std::mutex> l(g_sw.lock);
        const bcast_channel *c = nullptr;
        for (const bcast_channel &b : g_sw.channels)
            if (b.used && b.cid == cid) c = &b;
        if (!c) return 0;
        served.cid = cid;
        snprintf(served.peer, sizeof served.peer, "%s", g_sw.peer);
        served.count = 0;
        const int64_t now = now_ms();
        for (int i = 0; i < c->count; i++)
            if (c->publish_ms[i] <= now) served.chunks[served.count++] = c->ring[i];
    }
    return feed_write(&served, g_sw.seed, out, cap);
}

// ---- broadcaster

void whitelist_add(const uint8_t ih[20]) {
    const option_text &w = g_fetcher.swarm_whitelist;
    if (!w.len) return;
    os_file f;
    if (!file_open_write(w.text, &f, FILE_NO_LINKS)) {
        log_printf(FETCH, SEV_E, "swarm: whitelist '%s' : %d", w.text, os_error());
        return;
    }
    char line[42];
    hex_encode(ih, 20, line);
    line[40] = '\n';
    uint64_t at = 0;
    file_size(&f, &at);
    file_pwrite(&f, line, 41, at);
    file_close(&f);
}

int live_slots() {
    const int32_t n = g_fetcher.swarm_slots;
    return n > 0 ? n : n < 0 ? -1 : LIVE_SLOTS;
}

swarm_torrent *free_torrent() {
    for (swarm_torrent &t : g_sw.torrents)
        if (!t.used) return &t;
    return nullptr;
}

void publish(const pending_chunk &p) {
    char path[OS_PATH_MAX + 32], folder[OS_PATH_MAX + 32];
    if (p.source[0])
        snprintf(path, sizeof path, "%s", p.source);
    else
        chunk_path(p.cid, p.number, path, sizeof path);
    const char *name = strrchr(path, OS_PATH_SEP[0]);
    name = name ? name + 1 : path;
    snprintf(folder, sizeof folder, "%.*s", int(name > path ? name - 1 - path : 0), path);
    int piece = 16384;
    while (p.size / uint64_t(piece) >= MAX_PIECES)
        piece *= 2;
    std::vector<char> bytes;
    lt::error_code ec;
    try {
        lt::file_storage fs;
        fs.add_file(name, int64_t(p.size));
        lt::create_torrent ct(fs, piece, lt::create_torrent::v1_only);
        if (g_fetcher.swarm_tracker.len) ct.add_tracker(g_fetcher.swarm_tracker.text);
        ct.set_creator("KVT-Fetcher");
        lt::set_piece_hashes(ct, folder, ec);
        if (!ec) lt::bencode(std::back_inserter(bytes), ct.generate());
    } catch (const std::exception &x) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : torrent of '%s' : %s", p.cid, path, x.what());
        return;
    }
    if (ec || bytes.size() > FEED_TORRENT_MAX) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : torrent of '%s' : %s", p.cid, path,
                   ec ? ec.message().c_str() : "too large");
        return;
    }
    auto ti = std::make_shared<lt::torrent_info>(
        lt::span<const char>(bytes.data(), long(bytes.size())), ec, lt::from_span);
    if (ec) return;
    lt::add_torrent_params atp;
    atp.ti = ti;
    atp.save_path = folder;
    atp.flags = lt::torrent_flags::seed_mode;
    if (g_fetcher.swarm_superseed) atp.flags |= lt::torrent_flags::super_seeding;
    // A live chunk goes to one viewer at a time (live_slots); the others are choked
    // by the broadcaster and take it from that one, so that it leaves here about once.
    if (!p.source[0]) atp.max_uploads = live_slots();
    const lt::sha1_hash ih = ti->info_hashes().v1;
    whitelist_add(reinterpret_cast<const uint8_t *>(ih.data()));
    lt::torrent_handle h = g_sw.ses->add_torrent(atp, ec);
    if (ec) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : seeding '%s' : %s", p.cid, path,
                   ec.message().c_str());
        return;
    }
    std::lock_guard<std::mutex> l(g_sw.lock);
    swarm_torrent *t = free_torrent();
    if (t) {
        memset(static_cast<void *>(t), 0, sizeof *t);
        t->used = true;
        t->cid = p.cid;
        t->number = p.number;
        t->size = p.size;
        t->h = h;
        t->written = true;
        t->slots = p.source[0] ? -1 : live_slots();
        t->left_rate = p.source[0] || p.duration_ms <= 0
                           ? 0
                           : int(std::min<uint64_t>(
                                 p.size * LEFT_RATE * 1000 / uint64_t(p.duration_ms), 1 << 30));
        snprintf(t->path, sizeof t->path, "%s", path);
        memcpy(t->info_hash, ih.data(), 20);
    }
    bcast_channel *c = nullptr;
    for (bcast_channel &b : g_sw.channels)
        if (b.used && b.cid == p.cid) c = &b;
    for (bcast_channel &b : g_sw.channels)
        if (!c && !b.used) {
            c = &b;
            c->used = true;
            c->cid = p.cid;
            c->count = 0;
        }
    if (!c) return;
    if (c->count == FEED_CHUNKS) {
        memmove(&c->ring[0], &c->ring[1], sizeof c->ring[0] * (FEED_CHUNKS - 1));
        memmove(&c->publish_ms[0], &c->publish_ms[1], sizeof c->publish_ms[0] * (FEED_CHUNKS - 1));
        c->count--;
    }
    feed_chunk &fc = c->ring[c->count];
    fc.number = p.number;
    fc.size = p.size;
    fc.duration_ms = p.duration_ms;
    memcpy(fc.info_hash, ih.data(), 20);
    fc.torrent_len = bytes.size();
    memcpy(fc.torrent, bytes.data(), bytes.size());
    c->publish_ms[c->count] = now_ms() + (g_fetcher.swarm_whitelist.len ? WHITELIST_WAIT_MS : 0);
    c->count++;
    swarm_cid_status *s = status_of(p.cid, false);
    if (s) s->newest = int64_t(p.number);
    if (g_trace)
        log_printf(FETCH, SEV_I, "swarm: CID=%d : chunk %llu published (%llu octets, %d pieces)",
                   p.cid, (unsigned long long)p.number, (unsigned long long)p.size,
                   ti->num_pieces());
}

// ---- viewer

lt::tcp::endpoint endpoint_of(const char *text, uint32_t *ip) {
    uint32_t addr = 0;
    uint16_t port = 0;
    if (!parse_addr_port(text, strlen(text), &addr, &port)) return lt::tcp::endpoint();
    *ip = addr;
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&addr);
    lt::address_v4 a(lt::address_v4::bytes_type{{b[0], b[1], b[2], b[3]}});
    return lt::tcp::endpoint(a, port);
}

void add_viewed(int32_t cid, const feed_chunk &c, const char *peer) {
    char path[OS_PATH_MAX + 32], want[64];
    chunk_path(cid, c.number, path, sizeof path);
    if (file_there(path)) return; // held already (a fetcher started again within -keep)
    lt::error_code ec;
    auto ti = std::make_shared<lt::torrent_info>(
        lt::span<const char>(reinterpret_cast<const char *>(c.torrent), long(c.torrent_len)), ec,
        lt::from_span);
    snprintf(want, sizeof want, "%d---%d.dat", cid, int32_t(c.number % 1000000000));
    // A movie: number 0, no duration, and a file name of its own.
    const bool movie =
        !ec && c.number == 0 && c.duration_ms == 0 && ti->num_files() == 1 &&
        ti->files().file_path(lt::file_index_t(0)) != want &&
        movie_path(cid, ti->files().file_path(lt::file_index_t(0)).c_str(), path, sizeof path);
    if (movie)
        snprintf(want, sizeof want, "%.60s", ti->files().file_path(lt::file_index_t(0)).c_str());
    // The torrent must be the chunk the signed line names.
    if (ec || memcmp(ti->info_hashes().v1.data(), c.info_hash, 20) != 0 || ti->num_files() != 1 ||
        uint64_t(ti->total_size()) != c.size ||
        ti->files().file_path(lt::file_index_t(0)) != want || ti->num_pieces() > MAX_PIECES) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : chunk %llu refused: its torrent does not match",
                   cid, (unsigned long long)c.number);
        return;
    }
    os_file out{};
    if (movie) {
        // Made at its final size at once: the movie streamer answers with the size it
        // finds, and waits on the regions still zero.
        uint64_t have = 0;
        if (!file_open_write(path, &out, FILE_NO_LINKS)) {
            log_printf(FETCH, SEV_E, "swarm: CID=%d : open '%s' : %d", cid, path, os_error());
            return;
        }
        if (file_size(&out, &have) && have == c.size) { // held already
            file_close(&out);
            return;
        }
        file_set_size(&out, c.size);
    }
    lt::add_torrent_params atp;
    atp.ti = ti;
    atp.save_path = g_sw.staging;
    // A live chunk is written when whole: its pieces are fetched rarest first, so that
    // viewers fetching it at the same moment take different pieces and trade them.
    atp.flags = movie ? lt::torrent_flags::sequential_download : lt::torrent_flags_t{};
    {
        std::lock_guard<std::mutex> l(g_sw.lock);
        swarm_torrent *t = free_torrent();
        if (!t) {
            log_printf(FETCH, SEV_E, "swarm: CID=%d : no room for chunk %llu", cid,
                       (unsigned long long)c.number);
            if (movie) file_close(&out);
            return;
        }
        memset(static_cast<void *>(t), 0, sizeof *t);
        t->used = true;
        t->viewer = true;
        t->cid = cid;
        t->number = c.number;
        t->size = c.size;
        t->pieces = ti->num_pieces();
        t->piece_len = ti->piece_length();
        t->added_ms = now_ms();
        t->movie = movie;
        t->reading = movie; // a movie is written piece by piece until it is whole
        t->out = out;
        snprintf(t->path, sizeof t->path, "%s", path);
        memcpy(t->info_hash, c.info_hash, 20);
        lt::tcp::endpoint ep = endpoint_of(peer, &t->broadcaster_ip);
        t->h = g_sw.ses->add_torrent(atp, ec);
        if (ec) {
            log_printf(FETCH, SEV_E, "swarm: CID=%d : adding chunk %llu : %s", cid,
                       (unsigned long long)c.number, ec.message().c_str());
            t->used = false;
            if (movie) file_close(&t->out);
            return;
        }
        if (ep.port()) t->h.connect_peer(ep);
        if (movie) movie_ends_first(t->h, t->pieces);
    }
    if (g_trace)
        log_printf(FETCH, SEV_I, "swarm: CID=%d : fetching chunk %llu", cid,
                   (unsigned long long)c.number);
}

void poll_feed(view_channel *v) {
    static thread_local char last_why[FEED_WHY_MAX + 64];
    char *text = static_cast<char *>(malloc(FEED_TEXT_MAX)); // once per viewed channel
    feed *f = static_cast<feed *>(malloc(sizeof(feed)));
    last_why[0] = 0;
    while (text && f && !v->stop && !g_sw.stop) {
        char why[FEED_WHY_MAX + 64] = {0};
        long n = feed_get(v->url, text, FEED_TEXT_MAX, FEED_WAIT_MS, why, sizeof why);
        if (n >= 0 && !feed_read(text, size_t(n), v->pub, f, why)) n = -1;
        if (n >= 0 && f->cid != v->cid) {
            snprintf(why, sizeof why, "it is the feed of CID %d", f->cid);
            n = -1;
        }
        if (n < 0) {
            if (strcmp(why, last_why) != 0)
                log_printf(FETCH, SEV_W, "swarm: CID=%d : feed '%s' refused: %s", v->cid, v->url,
                           why);
            snprintf(last_why, sizeof last_why, "%s", why);
        } else {
            last_why[0] = 0;
            // The newest complete chunk first; and again after a gap the feed no longer
            // covers (the older ones would come too late to be played).
            bool at_once = false; // the first chunk of a start: a player waits for it
            if (f->count && (!v->begun || f->chunks[0].number > v->next)) {
                v->begun = true;
                v->next = f->chunks[f->count - 1].number;
                at_once = true;
            }
            for (int i = 0; i < f->count; i++)
                if (f->chunks[i].number >= v->next) {
                    // Viewers take a new chunk a random moment apart, so that the first
                    // ones fetch it from the broadcaster and the later ones from them.
                    uint16_t r = 0;
                    if (!at_once && crypto_random(&r, sizeof r))
                        os_sleep_ms(unsigned(r % JITTER_MS));
                    add_viewed(v->cid, f->chunks[i], f->peer);
                    v->next = f->chunks[i].number + 1;
                }
        }
        for (int waited = 0; waited < POLL_MS && !v->stop && !g_sw.stop; waited += 50)
            os_sleep_ms(50);
    }
    free(text);
    free(f);
}

swarm_torrent *torrent_of(const lt::torrent_handle &h) {
    for (swarm_torrent &t : g_sw.torrents)
        if (t.used && t.h == h) return &t;
    return nullptr;
}

// All pieces verified: the chunk file is made and filled from them in order.
void start_write(swarm_torrent *t) {
    char path[OS_PATH_MAX + 32];
    t->write_tries++;
    if (!open_chunk(t->cid, t->number, t->size, true, &t->out, path, sizeof path)) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : open '%s' : %d", t->cid, path, os_error());
        return;
    }
    t->reading = true;
    t->next_piece = 0;
    t->h.read_piece(lt::piece_index_t(0));
}

// What came from peers other than the broadcaster, block by block, for the status.
void count_block(const lt::block_finished_alert *a) {
    swarm_torrent *t = torrent_of(a->handle);
    if (!t || !t->viewer || !a->endpoint.address().is_v4()) return;
    swarm_cid_status *s = status_of(t->cid, true);
    if (!s) return;
    lt::address_v4::bytes_type b = a->endpoint.address().to_v4().to_bytes();
    uint32_t ip;
    memcpy(&ip, b.data(), 4);
    const uint64_t at = uint64_t(static_cast<int>(a->piece_index)) * uint64_t(t->piece_len) +
                        uint64_t(a->block_index) * 16384;
    const uint64_t n = at >= t->size ? 0 : std::min<uint64_t>(16384, t->size - at);
    (ip == t->broadcaster_ip ? s->from_broadcaster : s->from_peers) += n;
    for (auto &from : t->sources)
        if (from.ip == ip || from.octets == 0) {
            from.ip = ip;
            from.octets += n;
            break;
        }
}

// A movie's verified piece goes to its place in the movie file at once.
void on_movie_piece(swarm_torrent *t, const lt::read_piece_alert *a) {
    const uint64_t at = uint64_t(static_cast<int>(a->piece)) * uint64_t(t->piece_len);
    if (a->error || file_pwrite(&t->out, a->buffer.get(), size_t(a->size), at) != long(a->size)) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : movie piece %d not written : %d", t->cid,
                   static_cast<int>(a->piece), os_error());
        return;
    }
    if (++t->pieces_written < t->pieces) return;
    file_close(&t->out);
    t->reading = false;
    t->written = true;
    log_printf(FETCH, SEV_I, "swarm: CID=%d : movie '%s' verified and written in %lld ms", t->cid,
               t->path, (long long)(now_ms() - t->added_ms));
}

void on_piece(const lt::read_piece_alert *a) {
    swarm_torrent *t = torrent_of(a->handle);
    if (!t || !t->reading) return;
    if (t->movie) return on_movie_piece(t, a);
    if (a->error || static_cast<int>(a->piece) != t->next_piece) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : chunk %llu piece %d unreadable : %s", t->cid,
                   (unsigned long long)t->number, int(a->piece), a->error.message().c_str());
        t->reading = false;
        file_close(&t->out);
        return;
    }
    // Front to back, the last four packets of each reader block in a later write.
    uint64_t pos = uint64_t(t->next_piece) * uint64_t(t->piece_len);
    const uint64_t end = pos + uint64_t(a->size);
    const char *p = a->buffer.get();
    while (pos < end) {
        uint64_t to = std::min(tail_cap(pos), end);
        if (file_pwrite(&t->out, p, size_t(to - pos), pos) != long(to - pos)) {
            log_printf(FETCH, SEV_E, "swarm: CID=%d : write chunk %llu : %d", t->cid,
                       (unsigned long long)t->number, os_error());
            t->reading = false;
            file_close(&t->out);
            return;
        }
        p += to - pos;
        pos = to;
    }
    if (++t->next_piece < t->pieces) {
        t->h.read_piece(lt::piece_index_t(t->next_piece));
        return;
    }
    file_close(&t->out);
    t->reading = false;
    t->written = true;
    swarm_cid_status *s = status_of(t->cid, true);
    if (s && int64_t(t->number) > s->newest) s->newest = int64_t(t->number);
    if (g_trace)
        log_printf(FETCH, SEV_I,
                   "swarm: CID=%d : chunk %llu verified and written in %lld ms (so far %llu "
                   "octets from peers, %llu from the broadcaster)",
                   t->cid, (unsigned long long)t->number, (long long)(now_ms() - t->added_ms),
                   s ? (unsigned long long)s->from_peers : 0ULL,
                   s ? (unsigned long long)s->from_broadcaster : 0ULL);
}

// With -trace: what each peer sent of a chunk, to see who fetched what from whom.
void trace_sources(const swarm_torrent *t) {
    char line[MAX_SOURCES * 32 + 1];
    int n = 0;
    for (const auto &from : t->sources) {
        if (from.octets == 0) break;
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&from.ip);
        n += snprintf(line + n, sizeof line - size_t(n), " %u.%u.%u.%u=%llu", b[0], b[1], b[2],
                      b[3], (unsigned long long)from.octets);
    }
    line[n] = 0;
    log_printf(FETCH, SEV_I, "swarm: CID=%d : chunk %llu came from%s", t->cid,
               (unsigned long long)t->number, line);
}

// Once a live chunk has left the broadcaster whole, the viewers have it from each
// other: those it still goes to take the rest mostly from them (libtorrent asks the
// faster peers for more), while a viewer with no other source still gets it in a
// quarter of its duration.
void count_sent(const lt::block_uploaded_alert *a) {
    swarm_torrent *t = torrent_of(a->handle);
    if (!t || t->viewer || t->left_rate <= 0) return;
    t->sent += 16384;
    if (t->sent < t->size) return;
    t->h.set_upload_limit(t->left_rate);
    t->left_rate = 0;
}

void on_metadata(swarm_torrent *t);

void on_alert(lt::alert *a) {
    if (auto *u = lt::alert_cast<lt::block_uploaded_alert>(a)) {
        std::lock_guard<std::mutex> l(g_sw.lock);
        count_sent(u);
    } else if (auto *k = lt::alert_cast<lt::block_finished_alert>(a)) {
        std::lock_guard<std::mutex> l(g_sw.lock);
        count_block(k);
    } else if (auto *r = lt::alert_cast<lt::read_piece_alert>(a)) {
        std::lock_guard<std::mutex> l(g_sw.lock);
        on_piece(r);
    } else if (auto *pf = lt::alert_cast<lt::piece_finished_alert>(a)) {
        std::lock_guard<std::mutex> l(g_sw.lock);
        swarm_torrent *t = torrent_of(pf->handle);
        if (t && t->movie && t->reading) t->h.read_piece(pf->piece_index);
    } else if (auto *md = lt::alert_cast<lt::metadata_received_alert>(a)) {
        std::lock_guard<std::mutex> l(g_sw.lock);
        swarm_torrent *t = torrent_of(md->handle);
        if (t && t->movie && t->pieces == 0) on_metadata(t);
    } else if (auto *f = lt::alert_cast<lt::torrent_finished_alert>(a)) {
        std::lock_guard<std::mutex> l(g_sw.lock);
        swarm_torrent *t = torrent_of(f->handle);
        if (t && t->viewer && !t->written && !t->reading) {
            if (g_trace && !t->movie) trace_sources(t);
            start_write(t);
        }
    } else if (auto *h = lt::alert_cast<lt::hash_failed_alert>(a)) {
        std::lock_guard<std::mutex> l(g_sw.lock);
        swarm_torrent *t = torrent_of(h->handle);
        log_printf(FETCH, SEV_W,
                   "swarm: CID=%d : chunk %llu piece %d failed its hash check, "
                   "fetched again",
                   t ? t->cid : 0, t ? (unsigned long long)t->number : 0ULL,
                   static_cast<int>(h->piece_index));
        swarm_cid_status *s = t ? status_of(t->cid, true) : nullptr;
        if (s) s->hash_failures++;
    } else if (auto *b = lt::alert_cast<lt::peer_ban_alert>(a)) {
        log_printf(FETCH, SEV_W, "swarm: banned peer %s (it sent data that failed the hash check)",
                   b->endpoint.address().to_string().c_str());
    } else if (auto *e = lt::alert_cast<lt::listen_failed_alert>(a)) {
        log_printf(FETCH, SEV_E, "swarm: listen on %s : %s", e->address.to_string().c_str(),
                   e->error.message().c_str());
    } else if (auto *s = lt::alert_cast<lt::listen_succeeded_alert>(a)) {
        log_printf(FETCH, SEV_I, "swarm: listening on %s:%d", s->address.to_string().c_str(),
                   s->port);
    }
}

// A live chunk that has not yet left the broadcaster while viewers have waited for it
// a second (its viewer is slow or gone, or peers hold the slots and take nothing) is
// sent to twice as many viewers at once, again each second until it has left, and
// past LIVE_SLOTS_MAX to every viewer that asks.
void widen_slots(swarm_torrent *t, int64_t now) {
    if (t->slots <= 0) return;
    lt::torrent_status st = t->h.status(lt::status_flags_t{});
    if (st.total_payload_upload >= int64_t(t->size)) {
        t->slots = -1; // it has left: the viewers have it from each other
        return;
    }
    std::vector<lt::peer_info> peers;
    t->h.get_peer_info(peers);
    bool waiting = false;
    for (const lt::peer_info &p : peers)
        waiting |=
            (p.flags & lt::peer_info::remote_interested) && (p.flags & lt::peer_info::choked);
    if (!waiting || !t->waiting_ms) {
        t->waiting_ms = waiting ? now : 0;
        return;
    }
    if (now - t->waiting_ms < 1000) return;
    t->waiting_ms = now;
    t->slots = t->slots * 2 > LIVE_SLOTS_MAX ? -1 : t->slots * 2;
    t->h.set_max_uploads(t->slots);
    if (g_trace)
        log_printf(FETCH, SEV_I,
                   "swarm: CID=%d : chunk %llu has not left while viewers wait: sent to %d at once",
                   t->cid, (unsigned long long)t->number, t->slots);
}

// Torrents whose chunk file is gone stop (a viewer's staging copy goes with it);
// finished ones the alert did not reach are written; stuck ones are given up.
void check_torrents() {
    std::vector<lt::torrent_handle> drop, drop_files;
    {
        std::lock_guard<std::mutex> l(g_sw.lock);
        const int64_t now = now_ms();
        for (swarm_torrent &t : g_sw.torrents) {
            if (!t.used || t.reading) continue;
            if (!t.viewer) widen_slots(&t, now);
            if (t.written) {
                if (file_there(t.path)) continue;
            } else if (t.write_tries < WRITE_TRIES &&
                       t.h.status(lt::status_flags_t{}).is_finished) {
                start_write(&t);
                continue;
            } else if (now - t.added_ms < STUCK_MS && t.write_tries < WRITE_TRIES) {
                continue;
            }
            (t.viewer ? drop_files : drop).push_back(t.h);
            t.used = false;
        }
    }
    for (auto &h : drop)
        g_sw.ses->remove_torrent(h);
    for (auto &h : drop_files)
        g_sw.ses->remove_torrent(h, lt::session::delete_files);
}

// Per CID: peers, rates, share from peers and the newest chunk, for the status page.
void write_status() {
    std::lock_guard<std::mutex> l(g_sw.lock);
    for (swarm_cid_status &s : g_sw.status) {
        s.peers = 0;
        s.down_rate = 0;
        s.up_rate = 0;
    }
    for (swarm_torrent &t : g_sw.torrents) {
        if (!t.used) continue;
        lt::torrent_status st = t.h.status(lt::status_flags_t{});
        swarm_cid_status *s = status_of(t.cid, t.viewer);
        if (!s) continue;
        if (st.num_peers > s->peers) s->peers = st.num_peers;
        s->down_rate += st.download_payload_rate;
        s->up_rate += st.upload_payload_rate;
    }
    swarm_status_write(g_sw.status, SWARM_STATUS_MAX);
}

// Movies still coming follow where their streamers read.
void follow_movies() {
    std::lock_guard<std::mutex> l(g_sw.lock);
    for (swarm_torrent &t : g_sw.torrents)
        if (t.used && t.viewer && t.movie && !t.written)
            movie_follow(t.h, t.cid, t.size, t.pieces, t.piece_len, &t.readers, os_tick_ms());
}

void engine_loop() {
    int64_t checked = now_ms(), followed = now_ms();
    std::vector<lt::alert *> alerts;
    while (!g_sw.stop) {
        g_sw.ses->wait_for_alert(std::chrono::milliseconds(100));
        g_sw.ses->pop_alerts(&alerts);
        for (lt::alert *a : alerts)
            on_alert(a);
        for (;;) {
            pending_chunk p;
            {
                std::lock_guard<std::mutex> l(g_sw.lock);
                if (g_sw.pending_count == 0) break;
                p = g_sw.pending[0];
                memmove(&g_sw.pending[0], &g_sw.pending[1],
                        sizeof p * size_t(--g_sw.pending_count));
            }
            publish(p);
        }
        if (now_ms() - followed >= MOVIE_FOLLOW_MS) {
            followed = now_ms();
            follow_movies();
        }
        if (now_ms() - checked >= CHECK_MS) {
            checked = now_ms();
            check_torrents();
            write_status();
        }
    }
}

// The tray's limits (bytes per second, peers; 0 is none), read at start: the tray
// restarts the service after changing them. True when a rate is limited.
bool read_limits(lt::settings_pack *p) {
    bool rate = false;
    reg_key key;
    if (!reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", false, &key)) return false;
    const char *names[3] = {"uprate", "downrate", "maxpeers"};
    const int settings[3] = {lt::settings_pack::upload_rate_limit,
                             lt::settings_pack::download_rate_limit,
                             lt::settings_pack::connections_limit};
    for (int i = 0; i < 3; i++) {
        int32_t v = 0;
        uint32_t size = sizeof v;
        reg_type type = REG_T_NONE;
        if (!reg_query(&key, names[i], &type, &v, &size) || type != REG_T_DWORD || v <= 0) continue;
        p->set_int(settings[i], v);
        if (i < 2) rate = true;
        log_printf(FETCH, SEV_I, "swarm: %s = %d", names[i], v);
    }
    reg_close(&key);
    return rate;
}

// libtorrent keeps peers on local networks (127/8, 10/8, 192.168/16, ...) in a class
// of their own that the session's rate limits do not reach; the tray's limits are
// for every peer, so every address is put in the limited (global) class as well.
void limit_every_peer() {
    lt::ip_filter f = g_sw.ses->get_peer_class_filter();
    const uint32_t global = 1u << static_cast<uint32_t>(lt::session::global_peer_class_id);
    auto ranges = f.export_filter();
    for (const auto &r : std::get<0>(ranges))
        f.add_rule(lt::address(r.first), lt::address(r.last), r.flags | global);
    for (const auto &r : std::get<1>(ranges))
        f.add_rule(lt::address(r.first), lt::address(r.last), r.flags | global);
    g_sw.ses->set_peer_class_filter(f);
}

// The broadcaster's -movie files (CID:PATH;...) are published as they are, one
// torrent each, listed as chunk 0 of the movie's CID.
void queue_movies() {
    const option_text &m = g_fetcher.movie;
    const char *p = m.text, *end = m.text + m.len;
    while (p < end && g_sw.pending_count < MAX_PENDING) {
        const char *semi = static_cast<const char *>(memchr(p, ';', size_t(end - p)));
        const char *stop = semi ? semi : end;
        char *colon = nullptr;
        long cid = strtol(p, &colon, 10);
        if (colon && colon > p && colon < stop && *colon == ':') {
            pending_chunk &q = g_sw.pending[g_sw.pending_count];
            memset(&q, 0, sizeof q);
            snprintf(q.source, sizeof q.source, "%.*s", int(stop - colon - 1), colon + 1);
            os_file f;
            if (file_open_read(q.source, &f)) {
                if (file_size(&f, &q.size) && q.size > 0) {
                    q.cid = int32_t(cid);
                    g_sw.pending_count++;
                }
                file_close(&f);
            }
        }
        p = stop + (semi ? 1 : 0);
    }
}

// A movie's .torrent beside the fetcher (swarm:file:PATH), taken as the broadcaster's
// word: its peers come from its tracker.
bool view_torrent_file(int32_t cid, const char *path) {
    static feed_chunk c; // the pipe thread only
    os_file f;
    long n = -1;
    if (file_open_read(path, &f)) {
        n = file_read(&f, c.torrent, sizeof c.torrent);
        file_close(&f);
    }
    lt::error_code ec;
    lt::torrent_info ti(
        lt::span<const char>(reinterpret_cast<const char *>(c.torrent), n > 0 ? n : 0), ec,
        lt::from_span);
    if (n <= 0 || size_t(n) == sizeof c.torrent || ec) {
        log_printf(FETCH, SEV_E, "swarm: CID=%d : '%s' is not a torrent file", cid, path);
        return false;
    }
    c.number = 0;
    c.duration_ms = 0;
    c.size = uint64_t(ti.total_size());
    c.torrent_len = size_t(n);
    memcpy(c.info_hash, ti.info_hashes().v1.data(), 20);
    add_viewed(cid, c, "");
    return true;
}

// A movie's magnet link (swarm:magnet:?xt=urn:btih:...): libtorrent fetches the
// torrent itself from the peers that its trackers (tr=) and peer addresses (x.pe=)
// name, and from the DHT when -swarm_discovery=1; the movie file is made when it has
// come (on_metadata). The info-hash is the only word taken: every piece is checked
// against the torrent it names.
bool view_magnet(int32_t cid, const char *uri) {
    lt::add_torrent_params atp;
    char why[160];
    if (!movie_magnet(cid, uri, g_sw.staging, &atp, why, sizeof why))
        return log_printf(FETCH, SEV_E, "swarm: CID=%d : magnet link refused: %s", cid, why) & 0;
    const lt::sha1_hash ih = atp.info_hashes.v1;
    std::lock_guard<std::mutex> l(g_sw.lock);
    for (const swarm_torrent &t : g_sw.torrents)
        if (t.used && t.viewer && t.cid == cid && memcmp(t.info_hash, ih.data(), 20) == 0)
            return true; // a start message again: it is being fetched
    swarm_torrent *t = free_torrent();
    if (!t) return log_printf(FETCH, SEV_E, "swarm: CID=%d : no room for the magnet link", cid) & 0;
    memset(static_cast<void *>(t), 0, sizeof *t);
    t->used = true;
    t->viewer = true;
    t->cid = cid;
    t->movie = true;
    t->reading = true; // kept until the movie is whole (pieces 0: no torrent yet)
    t->out.handle = -1;
    t->added_ms = now_ms();
    memcpy(t->info_hash, ih.data(), 20);
    lt::error_code ec;
    t->h = g_sw.ses->add_torrent(std::move(atp), ec);
    if (ec) {
        t->used = false;
        return log_printf(FETCH, SEV_E, "swarm: CID=%d : adding the magnet link : %s", cid,
                          ec.message().c_str()) &
               0;
    }
    log_printf(FETCH, SEV_I, "swarm: CID=%d : magnet link added, its torrent asked of the peers",
               cid);
    return true;
}

// A magnet link's torrent has come: it must be one movie file; the movie file is made
// at its final size and fetched as a movie from a feed is.
void on_metadata(swarm_torrent *t) {
    std::shared_ptr<const lt::torrent_info> ti = t->h.torrent_file();
    char path[OS_PATH_MAX + 32];
    os_file out{-1};
    uint64_t have = 0;
    const char *why = nullptr;
    if (!ti || ti->num_files() != 1 || ti->total_size() <= 0 ||
        !movie_path(t->cid, ti->files().file_path(lt::file_index_t(0)).c_str(), path, sizeof path))
        why = "it is not one movie file with an extension";
    else if (!file_open_write(path, &out, FILE_NO_LINKS))
        why = "the movie file cannot be opened";
    else if (file_size(&out, &have) && have == uint64_t(ti->total_size()))
        why = "the movie is held already";
    if (why) {
        log_printf(FETCH, SEV_W, "swarm: CID=%d : magnet link's torrent dropped: %s", t->cid, why);
        file_close(&out);
        g_sw.ses->remove_torrent(t->h, lt::session::delete_files);
        t->used = false;
        return;
    }
    file_set_size(&out, uint64_t(ti->total_size()));
    t->out = out;
    t->size = uint64_t(ti->total_size());
    t->pieces = ti->num_pieces();
    t->piece_len = ti->piece_length();
    snprintf(t->path, sizeof t->path, "%s", path);
    movie_ends_first(t->h, t->pieces);
    log_printf(FETCH, SEV_I, "swarm: CID=%d : magnet link's torrent came: '%s', %llu octets",
               t->cid, path, (unsigned long long)t->size);
}

} // namespace

bool swarm_configured() {
    return g_sw.on;
}

bool swarm_start() {
    const fetcher_state &g = g_fetcher;
    if (!g.swarm_listen.len) return true;
    char ip[64];
    const char *colon = strrchr(g.swarm_listen.text, ':');
    uint32_t addr = 0;
    uint16_t port = 0;
    if (!colon || !parse_addr_port(g.swarm_listen.text, g.swarm_listen.len, &addr, &port))
        return log_printf(FETCH, SEV_E, "swarm: -swarm_listen='%s' is not A.B.C.D:PORT",
                          text_of(g.swarm_listen)) &
               0;
    snprintf(ip, sizeof ip, "%.*s", int(colon - g.swarm_listen.text), g.swarm_listen.text);
    snprintf(g_sw.peer, sizeof g_sw.peer, "%.*s", 60, g.swarm_listen.text);
    snprintf(g_sw.staging, sizeof g_sw.staging, "%.*s-swarm", 200, g.dir.text);
    if (dir_make_private(g_sw.staging) != DIR_PRIVATE_OK)
        return log_printf(FETCH, SEV_E, "swarm: staging folder '%s' : %d", g_sw.staging,
                          os_error()) &
               0;
    dir_delete_matching(g_sw.staging, "*---*.dat", nullptr); // copies of an earlier run

    lt::settings_pack p;
    // Nothing beyond the configured tracker and peers unless asked for.
    const bool open = g.swarm_discovery != 0;
    p.set_bool(lt::settings_pack::enable_dht, open);
    p.set_bool(lt::settings_pack::enable_lsd, open);
    p.set_bool(lt::settings_pack::enable_upnp, open);
    p.set_bool(lt::settings_pack::enable_natpmp, open);
    p.set_str(lt::settings_pack::listen_interfaces, g.swarm_listen.text);
    p.set_str(lt::settings_pack::outgoing_interfaces, ip);
    p.set_str(lt::settings_pack::user_agent, "KVT-Fetcher/1.0");
    p.set_bool(lt::settings_pack::enable_incoming_utp, false);
    p.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    p.set_int(lt::settings_pack::alert_mask,
              lt::alert_category::error | lt::alert_category::status | lt::alert_category::peer |
                  lt::alert_category::storage | lt::alert_category::block_progress |
                  lt::alert_category::piece_progress |
                  (g.swarm_feed.len ? lt::alert_category::upload : lt::alert_category_t{}));
    // Live chunks are small and short-lived: connect at once, every peer unchoked,
    // a silent or lying peer given up on within seconds.
    p.set_bool(lt::settings_pack::smooth_connects, false);
    p.set_int(lt::settings_pack::connection_speed, 200);
    p.set_int(lt::settings_pack::peer_connect_timeout, 3);
    // Every peer may be unchoked (a broadcaster's chunk: live_slots()); a finite number,
    // since with "unlimited" libtorrent skips its choking rounds altogether.
    p.set_int(lt::settings_pack::unchoke_slots_limit, 1000);
    // Optimistic unchokes bypass a torrent's slots; with unlimited slots libtorrent would
    // take a fifth of "unlimited" for them, every choked peer every 30 s.
    p.set_int(lt::settings_pack::num_optimistic_unchoke_slots, 1);
    // Nor may a choked peer take its "allowed fast" pieces from the broadcaster: five of
    // a chunk's thirty for every viewer.
    p.set_int(lt::settings_pack::allowed_fast_set_size, 0);
    // A chunk's slots widened (widen_slots) are filled at the next choking round.
    p.set_int(lt::settings_pack::unchoke_interval, 1);
    p.set_int(lt::settings_pack::request_timeout, 3);
    p.set_int(lt::settings_pack::piece_timeout, 3);
    p.set_int(lt::settings_pack::tick_interval, 100);
    p.set_int(lt::settings_pack::stop_tracker_timeout, 1);
    p.set_int(lt::settings_pack::active_limit, -1);
    p.set_int(lt::settings_pack::active_seeds, -1);
    p.set_int(lt::settings_pack::active_downloads, -1);
    p.set_int(lt::settings_pack::connections_limit, 200);
    const bool limited = read_limits(&p);
    try {
        g_sw.ses = new lt::session(lt::session_params(p));
    } catch (const std::exception &x) {
        return log_printf(FETCH, SEV_E, "swarm: session : %s", x.what()) & 0;
    }
    // libtorrent unchokes peers on a LAN or loopback outside every upload slot limit;
    // here they count as any other, so that a chunk's slots at the broadcaster hold.
    lt::peer_class_info local = g_sw.ses->get_peer_class(lt::session::local_peer_class_id);
    local.ignore_unchoke_slots = false;
    g_sw.ses->set_peer_class(lt::session::local_peer_class_id, local);
    if (limited) limit_every_peer();
    g_sw.broadcasting = g.swarm_feed.len != 0;
    if (g_sw.broadcasting) {
        if (!load_key()) return false;
        if (!feed_serve_open(g.swarm_feed.text, &g_sw.listener))
            return log_printf(FETCH, SEV_E, "swarm: feed on '%s' : %d", g.swarm_feed.text,
                              os_error()) &
                   0;
        g_sw.server = std::thread(feed_serve_loop, g_sw.listener, feed_of, &g_sw.stop);
        log_printf(FETCH, SEV_I, "swarm: serving feeds on http://%s/CID", g.swarm_feed.text);
    }
    if (g_sw.broadcasting) queue_movies();
    g_sw.on = true;
    g_sw.engine = std::thread(engine_loop);
    log_printf(FETCH, SEV_I, "swarm: on %s (DHT, local discovery, UPnP, NAT-PMP %s), staging '%s'",
               g.swarm_listen.text, open ? "on" : "off", g_sw.staging);
    return true;
}

void swarm_stop() {
    if (!g_sw.on) return;
    for (view_channel &v : g_sw.views) {
        v.stop = true;
        if (v.poller.joinable()) v.poller.join();
    }
    g_sw.stop = true;
    if (g_sw.engine.joinable()) g_sw.engine.join();
    if (g_sw.server.joinable()) g_sw.server.join();
    for (swarm_torrent &t : g_sw.torrents)
        if (t.used && t.reading) file_close(&t.out);
    delete g_sw.ses;
    g_sw.ses = nullptr;
    g_sw.on = false;
}

void swarm_chunk_complete(int32_t cid, uint64_t number, uint64_t size, int32_t duration_ms) {
    if (!g_sw.on || !g_sw.broadcasting) return;
    std::lock_guard<std::mutex> l(g_sw.lock);
    if (g_sw.pending_count == MAX_PENDING) return;
    pending_chunk &q = g_sw.pending[g_sw.pending_count++];
    q.cid = cid;
    q.number = number;
    q.size = size;
    q.duration_ms = duration_ms;
    q.source[0] = 0;
}

bool swarm_view_start(int32_t cid, const char *feed_url, const char *key_hex) {
    if (!g_sw.on) {
        log_printf(FETCH, SEV_E, "CID=%d : a swarm: source, but no swarm (-swarm_listen)", cid);
        return false;
    }
    if (strncmp(feed_url, "file:", 5) == 0) return view_torrent_file(cid, feed_url + 5);
    if (strncmp(feed_url, "magnet:", 7) == 0) return view_magnet(cid, feed_url);
    view_channel *v = nullptr;
    for (view_channel &x : g_sw.views)
        if (!x.used && !v) v = &x;
    if (!v) return false;
    if (!hex_decode(key_hex, strlen(key_hex), v->pub, FEED_PUBLIC)) return false;
    if (v->poller.joinable()) v->poller.join();
    v->used = true;
    v->cid = cid;
    v->begun = false;
    v->next = 0;
    v->stop = false;
    snprintf(v->url, sizeof v->url, "%s", feed_url);
    v->poller = std::thread(poll_feed, v);
    return true;
}

void swarm_view_stop(int32_t cid) {
    std::vector<lt::torrent_handle> drop;
    for (view_channel &v : g_sw.views) {
        if (!v.used || v.cid != cid) continue;
        v.stop = true;
        if (v.poller.joinable()) v.poller.join();
        v.used = false;
    }
    {
        // What is not complete yet is not fetched on; what is held is still seeded.
        std::lock_guard<std::mutex> l(g_sw.lock);
        for (swarm_torrent &t : g_sw.torrents)
            if (t.used && t.viewer && t.cid == cid && !t.written && !t.reading) {
                drop.push_back(t.h);
                t.used = false;
            }
    }
    for (auto &h : drop)
        g_sw.ses->remove_torrent(h, lt::session::delete_files);
    log_printf(FETCH, SEV_I, "swarm: CID=%d : fetching stopped", cid);
}
