// Player requests: reading one request within its time limit, parsing the request
// line, query keys and headers into the request record, and the fixed answers.
// Every search is bounded by the received octets; the buffer carries no terminator.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/os.h"

// The build stamp of the banner and of answer 6: one translation unit's, so both agree.
const char marshal_build_stamp[] = __DATE__ " " __TIME__;

namespace {

enum { READ_LIMIT_S = 5, PATH_MAX_CHARS = 16, QUERY_MAX = 255, ANSWERS = 7 };

// The fixed answers, one 512-octet slot each.
const char answers[ANSWERS][512] = {
    "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n\r\n",
    "HTTP/1.1 400 Bad Request\r\nAccess-Control-Allow-Origin: *\r\nVersion: HTTP/1.1\r\n\r\n",
    "HTTP/1.1 401 Unauthorized\r\nAccess-Control-Allow-Origin: *\r\nVersion: HTTP/1.1\r\n\r\n",
    "HTTP/1.1 403 Forbidden\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n\r\n",
    "HTTP/1.1 408 Request Timeout\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n\r\n",
    "HTTP/1.1 500 Internal SwarmNode Error\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: "
    "*\r\n\r\n",
    "HTTP/1.1 200 OK\r\n"
    "Version: HTTP/1.1\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Cache-Control: max-age=1209600\r\n"
    "Connection: keep-alive\r\n"
    "Content-Type: text/xml\r\n"
    "Server: Corvane-TV SN/Win64/X.53/Build at " __DATE__ " " __TIME__ "\r\n"
    "\r\n"
    "<?xml version=\"1.0\"?>\r\n"
    "<!DOCTYPE cross-domain-policy SYSTEM "
    "\"http://www.adobe.com/xml/dtds/cross-domain-policy.dtd\">\r\n"
    "<cross-domain-policy>\r\n"
    "<allow-access-from domain=\"*\"/>\r\n"
    "</cross-domain-policy>",
};

const char *const keywords[] = {"verify", "crossdomain.xml", "link", "stream", "movie", "hls"};

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// First occurrence of needle in text[0..n), or nullptr.
const char *find_in(const char *text, size_t n, const char *needle) {
    size_t k = strlen(needle);
    if (k == 0 || k > n) return nullptr;
    for (size_t i = 0; i + k <= n; i++)
        if (text[i] == needle[0] && memcmp(text + i, needle, k) == 0) return text + i;
    return nullptr;
}

// Decimal conversion as the standard string-to-integer one (white space, sign,
// digits up to the first other character; none gives 0), within [p, end).
int64_t decimal_at(const char *p, const char *end) {
    while (p < end && is_space(*p))
        p++;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    uint64_t v = 0;
    const uint64_t limit = neg ? 9223372036854775808ULL : 9223372036854775807ULL;
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + uint64_t(*p - '0');
        if (v > limit) v = limit; // saturates like strtoll
    }
    return neg ? int64_t(0 - v) : int64_t(v);
}

// Run of 1..max characters from p (within end) none of which is in stop.
int run_without(const char *p, const char *end, const char *stop, int max) {
    int n = 0;
    while (p + n < end && n < max && !strchr(stop, p[n]))
        n++;
    return n;
}

void set_counted(counted_text *t, const char *v, int n) {
    if (n > 255) n = 255;
    t->len = uint8_t(n);
    memcpy(t->text, v, size_t(n));
}

} // namespace

int32_t read_request(net_sock s, char *buf, int32_t *len) {
    int64_t deadline = os_time_seconds() + READ_LIMIT_S;
    int32_t got = 0;
    *len = 0;
    while (got < REQUEST_BUF_SIZE) {
        int w = net_wait_readable(s, READ_LIMIT_S * 1000);
        if (w < 0)
            return log_printf(MRSHL, SEV_F, "[#%d] poll/select() -> %d, errno = %d", int(s), w,
                              os_error());
        if (os_time_seconds() > deadline || w == 0) break;
        long r = net_recv(s, buf + got, size_t(REQUEST_BUF_SIZE - got));
        if (r <= 0) {
            MTRACE("read_request", "MRSHL: recv() -> %d, errno = %d", int(r), net_error());
            break;
        }
        got += int32_t(r);
        if (got >= 4 && memcmp(buf + got - 4, "\r\n\r\n", 4) == 0) {
            *len = got - 4;
            MTRACE("read_request", "MRSHL: Received from client buf[0:%u]\n%.*s", unsigned(got),
                   int(got), buf);
            return SEV_S;
        }
    }
    return log_printf(MRSHL, SEV_E,
                      "[#%d] Did not get HTTP URL-encoded request in %d seconds (got %d octets)",
                      int(s), READ_LIMIT_S, int(got));
}

