// Fuzz target for the QI framing: PDUs read from a real loopback connection that
// carries the input, and the TLV walk over every PDU read and over the raw input.
#include <cstdint>
#include <cstring>

#include "qi/qi_wire.h"

namespace {

net_sock g_listen = NET_BAD_SOCK;
uint16_t g_port;

// Destinations of exactly their capacity, so any write past one is caught.
uint8_t g_welcome[1024], g_challenge[128], g_text[255], g_duration[4], g_one[1];

void parse_all(const qi_pdu *pdu, uint16_t extra_tag) {
    uint16_t n1, n2, n3, n4, n5;
    const qi_tlv_get want[] = {
        {QI_TAG_WELCOME, sizeof g_welcome, g_welcome, &n1},
        {QI_TAG_CHALLENGE, sizeof g_challenge, g_challenge, &n2},
        {QI_TAG_TEXT, sizeof g_text, g_text, &n3},
        {QI_TAG_DURATION, sizeof g_duration, g_duration, nullptr},
        {extra_tag ? extra_tag : uint16_t(99), sizeof g_one, g_one, &n4},
        {13, 0, nullptr, &n5},
        {0, 0, nullptr, nullptr},
    };
    qi_parse_tlvs(pdu, want);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    net_startup();
    g_listen = net_tcp_socket();
    uint32_t addr;
    if (g_listen == NET_BAD_SOCK || !net_bind(g_listen, net_parse_ipv4("127.0.0.1"), 0) ||
        !net_listen(g_listen, 4) || !net_local_name(g_listen, &addr, &g_port))
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static qi_pdu pdu;
    if (size > 3 * QI_PDU_MAX) size = 3 * QI_PDU_MAX; // fits the socket buffers at once

    // The raw input as a PDU buffer, with whatever length it announces up to the body.
    if (size >= 2) {
        std::memset(&pdu, 0, sizeof pdu);
        size_t body = size > QI_HEADER_SIZE ? size - QI_HEADER_SIZE : 0;
        if (body > QI_BODY_MAX) body = QI_BODY_MAX;
        std::memcpy(pdu.body, data + (size - body), body);
        pdu.len = uint16_t(data[0] << 8 | data[1]);
        parse_all(&pdu, uint16_t(size > 2 ? data[2] : 0));
    }

    // The input as a byte stream from a peer that then closes.
    net_sock w = net_tcp_socket();
    if (w == NET_BAD_SOCK || !net_connect(w, net_parse_ipv4("127.0.0.1"), g_port)) __builtin_trap();
    uint32_t addr;
    uint16_t port;
    net_sock r = net_accept(g_listen, &addr, &port);
    if (r == NET_BAD_SOCK) __builtin_trap();
    if (size && net_send_all(w, data, size) != long(size)) __builtin_trap();
    net_close(w);
    for (int i = 0; i < 64 && (qi_read_pdu(r, &pdu) & 1); i++) {
        if (pdu.len > QI_BODY_MAX) __builtin_trap(); // the reader must never accept this
        parse_all(&pdu, uint16_t(pdu.code));
    }
    net_close(r);
    return 0;
}
