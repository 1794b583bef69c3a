// The QI session of a player request: qi_auth and qi_req over the QI client with
// the supervisor's peer identifier, and the link and start-streaming handlers of the
// accept loop that use them.
#include "marshal/qi_session.h"

int32_t qi_auth(net_sock *out, const counted_text *list) {
    return qi_login(out, list, &g_marshal.peer_id, nullptr, &g_marshal.admits[0].qi);
}

int32_t qi_req(net_sock s, int32_t cid, uint32_t code, const counted_text *vtid,
               const counted_text *udata, counted_text *text_out) {
    qi_answer ans{0, text_out};
    int32_t st = qi_request(s, cid, code, vtid, udata, &ans, &g_marshal.admits[0].qi);
    g_marshal.duration = ans.duration;
    return st;
}

static void close_qi(admission &a) {
    if (a.qi_sock != NET_BAD_SOCK) net_close(a.qi_sock);
    a.qi_sock = NET_BAD_SOCK;
}

// Login and one request in admission a's own buffers; the answer's duration goes to a.
static int32_t auth_in(admission &a) {
    return qi_login(&a.qi_sock, &a.req.qi, &g_marshal.peer_id, nullptr, &a.qi);
}
static int32_t req_in(admission &a, uint32_t code, counted_text *text_out) {
    const request_record &r = a.req;
    qi_answer ans{0, text_out};
    int32_t st = qi_request(a.qi_sock, r.cid, code, &r.vtid, &r.udata, &ans, &a.qi);
    a.duration = ans.duration;
    return st;
}

int32_t handle_link(admission &a, net_sock player) {
    const request_record &r = a.req;
    if (!(auth_in(a) & 1)) {
        int32_t st = log_printf(MRSHL, SEV_E, "Authentication to QI failed");
        send_ans(player, 2);
        tray_notify("Authentication error, check UID and Password");
        close_qi(a);
        return st;
    }
    if (!(req_in(a, QI_REQ_LINK, nullptr) & 1)) {
        int32_t st = log_printf(MRSHL, SEV_E, "Error Link UID for CID=%d", r.cid);
        send_ans(player, 5);
        tray_notify("Error linking UID, contact support");
        close_qi(a);
        return st;
    }
    MTRACE("handle_link", "MRSHL: Link UID for CID=%d SUCCESS", r.cid);
    send_ans(player, 0);
    tray_notify("UID has been linked successfully");
    close_qi(a);
    return SEV_S;
}

int32_t qi_start_streaming(admission &a, net_sock player) {
    const request_record &r = a.req;
    if (r.sid.len != 0) {
        a.qi_sock = NET_BAD_SOCK; // a sid request never opens a QI connection
        return SEV_S;
    }
    if (!(auth_in(a) & 1)) {
        int32_t st = log_printf(MRSHL, SEV_E, "Authentication to QI failed");
        close_qi(a);
        send_ans(player, 2);
        tray_notify("Authentication error, check UID and Password");
        return st;
    }
    if (!(req_in(a, QI_REQ_START, &a.channel_name) & 1)) {
        log_printf(MRSHL, SEV_I, "Error Start CID=%d", r.cid);
        close_qi(a);
        send_ans(player, 3);
        tray_notify("CID=%d is not accessible, try later", r.cid);
        return SEV_E;
    }
    return SEV_S;
}
