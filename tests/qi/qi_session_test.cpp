// qi_auth and qi_req in this process against the real QI server: the server-list
// walk, the account in the registry, the answers and the server's faults.
#include <gtest/gtest.h>

#include "marshal/qi_session.h"
#include "platform/registry.h"
#include "tests/qi/qi_server_run.h"
#include "tests/qi/qi_test_util.h"
#include "tests/support/stdout_capture.h"

namespace {

void set_text(counted_text *t, const std::string &s) {
    t->len = uint8_t(s.size());
    std::memcpy(t->text, s.data(), s.size());
}

bool store_account(const char *password, bool with_uid = true) {
    reg_key k;
    if (!reg_open(QI_ACCOUNT_KEY, true, &k)) return false;
    bool ok = (!with_uid || reg_set_dword(&k, "UserName", QI_TEST_UID)) &&
              reg_set_string(&k, "Password", password);
    reg_close(&k);
    return ok;
}

// Standard output of this process while f runs.
template <class F> std::string captured(F f) {
    stdout_capture cap;
    f();
    return cap.text();
}

struct QiExchange : ::testing::Test {
    test_world world;
    net_sock s = NET_BAD_SOCK;
    void SetUp() override {
        g_qi_req_pause_ms = 0; // this process's own pause; the supervisor keeps its second
        set_text(&g_marshal.peer_id, "A1B2KVT$");
    }
    void TearDown() override { close_qi(); }
    void close_qi() {
        if (s != NET_BAD_SOCK) net_close(s);
        s = NET_BAD_SOCK;
    }
    int32_t auth(const std::string &list) {
        close_qi();
        counted_text l{};
        set_text(&l, list);
        return qi_auth(&s, &l);
    }
    int32_t req(int32_t cid, uint32_t code, counted_text *out) {
        counted_text vtid{}, udata{};
        set_text(&vtid, "0-127.0.0.1-VLC");
        set_text(&udata, "u=7");
        return qi_req(s, cid, code, &vtid, &udata, out);
    }
};

} // namespace

TEST(QiSession, ServerListEntries) {
    char host[128];
    int32_t port = -1;
    EXPECT_EQ(qi_split_entry("10.0.0.1:8080", host, &port), 2);
    EXPECT_STREQ(host, "10.0.0.1");
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(qi_split_entry("qi.example:", host, &port), 1); // port 0: the default
    EXPECT_STREQ(host, "qi.example");
    EXPECT_EQ(port, 0);
    EXPECT_EQ(qi_split_entry("h:0", host, &port), 2);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(qi_split_entry(":3564", host, &port), 0);     // no host: skipped
    EXPECT_EQ(qi_split_entry("h:1234567", host, &port), 2); // five digits at most
    EXPECT_EQ(port, 12345);
    std::string longhost(140, 'x');
    EXPECT_EQ(qi_split_entry((longhost + ":1").c_str(), host, &port), 1);
    EXPECT_EQ(std::strlen(host), 127u);
}

