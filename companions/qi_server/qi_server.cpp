// Serving one connection: welcome with a challenge, authentication against the
// accounts, one link or start request, the answers and the faults asked for.
// Everything received is logged.
#include "companions/qi_server/qi_server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crypto.h"
#include "platform/os.h"
#include "utils/log.h"

qisrv_state g_qisrv;

namespace {

// One PDU as the server sees it: code, body length and body.
struct srv_pdu {
    uint32_t code;
    uint32_t len;
    uint8_t body[QISRV_PDU_MAX];
};

// A PDU being written: header and TLVs in wire order.
struct srv_out {
    uint8_t wire[QISRV_PDU_MAX + 64];
    uint32_t used = 6;

    void tlv(uint16_t tag, const void *value, uint16_t len) {
        uint8_t *p = wire + used;
        p[0] = uint8_t(tag >> 8);
        p[1] = uint8_t(tag);
        p[2] = uint8_t(len >> 8);
        p[3] = uint8_t(len);
        if (len) std::memcpy(p + 4, value, len);
        used += 4u + len;
    }
    void tlv_u32(uint16_t tag, uint32_t v) {
        uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        tlv(tag, b, 4);
    }
    // Fills in the header from what was laid out.
    void finish(uint32_t code) {
        uint32_t len = used - 6;
        wire[0] = uint8_t(len >> 8);
        wire[1] = uint8_t(len);
        wire[2] = uint8_t(code >> 24);
        wire[3] = uint8_t(code >> 16);
        wire[4] = uint8_t(code >> 8);
        wire[5] = uint8_t(code);
    }
};

bool recv_all(net_sock s, void *buf, uint32_t n) {
    uint8_t *p = static_cast<uint8_t *>(buf);
    while (n > 0) {
        long got = net_recv(s, p, n);
        if (got <= 0) return false;
        p += got;
        n -= uint32_t(got);
    }
    return true;
}

// Reads one PDU; false when the peer closed or sent a header that cannot be right.
bool read_pdu(net_sock s, uint32_t conn, srv_pdu *pdu) {
    uint8_t h[6];
    if (!recv_all(s, h, 6)) return false;
    pdu->len = uint32_t(h[0]) << 8 | h[1];
    pdu->code = uint32_t(h[2]) << 24 | uint32_t(h[3]) << 16 | uint32_t(h[4]) << 8 | h[5];
    if (pdu->len + 6 > QISRV_PDU_MAX) {
        log_printf(QISRV, SEV_E, "[%u] received header of an oversized PDU: L = %u, code = %u",
                   conn, pdu->len, pdu->code);
        return false;
    }
    if (!recv_all(s, pdu->body, pdu->len)) {
        log_printf(QISRV, SEV_E, "[%u] connection ended inside a PDU body (L = %u)", conn,
                   pdu->len);
        return false;
    }
    log_printf(QISRV, SEV_I, "[%u] received PDU code=%u, %u octets", conn, pdu->code, pdu->len);
    return true;
}

// The first TLV of a tag: its value and length, or null. Never reads past the body.
const uint8_t *find_tlv(const srv_pdu *pdu, uint16_t tag, uint32_t *len) {
    uint32_t off = 0;
    while (off + 4 <= pdu->len) {
        const uint8_t *t = pdu->body + off;
        uint32_t tg = uint32_t(t[0]) << 8 | t[1], v = uint32_t(t[2]) << 8 | t[3];
        if (off + 4 + v > pdu->len) return nullptr;
        if (tg == tag) {
            *len = v;
            return t + 4;
        }
        off += 4 + v;
    }
    return nullptr;
}

uint32_t tlv_u32(const srv_pdu *pdu, uint16_t tag, bool *found) {
    uint32_t len = 0;
    const uint8_t *v = find_tlv(pdu, tag, &len);
    *found = v && len == 4;
    return *found ? uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3] : 0;
}

