// Fuzz target: the swarm's feed as a viewer reads it, once as it came (refused unless
// signed) and once with the signature line the broadcaster would add, so that the
// parser behind the signature check is reached; what it accepts is written again and
// must read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fetcher/swarm/feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static uint8_t seed[FEED_SEED], pub[FEED_PUBLIC];
    static const bool keyed = feed_public_key(seed, pub);
    static feed f, again;
    static char text[FEED_TEXT_MAX], back[FEED_TEXT_MAX];
    char why[FEED_WHY_MAX];
    if (!keyed) abort();
    feed_read(reinterpret_cast<const char *>(data), size, pub, &f, why);
    if (size + 4 + 2 * FEED_SIG + 1 > sizeof text) return 0;
    memcpy(text, data, size);
    uint8_t sig[FEED_SIG];
    if (!feed_sign(seed, text, size, sig)) abort();
    memcpy(text + size, "sig ", 4);
    hex_encode(sig, FEED_SIG, text + size + 4);
    const size_t n = size + 4 + 2 * FEED_SIG + 1;
    text[n - 1] = '\n';
    if (!feed_read(text, n, pub, &f, why)) return 0;
    const size_t m = feed_write(&f, seed, back, sizeof back);
    if (m == 0 || !feed_read(back, m, pub, &again, why) || again.count != f.count ||
        again.cid != f.cid)
        abort();
    for (int i = 0; i < f.count; i++)
        if (again.chunks[i].number != f.chunks[i].number ||
            again.chunks[i].torrent_len != f.chunks[i].torrent_len)
            abort();
    return 0;
}
