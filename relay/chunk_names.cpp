// Chunk file names: the wildcard match, the "CID---SEQ" name and the sequence-number
// window that decides which written file the relay takes next.
#include "relay/relay.h"

#include <cstdio>
#include <cstring>

// Whole-name wildcard match: '*' any run (also none), '%' any one character.
bool match_name(const char *name, const char *pattern) {
    return wildcard_match_with(name, pattern, '%');
}

// Decimal signed 32-bit number at *p; advances p. False without digits or on overflow.
static bool parse_int32(const char **p, int32_t *out) {
    const char *s = *p;
    bool neg = false;
    if (*s == '-' || *s == '+') neg = (*s++ == '-');
    if (*s < '0' || *s > '9') return false;
    int64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (*s++ - '0');
        if (v > 2147483648LL) return false;
    }
    if (neg) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    *out = (int32_t)v;
    *p = s;
    return true;
}

// "%d---%d" at the start of the name: the CID and the sequence number.
bool parse_chunk_name(const char *name, int32_t *cid, int32_t *seq) {
    const char *p = name;
    if (!parse_int32(&p, cid)) return false;
    if (strncmp(p, "---", 3) != 0) return false;
    p += 3;
    return parse_int32(&p, seq);
}

// Sequence window c-120 .. c+120, worked out in 64 bits so that numbers near the
// 32-bit limits neither overflow nor turn the window inside out.
seq_verdict seq_judge(int32_t current, int32_t n) {
    if (n == current) return SEQ_SAME;
    int64_t lo = (int64_t)current - SEQ_WINDOW, hi = (int64_t)current + SEQ_WINDOW;
    if (n < lo || n > hi) return SEQ_RESET;
    return n < current ? SEQ_BEHIND : SEQ_NEXT;
}

bool scan_accept_name(int action, const char *name, int32_t *current, const char *op) {
    if (action != DIRWATCH_ACTION_MODIFIED) return false;
    char pattern[64];
    snprintf(pattern, sizeof pattern, "%d---*.dat", g_relay.cid);
    if (!match_name(name, pattern)) return false;
    int32_t cid = 0, n = 0;
    if (!parse_chunk_name(name, &cid, &n)) return false; // no sequence number: not a chunk
    int32_t c = *current;
    switch (seq_judge(c, n)) {
    case SEQ_SAME:
        return false;
    case SEQ_RESET:
        RLOG(SEV_W, op, "%d out of range [%lld; %lld], reset sequence %d to = %d", n,
             (long long)c - SEQ_WINDOW, (long long)c + SEQ_WINDOW, c, n);
        *current = n;
        return true;
    case SEQ_BEHIND:
        RLOG(SEV_E, op, "%d out of sequence (expected > %u)", n, (unsigned)c);
        return false;
    case SEQ_NEXT:
        RLOG(SEV_I, op, "Current Seq. No = %d, new Seq. No = %d", c, n);
        *current = n;
        return true;
    }
    return false;
}
