// The QI framing layer in-process: PDUs built and read byte for byte, the TLV walk
// at its edges, the receive limit, and the challenge digest.
#include <gtest/gtest.h>

#include "marshal/qi_session.h"
#include "qi/qi_wire.h"
#include "tests/qi/qi_test_util.h"
#include "tests/support/test_support.h"

TEST(QiWire, BuildAndSendAreByteExact) {
    static qi_pdu pdu;
    uint8_t cid[4];
    qi_put_u32(cid, 0x01020304);
    const qi_tlv_put put[] = {{7, 4, cid}, {6, 2, "ab"}, {10, 0, ""}, {0, 0, nullptr}};
    ASSERT_EQ(qi_build_pdu(&pdu, put), 1);
    pdu.code = 0x00000003;
    EXPECT_EQ(pdu.len, 4 + 4 + 4 + 2 + 4);

    loop_pair p;
    ASSERT_NE(p.b, NET_BAD_SOCK);
    ASSERT_EQ(qi_send_pdu(p.a, &pdu), 1);
    octets want =
        cat({be16(18), be32(3), tlv(7, {1, 2, 3, 4}), tlv(6, text_octets("ab")), tlv(10, {})});
    EXPECT_EQ(recv_octets(p.b, want.size()), want);

    // A list whose PDU would exceed 4112 octets is refused and nothing is written.
    static uint8_t big[4200];
    static qi_pdu full;
    full.len = 77;
    const qi_tlv_put too_big[] = {{1, 4103, big}, {0, 0, nullptr}}; // 4 + 4103 + 6 = 4113
    EXPECT_EQ(qi_build_pdu(&full, too_big), 2);
    EXPECT_EQ(full.len, 77);
    const qi_tlv_put fits[] = {{1, 4102, big}, {0, 0, nullptr}}; // exactly 4112
    EXPECT_EQ(qi_build_pdu(&full, fits), 1);
    EXPECT_EQ(full.len, 4106);
}

TEST(QiWire, ReadPduAtTheSizeLimit) {
    loop_pair p;
    ASSERT_NE(p.b, NET_BAD_SOCK);
    static qi_pdu pdu;

    // L = 4106: the largest PDU, read whole with its code in host order.
    octets body(4106);
    for (size_t i = 0; i < body.size(); i++)
        body[i] = uint8_t(i * 7);
    send_octets(p.a, cat({be16(4106), be32(0x80000001), body}));
    ASSERT_EQ(qi_read_pdu(p.b, &pdu), 1);
    EXPECT_EQ(pdu.len, 4106);
    EXPECT_EQ(uint32_t(pdu.code), 0x80000001u); // a copy: the packed field may be misaligned
    EXPECT_EQ(octets(pdu.body, pdu.body + 4106), body);

    // L = 4107 is refused after the 2 length octets, before anything else is read.
    send_octets(p.a, cat({be16(4107), be32(0x11223344), octets(16, 0xAA)}));
    EXPECT_EQ(qi_read_pdu(p.b, &pdu), 2);
    EXPECT_EQ(recv_octets(p.b, 4), be32(0x11223344));
}

TEST(QiWire, ReceiveFailures) {
    static qi_pdu pdu;
    {
        // The peer closes inside the body.
        loop_pair p;
        send_octets(p.a, cat({be16(10), be32(1), octets(3, 0)}));
        p.close_a();
        EXPECT_EQ(qi_read_pdu(p.b, &pdu), 2);
    }
    {
        // Nothing arrives: the receive limit ends the wait (shortened for this test).
        loop_pair p;
        send_octets(p.a, {0x00});
        g_qi_recv_limit_s = 1;
        int64_t t0 = test_now_ms();
        EXPECT_EQ(qi_read_pdu(p.b, &pdu), 2);
        int64_t spent = test_now_ms() - t0;
        g_qi_recv_limit_s = QI_RECV_LIMIT_S;
        EXPECT_GE(spent, 900); // it did wait, and it did come back
        EXPECT_LT(spent, 20000);
    }
}

namespace {
// A PDU buffer with its body set from octets.
void set_body(qi_pdu *pdu, const octets &body, uint32_t len) {
    std::memset(pdu, 0x5A, sizeof *pdu);
    std::memcpy(pdu->body, body.data(), body.size());
    pdu->len = uint16_t(len);
}
} // namespace

