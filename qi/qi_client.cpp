// The QI client's exchanges over the framing layer: the server-list walk, the
// challenge response with the stored or a given account, and one link or start
// request. Its lines carry the supervisor's tags, under which they have always
// appeared (the supervisor's log readers look for them there).
#include "qi/qi_client.h"

#include <cstdio>
#include <cstring>

#include "platform/crypto.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "utils/log.h"

#define QI_LOG "MRSHL"
#define QI_TRACE(op, fmt, ...)                                                                     \
    do {                                                                                           \
        if (g_trace) trace_printf(fmt, "KVT-MARSH", op, __LINE__, ##__VA_ARGS__);                  \
    } while (0)

uint32_t g_qi_req_pause_ms = 1000;

bool qi_digest(const char *password, const uint8_t *challenge, uint32_t challenge_len,
               uint8_t digest[20]) {
    // Exactly 40 octets enter the digest; after a shorter value they are zeros.
    uint8_t pw[QI_PASSWORD_OCTETS] = {};
    size_t n = strnlen(password, QI_PASSWORD_OCTETS);
    std::memcpy(pw, password, n);

    static const char hex[] = "0123456789abcdef";
    char text[2 * QI_CHALLENGE_CAP];
    if (challenge_len > QI_CHALLENGE_CAP) challenge_len = QI_CHALLENGE_CAP;
    for (uint32_t i = 0; i < challenge_len; i++) {
        text[2 * i] = hex[challenge[i] >> 4];
        text[2 * i + 1] = hex[challenge[i] & 15];
    }
    return sha1_two_parts(pw, sizeof pw, text, 2 * challenge_len, digest);
}

// Reads UserName and Password; logs and returns a failure status when either is
// missing or of the wrong type.
static int32_t read_account(uint32_t *uid, char password[QI_PASSWORD_CAP]) {
    reg_key key;
    if (!reg_open(QI_ACCOUNT_KEY, false, &key))
        return log_printf(QI_LOG, SEV_E,
                          "Registry key 'HKLM\\SOFTWARE\\Varnex' not found, status = %d",
                          os_error());

    reg_type type = REG_T_NONE;
    uint32_t size = sizeof *uid;
    if (!reg_query(&key, "UserName", &type, uid, &size) || type != REG_T_DWORD || size != 4) {
        int err = os_error();
        reg_close(&key);
        return log_printf(QI_LOG, SEV_E,
                          "Registry key 'HKLM\\SOFTWARE\\Varnex\\UserName' not found, status = %d",
                          err);
    }
    QI_TRACE("qi_auth", "UID = %d", int(*uid));

    std::memset(password, 0, QI_PASSWORD_CAP);
    size = QI_PASSWORD_CAP;
    if (!reg_query(&key, "Password", &type, password, &size) || type != REG_T_SZ) {
        int err = os_error();
        reg_close(&key);
        return log_printf(QI_LOG, SEV_E,
                          "Registry key 'HKLM\\SOFTWARE\\Varnex\\Password' not found, status = %d",
                          err);
    }
    password[QI_PASSWORD_CAP - 1] = 0;
    reg_close(&key);
    return SEV_S;
}

// Splits one server-list entry into host and port ("host[:port]"); returns the
// number of fields scanned as the entry's parse result (0, 1 or 2).
int qi_split_entry(const char *entry, char host[128], int32_t *port) {
    int n = 0;
    while (n < 127 && entry[n] != 0 && entry[n] != ':' && entry[n] != '\n') {
        host[n] = entry[n];
        n++;
    }
    host[n] = 0;
    *port = 0;
    if (n == 0) return 0;
    if (entry[n] != ':') return 1;
    const char *d = entry + n + 1;
    int digits = 0;
    int32_t value = 0;
    while (digits < 5 && d[digits] >= '0' && d[digits] <= '9')
        value = value * 10 + (d[digits++] - '0');
    if (digits == 0) return 1;
    *port = value;
    return 2;
}

int32_t qi_login(net_sock *out, const counted_text *list, const counted_text *peer_id,
                 const qi_account *account, qi_buffers *b) {
    QI_TRACE("qi_auth", "MRSHL: qi_ip[0:%u] = '%.*s', peer id [0:%u] = '%.*s'", list->len,
             int(list->len), list->text, peer_id->len, int(peer_id->len), peer_id->text);

    char work[256];
    std::memcpy(work, list->text, list->len);
    work[list->len] = 0;
    *out = NET_BAD_SOCK;

    net_sock s = NET_BAD_SOCK;
    char *next = work;
    while (next) {
        // The entries between commas, in order; an empty one scans nothing and is
        // passed over like an entry without a host.
        char *entry = next;
        next = std::strchr(entry, ',');
        if (next) *next++ = 0;
        QI_TRACE("qi_auth", "MRSHL: qi:%s", entry);
        char host[128];
        int32_t port = 0;
        int fields = qi_split_entry(entry, host, &port);
        if (fields == 0 || host[0] == 0) continue;
        if (port == 0) port = QI_DEFAULT_PORT;
        QI_TRACE("qi_auth", "MRSHL: %s:%d, status = %d", host, int(port), fields);
        if (port > 65535) {
            // Five digits can exceed a port; such an entry names no server.
            log_printf(QI_LOG, SEV_E, "Illegal port %d in QI server entry '%s'", int(port), entry);
            continue;
        }
        if (qi_connect(&s, host, uint16_t(port)) & 1) break;
        s = NET_BAD_SOCK;
    }
    if (s == NET_BAD_SOCK) return log_printf(QI_LOG, SEV_E, "No more QI");
    *out = s;

    qi_pdu &pdu = b->pdu;
    int32_t st = qi_read_pdu(s, &pdu);
    if (!(st & 1))
        return log_printf(QI_LOG, SEV_F, "[#%d] Error reading 'welcome', status = %d, errno = %d",
                          int(s), st, os_error());

    uint8_t challenge[QI_CHALLENGE_CAP];
    uint16_t challenge_len = 0;
    if (pdu.len != 0) {
        const qi_tlv_get want[] = {
            {QI_TAG_WELCOME, sizeof b->welcome, b->welcome, nullptr},
            {QI_TAG_CHALLENGE, sizeof challenge, challenge, &challenge_len},
            {0, 0, nullptr, nullptr},
        };
        qi_parse_tlvs(&pdu, want); // what was found before a fault is used
    }

    uint32_t uid = 0;
    char password[QI_PASSWORD_CAP];
    if (account) {
        uid = account->uid;
        std::memset(password, 0, sizeof password);
        std::memcpy(password, account->password, strnlen(account->password, QI_PASSWORD_CAP - 1));
    } else {
        st = read_account(&uid, password);
        if (!(st & 1)) return st;
    }

    uint8_t digest[20];
    qi_digest(password, challenge, challenge_len, digest);
    std::memset(password, 0, sizeof password);

    uint8_t uid_be[4];
    qi_put_u32(uid_be, uid);
    const qi_tlv_put put[] = {
        {QI_TAG_UID, 4, uid_be},
        {QI_TAG_RESPONSE, 20, digest},
        {QI_TAG_PEER_ID, peer_id->len, peer_id->text},
        {0, 0, nullptr},
    };
    qi_build_pdu(&pdu, put); // at most 3 x 4 + 4 + 20 + 255 octets: always fits
    pdu.code = QI_REQ_AUTH;
    st = qi_send_pdu(s, &pdu);
    if (!(st & 1))
        return log_printf(QI_LOG, st, "[#%d] Sending authentication request is failed", int(s));

    st = qi_read_pdu(s, &pdu);
    if (!(st & 1))
        return log_printf(QI_LOG, st, "[#%d] Reading an answer to authentication request is failed",
                          int(s));
    QI_TRACE("qi_auth", "MRSHL: [#%d] <-Answer: code = %08x", int(s), pdu.code);
    return int32_t(pdu.code);
}

int32_t qi_request(net_sock s, int32_t cid, uint32_t code, const counted_text *vtid,
                   const counted_text *udata, qi_answer *ans, qi_buffers *b) {
    counted_text *text_out = ans->text;
    ans->duration = 0;
    os_sleep_ms(g_qi_req_pause_ms);

    qi_pdu &pdu = b->pdu;
    uint8_t cid_be[4];
    qi_put_u32(cid_be, uint32_t(cid));
    const qi_tlv_put put[] = {
        {QI_TAG_CID, 4, cid_be},
        {QI_TAG_VTID, vtid->len, vtid->text},
        {QI_TAG_UDATA, udata->len, udata->text},
        {0, 0, nullptr},
    };
    qi_build_pdu(&pdu, put); // at most 3 x 4 + 4 + 2 x 255 octets: always fits
    pdu.code = code;
    int32_t st = qi_send_pdu(s, &pdu);
    if (!(st & 1))
        return log_printf(QI_LOG, SEV_F, "[#%d] Error sending request, status = %d, errno = %d",
                          int(s), st, os_error());

    st = qi_read_pdu(s, &pdu);
    if (!(st & 1))
        return log_printf(QI_LOG, SEV_F, "[#%d] Error reading answer, status = %d, errno = %d",
                          int(s), st, os_error());

    if (pdu.len != 0) {
        uint8_t duration[4] = {};
        uint16_t text_len = 0;
        const qi_tlv_get want[] = {
            {QI_TAG_DURATION, 4, duration, nullptr},
            {text_out ? uint16_t(QI_TAG_TEXT) : uint16_t(0), 255,
             text_out ? text_out->text : nullptr, &text_len},
            {0, 0, nullptr, nullptr},
        };
        qi_parse_tlvs(&pdu, want);
        ans->duration = int32_t(qi_get_u32(duration));
        if (text_out) text_out->len = uint8_t(text_len);
    } else if (text_out) {
        text_out->len = 0;
    }
    QI_TRACE("qi_req", "MRSHL: [#%d] <-Answer: code = %08x, duration = %d", int(s), pdu.code,
             ans->duration);
    return int32_t(pdu.code);
}