int scan_key_value(const char *q, int qlen, const char *key, const char **value) {
    const char *end = q + qlen;
    const char *at = find_in(q, size_t(qlen), key);
    *value = nullptr;
    if (!at) return 0;
    const char *p = at + strlen(key);
    int n;
    // "=%22" then characters other than '%' (a closing %22 may follow)
    if (end - p >= 4 && memcmp(p, "=%22", 4) == 0 &&
        (n = run_without(p + 4, end, "%", QUERY_MAX)) > 0) {
        *value = p + 4;
        return n;
    }
    // '="' then characters other than '"'
    if (end - p >= 2 && p[0] == '=' && p[1] == '"' &&
        (n = run_without(p + 2, end, "\"", QUERY_MAX)) > 0) {
        *value = p + 2;
        return n;
    }
    // '=' then characters other than '&', blank and line feed
    if (end - p >= 1 && p[0] == '=' && (n = run_without(p + 1, end, "& \n", QUERY_MAX)) > 0) {
        *value = p + 1;
        return n;
    }
    return 0;
}

// The sid goes unquoted into the relay's command line: a double quote, a blank or a
// control character in it would split or join the child's arguments.
static bool sid_is_safe(const counted_text &sid) {
    for (int i = 0; i < sid.len; i++) {
        unsigned char c = static_cast<unsigned char>(sid.text[i]);
        if (c <= ' ' || c == '"' || c == 0x7F) return false;
    }
    return true;
}

int32_t parse_request(net_sock s, const char *text, int32_t len, uint32_t addr, uint16_t port) {
    return parse_request_in(g_marshal.req, s, text, len, addr, port);
}

