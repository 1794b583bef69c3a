// QI framing layer: connecting to a QI server, the timed receive, and reading,
// sending, building and parsing PDUs. Knows nothing of accounts or requests.
#include "qi/qi_wire.h"

#include <cstring>

#include "platform/os.h"
#include "utils/log.h"

int32_t g_qi_recv_limit_s = QI_RECV_LIMIT_S;

static uint16_t be16_to_host(uint16_t wire) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&wire);
    return uint16_t(p[0] << 8 | p[1]);
}
static uint16_t host_to_be16(uint16_t v) {
    uint16_t wire;
    uint8_t *p = reinterpret_cast<uint8_t *>(&wire);
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
    return wire;
}

int32_t qi_connect(net_sock *out, const char *host, uint16_t port) {
    int err = net_startup();
    if (err != 0) return log_printf(KVTQIR, SEV_E, "WSAStartup() -> %d", err);

    net_sock s = net_tcp_socket();
    if (s == NET_BAD_SOCK)
        return log_printf(KVTQIR, SEV_E, "socket(AF_INET, SOCK_STREAM) -> %d", net_error());

    uint32_t addrs[NET_MAX_ADDRS];
    int count = 1;
    addrs[0] = net_parse_ipv4(host);
    if (addrs[0] == 0) {
        count = net_resolve(host, addrs, NET_MAX_ADDRS);
        if (count <= 0) {
            int32_t st = log_printf(KVTQIR, SEV_E,
                                    "Cannot convert '%s' to internal representative, errno = %d",
                                    host, os_error());
            net_close(s);
            return st;
        }
    }

    char dotted[16];
    for (int i = 0; i < count && addrs[i] != 0; i++) {
        net_format_ipv4(addrs[i], dotted);
        if (s == NET_BAD_SOCK) {
            // A socket whose connect failed is not reliably reusable on every
            // system, so each further address gets a fresh one.
            s = net_tcp_socket();
            if (s == NET_BAD_SOCK)
                return log_printf(KVTQIR, SEV_E, "socket(AF_INET, SOCK_STREAM) -> %d", net_error());
        }
        log_printf(KVTQIR, SEV_I, "Connecting to %s (%s:%u) ...", host, dotted, port);
        if (net_connect(s, addrs[i], port)) {
            log_printf(KVTQIR, SEV_I, "[#%d] Connected to %s (%s:%u)", int(s), host, dotted, port);
            *out = s;
            return SEV_S;
        }
        log_printf(KVTQIR, SEV_E, "connect(%s:%u) -> %d", dotted, port, net_error());
        net_close(s);
        s = NET_BAD_SOCK;
    }
    if (s != NET_BAD_SOCK) net_close(s);
    return SEV_E;
}

// Waits on a monotonic clock for the time that is left, so the whole receive
// takes at most the limit however the waits and partial reads fall.
int32_t qi_recv(net_sock s, void *buf, int32_t n) {
    uint8_t *p = static_cast<uint8_t *>(buf);
    int32_t rest = n;
    const uint32_t limit_ms = uint32_t(g_qi_recv_limit_s) * 1000u;
    const uint32_t start = os_tick_ms();

    while (rest > 0) {
        uint32_t spent = os_tick_ms() - start;
        bool exceptional = false;
        int w = net_wait_readable(s, spent < limit_ms ? int(limit_ms - spent) : 0, &exceptional);
        if (w < 0)
            return log_printf(KVTQIR, SEV_E,
                              "[#%d] poll/select() -> %d, errno = %d, requested %d octets, "
                              "rest %d octets",
                              int(s), w, net_error(), n, rest);
        // The clock is asked after every wait, before what the wait found.
        if (os_tick_ms() - start >= limit_ms) {
            log_printf(KVTQIR, SEV_E, "Timeout has been reached");
            goto failed;
        }
        if (w == 0) continue; // nothing yet
        if (exceptional)
            return log_printf(KVTQIR, SEV_F, "[#%d] select() -> %d, errno = %d", int(s), w,
                              net_error());
        long got = net_recv(s, p, size_t(rest));
        if (got <= 0) {
            log_printf(KVTQIR, SEV_E, "[#%d] recv(%d octets) -> %ld, errno = %d", int(s), rest, got,
                       got < 0 ? net_error() : 0);
            goto failed;
        }
        p += got;
        rest -= int32_t(got);
    }
    return SEV_S;

failed:
    return log_printf(KVTQIR, SEV_E,
                      "[#%d] Did not get requested %d octets in %d seconds, rest %d octets", int(s),
                      n, g_qi_recv_limit_s, rest);
}

