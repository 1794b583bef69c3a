// Stop messages for the fetcher: sent when the last streamer of a CID ends, or held
// for the target duration when that streamer served HLS. An HLS player asks for a
// playlist, then for its segment, then for the next playlist, each time through a
// new short-lived streamer; stopping the channel between them would make the fetcher
// start it afresh (and the next playlist log in to QI again) at every step.
#include <cstring>

#include "marshal.h"
#include "platform/os.h"

namespace {

// The relay's own clamp of its -duration (0 gives its default).
int32_t relay_duration(int32_t d) {
    if (d == 0) return 55;
    return d < 7 ? 7 : d > 67 ? 67 : d;
}

bool due(uint32_t now, uint32_t at) {
    return int32_t(now - at) >= 0;
}

void send_stop(child_record rec) {
    marshal_state &g = g_marshal;
    MTRACE("child_monitor", "MRSHL: No Relays served CID=%d", rec.cid);
    if (rec.qi_sock > 0) net_close(rec.qi_sock);
    log_printf(MRSHL, SEV_I, "Send 'stop downloading' CID=%d (%d bytes)", rec.cid,
               int(CHILD_RECORD_SIZE));
    rec.qi_sock = 0;
    rec.command = 0;
    std::lock_guard<std::mutex> pipe(g.pipe_lock);
    long w = fetcher_pipe_write(&rec, NET_BAD_SOCK);
    if (w != CHILD_RECORD_SIZE) {
        int32_t sev =
            log_printf(MRSHL, SEV_F, "Writing CID %d to Named pipe failure (%d bytes) : %d",
                       rec.cid, int(w), os_error());
        // Held stops are also sent while stopping: the status that ended the run stands.
        int32_t none = 0;
        g.stop_status.compare_exchange_strong(none, sev);
    }
}

// A streamer of the CID again: its QI session passes to one of them that has none
// (a sid request), so the session is closed when that one's chain of requests ends.
void cancel_hold(held_stop *h) {
    child_table &t = g_marshal.children;
    log_printf(MRSHL, SEV_I, "'stop downloading' CID=%d cancelled: the CID is served again",
               h->rec.cid);
    h->used = false;
    if (h->rec.qi_sock <= 0) return;
    for (uint32_t j = 1; j < t.count; j++)
        if (t.records[j].cid == h->rec.cid && t.records[j].qi_sock <= 0) {
            t.records[j].qi_sock = h->rec.qi_sock;
            return;
        }
    net_close(h->rec.qi_sock);
}

bool served(int32_t cid) {
    child_table &t = g_marshal.children;
    for (uint32_t j = 1; j < t.count; j++)
        if (t.records[j].cid == cid) return true;
    return false;
}

} // namespace

bool qi_session_reusable(int32_t cid, uint32_t addr, int32_t *duration) {
    child_table &t = g_marshal.children;
    bool open = false, known = false;
    for (uint32_t j = 1; j < t.count; j++)
        if (t.records[j].cid == cid) {
            open = open || t.records[j].qi_sock > 0;
            if (t.views[j].addr == addr && !known) {
                known = true;
                *duration = t.durations[j];
            }
        }
    for (held_stop &h : t.held)
        if (h.used && h.rec.cid == cid) {
            open = open || h.rec.qi_sock > 0;
            if (h.addr == addr && h.rec.qi_sock > 0) {
                // The session lingers on: S seconds from this request, so it is still
                // open when this request's streamer is registered.
                uint32_t at = os_tick_ms() + uint32_t(g_marshal.qi_reuse) * 1000u;
                if (int32_t(at - h.due_ms) > 0) h.due_ms = at;
                if (!known) *duration = h.duration;
                known = true;
            }
        }
    return open && known;
}

uint32_t hls_hold_ms(int32_t qi_duration) {
    return uint32_t(relay_duration(qi_duration) + 2) * 1000u;
}

void stop_or_hold(const child_record &rec, uint32_t addr, int32_t duration, uint32_t hold_ms) {
    const marshal_state &g = g_marshal;
    child_table &t = g_marshal.children;
    const bool linger = g.qi_reuse > 0 && uint32_t(g.qi_reuse) * 1000u > hold_ms;
    if (linger) hold_ms = uint32_t(g.qi_reuse) * 1000u;
    if (hold_ms == 0) {
        send_stop(rec);
        return;
    }
    held_stop *slot = nullptr;
    for (held_stop &h : t.held) {
        if (h.used && h.rec.cid == rec.cid) {
            slot = &h; // one hold per CID: the newer record replaces the older
            break;
        }
        if (!h.used && !slot) slot = &h;
    }
    if (!slot) {
        send_stop(rec); // no room to hold it
        return;
    }
    int32_t keep_sock = rec.qi_sock;
    if (slot->used && slot->rec.qi_sock > 0) {
        if (keep_sock > 0)
            net_close(slot->rec.qi_sock);
        else
            keep_sock = slot->rec.qi_sock;
    }
    slot->rec = rec;
    slot->rec.qi_sock = keep_sock;
    slot->addr = addr;
    slot->duration = duration;
    slot->due_ms = os_tick_ms() + hold_ms;
    slot->used = true;
    log_printf(MRSHL, SEV_I, "Holding 'stop downloading' CID=%d for %u ms (%s)", rec.cid,
               unsigned(hold_ms), linger ? "QI session reuse" : "HLS");
}

void held_stops_pass() {
    const uint32_t now = os_tick_ms();
    for (held_stop &h : g_marshal.children.held) {
        if (!h.used) continue;
        if (served(h.rec.cid)) {
            cancel_hold(&h);
        } else if (due(now, h.due_ms)) {
            h.used = false;
            send_stop(h.rec);
        }
    }
}

unsigned held_stops_wait_ms(unsigned slice_ms) {
    const uint32_t now = os_tick_ms();
    unsigned wait = slice_ms;
    for (const held_stop &h : g_marshal.children.held) {
        if (!h.used) continue;
        if (due(now, h.due_ms)) return 0;
        uint32_t left = h.due_ms - now;
        if (left < wait) wait = left;
    }
    return wait;
}

void held_stops_flush() {
    for (held_stop &h : g_marshal.children.held)
        if (h.used) {
            h.used = false;
            send_stop(h.rec);
        }
}