TEST(QiWire, ParseTlvs) {
    static qi_pdu pdu;
    uint8_t a[8], b[8];
    uint16_t na = 99, nb = 99;

    // Too short to hold one TLV header.
    set_body(&pdu, {0, 1, 0}, 3);
    const qi_tlv_get one[] = {{1, 8, a, &na}, {0, 0, nullptr, nullptr}};
    EXPECT_EQ(qi_parse_tlvs(&pdu, one), 2);

    // First of two equal tags wins; a missing tag leaves its destination alone.
    set_body(&pdu, cat({tlv(5, {1, 2}), tlv(9, {7}), tlv(5, {3, 4, 5})}), 4 + 2 + 4 + 1 + 4 + 3);
    std::memset(a, 0xEE, sizeof a);
    std::memset(b, 0xEE, sizeof b);
    const qi_tlv_get two[] = {{5, 8, a, &na}, {6, 8, b, &nb}, {0, 0, nullptr, nullptr}};
    EXPECT_EQ(qi_parse_tlvs(&pdu, two), 1);
    EXPECT_EQ(na, 2);
    EXPECT_EQ(octets(a, a + 3), (octets{1, 2, 0}));
    EXPECT_EQ(nb, 0);
    EXPECT_EQ(b[0], 0xEE);

    // A TLV running past L stops the parse: earlier values stay, later entries untouched.
    set_body(&pdu, cat({tlv(5, {1, 2}), be16(9), be16(50), octets(10, 3), tlv(6, {8})}),
             4 + 2 + 4 + 10);
    std::memset(a, 0xEE, sizeof a);
    std::memset(b, 0xEE, sizeof b);
    na = nb = 99;
    uint16_t nc = 99;
    uint8_t c[4] = {0xEE};
    const qi_tlv_get three[] = {
        {5, 8, a, &na}, {9, 8, b, &nb}, {6, 4, c, &nc}, {0, 0, nullptr, nullptr}};
    EXPECT_EQ(qi_parse_tlvs(&pdu, three), 2);
    EXPECT_EQ(na, 2);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(nb, 0);
    EXPECT_EQ(b[0], 0xEE);
    EXPECT_EQ(nc, 99);
    EXPECT_EQ(c[0], 0xEE);

    // A TLV header cut off by L: octets beyond L that would form the wanted TLV are
    // never looked at.
    set_body(&pdu, cat({tlv(5, {1}), {0x00, 0x0C}, {0x00, 0x01, 0x41}}), 5 + 2);
    nb = 99;
    const qi_tlv_get cut[] = {{12, 8, b, &nb}, {0, 0, nullptr, nullptr}};
    EXPECT_EQ(qi_parse_tlvs(&pdu, cut), 2);
    EXPECT_EQ(nb, 0);
}

TEST(QiWire, ParseTextCutToCapacity) {
    static qi_pdu pdu;
    static counted_text out;
    uint16_t n = 0;
    const qi_tlv_get want[] = {{12, 255, out.text, &n}, {0, 0, nullptr, nullptr}};

    // 300 octets are cut to 255 and nothing is stored after them.
    octets text(300);
    for (size_t i = 0; i < text.size(); i++)
        text[i] = uint8_t('a' + i % 26);
    set_body(&pdu, tlv(12, text), 304);
    struct {
        counted_text t;
        uint8_t after;
    } slot;
    std::memset(&slot, 0x77, sizeof slot);
    const qi_tlv_get into_slot[] = {{12, 255, slot.t.text, &n}, {0, 0, nullptr, nullptr}};
    EXPECT_EQ(qi_parse_tlvs(&pdu, into_slot), 1);
    EXPECT_EQ(n, 255);
    EXPECT_EQ(octets(slot.t.text, slot.t.text + 255), octets(text.begin(), text.begin() + 255));
    EXPECT_EQ(slot.after, 0x77);

    // 10 octets get a zero octet after them.
    std::memset(&out, 0x77, sizeof out);
    set_body(&pdu, tlv(12, text_octets("Channel 10")), 14);
    EXPECT_EQ(qi_parse_tlvs(&pdu, want), 1);
    EXPECT_EQ(n, 10);
    EXPECT_STREQ(out.text, "Channel 10");
}

TEST(QiWire, ChallengeDigest) {
    const char *pw = "0123456789abcdef0123456789abcdef01234567";
    uint8_t d[20];
    // A welcome without a challenge: the 40 password octets alone.
    ASSERT_TRUE(qi_digest(pw, nullptr, 0, d));
    EXPECT_EQ(hex(d, 20), "158b484ae1f6f64f89da22397d25fbdafad02252");
    // The challenge 00 AB 10 enters as the text "00ab10".
    const uint8_t ch[] = {0x00, 0xAB, 0x10};
    ASSERT_TRUE(qi_digest(pw, ch, 3, d));
    EXPECT_EQ(hex(d, 20), "b1f6d2e818a189dba2c25816f3a668376de993ae");
    // Only the first 40 characters count.
    ASSERT_TRUE(qi_digest("0123456789abcdef0123456789abcdef01234567EXTRA", ch, 3, d));
    EXPECT_EQ(hex(d, 20), "b1f6d2e818a189dba2c25816f3a668376de993ae");
    // A shorter stored value hashes as if zero-filled to 40 octets.
    char buf[128];
    std::memset(buf, 'X', sizeof buf);
    std::memcpy(buf, "abc", 4);
    ASSERT_TRUE(qi_digest(buf, nullptr, 0, d));
    EXPECT_EQ(hex(d, 20), "5ab92aa1dd3f27c2ef2a3d67e6c0556ff7654683");
}