int32_t qi_read_pdu(net_sock s, qi_pdu *pdu) {
    uint16_t wire_len;
    int32_t st = qi_recv(s, &wire_len, 2);
    if (!(st & 1)) return st;
    uint32_t len = be16_to_host(wire_len);
    if (len + QI_HEADER_SIZE > QI_PDU_MAX)
        return log_printf(KVTQIR, SEV_E,
                          "[#%d] Not enough space (%d octets) to place whole PDU (%d octets) ",
                          int(s), QI_PDU_MAX, int(len + QI_HEADER_SIZE));
    pdu->len = uint16_t(len);
    uint8_t *after_len = reinterpret_cast<uint8_t *>(pdu) + 2;
    st = qi_recv(s, after_len, int32_t(len + 4));
    if (!(st & 1)) return st;
    pdu->code = qi_get_u32(after_len);
    return SEV_S;
}

int32_t qi_send_pdu(net_sock s, qi_pdu *pdu) {
    const uint32_t total = uint32_t(pdu->len) + QI_HEADER_SIZE;
    uint8_t code[4];
    qi_put_u32(code, pdu->code);
    pdu->len = host_to_be16(pdu->len);
    std::memcpy(reinterpret_cast<uint8_t *>(pdu) + 2, code, 4);
    long sent = net_send(s, pdu, total);
    if (sent != long(total))
        return log_printf(KVTQIR, SEV_E, "[#%d] send(%d octets) -> %ld, errno = %d", int(s),
                          int(total), sent, sent < 0 ? net_error() : 0);
    return SEV_S;
}

int32_t qi_build_pdu(qi_pdu *pdu, const qi_tlv_put *list) {
    uint32_t sum = 0;
    for (const qi_tlv_put *t = list; t->tag != 0; t++)
        sum += uint32_t(t->len) + 4;
    if (sum + QI_HEADER_SIZE > QI_PDU_MAX)
        return log_printf(KVTQIR, SEV_E,
                          "Not enough space (%d octets) to place whole PDU (%d octets) ",
                          QI_PDU_MAX, int(sum + QI_HEADER_SIZE));
    pdu->len = uint16_t(sum);
    uint8_t *p = pdu->body;
    for (const qi_tlv_put *t = list; t->tag != 0; t++) {
        p[0] = uint8_t(t->tag >> 8);
        p[1] = uint8_t(t->tag);
        p[2] = uint8_t(t->len >> 8);
        p[3] = uint8_t(t->len);
        if (t->len != 0) std::memcpy(p + 4, t->value, t->len);
        p += 4 + t->len;
    }
    return SEV_S;
}

// Each wanted tag walks the body from its start. The walk checks a TLV's header
// and its whole value against L before it looks at them, so it never reads past
// the received body, not even a header cut off at its end.
int32_t qi_parse_tlvs(const qi_pdu *pdu, const qi_tlv_get *list) {
    const uint32_t len = pdu->len;
    if (len < 4 || len > QI_BODY_MAX) return log_printf(KVTQIR, SEV_E, "Illegal size, %u len", len);

    for (const qi_tlv_get *g = list; g->tag != 0; g++) {
        if (g->got) *g->got = 0;
        uint32_t off = 0;
        while (off < len) {
            if (len - off < 4)
                return log_printf(KVTQIR, SEV_E, "TLV header (%u octets) is out of PDU", len - off);
            const uint8_t *t = pdu->body + off;
            const uint32_t tag = uint32_t(t[0]) << 8 | t[1];
            const uint32_t v = uint32_t(t[2]) << 8 | t[3];
            if (off + 4 + v > len)
                return log_printf(KVTQIR, SEV_E, "TLV length (%d) is out of PDU", int(v));
            if (tag == g->tag) {
                const uint16_t n = uint16_t(v < g->cap ? v : g->cap);
                if (n != 0) std::memcpy(g->dest, t + 4, n);
                if (g->got) *g->got = n;
                if (n < g->cap) static_cast<uint8_t *>(g->dest)[n] = 0;
                break;
            }
            off += 4 + v;
        }
    }
    return SEV_S;
}
