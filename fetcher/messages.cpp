// The CID table: start and stop messages, the QI sessions passed with start
// messages (read PDU by PDU until the stop message closes them), and raw dumps.
#include <cstdio>
#include <cstring>
#include <string>

#include "fetcher.h"
#include "fetcher/swarm/swarm.h"
#include "fetcher/sources/sources_file.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { QI_WAIT_MS = 200, QI_HEADER = 6, QI_BODY_MAX = 4106 };

bool share_present(const fetch_message *m) {
    for (uint8_t b : m->share_info)
        if (b) return true;
    return false;
}

void dump_message(const void *raw, long len) {
    fetcher_state &g = g_fetcher;
    if (g.dump.len == 0) return;
    char path[OS_PATH_MAX + 32];
    snprintf(path, sizeof path, "%.*s" OS_PATH_SEP "msg-%04d.bin", int(g.dump.len), g.dump.text,
             ++g.dump_count);
    os_file f;
    if (!file_open_write(path, &f)) {
        log_printf(FETCH, SEV_E, "Dump '%s' : %d", path, os_error());
        return;
    }
    file_set_size(&f, 0);
    file_write(&f, raw, size_t(len));
    file_close(&f);
}

// Receives exactly n octets, watching the stop flag; false when the session ended.
bool qi_recv_all(net_sock s, uint8_t *buf, size_t n, const std::atomic<bool> *stop) {
    size_t got = 0;
    while (got < n) {
        if (*stop) return false;
        int w = net_wait_readable(s, QI_WAIT_MS);
        if (w < 0) return false;
        if (w == 0) continue;
        long r = net_recv(s, buf + got, n - got);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

void qi_reader(int32_t cid, net_sock s, const std::atomic<bool> *stop) {
    static thread_local uint8_t body[QI_BODY_MAX];
    for (;;) {
        uint8_t h[QI_HEADER];
        if (!qi_recv_all(s, h, sizeof h, stop)) break;
        unsigned len = (unsigned(h[0]) << 8) | h[1];
        uint32_t code =
            (uint32_t(h[2]) << 24) | (uint32_t(h[3]) << 16) | (uint32_t(h[4]) << 8) | h[5];
        if (len > QI_BODY_MAX) {
            log_printf(FETCH, SEV_E, "QI CID=%d : PDU of %u octets is too long", cid, len);
            break;
        }
        if (len && !qi_recv_all(s, body, len, stop)) break;
        log_printf(FETCH, SEV_I, "QI CID=%d : PDU code=%u, %u octets", cid, code, len);
    }
    if (!*stop) log_printf(FETCH, SEV_I, "QI CID=%d : session ended by the server", cid);
}

cid_entry *find_cid(int32_t cid, bool create) {
    fetcher_state &g = g_fetcher;
    cid_entry *free_slot = nullptr;
    for (cid_entry &e : g.cids) {
        if (e.used && e.cid == cid) return &e;
        if (!e.used && !free_slot) free_slot = &e;
    }
    if (!create || !free_slot) return nullptr;
    free_slot->used = true;
    free_slot->cid = cid;
    free_slot->stop = false;
    free_slot->qi_stop = false;
    return free_slot;
}

void start_writer(cid_entry *e) {
    char url[SOURCE_URL_MAX];
    char key[SWARM_KEY_HEX + 1];
    if (swarm_source_of(e->cid, url, sizeof url, key, sizeof key)) {
        e->swarm = swarm_view_start(e->cid, url, key);
        if (e->swarm)
            log_printf(FETCH, SEV_I, "CID=%d : fetched from the swarm of '%s'", e->cid, url);
        return;
    }
    bool network = false;
    if (source_of(e->cid, url, sizeof url, &network) && network) {
        log_printf(FETCH, SEV_I, "CID=%d : written by the receiver of '%s'", e->cid, url);
        return;
    }
    char movie[OS_PATH_MAX];
    if (lookup_source(&g_fetcher.movie, e->cid, false, movie, sizeof movie)) {
        std::string path(movie);
        e->writer = std::thread([e, path] { movie_writer(e, path.c_str()); });
    } else {
        e->writer = std::thread(live_writer, e);
    }
}

void take_qi(cid_entry *e, net_sock s) {
    for (qi_session_slot &q : e->qi) {
        if (q.sock != NET_BAD_SOCK) continue;
        q.sock = s;
        log_printf(FETCH, SEV_I, "QI CID=%d : took over QI socket %d", e->cid, int(s));
        q.reader = std::thread(qi_reader, e->cid, s, &e->qi_stop);
        return;
    }
    log_printf(FETCH, SEV_E, "QI CID=%d : no room for QI socket %d, closed", e->cid, int(s));
    net_close(s);
}

// Ends the CID's writer and QI sessions; the table lock is held.
void stop_cid(cid_entry *e) {
    e->stop = true;
    e->qi_stop = true;
    if (e->writer.joinable()) e->writer.join();
    if (e->swarm) swarm_view_stop(e->cid);
    e->swarm = false;
    for (qi_session_slot &q : e->qi) {
        if (q.sock == NET_BAD_SOCK) continue;
        if (q.reader.joinable()) q.reader.join();
        net_close(q.sock);
        log_printf(FETCH, SEV_I, "QI CID=%d : closed QI socket %d", e->cid, int(q.sock));
        q.sock = NET_BAD_SOCK;
    }
    e->used = false;
}

} // namespace

void handle_message(const fetch_message *m, long len, intptr_t passed_sock) {
    fetcher_state &g = g_fetcher;
    bool share = share_present(m);
    log_printf(FETCH, SEV_I, "Got message: command=%d CID=%d qi_sock=%d list='%.*s' share=%s",
               m->command, m->cid, m->qi_sock, int(m->list_len), m->list, share ? "yes" : "zeros");
    dump_message(m, len);
    if (len != FETCH_MESSAGE_SIZE) {
        log_printf(FETCH, SEV_E, "Message of %ld octets ignored", len);
        if (passed_sock >= 0) net_close(passed_sock);
        return;
    }
    std::lock_guard<std::mutex> lock(g.table_lock);
    if (m->command == 1) {
        cid_entry *e = find_cid(m->cid, true);
        if (!e) {
            log_printf(FETCH, SEV_E, "CID=%d : table full", m->cid);
            if (passed_sock >= 0) net_close(passed_sock);
            return;
        }
        if (!e->writer.joinable() && !e->swarm) {
            log_printf(FETCH, SEV_I, "Start downloading CID=%d", m->cid);
            start_writer(e);
        }
        if (share) {
            net_sock s = net_socket_from_share(m->share_info, passed_sock);
            if (s == NET_BAD_SOCK) {
                log_printf(FETCH, SEV_E, "QI CID=%d : socket from share info : %d", m->cid,
                           os_error());
                if (passed_sock >= 0) net_close(passed_sock); // a record not for it: not kept
            } else
                take_qi(e, s);
        } else if (passed_sock >= 0) {
            net_close(passed_sock);
        }
    } else if (m->command == 0) {
        if (passed_sock >= 0) net_close(passed_sock);
        cid_entry *e = find_cid(m->cid, false);
        if (!e) {
            log_printf(FETCH, SEV_W, "Stop for CID=%d, which is not being fetched", m->cid);
            return;
        }
        log_printf(FETCH, SEV_I, "Stop downloading CID=%d", m->cid);
        stop_cid(e);
    } else {
        log_printf(FETCH, SEV_E, "Unknown command %d for CID=%d", m->command, m->cid);
        if (passed_sock >= 0) net_close(passed_sock);
    }
}

void stop_everything() {
    std::lock_guard<std::mutex> lock(g_fetcher.table_lock);
    for (cid_entry &e : g_fetcher.cids)
        if (e.used) stop_cid(&e);
}
