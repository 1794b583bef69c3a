// varnex-qi-server: start-up, options and the accept loop of the QI test server.
// Each connection is served on its own thread, so a session that was handed on
// (an admitted start request) stays open while later ones are served.
//
// Options (-name=value):
//   -port=3564            TCP port
//   -bind=127.0.0.1       local address to listen on (0.0.0.0: every interface)
//   -accounts=FILE        accounts, one a line: "UID PASSWORD" (decimal UID, blank, the
//                         stored password text, 40 characters); '#' starts a comment line
//   -account=UID:PASSWORD one more account from the command line
//   -challenge=16         octets of the random challenge (0: the welcome has no tag 4)
//   -text=...             tag-12 text of start answers; -duration=30 tag 14 of answers
//   -accept_code=1 -refuse_code=2   answer codes (odd accepts, even refuses)
//   -refuse_cid=N         link and start requests for CID N are refused
//   -notify=1             after an admitted start, send one more PDU (code 16, tag 7 CID)
//   -answer_hold_ms=0     pause before each link or start answer; the log line of each
//                         tells how many requests were held at once
//   -fault=none|refuse_auth|silent|close_mid_pdu|oversized_pdu|tlv_overrun
//   -fault_at=welcome|auth|answer|notify   which PDU a PDU fault spoils
#include <cstring>
#include <thread>

#include "companions/qi_server/qi_server.h"
#include "utils/log.h"
#include "utils/options.h"

int main(int argc, char **argv) {
    int32_t port = 3564, challenge = 16, duration = 30, refuse_cid = 0, notify = 1;
    int32_t accept_code = 1, refuse_code = 2, answer_hold_ms = 0;
    uint32_t bind_addr = net_parse_ipv4("127.0.0.1"); // loopback unless told otherwise
    option_text accounts{}, account{}, text{}, fault{}, fault_at{};
    std::strcpy(text.text, "Varnex test channel");
    text.len = uint8_t(std::strlen(text.text));
    std::strcpy(fault.text, "none");
    fault.len = 4;
    std::strcpy(fault_at.text, "welcome");
    fault_at.len = 7;

    option_entry table[] = {
        option_def("port", &port, sizeof port, OPT_INT),
        option_def("bind", &bind_addr, sizeof bind_addr, OPT_IPV4),
        option_def("accounts", &accounts, sizeof accounts, OPT_TEXT),
        option_def("account", &account, sizeof account, OPT_SECRET),
        option_def("challenge", &challenge, sizeof challenge, OPT_INT),
        option_def("duration", &duration, sizeof duration, OPT_INT),
        option_def("text", &text, sizeof text, OPT_TEXT),
        option_def("accept_code", &accept_code, sizeof accept_code, OPT_INT),
        option_def("refuse_code", &refuse_code, sizeof refuse_code, OPT_INT),
        option_def("refuse_cid", &refuse_cid, sizeof refuse_cid, OPT_INT),
        option_def("notify", &notify, sizeof notify, OPT_INT),
        option_def("answer_hold_ms", &answer_hold_ms, sizeof answer_hold_ms, OPT_INT),
        option_def("fault", &fault, sizeof fault, OPT_TEXT),
        option_def("fault_at", &fault_at, sizeof fault_at, OPT_TEXT),
        option_entry{},
    };
    if (!(parse_command_line(argc, argv, table) & 1)) return 4;
    list_options(table);
    if (!(check_port_option(QISRV, "port", port) & 1)) return SEV_F;

    qisrv_state &g = g_qisrv;
    g.port = port;
    g.challenge_len = challenge < 0 ? 0 : challenge > 128 ? 128 : challenge;
    g.duration = duration;
    std::memcpy(g.text, text.text, text.len);
    g.text[text.len] = 0;
    g.accept_code = uint32_t(accept_code);
    g.refuse_code = uint32_t(refuse_code);
    g.refuse_cid = refuse_cid;
    g.notify = notify;
    g.answer_hold_ms = answer_hold_ms < 0 ? 0 : answer_hold_ms;
    if (!qisrv_fault_from_name(fault.text, &g.fault))
        return log_printf(QISRV, SEV_F, "Unknown fault '%s'", fault.text);
    if (!qisrv_stage_from_name(fault_at.text, &g.fault_stage))
        return log_printf(QISRV, SEV_F, "Unknown fault stage '%s'", fault_at.text);
    if (!(accept_code & 1) || (refuse_code & 1))
        log_printf(QISRV, SEV_W, "accept_code %d should be odd and refuse_code %d even",
                   accept_code, refuse_code);
    if (accounts.len && !(qisrv_load_accounts(accounts.text) & 1)) return SEV_F;
    if (account.len && !(qisrv_add_account(account.text) & 1)) return SEV_F;
    if (g.account_count == 0) log_printf(QISRV, SEV_W, "No accounts: every authentication fails");

    if (net_startup() != 0) return log_printf(QISRV, SEV_F, "net_startup failure");
    g.listen_sock = net_tcp_socket();
    if (g.listen_sock == NET_BAD_SOCK || !net_set_reuseaddr(g.listen_sock) ||
        !net_bind(g.listen_sock, bind_addr, uint16_t(port)) || !net_listen(g.listen_sock, 64))
        return log_printf(QISRV, SEV_F, "Cannot listen on port %d, errno = %d", port, net_error());
    log_printf(QISRV, SEV_I, "QI server listening on port %d, fault %s at %s", port, fault.text,
               fault_at.text);

    for (uint32_t conn = 1;; conn++) {
        uint32_t addr = 0;
        uint16_t peer_port = 0;
        net_sock s = net_accept(g.listen_sock, &addr, &peer_port);
        if (s == NET_BAD_SOCK)
            return log_printf(QISRV, SEV_F, "accept failure, errno = %d", net_error());
        std::thread(qisrv_serve, s, conn, addr, peer_port).detach();
    }
}
