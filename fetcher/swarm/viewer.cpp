// The swarm's viewer: the broadcaster's feed read and checked, its chunks added to
// the session, and each one written into the cache once all its pieces are verified;
// a movie (from a feed, a .torrent file or a magnet link) written piece by piece.
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/address.hpp>
#include <libtorrent/torrent_info.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fetcher/cache_writer.h"
#include "fetcher/fetcher.h"
#include "fetcher/swarm/engine_state.h"
#include "fetcher/swarm/feed_http.h"
#include "fetcher/swarm/swarm.h"
#include "platform/crypto.h"

namespace swarm_engine {

namespace {

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

} // namespace

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

} // namespace swarm_engine

using namespace swarm_engine;

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
