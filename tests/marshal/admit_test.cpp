// The opt-in admission modes with the real supervisor, fetcher and QI server: an open
// QI session admitting its player's next requests (-qi_reuse), several connections
// admitted at once (-admit_threads) and the range checks of the new options.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "marshal_world.h"
#include "platform/os.h"
#include "platform/registry.h"

namespace {

const char password[] = "0123456789abcdef0123456789abcdef01234567";

// The account in the registry and a QI server for it; extra: the server's options.
bool start_qi(marshal_world &w, child_run &qi, uint16_t *port, std::vector<std::string> extra) {
    reg_key k;
    if (!reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", true, &k)) return false;
    bool ok = reg_set_dword(&k, "UserName", 4242) && reg_set_string(&k, "Password", password);
    reg_close(&k);
    *port = free_tcp_port();
    extra.insert(extra.begin(),
                 {"-port=" + std::to_string(*port), std::string("-account=4242:") + password});
    return ok && qi.start_logged(bin_path("varnex-qi-server"), extra, w.world.path("qi.log")) &&
           qi.wait_for_log("listening", 5000);
}

int occurrences(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// A player connection from a chosen loopback address (the supervisor listens on all).
int connect_from(const char *source, uint16_t port, const std::string &request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source, &a.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 ||
        send(fd, request.data(), request.size(), 0) != ssize_t(request.size())) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

bool greeted(player_conn &p) {
    return p.read_until("child ", 8000);
}

} // namespace

// Options outside their ranges stop the start.
TEST(MarshalAdmit, NewOptionsOutsideTheirRangesAreRefused) {
    marshal_world w;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"qi_reuse", "-1"},      {"qi_reuse", "3601"},   {"qi_pause_ms", "-1"},
        {"qi_pause_ms", "1001"}, {"admit_threads", "0"}, {"admit_threads", "17"}};
    for (const auto &o : bad) {
        std::string name = o.first + o.second + ".log";
        EXPECT_FALSE(w.start({"-" + o.first + "=" + o.second}, name)) << name;
        int code = -1;
        ASSERT_TRUE(w.sup->wait_exit(10000, &code)) << name;
        EXPECT_EQ(code, 4) << name;
        EXPECT_NE(
            w.log().find("Illegal value " + o.second + " in option -" + o.first + ", allowed "),
            std::string::npos)
            << w.log();
    }
}

