// Sync search, packet split and the continuity filter of live sources.
#include "fetcher/sources/ts_input.h"

#include <cstring>

#include "fetcher/ts_stamps.h"

namespace {

const int64_t PCR_HZ = 27000000;
const int64_t JUMP_SLACK = PCR_HZ; // a PCR this much later than the wall clock allows
const int64_t STEP_DEFAULT = PCR_HZ / 25;
const int64_t STEP_MAX = PCR_HZ / 10;

bool run_at(const uint8_t *p, size_t at, int need) {
    for (int k = 0; k < need; k++)
        if (p[at + size_t(k) * ts::PACKET] != ts::SYNC) return false;
    return true;
}

} // namespace

long ts_sync_find(const uint8_t *p, size_t n) {
    for (size_t at = 0; at + ts::PACKET <= n; at++) {
        if (p[at] != ts::SYNC) continue;
        size_t whole = (n - at) / ts::PACKET; // packets from at on
        int need = whole >= TS_SYNC_RUN ? TS_SYNC_RUN : int(whole);
        if (need < 2) return -1;
        if (run_at(p, at, need)) return long(at);
    }
    return -1;
}

void ts_split_reset(ts_splitter *s) {
    s->carried = 0;
    s->synced = false;
    s->skipped = 0;
    s->unsynced = 0;
    s->lost_syncs = 0;
}

size_t ts_split(ts_splitter *s, const uint8_t *in, size_t n, uint8_t *out, size_t cap) {
    // The carry and the new octets side by side in out, then the packets moved to the
    // front of out as they are found (never ahead of where they are read).
    if (cap < s->carried + n) n = cap - s->carried;
    memcpy(out, s->carry, s->carried);
    memcpy(out + s->carried, in, n);
    const size_t len = s->carried + n;
    size_t r = 0, w = 0;
    for (;;) {
        if (!s->synced) {
            size_t i = r;
            while (i + TS_SPLIT_CARRY <= len &&
                   !(out[i] == ts::SYNC && run_at(out, i, TS_SYNC_RUN)))
                i++;
            if (i + TS_SPLIT_CARRY > len) {
                // A sync position may still start in the last octets: kept for the next call.
                size_t keep = len - r < TS_SPLIT_CARRY - 1 ? len - r : TS_SPLIT_CARRY - 1;
                s->skipped += len - r - keep;
                s->unsynced += len - r - keep;
                memcpy(s->carry, out + len - keep, keep);
                s->carried = keep;
                return w;
            }
            s->skipped += i - r;
            s->unsynced = 0;
            r = i;
            s->synced = true;
        }
        while (r + ts::PACKET <= len && out[r] == ts::SYNC) {
            memmove(out + w, out + r, ts::PACKET);
            w += ts::PACKET;
            r += ts::PACKET;
        }
        if (r + ts::PACKET <= len) { // a packet without its sync octet
            s->synced = false;
            s->lost_syncs++;
            continue;
        }
        memcpy(s->carry, out + r, len - r);
        s->carried = len - r;
        return w;
    }
}

namespace {

// a - b on the 27 MHz circle, as a signed distance.
int64_t pcr_ahead(int64_t a, int64_t b) {
    int64_t d = ts::wrap(a - b, ts::PCR_MOD);
    return d > ts::PCR_MOD / 2 ? d - ts::PCR_MOD : d;
}

// The offset (a whole number of 90 kHz ticks) that puts at where target is.
int64_t offset_to(int64_t target, int64_t at) {
    int64_t o = ts::wrap(target - at, ts::PCR_MOD);
    return o - o % 300;
}

// Whether a clock value x (offset applied) may follow the last PCR after the time
// that has passed since it: not backwards, not further ahead than the wall clock.
bool follows(const ts_continuity *c, int64_t x, int64_t now_ms) {
    int64_t d = pcr_ahead(x, c->last_pcr);
    int64_t passed = now_ms - c->last_pcr_ms;
    if (passed < 0) passed = 0;
    return d >= -JUMP_SLACK / 4 && d <= passed * (PCR_HZ / 1000) + JUMP_SLACK;
}

void shift_stamp(uint8_t *at, int64_t ticks) {
    ts::write_stamp(at, ts::wrap(ts::read_stamp(at) + ticks, ts::PTS_MOD));
}

} // namespace

void ts_continuity_reset(ts_continuity *c) {
    memset(c, 0, sizeof *c);
    c->last_pcr = -1;
    c->pcr_step = STEP_DEFAULT;
}

void ts_continuity_restart(ts_continuity *c) {
    c->resync = c->last_pcr >= 0;
    for (uint8_t &s : c->cc_state)
        if (s == 1) s = 2;
}

void ts_continuity_apply(ts_continuity *c, uint8_t *p, size_t n, int64_t now_ms) {
    for (size_t at = 0; at + ts::PACKET <= n; at += ts::PACKET) {
        uint8_t *t = p + at;
        if (t[0] != ts::SYNC) continue;
        const int pid = ts::pid_of(t);
        if (pid == ts::NULL_PID) continue;
        if (t[3] & 0x10) { // the counter moves on packets with payload only
            const int cc = t[3] & 15;
            if (c->cc_state[pid] == 2) c->cc_shift[pid] = uint8_t((c->last_cc[pid] + 1 - cc) & 15);
            c->cc_state[pid] = 1;
            const uint8_t out = uint8_t((cc + c->cc_shift[pid]) & 15);
            t[3] = uint8_t((t[3] & 0xF0) | out);
            c->last_cc[pid] = out;
        }
        if (ts::has_pcr(t)) {
            const int64_t pcr = ts::read_pcr(t);
            int64_t x = ts::wrap(pcr + c->offset, ts::PCR_MOD);
            if (c->last_pcr >= 0 && !follows(c, x, now_ms)) {
                // The source restarted or jumped: its clock carries on one step later.
                c->offset = offset_to(c->last_pcr + c->pcr_step, pcr);
                c->jumps++;
                x = ts::wrap(pcr + c->offset, ts::PCR_MOD);
            }
            c->resync = false;
            if (c->offset) ts::write_pcr(t, x);
            if (c->last_pcr >= 0) {
                int64_t step = pcr_ahead(x, c->last_pcr);
                if (step > 0 && step <= STEP_MAX) c->pcr_step = step;
            }
            c->last_pcr = x;
            c->last_pcr_ms = now_ms;
        }
        int pts_at, dts_at;
        if (!ts::pes_stamps(t, &pts_at, &dts_at)) continue;
        const int64_t v = ts::read_stamp(t + (dts_at ? dts_at : pts_at)) * 300;
        if (c->resync) {
            // A timestamp before the first PCR of a new connection: judged by where it
            // stood against the PCR before.
            int64_t x = ts::wrap(v + c->offset - c->lead, ts::PCR_MOD);
            if (!follows(c, x, now_ms)) {
                c->offset = offset_to(c->last_pcr + c->pcr_step + c->lead, v);
                c->jumps++;
            }
            c->resync = false;
        }
        if (c->offset) {
            shift_stamp(t + pts_at, c->offset / 300);
            if (dts_at) shift_stamp(t + dts_at, c->offset / 300);
        }
        if (c->last_pcr >= 0) {
            int64_t lead = pcr_ahead(ts::wrap(v + c->offset, ts::PCR_MOD), c->last_pcr);
            if (lead >= 0 && lead <= 10 * PCR_HZ) c->lead = lead;
        }
    }
}
