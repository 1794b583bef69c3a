// Named message pipes: one server end that a single client at a time connects to,
// whole messages in both directions. Here a Unix-domain SOCK_SEQPACKET socket at
// $VARNEX_RUNTIME_DIR/pipe/NAME; while a client is connected the name answers
// "busy" to further clients, as a one-instance Windows pipe does.
//
// A client is either told busy (OS_E_BUSY) or served: a write that succeeds is read.
// Here the server admits each client it takes with one octet, and a client's first
// write or read waits for it (a write up to MSGPIPE_ADMIT_MS), so a client that
// connected as the instance was being taken learns there that it is busy.
#pragma once

#include <cstddef>
#include <cstdint>

struct msg_pipe {
    intptr_t conn;   // the connected end, -1 when none
    intptr_t listen; // server only: the listening end, -1 when none
    char name[64];
    intptr_t owner;            // server only: what holds the name (a lock file here), -1 otherwise
    int32_t pending_admission; // client only: 1 until the server's admission octet is read
};
// All fields are set by msgpipe_create / msgpipe_open; a closed pipe has its
// handles at -1.

// Server end. Fails with OS_E_EXISTS when a live server already has the name.
bool msgpipe_create(const char *name, msg_pipe *out);
// Waits for a client; timeout_ms < 0 waits forever. A client that connected
// before the call counts as connected.
bool msgpipe_wait_client(msg_pipe *p, int timeout_ms);
// Drops the client and makes the name available for the next one.
void msgpipe_disconnect(msg_pipe *p);
// Client end of an existing pipe: OS_E_NOT_FOUND when there is no server,
// OS_E_BUSY when its instance is taken.
bool msgpipe_open(const char *name, msg_pipe *out);
// Longest wait of a client's first write for the server to admit it.
enum { MSGPIPE_ADMIT_MS = 3000 };

// Writes one message; pass_sock (or -1) travels with it to the reader. A client not
// yet admitted waits for that first: OS_E_BUSY when it is dropped or not admitted in time.
long msgpipe_write(msg_pipe *p, const void *data, size_t len, intptr_t pass_sock = -1);
// Messages are never empty (a zero length is refused).
// Reads one message (blocking, or up to timeout_ms when >= 0; 0 octets and
// OS_E_TIMEOUT on time-out). A descriptor that came with it goes to *got_sock.
// -1 when the other end has gone (EPIPE here), or when the message was longer than
// cap (EMSGSIZE here; data holds its first cap octets).
long msgpipe_read(msg_pipe *p, void *data, size_t cap, intptr_t *got_sock = nullptr,
                  int timeout_ms = -1);
// Octets of the next message waiting, 0 when none, -1 when the other end is gone.
long msgpipe_peek(msg_pipe *p);
void msgpipe_close(msg_pipe *p);

// Where the pipe NAME lives on this system.
void msgpipe_path(const char *name, char *out, size_t cap);
