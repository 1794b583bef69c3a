// What a live source's octets go through before the cache (no library calls here):
// the sync search and packet split that cut a byte stream into whole 188-octet
// packets, and the continuity filter that keeps timestamps and continuity counters
// running on when the source restarts or jumps. A clean source passes both octet
// for octet.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    TS_SYNC_RUN = 5,       // packets in a row that prove a sync position
    TS_SYNC_LIMIT = 65536, // octets without sync before a source is refused
    TS_SPLIT_CARRY = 188 * TS_SYNC_RUN,
};

// Offset of the first position in p where TS_SYNC_RUN sync octets follow 188 apart
// (fewer at the end of the data: as many as it holds, at least 2), or -1.
long ts_sync_find(const uint8_t *p, size_t n);

struct ts_splitter {
    uint8_t carry[TS_SPLIT_CARRY]; // octets kept from the last call
    size_t carried;
    bool synced;
    uint64_t skipped;    // octets dropped while looking for sync, in all
    uint64_t unsynced;   // of them since the sync was last found
    uint64_t lost_syncs; // times the sync was lost after it was found
};
void ts_split_reset(ts_splitter *s);
// Appends n octets of the byte stream and writes the whole packets now known into
// out (cap at least n + TS_SPLIT_CARRY); returns their length. Octets that do not
// belong to a packet are dropped and counted in skipped.
size_t ts_split(ts_splitter *s, const uint8_t *in, size_t n, uint8_t *out, size_t cap);

// Continuity across restarts: per PID the last continuity counter sent and a shift,
// one timestamp offset for the program, and the last PCR sent.
struct ts_continuity {
    int64_t offset;      // 27 MHz, added to every PCR (and /300 to every PTS/DTS)
    int64_t last_pcr;    // last PCR sent (offset applied), -1 before the first
    int64_t last_pcr_ms; // the caller's clock when it was sent
    int64_t pcr_step;    // the last spacing of PCRs (27 MHz)
    int64_t lead;        // last DTS (or PTS) ahead of the PCR, 27 MHz
    bool resync;         // after a restart: the next timestamp decides the offset
    int jumps;           // timestamp jumps the filter bridged
    uint8_t last_cc[8192];
    uint8_t cc_shift[8192];
    uint8_t cc_state[8192]; // 0 not seen, 1 seen, 2 seen and to be checked after a restart
};
void ts_continuity_reset(ts_continuity *c);
// The source is read again from a new connection: counters and timestamps are
// checked against what was sent and carried on where they do not follow.
void ts_continuity_restart(ts_continuity *c);
// Rewrites whole packets in place where needed; now_ms is the caller's clock.
void ts_continuity_apply(ts_continuity *c, uint8_t *p, size_t n, int64_t now_ms);
// The stream's clock (90 kHz) of the last PCR sent, -1 before the first.
inline int64_t ts_continuity_clock(const ts_continuity *c) {
    return c->last_pcr < 0 ? -1 : c->last_pcr / 300;
}
