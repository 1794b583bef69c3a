// The swarm's engine: the libtorrent session with its settings and the tray's
// limits, its alerts handed to the broadcaster's and the viewer's side, and each
// second the torrents checked and the status page's figures written.
#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_status.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

#include "fetcher/fetcher.h"
#include "fetcher/swarm/engine_state.h"
#include "fetcher/swarm/feed_http.h"
#include "fetcher/swarm/swarm.h"
#include "platform/registry.h"

namespace swarm_engine {

swarm_state g_sw;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

swarm_torrent *free_torrent() {
    for (swarm_torrent &t : g_sw.torrents)
        if (!t.used) return &t;
    return nullptr;
}

swarm_torrent *torrent_of(const lt::torrent_handle &h) {
    for (swarm_torrent &t : g_sw.torrents)
        if (t.used && t.h == h) return &t;
    return nullptr;
}

namespace {

const char *text_of(const option_text &t) {
    return t.text;
}

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

} // namespace

} // namespace swarm_engine

using namespace swarm_engine;

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
