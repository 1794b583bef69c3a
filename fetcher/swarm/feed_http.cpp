// The feed's HTTP server and client, on the platform's sockets.
#include "fetcher/swarm/feed_http.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetcher/swarm/feed.h"
#include "platform/net.h"

namespace {

enum { REQUEST_MAX = 2048, REQUEST_WAIT_MS = 2000, ACCEPT_WAIT_MS = 200 };

char g_answer[FEED_TEXT_MAX + 256]; // the server's one thread only

// Reads until the blank line; false on a time-out or a request too long.
bool read_request(net_sock s, char *buf, size_t cap) {
    size_t got = 0;
    while (got + 1 < cap) {
        if (net_wait_readable(s, REQUEST_WAIT_MS) <= 0) return false;
        long r = net_recv(s, buf + got, cap - 1 - got);
        if (r <= 0) return false;
        got += size_t(r);
        buf[got] = 0;
        if (strstr(buf, "\r\n\r\n") || strstr(buf, "\n\n")) return true;
    }
    return false;
}

void answer(net_sock s, feed_source source) {
    char req[REQUEST_MAX];
    if (!read_request(s, req, sizeof req)) return;
    char *end = nullptr;
    long cid = 0;
    const char *status = "404 Not Found";
    size_t body = 0;
    const size_t head_room = 160;
    if (strncmp(req, "GET /", 5) == 0) {
        cid = strtol(req + 5, &end, 10);
        if (end != req + 5 && *end == ' ' && cid >= INT32_MIN && cid <= INT32_MAX) {
            body = source(int32_t(cid), g_answer + head_room, sizeof g_answer - head_room);
            if (body) status = "200 OK";
        }
    }
    char head[head_room];
    int h = snprintf(head, sizeof head,
                     "HTTP/1.0 %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
                     "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
                     status, body);
    if (h <= 0 || size_t(h) >= head_room) return;
    memcpy(g_answer + head_room - size_t(h), head, size_t(h));
    net_send_all(s, g_answer + head_room - size_t(h), size_t(h) + body);
}

} // namespace

bool parse_addr_port(const char *text, size_t len, uint32_t *addr, uint16_t *port) {
    char buf[64];
    if (len == 0 || len >= sizeof buf) return false;
    memcpy(buf, text, len);
    buf[len] = 0;
    char *colon = strrchr(buf, ':');
    if (!colon) return false;
    *colon = 0;
    char *end = nullptr;
    long p = strtol(colon + 1, &end, 10);
    if (end == colon + 1 || *end || p <= 0 || p > 65535) return false;
    *addr = net_parse_ipv4(buf);
    *port = uint16_t(p);
    return *addr != 0;
}

bool feed_serve_open(const char *addr_port, intptr_t *listener) {
    uint32_t addr = 0;
    uint16_t port = 0;
    if (!parse_addr_port(addr_port, strlen(addr_port), &addr, &port)) return false;
    net_sock s = net_tcp_socket();
    if (s == NET_BAD_SOCK) return false;
    net_set_reuseaddr(s);
    if (!net_bind(s, addr, port) || !net_listen(s, 64)) {
        net_close(s);
        return false;
    }
    *listener = s;
    return true;
}

void feed_serve_loop(intptr_t listener, feed_source source, const std::atomic<bool> *stop) {
    net_sock l = net_sock(listener);
    while (!*stop) {
        if (net_wait_readable(l, ACCEPT_WAIT_MS) <= 0) continue;
        uint32_t peer = 0;
        uint16_t peer_port = 0;
        net_sock s = net_accept(l, &peer, &peer_port);
        if (s == NET_BAD_SOCK) continue;
        answer(s, source);
        net_shutdown(s);
        net_close(s);
    }
    net_close(l);
}

long feed_get(const char *url, char *out, size_t cap, int timeout_ms, char *why, size_t why_cap) {
    if (strncmp(url, "http://", 7) != 0) {
        snprintf(why, why_cap, "not an http:// address");
        return -1;
    }
    const char *host = url + 7;
    const char *slash = strchr(host, '/');
    const char *path = slash ? slash : "/";
    uint32_t addr = 0;
    uint16_t port = 0;
    if (!parse_addr_port(host, slash ? size_t(slash - host) : strlen(host), &addr, &port)) {
        snprintf(why, why_cap, "not A.B.C.D:PORT");
        return -1;
    }
    net_sock s = net_tcp_socket();
    if (s == NET_BAD_SOCK) {
        snprintf(why, why_cap, "socket: %d", net_error());
        return -1;
    }
    long result = -1;
    char req[600];
    int n = snprintf(req, sizeof req, "GET %.500s HTTP/1.0\r\nConnection: close\r\n\r\n", path);
    if (!net_connect_within(s, addr, port, timeout_ms)) {
        snprintf(why, why_cap, "connect: %d", net_error());
    } else if (net_send_all(s, req, size_t(n)) != n) {
        snprintf(why, why_cap, "send: %d", net_error());
    } else {
        size_t got = 0;
        for (;;) {
            if (got + 1 >= cap) {
                snprintf(why, why_cap, "the answer is too long");
                got = 0;
                break;
            }
            if (net_wait_readable(s, timeout_ms) <= 0) {
                snprintf(why, why_cap, "no answer within %d ms", timeout_ms);
                got = 0;
                break;
            }
            long r = net_recv(s, out + got, cap - 1 - got);
            if (r < 0) {
                snprintf(why, why_cap, "recv: %d", net_error());
                got = 0;
                break;
            }
            if (r == 0) break;
            got += size_t(r);
        }
        out[got] = 0;
        const char *body = got ? strstr(out, "\r\n\r\n") : nullptr;
        if (got && (!body || strncmp(out, "HTTP/1.", 7) != 0 || strncmp(out + 8, " 200", 4) != 0)) {
            snprintf(why, why_cap, "answer '%.40s'", out);
        } else if (body) {
            size_t skip = size_t(body + 4 - out);
            memmove(out, body + 4, got - skip);
            result = long(got - skip);
            out[result] = 0;
        }
    }
    net_close(s);
    return result;
}