// With -qi_reuse the later requests of an admitted CID from the same address make no
// QI connection and are each answered by their own child; another address is admitted
// on its own; after the last streamer the session lingers S seconds (a request then is
// still admitted on it), and the stop goes out once.
TEST(MarshalAdmit, ReusedSessionAdmitsLaterRequestsAndLingersBeforeOneStop) {
    if (!std::filesystem::exists(bin_path("varnex-qi-server"))) GTEST_SKIP() << "no QI server";
    marshal_world w;
    child_run qi;
    uint16_t qi_port = 0;
    ASSERT_TRUE(start_qi(w, qi, &qi_port, {"-duration=9"}));
    ASSERT_TRUE(w.start({"-host=127.0.0.1:" + std::to_string(qi_port), "-qi_reuse=3",
                         "-qi_pause_ms=0", "-handover_ms=0"}));
    const std::string conn_line = "] connection from ";
    const std::string stop_line = "%MRSHL-I: Send 'stop downloading' CID=21 (640 bytes)\n";

    player_conn first, second, movie;
    ASSERT_TRUE(first.open(w.port, "GET /stream?cid=21 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(first)) << w.log();
    EXPECT_EQ(occurrences(qi.log(), conn_line), 1);
    ASSERT_TRUE(second.open(w.port, "GET /stream?cid=21 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(second)) << w.log();
    ASSERT_TRUE(movie.open(w.port, "GET /movie?cid=21 HTTP/1.1\r\nRange: bytes=5-\r\n\r\n"));
    ASSERT_TRUE(greeted(movie)) << w.log();
    EXPECT_EQ(occurrences(qi.log(), conn_line), 1) << qi.log();
    EXPECT_EQ(w.count("CID=21 admitted on its open QI session\n"), 2) << w.log();
    // Reused admissions start the same kinds of child, with the session's duration.
    ASSERT_TRUE(w.wait_started(3, 5000));
    auto started = w.started();
    ASSERT_EQ(started.size(), 3u);
    for (int i = 0; i < 2; i++) {
        EXPECT_NE(std::find(started[size_t(i)].begin(), started[size_t(i)].end(), "-duration=9"),
                  started[size_t(i)].end());
    }
    EXPECT_EQ(started[2][0].rfind("KVT-Cinema", 0), 0u) << started[2][0];
    EXPECT_NE(std::find(started[2].begin(), started[2].end(), "-pos=5"), started[2].end());

    // Another address: a QI exchange of its own.
    int other = connect_from("127.0.0.2", w.port, "GET /stream?cid=21 HTTP/1.1\r\n\r\n");
    ASSERT_GE(other, 0);
    player_conn from_other;
    from_other.fd = other;
    ASSERT_TRUE(greeted(from_other)) << w.log();
    EXPECT_EQ(occurrences(qi.log(), conn_line), 2) << qi.log();

    // Every streamer ends: the stop is held for the linger, a request within it is
    // admitted on the session, and after the last one the stop goes out once.
    // The other address ends first, so the last streamer (whose address the held
    // session keeps) is one of 127.0.0.1.
    from_other.close();
    ASSERT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", 1, 5000));
    first.close();
    second.close();
    movie.close();
    ASSERT_TRUE(
        w.wait_count("Holding 'stop downloading' CID=21 for 3000 ms (QI session reuse)", 1, 8000))
        << w.log();
    EXPECT_EQ(w.count(stop_line), 0);
    player_conn again;
    ASSERT_TRUE(again.open(w.port, "GET /stream?cid=21 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(again)) << w.log();
    EXPECT_EQ(occurrences(qi.log(), conn_line), 2) << qi.log();
    EXPECT_TRUE(w.wait_count("cancelled: the CID is served again\n", 1, 5000)) << w.log();
    EXPECT_EQ(w.count(stop_line), 0);
    again.close();
    ASSERT_TRUE(w.wait_count(stop_line, 1, 15000)) << w.log();
    EXPECT_TRUE(w.wait_count("%FETCH-I: QI CID=21 : closed QI socket ", 1, 5000)) << w.log();
    os_sleep_ms(4000);
    EXPECT_EQ(w.count(stop_line), 1) << w.log();
    // The session is gone: the next request logs in again.
    player_conn later;
    ASSERT_TRUE(later.open(w.port, "GET /stream?cid=21 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(later)) << w.log();
    EXPECT_EQ(occurrences(qi.log(), conn_line), 3) << qi.log();
}

// With -admit_threads=4 four requests that each meet a QI server holding its answer
// 2 s are admitted side by side (the server holds all four at once), and a silent
// connection does not hold back a request that comes after it.
TEST(MarshalAdmit, FourAdmissionsSideBySideAndASilentConnectionHoldsNoneBack) {
    if (!std::filesystem::exists(bin_path("varnex-qi-server"))) GTEST_SKIP() << "no QI server";
    marshal_world w;
    child_run qi;
    uint16_t qi_port = 0;
    ASSERT_TRUE(start_qi(w, qi, &qi_port, {"-answer_hold_ms=2000"}));
    ASSERT_TRUE(w.start({"-host=127.0.0.1:" + std::to_string(qi_port), "-admit_threads=4",
                         "-qi_pause_ms=0", "-handover_ms=0"}));
    player_conn p[4];
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(
            p[i].open(w.port, "GET /stream?cid=" + std::to_string(40 + i) + " HTTP/1.1\r\n\r\n"));
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(greeted(p[i])) << w.log();
    EXPECT_EQ(occurrences(qi.log(), ", 4 requests held at once"), 1) << qi.log();
    for (auto &c : p)
        c.close();

    // A connection that sends nothing takes one slot for its read limit; a stream
    // request after it is admitted before that limit runs out.
    const std::string timed_out = "Did not get HTTP URL-encoded request";
    player_conn silent, after;
    ASSERT_TRUE(silent.open(w.port, ""));
    os_sleep_ms(200); // the silent one is accepted first
    ASSERT_TRUE(after.open(w.port, "GET /stream?cid=50 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(after)) << w.log();
    EXPECT_EQ(w.count(timed_out), 0) << w.log();
    EXPECT_TRUE(w.wait_count(timed_out, 1, 10000)) << w.log();
}

// 200 admissions at once on 16 slots (sid requests, 20 CIDs): every one is answered by
// its own child, the table holds each exactly once while they run and none after they
// ended, and each CID's stop goes out once.
TEST(MarshalAdmit, TwoHundredConcurrentAdmissionsKeepTheTableWhole) {
    marshal_world w;
    ASSERT_TRUE(w.start({"-admit_threads=16", "-handover_ms=0"}));
    const int players = 200, cids = 20;
    std::vector<player_conn> p(players);
    std::vector<std::thread> openers;
    std::atomic<int> answered{0};
    for (int t = 0; t < 8; t++)
        openers.emplace_back([&, t] {
            for (int i = t; i < players; i += 8) {
                std::string rq = "GET /stream?cid=" + std::to_string(100 + i % cids) + "&sid=s" +
                                 std::to_string(i) + " HTTP/1.1\r\n\r\n";
                if (p[size_t(i)].open(w.port, rq) && p[size_t(i)].read_until("child ", 60000))
                    answered++;
            }
        });
    for (auto &t : openers)
        t.join();
    EXPECT_EQ(answered.load(), players) << w.log();

    std::string page =
        http_exchange(w.port, "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 10000);
    std::set<std::string> viewers;
    std::regex viewer("\"viewer\":\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), viewer);
         it != std::sregex_iterator(); ++it)
        viewers.insert((*it)[1]);
    EXPECT_EQ(occurrences(page, "\"cid\":"), players) << page.substr(0, 400);
    EXPECT_EQ(viewers.size(), size_t(players));

    for (auto &c : p)
        c.close();
    EXPECT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", players, 60000)) << w.log();
    for (int c = 0; c < cids; c++)
        EXPECT_TRUE(w.wait_count(
            "Send 'stop downloading' CID=" + std::to_string(100 + c) + " (640 bytes)\n", 1, 5000));
    os_sleep_ms(2500);
    for (int c = 0; c < cids; c++)
        EXPECT_EQ(
            w.count("Send 'stop downloading' CID=" + std::to_string(100 + c) + " (640 bytes)\n"),
            1);
    page = http_exchange(w.port, "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 10000);
    EXPECT_NE(page.find("\"streamers\":[]"), std::string::npos) << page.substr(0, 400);
    EXPECT_EQ(w.count("has stopped"), players);
}
