// The cache writer every live source shares: chunk files "%d---%d.dat", each made at
// its final size, zero-filled, and filled front to back in whole packets, the last
// four packets of each 65424-octet block in a later write than the rest of it, and
// whole (the readers' zero-tail test).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fs.h"

enum : int64_t {
    READER_BLOCK = 65424,
    ZERO_TAIL = 4 * 188,
    ORIGIN_MS = 1577836800000LL, // 2020-01-01 00:00 UTC: chunk 0 of the wall-clock numbering
};

void chunk_path(int32_t cid, uint64_t n, char *out, size_t cap);
// How far one write from pos may go (see above).
uint64_t tail_cap(uint64_t pos);
// to, or the start of the tail it falls inside: a block's last four packets are
// written whole, in one write.
uint64_t whole_tail_end(uint64_t to);
// How far one write from pos may go with data up to avail (pos itself: not yet).
uint64_t write_end(uint64_t pos, uint64_t avail);
// Opens chunk n at its final size; fresh: any earlier content is dropped (zeros).
bool open_chunk(int32_t cid, uint64_t n, uint64_t size, bool fresh, os_file *f, char *path,
                size_t cap);
int64_t wall_ms();

// A live stream of unknown rate cut into chunks about chunk_ms long in the stream's
// own time: the first chunk's size comes from the first second of data (held until
// then), every later one from the rate of the chunk before.
enum { CACHE_HOLD = 2 << 20, CACHE_PENDING = 256 * 1024 };
struct cache_stream {
    int32_t cid;
    int32_t chunk_ms;
    os_file f;
    bool open;
    uint64_t number, size, filled;
    double rate; // octets per second of stream time; 0 until known
    int64_t mark_clock, last_clock, first_ms;
    uint64_t mark_octets, octets;
    uint8_t *hold; // before the rate is known, then the batch of the next write
    size_t held;
    int64_t held_since_ms;
    int chunks;
};
bool cache_stream_open(cache_stream *c, int32_t cid, int32_t chunk_ms);
// Whole packets of the stream; clock: its clock (90 kHz) at their end, -1 unknown.
bool cache_stream_put(cache_stream *c, const uint8_t *p, size_t n, int64_t clock);
// Writes out what waits for a batch (called when no data came for a while).
bool cache_stream_flush(cache_stream *c);
void cache_stream_close(cache_stream *c);
