// QI framing: PDUs of TLVs on a TCP connection to a QI server. A PDU is a 6-octet
// big-endian header (body length L, code) and L octets of TLVs (tag, length, value,
// big-endian); at most 4112 octets in all. Log tag "KVTQIR".
#pragma once

#include <cstdint>

#include "platform/net.h"

#define KVTQIR "KVTQIR"

enum {
    QI_PDU_MAX = 4112,
    QI_HEADER_SIZE = 6,
    QI_BODY_MAX = QI_PDU_MAX - QI_HEADER_SIZE, // 4106
    QI_DEFAULT_PORT = 3564,
    QI_RECV_LIMIT_S = 23,
};

// Request codes and tags of the protocol.
enum { QI_REQ_AUTH = 1, QI_REQ_START = 3, QI_REQ_LINK = 4 };
enum {
    QI_TAG_WELCOME = 1,
    QI_TAG_UID = 2,
    QI_TAG_RESPONSE = 3,
    QI_TAG_CHALLENGE = 4,
    QI_TAG_VTID = 6,
    QI_TAG_CID = 7,
    QI_TAG_UDATA = 10,
    QI_TAG_PEER_ID = 11,
    QI_TAG_TEXT = 12,
    QI_TAG_DURATION = 14,
};

// One PDU laid out as on the wire; the header fields are in host order except
// while a send is under way.
#pragma pack(push, 1)
struct qi_pdu {
    uint16_t len;
    uint32_t code;
    uint8_t body[QI_BODY_MAX];
};
#pragma pack(pop)
static_assert(sizeof(qi_pdu) == QI_PDU_MAX, "a PDU buffer is 4112 octets");

// One TLV to send; a list ends with tag 0.
struct qi_tlv_put {
    uint16_t tag;
    uint16_t len;
    const void *value;
};

// One TLV wanted from a received PDU; a list ends with tag 0. got (optional)
// receives the number of octets copied, 0 when the tag is absent.
struct qi_tlv_get {
    uint16_t tag;
    uint16_t cap;
    void *dest;
    uint16_t *got;
};

// Seconds a receive may take; tests of this process may shorten it.
extern int32_t g_qi_recv_limit_s;

// Connects a new TCP socket to host (dotted IPv4 or a name, up to 12 of its
// addresses tried in turn) and port; stores it in *out on success.
int32_t qi_connect(net_sock *out, const char *host, uint16_t port);
// 1 when exactly n octets arrived within the receive limit, else a failure status.
int32_t qi_recv(net_sock s, void *buf, int32_t n);
// One whole PDU; a header announcing more than 4112 octets fails before its body.
int32_t qi_read_pdu(net_sock s, qi_pdu *pdu);
// Header and body in one send; the header is left in network order.
int32_t qi_send_pdu(net_sock s, qi_pdu *pdu);
// Lays the TLVs out in list order and sets L; the caller sets the code.
int32_t qi_build_pdu(qi_pdu *pdu, const qi_tlv_put *list);
// Fills every listed destination from the first TLV of its tag.
int32_t qi_parse_tlvs(const qi_pdu *pdu, const qi_tlv_get *list);

// Big-endian helpers for values carried in TLVs.
inline void qi_put_u32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint32_t qi_get_u32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
