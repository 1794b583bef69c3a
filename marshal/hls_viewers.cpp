// HLS viewers of the status page. An HLS player is a series of short requests (a
// playlist, its segments, the next playlist), each served by a relay that ends at
// once, so the child table alone shows processes that come and go. The requests of
// one player address and User-Agent word for one CID make one viewer while they keep
// coming: within two target durations of the latest, or while one of its relays
// runs. A fixed table under the table lock, written when a relay starts and ends.
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/os.h"

namespace {

bool same_viewer(const hls_viewer &h, const child_view &v, int32_t cid) {
    return h.used && h.cid == cid && h.addr == v.addr && strcmp(h.agent, v.agent) == 0;
}

hls_viewer *find_watching(const child_view &v, int32_t cid, uint32_t now) {
    for (hls_viewer &h : g_marshal.children.hls_viewers)
        if (same_viewer(h, v, cid) && hls_viewer_watching(h, now)) return &h;
    return nullptr;
}

// A place for a new viewer: a free or gone one, else the one silent the longest
// that has no relay running.
hls_viewer *free_place(uint32_t now) {
    hls_viewer *oldest = nullptr;
    for (hls_viewer &h : g_marshal.children.hls_viewers) {
        if (!h.used || !hls_viewer_watching(h, now)) return &h;
        if (h.running == 0 && (!oldest || int32_t(oldest->last_ms - h.last_ms) > 0)) oldest = &h;
    }
    return oldest;
}

} // namespace

bool hls_viewer_watching(const hls_viewer &h, uint32_t now) {
    return h.used && (h.running > 0 || now - h.last_ms <= h.window_ms);
}

void hls_viewer_request(const child_view &v, int32_t cid, int32_t qi_duration) {
    const uint32_t now = os_tick_ms();
    hls_viewer *h = find_watching(v, cid, now);
    if (!h) {
        h = free_place(now);
        if (!h) return; // every place is a viewer with a relay running: no row
        h->used = true;
        h->cid = cid;
        h->addr = v.addr;
        h->running = 0;
        h->segments = 0;
        h->started_s = v.started_s;
        snprintf(h->agent, sizeof h->agent, "%s", v.agent);
        char dotted[16];
        net_format_ipv4(v.addr, dotted);
        if (v.agent[0])
            snprintf(h->viewer, sizeof h->viewer, "%s %.110s", dotted, v.agent);
        else
            snprintf(h->viewer, sizeof h->viewer, "%s", dotted);
    }
    h->running++;
    h->last_ms = now;
    h->window_ms = 2 * hls_hold_ms(qi_duration);
}

void hls_viewer_relay_ended(const child_view &v, int32_t cid) {
    if (v.kind != 5) return;
    for (hls_viewer &h : g_marshal.children.hls_viewers)
        if (same_viewer(h, v, cid) && h.running > 0) {
            h.running--;
            h.last_ms = os_tick_ms();
            if (v.segment) h.segments++;
            return;
        }
}