void hex_text(const uint8_t *p, uint32_t n, char *out) {
    static const char hex[] = "0123456789abcdef";
    for (uint32_t i = 0; i < n; i++) {
        out[2 * i] = hex[p[i] >> 4];
        out[2 * i + 1] = hex[p[i] & 15];
    }
    out[2 * n] = 0;
}

// Sends a PDU, spoiled by the fault when the fault hits this stage. False when
// the connection should end here.
bool fault_at(qisrv_fault f, qisrv_stage stage) {
    return g_qisrv.fault == f && g_qisrv.fault_stage == stage;
}

// With the TLV fault the PDU ends in a TLV of the given tag whose header announces
// 64 value octets of which only 2 follow; callers leave that tag out themselves.
bool send_out(net_sock s, uint32_t conn, srv_out *o, uint32_t code, qisrv_stage stage,
              const char *what, uint16_t overrun_tag) {
    qisrv_fault f = g_qisrv.fault_stage == stage ? g_qisrv.fault : QF_NONE;
    if (f == QF_TLV_OVERRUN) {
        const uint8_t tail[] = {
            uint8_t(overrun_tag >> 8), uint8_t(overrun_tag), 0x00, 0x40, 0xEE, 0xEE};
        std::memcpy(o->wire + o->used, tail, sizeof tail);
        o->used += sizeof tail;
    }
    o->finish(code);
    if (f == QF_OVERSIZED) {
        o->wire[0] = 0x10; // L = 4107
        o->wire[1] = 0x0B;
        net_send_all(s, o->wire, 6);
        log_printf(QISRV, SEV_I, "[%u] sent %s announcing L = 4107 (fault), closing", conn, what);
        return false;
    }
    if (f == QF_CLOSE_MID_PDU) {
        // Half the body, or half the header when there is no body.
        uint32_t part = o->used > 6 ? 6 + (o->used - 6) / 2 : 3;
        net_send_all(s, o->wire, part);
        log_printf(QISRV, SEV_I, "[%u] sent %u of %u octets of %s (fault), closing", conn, part,
                   o->used, what);
        return false;
    }
    if (net_send_all(s, o->wire, o->used) != long(o->used)) {
        log_printf(QISRV, SEV_E, "[%u] send of %s failed", conn, what);
        return false;
    }
    log_printf(QISRV, SEV_I, "[%u] sent %s code=%u, %u octets%s", conn, what, code, o->used - 6,
               f == QF_TLV_OVERRUN ? " (TLV past the body)" : "");
    return true;
}

const qisrv_account *find_account(uint32_t uid) {
    for (int32_t i = 0; i < g_qisrv.account_count; i++)
        if (g_qisrv.accounts[i].uid == uid) return &g_qisrv.accounts[i];
    return nullptr;
}

// Logs PDUs until the peer closes the connection.
void drain(net_sock s, uint32_t conn, srv_pdu *pdu) {
    while (read_pdu(s, conn, pdu)) {
    }
}

} // namespace

