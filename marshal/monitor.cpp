// The monitor thread: waits on every child at once (all 512 slots in one wait),
// restarts the fetcher when it ends and sends the stop message when the last
// streamer of a CID has ended.
#include <cstring>

#include "marshal.h"
#include "platform/os.h"

namespace {

enum { WAIT_SLICE_MS = 2000, RESTART_TRIES = 13, RESTART_SPACING_MS = 1000 };

// Slot 0 ended: restart the fetcher (up to 13 tries) and announce the stored
// streamers to the new one. Called with the table lock held; false when the
// supervisor must stop.
bool restart_fetcher(int *restarts) {
    marshal_state &g = g_marshal;
    child_table &t = g.children;
    log_printf(MRSHL, SEV_E, "KVT-Fetcher (PID=%d)  has stopped, trying to restart...",
               g.fetcher_pid);
    bool started = false;
    {
        std::lock_guard<std::mutex> pipe(g.pipe_lock);
        g.fetcher_pid = 0;
        msgpipe_close(&g.fetcher_pipe);
        proc_close(&t.procs[0]);
        ++*restarts;
        // A supervisor that is stopping starts no new fetcher; looking before every
        // attempt keeps its shutdown, which waits for this lock, to one attempt at most.
        while (*restarts <= RESTART_TRIES && g.stop_status == 0) {
            if (start_fetcher_process() & 1) {
                *restarts = 0;
                started = true;
                g.pages.fetcher_restarts++;
                break;
            }
            log_printf(MRSHL, SEV_E, "Failed to restart KVT-Fetcher, retry in 1 seconds (%d/13)",
                       *restarts);
            if (g.stop_status != 0) break;
            os_sleep_ms(RESTART_SPACING_MS);
            ++*restarts;
        }
    }
    if (!started && g.stop_status != 0) return false; // stopping: its status stands
    if (!started) {
        g.stop_status =
            log_printf(MRSHL, SEV_E, "Failed to restart KVT-Fetcher %d times, aborting...",
                       int(RESTART_TRIES));
        return false;
    }
    // Every stored record is announced again (one message per streamer); the
    // duplicate made for the old fetcher ended with it, so the area stays zero.
    uint32_t count = t.count;
    for (uint32_t j = 1; j < count; j++) {
        const child_record &rec = t.records[j];
        log_printf(MRSHL, SEV_I, "Send 'start downloading' CID=%d (%d bytes)", rec.cid,
                   int(CHILD_RECORD_SIZE));
        std::lock_guard<std::mutex> pipe(g.pipe_lock);
        long w = fetcher_pipe_write(&rec, NET_BAD_SOCK);
        if (w != CHILD_RECORD_SIZE) {
            g.stop_status =
                log_printf(MRSHL, SEV_F, "Writing CID=%d to Named pipe failure (%d bytes) : %d",
                           rec.cid, int(w), os_error());
            break;
        }
    }
    return true;
}

// The ended streamer's QI session goes to a streamer of its CID and player address
// that has none (admitted on it with -qi_reuse); false when there is none.
bool pass_session(const child_record &rec, uint32_t addr) {
    child_table &t = g_marshal.children;
    for (uint32_t j = 1; j < t.count; j++)
        if (t.records[j].cid == rec.cid && t.records[j].qi_sock <= 0 && t.views[j].addr == addr) {
            t.records[j].qi_sock = rec.qi_sock;
            return true;
        }
    return false;
}

// Slot i (a streamer) ended; called with the table lock held.
void streamer_ended(uint32_t i) {
    marshal_state &g = g_marshal;
    child_table &t = g.children;
    log_printf(MRSHL, SEV_I, "KVT-Relay/KVT-Cinema has stopped, PID = %d", t.procs[i].pid);
    child_record rec = t.records[i];
    uint32_t hold_ms = t.hold_ms[i];
    int32_t duration = t.durations[i];
    uint32_t addr = t.views[i].addr;
    hls_viewer_relay_ended(t.views[i], rec.cid);
    proc_close(&t.procs[i]);
    job_prune(&g.job); // its job descriptor goes now, not at the next start
    uint32_t count = t.count - 1;
    if (i < count) {
        t.procs[i] = t.procs[count];
        t.records[i] = t.records[count];
        t.hold_ms[i] = t.hold_ms[count];
        t.durations[i] = t.durations[count];
        t.views[i] = t.views[count];
    }
    t.procs[count] = os_process{};
    t.count = count;
    for (uint32_t j = 1; j < count; j++)
        if (t.records[j].cid == rec.cid) {
            // With -qi_reuse a streamer of the CID may run on this one's session: it
            // takes the session over, so the session stays open while it runs.
            if (g.qi_reuse > 0 && rec.qi_sock > 0 && pass_session(rec, addr)) return;
            // Another streamer serves the CID on a QI session of its own. This one's
            // session is needed by nobody here any more (the fetcher holds its own
            // copy), and no later step would close it.
            if (rec.qi_sock > 0) net_close(rec.qi_sock);
            return;
        }

    stop_or_hold(rec, addr, duration, hold_ms);
}

} // namespace

void child_monitor() {
    marshal_state &g = g_marshal;
    child_table &t = g.children;
    log_printf(MRSHL, SEV_S, "Child processes monitor was started");
    int restarts = 0;
    while (g.stop_status == 0) {
        uint32_t count = t.count;
        int i = proc_wait_any(t.procs, count, held_stops_wait_ms(WAIT_SLICE_MS));
        if (i == PROC_WAIT_FAILED) {
            g.stop_status =
                log_printf(MRSHL, SEV_F, "WaitForMultipleObject() failure : %d", os_error());
            break;
        }
        if (i == PROC_WAIT_TIMEOUT) {
            std::lock_guard<std::mutex> table(g.table_lock);
            held_stops_pass();
            continue;
        }
        MTRACE("child_monitor", "MRSHL: Object's index returned = %d", i);
        if (uint32_t(i) >= t.count) {
            log_printf(MRSHL, SEV_F, "Object's index (%d) is out of maximum (%d)", i,
                       int(t.count.load()));
            continue;
        }
        std::unique_lock<std::mutex> table(g.table_lock);
        if (i == 0) {
            if (!restart_fetcher(&restarts)) break;
        } else {
            streamer_ended(uint32_t(i));
        }
        held_stops_pass();
    }
    {
        std::lock_guard<std::mutex> table(g.table_lock);
        held_stops_flush();
    }
    log_printf(MRSHL, SEV_I, "Child processes monitor was stopped");
}
