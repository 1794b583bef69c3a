// The QI exchanges of the supervisor: authentication and one link or start request
// on a fresh connection to the first reachable server of a server list.
#pragma once

#include <cstdint>

#include "marshal/marshal.h"
#include "marshal/qi_wire.h"

// Registry key that holds the account (UserName DWORD, Password text).
#define QI_ACCOUNT_KEY "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex"

enum { QI_PASSWORD_OCTETS = 40, QI_PASSWORD_CAP = 128, QI_CHALLENGE_CAP = 128 };

// Milliseconds of the pause before every request; tests of this process may shorten it.
extern uint32_t g_qi_req_pause_ms;

// Connects to the first entry of list that connects, reads the welcome and
// authenticates. *out is NET_BAD_SOCK until a connection stands, then that socket;
// the caller closes it on every path. Returns a failure status or the answer code.
int32_t qi_auth(net_sock *out, const counted_text *list);

// An account to check instead of the stored one (the update program's -auth run).
struct qi_account {
    uint32_t uid;
    const char *password; // the stored-form text; its first 40 octets are hashed
};
// qi_auth with the given account; a null account reads the registry as qi_auth does.
int32_t qi_auth_account(net_sock *out, const counted_text *list, const qi_account *account);

// Sends one link (4) or start (3) request and reads its answer. Sets
// g_marshal.duration; text_out (may be null) gets the tag-12 text.
int32_t qi_req(net_sock s, int32_t cid, uint32_t code, const counted_text *vtid,
               const counted_text *udata, counted_text *text_out);

// Splits one server-list entry "host[:port]" into a host of up to 127 characters
// and the decimal value of up to 5 port digits (0 when none); returns the number of
// fields found: 0 (no host), 1 or 2.
int qi_split_entry(const char *entry, char host[128], int32_t *port);

// The challenge response: SHA-1 over the 40 password octets (a shorter stored value
// counts as zero-filled) and the challenge in lower-case hexadecimal text.
bool qi_digest(const char *password, const uint8_t *challenge, uint32_t challenge_len,
               uint8_t digest[20]);