TEST_F(QiExchange, AdmittedRequests) {
    ASSERT_TRUE(store_account(QI_TEST_PASSWORD));
    qi_server_run a, b;
    ASSERT_TRUE(a.start(world, "qi-a",
                        {"-text=News 24", "-duration=17", "-refuse_cid=9", "-accept_code=261",
                         "-refuse_code=260"}));
    ASSERT_TRUE(b.start(world, "qi-b"));
    const std::string dead = "127.0.0.1:" + std::to_string(free_tcp_port());

    // First entry refuses the connection, the second serves, the third is never tried.
    ASSERT_EQ(auth(",:77," + dead + "," + a.entry() + "," + b.entry()), 261);
    ASSERT_NE(s, NET_BAD_SOCK);
    EXPECT_TRUE(a.proc.wait_for_log("authentication UID=42 response=", 5000));
    EXPECT_TRUE(a.proc.wait_for_log("peer_id='A1B2KVT$': accepted", 5000));

    counted_text text{};
    EXPECT_EQ(req(1234, QI_REQ_START, &text), 261);
    EXPECT_EQ(std::string(text.text, text.len), "News 24");
    EXPECT_EQ(g_marshal.duration, 17);
    EXPECT_TRUE(a.proc.wait_for_log(
        "start request CID=1234 VTID='0-127.0.0.1-VLC' udata='u=7': accepted", 5000));
    // The session goes on: the server's next PDU arrives on the same connection.
    static qi_pdu pdu;
    ASSERT_EQ(qi_read_pdu(s, &pdu), 1);
    EXPECT_EQ(uint32_t(pdu.code), 16u);
    uint8_t cid[4] = {};
    const qi_tlv_get want[] = {{QI_TAG_CID, 4, cid, nullptr}, {0, 0, nullptr, nullptr}};
    EXPECT_EQ(qi_parse_tlvs(&pdu, want), 1);
    EXPECT_EQ(qi_get_u32(cid), 1234u);

    // A refused CID: an even code, the duration still taken from the answer.
    ASSERT_EQ(auth(a.entry()), 261);
    text.len = 99;
    EXPECT_EQ(req(9, QI_REQ_START, &text), 260);
    EXPECT_EQ(text.len, 0);
    EXPECT_EQ(g_marshal.duration, 17);

    // A link request, with a host name that needs resolving.
    ASSERT_EQ(auth("localhost:" + std::to_string(a.port)), 261);
    EXPECT_EQ(req(55, QI_REQ_LINK, nullptr), 261);
    EXPECT_TRUE(a.proc.wait_for_log("link request CID=55", 5000));
    close_qi();

    EXPECT_TRUE(b.proc.running());
    EXPECT_EQ(b.proc.log().find("connection from"), std::string::npos);
}

TEST_F(QiExchange, AccountProblems) {
    qi_server_run a;
    ASSERT_TRUE(a.start(world, "qi-a"));
    int32_t st = 0;

    // No key at all.
    std::string out = captured([&] { st = auth(a.entry()); });
    EXPECT_EQ(st, 2);
    EXPECT_TRUE(has_line_ending(
        out, "%MRSHL-E: Registry key 'HKLM\\SOFTWARE\\Varnex' not found, status = 2"))
        << out;

    // A key without UserName.
    ASSERT_TRUE(store_account(QI_TEST_PASSWORD, false));
    out = captured([&] { st = auth(a.entry()); });
    EXPECT_EQ(st, 2);
    EXPECT_NE(out.find("%MRSHL-E: Registry key 'HKLM\\SOFTWARE\\Varnex\\UserName' not found, "
                       "status = "),
              std::string::npos)
        << out;

    // A wrong password: the server answers with an even code.
    ASSERT_TRUE(store_account("0000000000000000000000000000000000000000"));
    EXPECT_EQ(auth(a.entry()), 2);
    EXPECT_TRUE(a.proc.wait_for_log("wrong response", 5000));

    // A short stored password hashes as zero-filled on both sides and is accepted.
    qi_server_run shortpw;
    ASSERT_TRUE(shortpw.start(world, "qi-short", {"-account=43:abc"}));
    {
        reg_key k;
        ASSERT_TRUE(reg_open(QI_ACCOUNT_KEY, true, &k));
        ASSERT_TRUE(reg_set_dword(&k, "UserName", 43));
        ASSERT_TRUE(reg_set_string(&k, "Password", "abc"));
        reg_close(&k);
    }
    EXPECT_EQ(auth(shortpw.entry()), 1);
}