int32_t parse_request_in(request_record &rq, net_sock s, const char *text, int32_t len,
                         uint32_t addr, uint16_t port) {
    const size_t n = size_t(len) + 4; // the received octets, closing blank line included
    const char *end = text + n;
    int sd = int(s);

    // Request line: "GET /" and a path token of 1 to 16 characters.
    int path_len = 0;
    if (n >= 5 && memcmp(text, "GET /", 5) == 0)
        path_len = run_without(text + 5, end, "? \n", PATH_MAX_CHARS);
    if (path_len == 0) {
        send_ans(s, 1);
        return log_printf(MRSHL, SEV_E, "[#%d] Illformed request '%.*s'", sd, int(len), text);
    }
    const char *path = text + 5;

    int code = -1;
    for (int i = 0; i < 6 && code < 0; i++) {
        size_t k = strlen(keywords[i]);
        if (size_t(path_len) >= k && memcmp(path, keywords[i], k) == 0) code = i;
    }
    if (code < 0) {
        // The pages are written in one shared buffer: one connection at a time.
        std::unique_lock<std::mutex> pages(g_marshal.pages_lock);
        if (int32_t own = serve_own_page(s, path, path_len, text, n, addr)) return own;
        pages.unlock();
        send_ans(s, 1);
        return log_printf(MRSHL, SEV_E, "[#%d] Unrecognized request '%.*s'", sd, int(len), text);
    }
    rq.code = code;
    MTRACE("parse_request", "MRSHL: [#%d] Got request code %d (%.*s)", sd, code,
           int(strlen(keywords[code])), keywords[code]);

    if (const char *r = find_in(text, n, "Range: bytes=")) rq.range_start = decimal_at(r + 13, end);

    // Query text after "?", or the path token itself.
    const char *q = path;
    int qlen = path_len;
    const char *mark = path + run_without(path, end, "?", PATH_MAX_CHARS);
    if (mark > path && mark < end && *mark == '?') {
        int k = run_without(mark + 1, end, "\n ", QUERY_MAX);
        if (k > 0) {
            q = mark + 1;
            qlen = k;
        }
    }

    static const char *const keys[] = {"cid", "qi", "udata", "sid", "chunk"};
    // A CID or chunk number beyond 32 bits would reach the children cut to another
    // number, so the player would get another channel: such a request is refused.
    const char *too_big = nullptr, *too_big_value = nullptr;
    int too_big_len = 0;
    for (int i = 0; i < 5; i++) {
        const char *v;
        int vl = scan_key_value(q, qlen, keys[i], &v);
        if (vl == 0) continue;
        if (g_trace) {
            char shown[256];
            memcpy(shown, v, size_t(vl));
            shown[vl] = 0;
            trace_printf("%.*s[0:%d]='%s'", KVT_MARSH, "parse_request", __LINE__,
                         int(strlen(keys[i])), keys[i], vl, shown);
        }
        if (i == 0 || i == 4) {
            int64_t number = decimal_at(v, v + vl);
            if (number < INT32_MIN || number > INT32_MAX) {
                if (!too_big) {
                    too_big = keys[i];
                    too_big_value = v;
                    too_big_len = vl;
                }
                continue;
            }
        }
        switch (i) {
        case 0:
            rq.cid = int32_t(decimal_at(v, v + vl));
            break;
        case 1:
            set_counted(&rq.qi, v, vl);
            break;
        case 2:
            set_counted(&rq.udata, v, vl);
            break;
        case 3:
            set_counted(&rq.sid, v, vl);
            break;
        case 4:
            rq.chunk = int32_t(decimal_at(v, v + vl));
            break;
        }
    }

    int serving = 0;
    if (rq.cid != 0) {
        std::lock_guard<std::mutex> lock(g_marshal.table_lock);
        uint32_t count = g_marshal.children.count;
        for (uint32_t i = 1; i < count; i++)
            if (g_marshal.children.records[i].cid == rq.cid) serving++;
    }

    char agent[256];
    int agent_len = 0;
    if (const char *ua = find_in(text, n, "User-Agent:")) {
        const char *p = ua + 11;
        while (p < end && is_space(*p))
            p++;
        while (p + agent_len < end && agent_len < 255 && !is_space(p[agent_len]))
            agent_len++;
        memcpy(agent, p, size_t(agent_len));
    }
    agent[agent_len] = 0;

    char dotted[16];
    net_format_ipv4(addr, dotted);
    char vtid[512];
    int vl = agent_len ? snprintf(vtid, sizeof vtid, "[%d]%s:%d,\"%s\"", serving, dotted, int(port),
                                  agent)
                       : snprintf(vtid, sizeof vtid, "[%d]%s:%d", serving, dotted, int(port));
    set_counted(&rq.vtid, vtid, vl < 0 ? 0 : vl);
    MTRACE("parse_request", "MRSHL: [#%d] VTID[0:%u] = ('%.*s')", sd, unsigned(rq.vtid.len),
           int(rq.vtid.len), rq.vtid.text);

    if (code == 0) {
        send_ans(s, 0);
        return REQUEST_DONE;
    }
    if (code == 1) {
        send_ans(s, 6);
        return REQUEST_DONE;
    }
    if (too_big) {
        send_ans(s, 1);
        return log_printf(MRSHL, SEV_E, "[#%d] %s=%.*s is out of range in request '%.*s'", sd,
                          too_big, too_big_len, too_big_value, int(len), text);
    }
    if (rq.cid == 0) {
        send_ans(s, 1);
        return log_printf(MRSHL, SEV_E, "[#%d] No CID in request '%.*s'", sd, int(len), text);
    }
    if (!sid_is_safe(rq.sid)) {
        send_ans(s, 1);
        return log_printf(MRSHL, SEV_E, "[#%d] Illegal sid in request '%.*s'", sd, int(len), text);
    }
    if (rq.qi.len == 0) set_counted(&rq.qi, g_marshal.host.text, g_marshal.host.len);
    return SEV_S;
}

int32_t send_ans(net_sock s, int32_t code) {
    if (code < 0 || code >= ANSWERS)
        return log_printf(MRSHL, SEV_E, "code = %d is out of range (%d)", code, ANSWERS);
    int32_t status = SEV_S;
    int alen = int(strlen(answers[code]));
    long sent = net_send(s, answers[code], size_t(alen));
    if (sent < alen)
        status = log_printf(MRSHL, SEV_E, "Send (%d, %d octets) answer (code = %d) failure -> %d",
                            int(s), alen, code, net_error());
    else
        MTRACE("send_ans", "MRSHL: Sent answer[0:%d] = \n%.*s", alen, alen, answers[code]);
    net_shutdown(s);
    net_close(s);
    MTRACE("send_ans", "MRSHL: connection closed, chan = %d", int(s));
    return status;
}
