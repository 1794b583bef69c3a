// A swarm movie's fetching order from where its streamers read, and magnet links:
// see movie.h.
#include "fetcher/swarm/movie.h"

#include <libtorrent/download_priority.hpp>
#include <libtorrent/magnet_uri.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fetcher/fetcher.h"
#include "utils/read_position.h"

void movie_follow(const lt::torrent_handle &h, int32_t cid, uint64_t size, int pieces,
                  int piece_len, movie_readers *m, uint32_t now_ms) {
    if (pieces <= 0 || piece_len <= 0) return;
    uint64_t at[MOVIE_READERS];
    const int n = read_pos_fresh(cid, size, now_ms, at, MOVIE_READERS);
    // Each reader's piece, in order, each once.
    int piece[MOVIE_READERS], count = 0;
    for (int i = 0; i < n; i++) {
        const int p = int(std::min<uint64_t>(at[i] / uint64_t(piece_len), uint64_t(pieces - 1)));
        int k = count;
        while (k > 0 && piece[k - 1] > p)
            k--;
        if (k > 0 && piece[k - 1] == p) continue;
        std::copy_backward(piece + k, piece + count, piece + count + 1);
        piece[k] = p;
        count++;
    }
    if (count == m->count && std::equal(piece, piece + count, m->piece)) return;
    m->count = count;
    std::copy(piece, piece + count, m->piece);
    static std::vector<lt::download_priority_t> order; // the engine's thread only
    order.assign(size_t(pieces), count ? lt::low_priority : lt::default_priority);
    if (count) std::fill(order.begin() + piece[0], order.end(), lt::top_priority);
    for (int i = 0; i < pieces && i < 4; i++)
        order[size_t(i)] = lt::top_priority;
    for (int i = std::max(4, pieces - 2); i < pieces; i++)
        order[size_t(i)] = lt::top_priority;
    h.clear_piece_deadlines();
    h.prioritize_pieces(order);
    movie_ends_first(h, pieces); // pieces held already are passed over
    const int window = std::max(2, int(MOVIE_WINDOW / piece_len));
    for (int i = 0; i < count; i++)
        for (int k = 0; k < window && piece[i] + k < pieces; k++)
            h.set_piece_deadline(lt::piece_index_t(piece[i] + k), k * MOVIE_STEP_MS);
    if (g_trace)
        log_printf(FETCH, SEV_I, "swarm: CID=%d : %d reader(s), the first at piece %d of %d", cid,
                   count, count ? piece[0] : -1, pieces);
}

bool movie_path(int32_t cid, const char *name, char *out, size_t cap) {
    const char *dot = strrchr(name, '.');
    const size_t ext = dot ? strlen(dot) : 0;
    if (ext < 2 || ext > 8) return false;
    for (const char *c = dot + 1; *c; c++)
        if (!isalnum((unsigned char)*c)) return false;
    const fetcher_state &g = g_fetcher;
    snprintf(out, cap, "%.*s" OS_PATH_SEP "%d%s", int(g.dir.len), g.dir.text, cid, dot);
    return true;
}

void movie_ends_first(const lt::torrent_handle &h, int pieces) {
    for (int i = 0; i < pieces && i < 4; i++)
        h.set_piece_deadline(lt::piece_index_t(i), 0);
    for (int i = std::max(4, pieces - 2); i < pieces; i++)
        h.set_piece_deadline(lt::piece_index_t(i), 0);
}

bool movie_magnet(int32_t cid, const char *uri, const char *folder, lt::add_torrent_params *atp,
                  char *why, size_t cap) {
    lt::error_code ec;
    lt::parse_magnet_uri(uri, *atp, ec);
    if (ec) {
        snprintf(why, cap, "%s", ec.message().c_str());
        return false;
    }
    if (!atp->info_hashes.has_v1()) {
        snprintf(why, cap, "it names no BitTorrent v1 info-hash (xt=urn:btih:)");
        return false;
    }
    if (atp->trackers.empty() && atp->peers.empty() && !g_fetcher.swarm_discovery)
        log_printf(FETCH, SEV_W,
                   "swarm: CID=%d : the magnet link names no tracker (tr=) nor peer (x.pe=), "
                   "and the DHT is off: no peer can be found",
                   cid);
    atp->save_path = folder;
    atp->flags |= lt::torrent_flags::sequential_download;
    return true;
}
