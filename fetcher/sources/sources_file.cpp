// The sources file's lines: "CID", one or more tabs or blanks, the URL, then nothing
// but blanks or a comment. A line that does not fit is skipped with its number, the
// rest of the file still counts.
#include "fetcher/sources/sources_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

struct scheme {
    const char *prefix;
    source_kind kind;
};
const scheme schemes[] = {
    {"udp://", SOURCE_UDP},           {"rtp://", SOURCE_RTP},
    {"http://", SOURCE_HTTP},         {"https://", SOURCE_HTTP},
    {"srt://", SOURCE_SRT},           {"file:", SOURCE_FILE},
    {"swarm:http://", SOURCE_SWARM},  {"swarm:file:", SOURCE_SWARM},
    {"swarm:magnet:?", SOURCE_SWARM},
};

bool kind_of(const char *url, size_t n, source_kind *out) {
    for (const scheme &s : schemes) {
        size_t p = strlen(s.prefix);
        if (n > p && strncmp(url, s.prefix, p) == 0) {
            *out = s.kind;
            return true;
        }
    }
    return false;
}

// One line [p, end): 1 taken, 0 blank or comment, -1 refused (why set).
int parse_line(const char *p, const char *end, source_line *out, const char **why) {
    while (p < end && blank(*p))
        p++;
    if (p == end || *p == '!') return 0;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        p++;
    }
    int64_t cid = 0;
    const char *digits = p;
    while (p < end && *p >= '0' && *p <= '9') {
        cid = cid * 10 + (*p - '0');
        if (cid > int64_t(INT32_MAX) + 1) {
            *why = "the CID is out of range";
            return -1;
        }
        p++;
    }
    if (p == digits) {
        *why = "it does not start with a CID";
        return -1;
    }
    if (negative) cid = -cid;
    if (cid > INT32_MAX) {
        *why = "the CID is out of range";
        return -1;
    }
    if (p == end || !blank(*p)) {
        *why = "the CID is not followed by a tab";
        return -1;
    }
    while (p < end && blank(*p))
        p++;
    const char *url = p;
    while (p < end && !blank(*p))
        p++;
    size_t n = size_t(p - url);
    if (n == 0 || *url == '!') {
        *why = "it has no URL";
        return -1;
    }
    const char *rest = p;
    while (rest < end && blank(*rest))
        rest++;
    out->key[0] = 0;
    // A local .torrent (swarm:file:PATH) is trusted as it is and needs no key, nor does
    // a magnet link (swarm:magnet:?...), whose info-hash names the torrent.
    if (n > 6 && strncmp(url, "swarm:", 6) == 0 &&
        !(n > 11 && strncmp(url, "swarm:file:", 11) == 0) &&
        !(n > 14 && strncmp(url, "swarm:magnet:?", 14) == 0)) {
        // The broadcaster's key: "key=" and 64 hex digits.
        const char *k = rest;
        size_t hex = 0;
        if (size_t(end - k) > 4 && strncmp(k, "key=", 4) == 0)
            for (k += 4; k + hex < end && isxdigit((unsigned char)k[hex]); hex++) {
            }
        if (hex != 64) {
            *why = "a swarm: line needs key= and the broadcaster's 64 hex digits";
            return -1;
        }
        memcpy(out->key, k, 64);
        out->key[64] = 0;
        rest = k + 64;
        while (rest < end && blank(*rest))
            rest++;
    }
    if (rest < end && *rest != '!') {
        *why = "there is more than one URL";
        return -1;
    }
    if (n >= SOURCE_URL_MAX) {
        *why = "the URL is too long";
        return -1;
    }
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)url[i] < 0x21 || (unsigned char)url[i] == 0x7F) {
            *why = "the URL holds a control character";
            return -1;
        }
    if (!kind_of(url, n, &out->kind)) {
        *why = "the URL's kind is not one of udp://, rtp://, http://, https://, srt://, file:";
        return -1;
    }
    out->cid = int32_t(cid);
    memcpy(out->url, url, n);
    out->url[n] = 0;
    return 1;
}

} // namespace

int sources_parse(const char *text, size_t len, source_table *t, source_bad_line bad, void *ctx) {
    t->count = 0;
    const char *p = text, *end = text + len;
    for (int line = 1; p < end; line++) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        const char *stop = nl ? nl : end;
        source_line l;
        const char *why = nullptr;
        int r = memchr(p, 0, size_t(stop - p)) ? (why = "it holds a zero octet", -1)
                                               : parse_line(p, stop, &l, &why);
        if (r > 0) {
            const source_line *before = sources_find(t, l.cid);
            if (before) {
                char text_why[64];
                snprintf(text_why, sizeof text_why, "CID %d is already given on line %d", l.cid,
                         before->line);
                if (bad) bad(ctx, line, text_why);
            } else if (t->count >= SOURCES_MAX) {
                if (bad) bad(ctx, line, "the file has too many channels");
            } else {
                l.line = line;
                t->lines[t->count++] = l;
            }
        } else if (r < 0 && bad) {
            bad(ctx, line, why);
        }
        p = nl ? nl + 1 : end;
    }
    return t->count;
}

const source_line *sources_find(const source_table *t, int32_t cid) {
    for (int i = 0; i < t->count; i++)
        if (t->lines[i].cid == cid) return &t->lines[i];
    return nullptr;
}

const char *source_kind_name(source_kind k) {
    switch (k) {
    case SOURCE_UDP:
        return "udp";
    case SOURCE_RTP:
        return "rtp";
    case SOURCE_HTTP:
        return "http";
    case SOURCE_SRT:
        return "srt";
    case SOURCE_FILE:
        return "file";
    case SOURCE_SWARM:
        return "swarm";
    }
    return "?";
}
