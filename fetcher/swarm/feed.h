// A channel's feed: the broadcaster's list of its newest complete chunks (number,
// size, duration, info-hash and the whole .torrent), as text signed with the
// broadcaster's ed25519 key, so that a viewer takes info-hashes (and so piece hashes)
// from the broadcaster alone, whoever relays the text. Parsing is pure: the fuzz
// target and the tests call it directly.
//   varnex-feed 1
//   cid CID
//   peer A.B.C.D:PORT                  the broadcaster's swarm address
//   chunk NUMBER SIZE MS IH_HEX TORRENT_HEX   oldest first, at most FEED_CHUNKS
//   sig HEX                            ed25519 over every octet before "sig "
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    FEED_CHUNKS = 8,
    FEED_TORRENT_MAX = 16384,
    FEED_TEXT_MAX = 2 * FEED_CHUNKS * FEED_TORRENT_MAX + 4096,
    FEED_SEED = 32,
    FEED_PUBLIC = 32,
    FEED_SIG = 64,
    FEED_WHY_MAX = 96,
};

struct feed_chunk {
    uint64_t number, size;
    int32_t duration_ms;
    uint8_t info_hash[20];
    size_t torrent_len;
    uint8_t torrent[FEED_TORRENT_MAX]; // the bencoded .torrent
};

struct feed {
    int32_t cid;
    char peer[64];
    int count;
    feed_chunk chunks[FEED_CHUNKS];
};

// The signed text of f into out; its length, 0 when it does not fit or signing failed.
size_t feed_write(const feed *f, const uint8_t seed[FEED_SEED], char *out, size_t cap);
// Reads and checks text against the broadcaster's public key; false with why.
bool feed_read(const char *text, size_t len, const uint8_t pub[FEED_PUBLIC], feed *f, char *why);

// Hex both ways; hex_decode is false unless text is exactly 2 * n hex digits.
void hex_encode(const uint8_t *p, size_t n, char *out);
bool hex_decode(const char *text, size_t text_len, uint8_t *out, size_t n);
// ed25519 (feed_sign.cpp): the signature of msg (what feed_write puts on its "sig"
// line), its check, and the public key of a seed.
bool feed_sign(const uint8_t seed[FEED_SEED], const char *msg, size_t len, uint8_t sig[FEED_SIG]);
bool feed_verify(const uint8_t pub[FEED_PUBLIC], const char *msg, size_t len,
                 const uint8_t sig[FEED_SIG]);
bool feed_public_key(const uint8_t seed[FEED_SEED], uint8_t pub[FEED_PUBLIC]);
