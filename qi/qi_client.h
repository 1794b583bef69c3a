// The QI client's exchanges: authentication and one link or start request on a
// fresh connection to the first reachable server of a server list. Every exchange
// works in the caller's buffers, so several may run at once on different threads.
#pragma once

#include <cstdint>

#include "qi/qi_wire.h"

// Registry key that holds the account (UserName DWORD, Password text).
#define QI_ACCOUNT_KEY "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex"
// The server list used when none is given.
#define QI_DEFAULT_SERVERS "127.0.0.1,127.0.0.2,127.0.0.3"

enum { QI_PASSWORD_OCTETS = 40, QI_PASSWORD_CAP = 128, QI_CHALLENGE_CAP = 128 };

// One length octet and up to 255 characters.
struct counted_text {
    uint8_t len;
    char text[255];
};
static_assert(sizeof(counted_text) == 256, "counted text is 256 octets");

// The buffers of one exchange: a PDU and the welcome text.
struct qi_buffers {
    qi_pdu pdu;
    uint8_t welcome[1024];
};

// The parts of a link or start answer that the caller keeps.
struct qi_answer {
    int32_t duration;   // tag 14, 0 when absent
    counted_text *text; // gets the tag-12 text; may be null
};

// An account to check instead of the stored one (the update program's -auth run).
struct qi_account {
    uint32_t uid;
    const char *password; // the stored-form text; its first 40 octets are hashed
};

// Milliseconds of the pause before every request (0 to 1000).
extern uint32_t g_qi_req_pause_ms;

// Connects to the first entry of list that connects, reads the welcome and
// authenticates with peer_id; a null account reads the registry's. *out is
// NET_BAD_SOCK until a connection stands, then that socket; the caller closes it on
// every path. Returns a failure status or the answer code.
int32_t qi_login(net_sock *out, const counted_text *list, const counted_text *peer_id,
                 const qi_account *account, qi_buffers *b);

// Sends one link (4) or start (3) request after the request pause and reads its answer.
int32_t qi_request(net_sock s, int32_t cid, uint32_t code, const counted_text *vtid,
                   const counted_text *udata, qi_answer *ans, qi_buffers *b);

// Splits one server-list entry "host[:port]" into a host of up to 127 characters
// and the decimal value of up to 5 port digits (0 when none); returns the number of
// fields found: 0 (no host), 1 or 2.
int qi_split_entry(const char *entry, char host[128], int32_t *port);

// The challenge response: SHA-1 over the 40 password octets (a shorter stored value
// counts as zero-filled) and the challenge in lower-case hexadecimal text.
bool qi_digest(const char *password, const uint8_t *challenge, uint32_t challenge_len,
               uint8_t digest[20]);
