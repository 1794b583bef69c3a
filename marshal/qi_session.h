// The supervisor's QI exchanges: the QI client with its peer identifier and the
// accept loop's buffers; the QI answer's duration goes to g_marshal.duration.
#pragma once

#include <cstdint>

#include "marshal/marshal.h"
#include "qi/qi_client.h"

// Connects to the first entry of list that connects, reads the welcome and
// authenticates with the stored account. *out is NET_BAD_SOCK until a connection
// stands, then that socket; the caller closes it on every path. Returns a failure
// status or the answer code.
int32_t qi_auth(net_sock *out, const counted_text *list);

// Sends one link (4) or start (3) request and reads its answer. Sets
// g_marshal.duration; text_out (may be null) gets the tag-12 text.
int32_t qi_req(net_sock s, int32_t cid, uint32_t code, const counted_text *vtid,
               const counted_text *udata, counted_text *text_out);
