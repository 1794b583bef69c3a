// KVT-Sources.txt, the live channels' sources, kept beside the fetcher: one channel a
// line, "CID<TAB>URL", or "CID<TAB>swarm:http://ADDR:PORT/PATH<TAB>key=HEX" for a
// channel fetched from the swarm whose feed the broadcaster with that ed25519 public
// key (64 hex digits) signs; "!" starts a comment. Parsing is pure (no files), so the
// fuzz target and the tests call it directly.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    SOURCES_MAX = 256,    // channels in one file
    SOURCE_URL_MAX = 512, // octets of one URL, terminator included
    SOURCES_FILE_MAX = 65536,
};

enum source_kind {
    SOURCE_UDP,   // udp://ADDR:PORT, udp://@GROUP:PORT[?localaddr=IF]
    SOURCE_RTP,   // rtp://...: RTP carrying MPEG-TS
    SOURCE_HTTP,  // http:// or https://: MPEG-TS, or HLS when the answer is a playlist
    SOURCE_SRT,   // srt://
    SOURCE_FILE,  // file:PATH: a local .ts file or folder, played on the wall clock, looped
    SOURCE_SWARM, // swarm:http://ADDR:PORT/PATH key=HEX: a broadcaster's feed, from peers;
                  // swarm:file:PATH: a movie's .torrent file, from peers
};

struct source_line {
    int32_t cid;
    int32_t line; // its line number in the file
    source_kind kind;
    char url[SOURCE_URL_MAX];
    char key[65]; // SOURCE_SWARM: the broadcaster's public key, hex; empty otherwise
};

struct source_table {
    source_line lines[SOURCES_MAX];
    int count;
};

// Called for every line that is skipped, with its number and why.
typedef void (*source_bad_line)(void *ctx, int line, const char *why);

// Parses text (not terminated) into t; returns the number of channels taken.
int sources_parse(const char *text, size_t len, source_table *t, source_bad_line bad, void *ctx);
// The line of cid, or nullptr.
const source_line *sources_find(const source_table *t, int32_t cid);
const char *source_kind_name(source_kind k);