void qisrv_serve(net_sock s, uint32_t conn, uint32_t peer_addr, uint16_t peer_port) {
    char dotted[16];
    log_printf(QISRV, SEV_I, "[%u] connection from %s:%u", conn, net_format_ipv4(peer_addr, dotted),
               peer_port);
    static thread_local srv_pdu in;
    static thread_local srv_out out;

    if (g_qisrv.fault == QF_SILENT) {
        log_printf(QISRV, SEV_I, "[%u] silent (fault): sending nothing", conn);
        drain(s, conn, &in);
        goto done;
    }

    {
        // Welcome: tag 1 and the challenge.
        uint8_t challenge[128];
        uint32_t clen = uint32_t(g_qisrv.challenge_len);
        if (clen > sizeof challenge) clen = sizeof challenge;
        if (clen) crypto_random(challenge, clen);
        static const char greeting[] = "Varnex QI test server";
        out = srv_out();
        out.tlv(1, greeting, sizeof greeting - 1);
        if (fault_at(QF_TLV_OVERRUN, QS_WELCOME)) clen = 0; // the challenge is the broken TLV
        if (clen) out.tlv(4, challenge, uint16_t(clen));
        char chex[2 * 128 + 1];
        hex_text(challenge, clen, chex);
        log_printf(QISRV, SEV_I, "[%u] challenge '%s'", conn, chex);
        if (!send_out(s, conn, &out, 0, QS_WELCOME, "welcome", 4)) goto done;

        // Authentication.
        if (!read_pdu(s, conn, &in)) goto done;
        bool has_uid = false;
        uint32_t uid = tlv_u32(&in, 2, &has_uid);
        uint32_t rlen = 0, plen = 0;
        const uint8_t *response = find_tlv(&in, 3, &rlen);
        const uint8_t *peer = find_tlv(&in, 11, &plen);
        char rhex[41] = "";
        if (response && rlen == 20) hex_text(response, 20, rhex);
        const qisrv_account *acc = has_uid ? find_account(uid) : nullptr;
        const char *verdict = "accepted";
        if (in.code != 1)
            verdict = "not an authentication request";
        else if (!has_uid)
            verdict = "no UID";
        else if (!acc)
            verdict = "unknown UID";
        else if (!response || rlen != 20)
            verdict = "no response";
        else {
            uint8_t pw[40] = {};
            std::memcpy(pw, acc->password, strnlen(acc->password, 40));
            char ctext[2 * 128 + 1];
            hex_text(challenge, clen, ctext);
            uint8_t expect[20];
            sha1_two_parts(pw, 40, ctext, 2 * clen, expect);
            if (std::memcmp(expect, response, 20) != 0) verdict = "wrong response";
        }
        bool ok = std::strcmp(verdict, "accepted") == 0;
        if (g_qisrv.fault == QF_REFUSE_AUTH) {
            ok = false;
            verdict = "refused (fault)";
        }
        log_printf(QISRV, SEV_I, "[%u] authentication UID=%u response=%s peer_id='%.*s': %s", conn,
                   uid, rhex, peer ? int(plen) : 0,
                   peer ? reinterpret_cast<const char *>(peer) : "", verdict);
        out = srv_out();
        if (!send_out(s, conn, &out, ok ? g_qisrv.accept_code : g_qisrv.refuse_code, QS_AUTH_ANSWER,
                      "authentication answer", 1))
            goto done;
        if (!ok) {
            drain(s, conn, &in);
            goto done;
        }

        // One link or start request.
        if (!read_pdu(s, conn, &in)) goto done;
        bool has_cid = false;
        int32_t cid = int32_t(tlv_u32(&in, 7, &has_cid));
        uint32_t vlen = 0, ulen = 0;
        const uint8_t *vtid = find_tlv(&in, 6, &vlen);
        const uint8_t *udata = find_tlv(&in, 10, &ulen);
        const char *kind = in.code == 3 ? "start" : in.code == 4 ? "link" : "unknown";
        bool admit = has_cid && (in.code == 3 || in.code == 4) && cid != g_qisrv.refuse_cid;
        log_printf(QISRV, SEV_I, "[%u] %s request CID=%d VTID='%.*s' udata='%.*s': %s", conn, kind,
                   cid, vtid ? int(vlen) : 0, vtid ? reinterpret_cast<const char *>(vtid) : "",
                   udata ? int(ulen) : 0, udata ? reinterpret_cast<const char *>(udata) : "",
                   admit ? "accepted" : "refused");
        if (g_qisrv.answer_hold_ms > 0) {
            int32_t together = ++g_qisrv.holding;
            log_printf(QISRV, SEV_I, "[%u] answer held %d ms, %d requests held at once", conn,
                       int(g_qisrv.answer_hold_ms), int(together));
            os_sleep_ms(uint32_t(g_qisrv.answer_hold_ms));
            --g_qisrv.holding;
        }
        out = srv_out();
        out.tlv_u32(14, uint32_t(g_qisrv.duration));
        if (in.code == 3 && admit && !fault_at(QF_TLV_OVERRUN, QS_ANSWER))
            out.tlv(12, g_qisrv.text, uint16_t(strnlen(g_qisrv.text, 255)));
        if (!send_out(s, conn, &out, admit ? g_qisrv.accept_code : g_qisrv.refuse_code, QS_ANSWER,
                      "answer", 12))
            goto done;

        if (in.code == 3 && admit && g_qisrv.notify) {
            // The session goes on: one notification for whoever holds it now.
            out = srv_out();
            out.tlv_u32(7, uint32_t(cid));
            send_out(s, conn, &out, 16, QS_NOTIFY, "notification", 12);
        }
        drain(s, conn, &in);
    }

done:
    log_printf(QISRV, SEV_I, "[%u] connection closed", conn);
    net_close(s);
}

