// A QI server for tests and the demo: the server side of the QI protocol with
// accounts, a random challenge, link and start answers, and switchable faults.
// Its wire code is written independently of the supervisor's on purpose, so the
// two sides check each other.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"

#define QISRV "QISRV"

enum { QISRV_MAX_ACCOUNTS = 64, QISRV_PDU_MAX = 4112 };

// What the server does wrong on purpose.
enum qisrv_fault : int32_t {
    QF_NONE = 0,
    QF_REFUSE_AUTH,   // every authentication answered with the refuse code
    QF_SILENT,        // accept, read and log, send nothing
    QF_CLOSE_MID_PDU, // send the header and part of the body, then close
    QF_OVERSIZED,     // announce a PDU of 4113 octets (L = 4107)
    QF_TLV_OVERRUN,   // the last TLV's length runs past the body (at the welcome it is
                      // the challenge, at a start answer the text)
};
// Which of the server's PDUs a PDU fault hits.
enum qisrv_stage : int32_t { QS_WELCOME = 0, QS_AUTH_ANSWER = 1, QS_ANSWER = 2, QS_NOTIFY = 3 };

struct qisrv_account {
    uint32_t uid;
    char password[129]; // stored password text; its first 40 octets are hashed
};

struct qisrv_state {
    int32_t port;
    int32_t challenge_len;        // octets of the random challenge, 0 sends no tag 4
    int32_t duration;             // tag 14 of link and start answers
    char text[256];               // tag 12 of start answers
    uint32_t accept_code;         // odd
    uint32_t refuse_code;         // even
    int32_t refuse_cid;           // link and start for this CID are refused (0: none)
    int32_t notify;               // after an accepted start, send one more PDU (code 16)
    int32_t answer_hold_ms;       // pause before each link or start answer (a slow server)
    std::atomic<int32_t> holding; // requests in that pause now: the clients' concurrency
    qisrv_fault fault;
    qisrv_stage fault_stage;
    int32_t account_count;
    qisrv_account accounts[QISRV_MAX_ACCOUNTS];
    net_sock listen_sock;
};

extern qisrv_state g_qisrv;

// Reads "UID PASSWORD" lines ('#' starts a comment line); returns a status.
int32_t qisrv_load_accounts(const char *file);
// Adds one "UID:PASSWORD" account.
int32_t qisrv_add_account(const char *text);
// Names of faults and stages as given on the command line.
bool qisrv_fault_from_name(const char *name, qisrv_fault *out);
bool qisrv_stage_from_name(const char *name, qisrv_stage *out);
// Serves one accepted connection to its end and closes it.
void qisrv_serve(net_sock s, uint32_t conn_no, uint32_t peer_addr, uint16_t peer_port);
