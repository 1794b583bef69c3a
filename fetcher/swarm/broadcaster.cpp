// The swarm's broadcaster: its key, the feed it serves, a torrent made and seeded for
// every complete chunk (and -movie file), and the upload slots that send each live
// chunk out about once.
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "fetcher/cache_writer.h"
#include "fetcher/fetcher.h"
#include "fetcher/swarm/engine_state.h"
#include "fetcher/swarm/swarm.h"
#include "platform/crypto.h"

namespace swarm_engine {

namespace {

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

} // namespace

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

} // namespace swarm_engine

using namespace swarm_engine;

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