int32_t qisrv_add_account(const char *text) {
    if (g_qisrv.account_count >= QISRV_MAX_ACCOUNTS)
        return log_printf(QISRV, SEV_E, "Too many accounts (%d)", QISRV_MAX_ACCOUNTS);
    char *end = nullptr;
    unsigned long uid = std::strtoul(text, &end, 10);
    if (end == text || (*end != ':' && *end != ' ' && *end != '\t'))
        return log_printf(QISRV, SEV_E, "Bad account '%s' (UID:PASSWORD)", text);
    end++;
    while (*end == ' ' || *end == '\t')
        end++;
    size_t n = std::strcspn(end, "\r\n");
    if (n > 128) n = 128;
    qisrv_account &a = g_qisrv.accounts[g_qisrv.account_count++];
    a.uid = uint32_t(uid);
    std::memcpy(a.password, end, n);
    a.password[n] = 0;
    while (n > 0 && (a.password[n - 1] == ' ' || a.password[n - 1] == '\t'))
        a.password[--n] = 0;
    log_printf(QISRV, SEV_I, "Account UID=%u (%u password characters)", a.uid, unsigned(n));
    return SEV_S;
}

int32_t qisrv_load_accounts(const char *file) {
    FILE *f = std::fopen(file, "r");
    if (!f) return log_printf(QISRV, SEV_E, "Cannot open accounts file '%s'", file);
    char line[512];
    int32_t st = SEV_S;
    while (std::fgets(line, sizeof line, f)) {
        const char *p = line;
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == '#' || *p == '\n' || *p == '\r' || *p == 0) continue;
        st = qisrv_add_account(p);
        if (!(st & 1)) break;
    }
    std::fclose(f);
    return st;
}

bool qisrv_fault_from_name(const char *name, qisrv_fault *out) {
    static const struct {
        const char *name;
        qisrv_fault f;
    } names[] = {{"none", QF_NONE},
                 {"refuse_auth", QF_REFUSE_AUTH},
                 {"silent", QF_SILENT},
                 {"close_mid_pdu", QF_CLOSE_MID_PDU},
                 {"oversized_pdu", QF_OVERSIZED},
                 {"tlv_overrun", QF_TLV_OVERRUN}};
    for (const auto &n : names)
        if (std::strcmp(name, n.name) == 0) {
            *out = n.f;
            return true;
        }
    return false;
}

bool qisrv_stage_from_name(const char *name, qisrv_stage *out) {
    if (std::strcmp(name, "welcome") == 0)
        *out = QS_WELCOME;
    else if (std::strcmp(name, "auth") == 0)
        *out = QS_AUTH_ANSWER;
    else if (std::strcmp(name, "answer") == 0)
        *out = QS_ANSWER;
    else if (std::strcmp(name, "notify") == 0)
        *out = QS_NOTIFY;
    else
        return false;
    return true;
}
