// Helpers of the QI tests: a connected loopback socket pair, raw octet strings,
// and captured standard output of this process.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"

using octets = std::vector<uint8_t>;

// Both ends of one TCP connection on 127.0.0.1, closed on destruction.
struct loop_pair {
    net_sock a = NET_BAD_SOCK, b = NET_BAD_SOCK;
    loop_pair() {
        net_startup();
        net_sock l = net_tcp_socket();
        uint32_t addr = 0;
        uint16_t port = 0;
        if (l == NET_BAD_SOCK || !net_bind_any(l, 0) || !net_listen(l, 1) ||
            !net_local_name(l, &addr, &port))
            return;
        a = net_tcp_socket();
        if (!net_connect(a, net_parse_ipv4("127.0.0.1"), port)) return;
        b = net_accept(l, &addr, &port);
        net_close(l);
    }
    ~loop_pair() {
        if (a != NET_BAD_SOCK) net_close(a);
        if (b != NET_BAD_SOCK) net_close(b);
    }
    void close_a() {
        net_close(a);
        a = NET_BAD_SOCK;
    }
};

inline void send_octets(net_sock s, const octets &o) {
    net_send_all(s, o.data(), o.size());
}

// Reads exactly n octets (or fewer when the peer closes).
inline octets recv_octets(net_sock s, size_t n) {
    octets o(n);
    size_t got = 0;
    while (got < n) {
        if (net_wait_readable(s, 5000) != 1) break;
        long r = net_recv(s, o.data() + got, n - got);
        if (r <= 0) break;
        got += size_t(r);
    }
    o.resize(got);
    return o;
}

inline octets be16(uint16_t v) {
    return {uint8_t(v >> 8), uint8_t(v)};
}
inline octets be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline octets cat(std::initializer_list<octets> parts) {
    octets o;
    for (const octets &p : parts)
        o.insert(o.end(), p.begin(), p.end());
    return o;
}
inline octets text_octets(const std::string &s) {
    return octets(s.begin(), s.end());
}
inline octets tlv(uint16_t tag, const octets &value) {
    return cat({be16(tag), be16(uint16_t(value.size())), value});
}
inline std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// True when one line of log text ends with tail (the message after its prefix). A
// program's output written to a file on Windows ends its lines with "\r\n".
inline bool has_line_ending(const std::string &log, const std::string &tail) {
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        size_t next = end + 1;
        if (end > start && log[end - 1] == '\r') end--;
        if (end - start >= tail.size() && log.compare(end - tail.size(), tail.size(), tail) == 0)
            return true;
        start = next;
    }
    return false;
}
