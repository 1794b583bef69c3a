// The feed's text: writing it signed, and reading it back only when its signature holds.
#include "fetcher/swarm/feed.h"

#include <cstdio>
#include <cstring>

namespace {

const char header[] = "varnex-feed 1\n";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The next line of [*p, end) without its line feed; false at the end or without one.
bool next_line(const char **p, const char *end, const char **line, size_t *n) {
    const char *nl = static_cast<const char *>(memchr(*p, '\n', size_t(end - *p)));
    if (!nl) return false;
    *line = *p;
    *n = size_t(nl - *p);
    *p = nl + 1;
    return true;
}

// One space-separated field of [*p, end).
bool field(const char **p, const char *end, const char **f, size_t *n) {
    const char *s = *p;
    const char *q = s;
    while (q < end && *q != ' ')
        q++;
    if (q == s) return false;
    *f = s;
    *n = size_t(q - s);
    *p = q < end ? q + 1 : q;
    return true;
}

bool number(const char *f, size_t n, uint64_t max, uint64_t *out) {
    if (n == 0 || n > 19) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (f[i] < '0' || f[i] > '9') return false;
        v = v * 10 + uint64_t(f[i] - '0');
    }
    if (v > max) return false;
    *out = v;
    return true;
}

bool fail(char *why, const char *text) {
    snprintf(why, FEED_WHY_MAX, "%s", text);
    return false;
}

bool read_chunk(const char *p, const char *end, feed_chunk *c) {
    const char *f;
    size_t n;
    uint64_t v = 0;
    if (!field(&p, end, &f, &n) || !number(f, n, UINT64_MAX / 2, &c->number)) return false;
    if (!field(&p, end, &f, &n) || !number(f, n, uint64_t(1) << 40, &c->size)) return false;
    if (!field(&p, end, &f, &n) || !number(f, n, 3600000, &v)) return false;
    c->duration_ms = int32_t(v);
    if (!field(&p, end, &f, &n) || !hex_decode(f, n, c->info_hash, 20)) return false;
    if (!field(&p, end, &f, &n) || n % 2 || n / 2 > FEED_TORRENT_MAX) return false;
    c->torrent_len = n / 2;
    return hex_decode(f, n, c->torrent, c->torrent_len) && p == end;
}

} // namespace

void hex_encode(const uint8_t *p, size_t n, char *out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 15];
    }
    out[2 * n] = 0;
}

bool hex_decode(const char *text, size_t text_len, uint8_t *out, size_t n) {
    if (text_len != 2 * n) return false;
    for (size_t i = 0; i < n; i++) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

size_t feed_write(const feed *f, const uint8_t seed[FEED_SEED], char *out, size_t cap) {
    size_t n = 0;
    int k = snprintf(out, cap, "%scid %d\npeer %s\n", header, f->cid, f->peer);
    if (k < 0 || size_t(k) >= cap) return 0;
    n = size_t(k);
    for (int i = 0; i < f->count; i++) {
        const feed_chunk &c = f->chunks[i];
        char ih[41];
        hex_encode(c.info_hash, 20, ih);
        k = snprintf(out + n, cap - n, "chunk %llu %llu %d %s ", (unsigned long long)c.number,
                     (unsigned long long)c.size, c.duration_ms, ih);
        if (k < 0 || size_t(k) >= cap - n || cap - n - size_t(k) < 2 * c.torrent_len + 2) return 0;
        n += size_t(k);
        hex_encode(c.torrent, c.torrent_len, out + n);
        n += 2 * c.torrent_len;
        out[n++] = '\n';
    }
    uint8_t sig[FEED_SIG];
    if (cap - n < 4 + 2 * FEED_SIG + 2 || !feed_sign(seed, out, n, sig)) return 0;
    memcpy(out + n, "sig ", 4);
    hex_encode(sig, FEED_SIG, out + n + 4);
    n += 4 + 2 * FEED_SIG;
    out[n++] = '\n';
    return n;
}

bool feed_read(const char *text, size_t len, const uint8_t pub[FEED_PUBLIC], feed *f, char *why) {
    // The signature first: nothing of an unsigned text is looked at further.
    const size_t sig_line = 4 + 2 * FEED_SIG + 1;
    if (len < sizeof header - 1 + sig_line || text[len - 1] != '\n')
        return fail(why, "too short or not ended by a line feed");
    const char *sig_at = text + len - sig_line;
    uint8_t sig[FEED_SIG];
    if (memcmp(sig_at, "sig ", 4) != 0 || (sig_at > text && sig_at[-1] != '\n') ||
        !hex_decode(sig_at + 4, 2 * FEED_SIG, sig, FEED_SIG))
        return fail(why, "no signature line at its end");
    if (!feed_verify(pub, text, size_t(sig_at - text), sig))
        return fail(why, "the signature is not the broadcaster's");
    const char *p = text, *end = sig_at, *line;
    size_t n;
    if (!next_line(&p, end, &line, &n) || n != sizeof header - 2 || memcmp(line, header, n) != 0)
        return fail(why, "not a feed of version 1");
    uint64_t v = 0;
    if (!next_line(&p, end, &line, &n) || n < 5 || memcmp(line, "cid ", 4) != 0)
        return fail(why, "no cid line");
    bool negative = line[4] == '-';
    if (!number(line + 4 + negative, n - 4 - negative, 2147483648ULL, &v) ||
        (!negative && v > 2147483647ULL))
        return fail(why, "a bad cid");
    f->cid = negative ? int32_t(-int64_t(v)) : int32_t(v);
    if (!next_line(&p, end, &line, &n) || n < 6 || n - 5 >= sizeof f->peer ||
        memcmp(line, "peer ", 5) != 0)
        return fail(why, "no peer line");
    for (size_t i = 5; i < n; i++)
        if ((unsigned char)line[i] < 0x21 || (unsigned char)line[i] > 0x7E)
            return fail(why, "a bad peer address");
    memcpy(f->peer, line + 5, n - 5);
    f->peer[n - 5] = 0;
    f->count = 0;
    while (next_line(&p, end, &line, &n)) {
        if (f->count == FEED_CHUNKS) return fail(why, "too many chunks");
        if (n < 6 || memcmp(line, "chunk ", 6) != 0 ||
            !read_chunk(line + 6, line + n, &f->chunks[f->count]))
            return fail(why, "a bad chunk line");
        if (f->count && f->chunks[f->count].number <= f->chunks[f->count - 1].number)
            return fail(why, "chunks out of order");
        f->count++;
    }
    if (p != end) return fail(why, "a line without its line feed");
    return true;
}