TEST_F(QiExchange, ServerFaults) {
    ASSERT_TRUE(store_account(QI_TEST_PASSWORD));
    int32_t st = 0;

    // Nobody listens anywhere. Traced: every entry between commas is listed, the empty
    // one too, before it is split; only the entries with a host get their fields line.
    const std::string dead = "127.0.0.1:" + std::to_string(free_tcp_port());
    const std::string list = "127.0.0.1:70000,," + dead;
    g_trace = 1;
    std::string out = captured([&] { st = auth(list); });
    g_trace = 0;
    EXPECT_EQ(st, 2);
    EXPECT_EQ(s, NET_BAD_SOCK);
    EXPECT_TRUE(has_line_ending(out, "MRSHL: qi_ip[0:" + std::to_string(list.size()) + "] = '" +
                                         list + "', peer id [0:8] = 'A1B2KVT$'"))
        << out;
    EXPECT_TRUE(has_line_ending(out, "] MRSHL: qi:127.0.0.1:70000")) << out;
    EXPECT_TRUE(has_line_ending(out, "] MRSHL: 127.0.0.1:70000, status = 2")) << out;
    EXPECT_TRUE(has_line_ending(out, "] MRSHL: qi:")) << out;
    EXPECT_TRUE(has_line_ending(out, "] MRSHL: qi:" + dead)) << out;
    EXPECT_TRUE(has_line_ending(out, "] MRSHL: " + dead + ", status = 2")) << out;
    EXPECT_TRUE(
        has_line_ending(out, "%MRSHL-E: Illegal port 70000 in QI server entry '127.0.0.1:70000'"))
        << out;
    EXPECT_TRUE(has_line_ending(out, "%MRSHL-E: No more QI")) << out;

    // The first entry that connects is the only one used, even when its welcome fails.
    {
        qi_server_run broken, good;
        ASSERT_TRUE(broken.start(world, "qi-broken", {"-fault=oversized_pdu"}));
        ASSERT_TRUE(good.start(world, "qi-good"));
        EXPECT_EQ(auth(dead + "," + broken.entry() + "," + good.entry()), 4);
        EXPECT_NE(s, NET_BAD_SOCK); // the connection stood; the caller closes it
        EXPECT_EQ(good.proc.log().find("connection from"), std::string::npos);
    }

    struct fault_case {
        const char *fault, *at;
        int32_t want;
        const char *line; // a line the supervisor side writes
    } cases[] = {
        {"refuse_auth", "welcome", 2, nullptr},
        {"oversized_pdu", "welcome", 4,
         "%%KVTQIR-E: [#%d] Not enough space (4112 octets) to place whole PDU (4113 octets) "},
        {"close_mid_pdu", "welcome", 4,
         "%%MRSHL-F: [#%d] Error reading 'welcome', status = 2, errno = "},
        {"close_mid_pdu", "auth", 2,
         "%%MRSHL-E: [#%d] Reading an answer to authentication request is failed"},
        {"tlv_overrun", "welcome", 1, "%%KVTQIR-E: TLV length (64) is out of PDU"},
    };
    for (const fault_case &c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " at " + c.at);
        qi_server_run srv;
        ASSERT_TRUE(
            srv.start(world, std::string("qi-") + c.fault + "-" + c.at,
                      {std::string("-fault=") + c.fault, std::string("-fault_at=") + c.at}));
        out = captured([&] { st = auth(srv.entry()); });
        EXPECT_EQ(st, c.want);
        if (c.line) {
            char line[200];
            std::snprintf(line, sizeof line, c.line, int(s));
            EXPECT_NE(out.find(line), std::string::npos) << out;
        }
    }
    {
        // A start answer whose text TLV runs past the body: the duration before it counts.
        qi_server_run srv;
        ASSERT_TRUE(srv.start(world, "qi-answer-overrun",
                              {"-fault=tlv_overrun", "-fault_at=answer", "-duration=33"}));
        ASSERT_EQ(auth(srv.entry()), 1);
        counted_text text{};
        text.len = 5;
        EXPECT_EQ(req(3, QI_REQ_START, &text), 1);
        EXPECT_EQ(g_marshal.duration, 33);
        EXPECT_EQ(text.len, 0);
    }
    {
        // A server that accepts and says nothing: the receive limit (shortened here).
        qi_server_run srv;
        ASSERT_TRUE(srv.start(world, "qi-silent", {"-fault=silent"}));
        g_qi_recv_limit_s = 1;
        out = captured([&] { st = auth(srv.entry()); });
        g_qi_recv_limit_s = QI_RECV_LIMIT_S;
        EXPECT_EQ(st, 4);
        char line[200];
        std::snprintf(
            line, sizeof line,
            "%%KVTQIR-E: [#%d] Did not get requested 2 octets in 1 seconds, rest 2 octets", int(s));
        EXPECT_TRUE(has_line_ending(out, line)) << out;
        EXPECT_TRUE(has_line_ending(out, "%KVTQIR-E: Timeout has been reached")) << out;
    }
}
