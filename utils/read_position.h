// Where the movie streamers read a movie, for the fetcher that is still fetching it
// (a far seek must not wait for a download in order to reach it). The 640-octet
// messages carry no position, so each KVT-Cinema run notes the octet it reads next
// in a small file of the runtime folder named by the CID, "cinema-<CID>.pos":
// READ_POS_SLOTS records of READ_POS_RECORD octets, one per streamer run (a player
// may hold several connections), each written in place with one positioned write:
//   octets 0-3   "KVTp"
//   octets 4-7   the streamer's process id
//   octets 8-11  os_tick_ms() of the write (a record older than READ_POS_FRESH_MS
//                is stale: its streamer has ended or hangs)
//   octets 12-15 flags: READ_POS_WAITING while the streamer waits for the octet
//   octets 16-23 the offset it reads next
//   octets 24-31 the movie's size as the streamer found it
// (numbers in the machine's byte order: both ends run on the same machine). A run
// rewrites its record at least every READ_POS_EVERY_MS and at once when it starts to
// wait; it clears the record when it ends. The reader of the file takes nothing on
// trust: a record that is not well formed, stale, or beyond the movie is passed over
// or clamped to the movie's size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fs.h"

enum {
    READ_POS_SLOTS = 8,
    READ_POS_RECORD = 32,
    READ_POS_FILE = READ_POS_SLOTS * READ_POS_RECORD,
    READ_POS_FRESH_MS = 3000,
    READ_POS_EVERY_MS = 500,
    READ_POS_WAITING = 1,
};

struct read_pos {
    uint32_t pid;
    uint32_t tick_ms;
    uint32_t flags;
    uint64_t offset;
    uint64_t size;
};

// "<runtime>/cinema-<CID>.pos"; false when there is no runtime folder.
bool read_pos_path(int32_t cid, char *out, size_t cap);
void read_pos_encode(const read_pos &r, uint8_t out[READ_POS_RECORD]);
bool read_pos_decode(const uint8_t in[READ_POS_RECORD], read_pos *r);

// The streamer's side: one slot of the CID's file, held open for the run.
struct read_pos_writer {
    os_file f;
    int slot; // -1: no file (no runtime folder, or it cannot be written): nothing noted
    read_pos last;
};
// Opens the file and takes a slot: the one of this process id, else a free or stale
// one (pid modulo the slots first), else pid modulo the slots.
bool read_pos_open(read_pos_writer *w, int32_t cid, uint32_t pid, uint32_t now_ms);
// Notes the offset read next; written when it changed its waiting, when it starts to
// wait elsewhere, or READ_POS_EVERY_MS after the last write.
void read_pos_note(read_pos_writer *w, uint64_t offset, uint64_t size, bool waiting,
                   uint32_t now_ms);
void read_pos_close(read_pos_writer *w); // the record cleared, the file closed

// The fetcher's side: the offsets of the fresh records for a movie of size octets,
// each clamped below size; at most cap of them, waiting ones first. 0 when the file
// is missing, is no regular file, or holds nothing fresh.
int read_pos_fresh(int32_t cid, uint64_t size, uint32_t now_ms, uint64_t *offsets, int cap);
