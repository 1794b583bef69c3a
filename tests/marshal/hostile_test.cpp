// The real supervisor under a battery of hostile requests over real sockets: after
// each one the answer is the designed one (or none), the supervisor is still up and
// its descriptor count is back where it was. The real movie streamer answers the
// ranges; the test child stands in for the relay.
#include <gtest/gtest.h>

#include <string>

#include "marshal_world.h"
#include "platform/net.h"
#include "platform/os.h"

namespace {

const char answer1[] =
    "HTTP/1.1 400 Bad Request\r\nAccess-Control-Allow-Origin: *\r\nVersion: HTTP/1.1\r\n\r\n";

// Waits until the supervisor holds no more descriptors than before (an ended child's
// handle goes at the monitor's next look); the count it settled at.
int settled_descriptors(const marshal_world &w, int before) {
    int n = w.descriptors();
    for (int64_t end = test_now_ms() + 8000; n > before && test_now_ms() < end; n = w.descriptors())
        os_sleep_ms(100);
    return n;
}

// A request that is sent, half of it, before the connection is closed.
void send_and_close(uint16_t port, const std::string &part) {
    int fd = tcp_connect_loopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(net_send_all(net_sock(fd), part.data(), part.size()), long(part.size()));
    net_close(net_sock(fd));
}

} // namespace

TEST(MarshalHostile, BatteryOfHostileRequests) {
    marshal_world w;
    ASSERT_TRUE(w.install("KVT-Cinema", "KVT-Cinema"));
    ASSERT_TRUE(write_text_file(w.bin + "/end-at-once", ""));
    const std::string cache = w.world.temp_dir() + "/vcache";
    ASSERT_TRUE(make_dirs(cache));
    ASSERT_TRUE(write_text_file(cache + "/9.avi", std::string(5000, 'M')));
    ASSERT_TRUE(w.start({}));
    // The count to keep is the one after a first child has come and gone.
    ASSERT_EQ(
        http_exchange(w.port, "GET /stream?cid=7&sid=warm HTTP/1.1\r\n\r\n", 10000).substr(0, 19),
        "HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", 1, 10000)) << w.log();
    const int before = w.descriptors();
    ASSERT_GT(before, 0);

    const std::string refusal416 = "HTTP/1.1 416 Range Not Satisfiable\r\n";
    std::string junk;
    for (int i = 0; i < 600; i++)
        junk += char((i * 37 + 11) % 256);
    // Only the first 255 octets of the query are looked at.
    std::string keys;
    for (int i = 0; i < 110; i++)
        keys += "&k" + std::to_string(i) + "=" + std::to_string(i);
    struct hostile {
        const char *name;
        std::string request;
        std::string answer; // the answer's beginning; "" for none
        std::string line;   // a log line it leaves, "" for none checked
    } cases[] = {
        {"oversized line", "GET /stream?cid=7&sid=" + std::string(4000, 'A') + " HTTP/1.1\r\n\r\n",
         "", "Did not get HTTP URL-encoded request in 5 seconds (got 1024 octets)"},
        {"10000 octets of query",
         "GET /stream?" + std::string(10000, 'q') + "&cid=7&sid=s HTTP/1.1\r\n\r\n", "",
         "(got 1024 octets)"},
        {"binary junk", junk + "\r\n\r\n", answer1, "Illformed request"},
        {"percent escapes", "GET /stream?cid=%227%22&sid=%22pct%22 HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\n\r\nchild ", "-sid=pct"},
        {"escaped CID", "GET /stream?cid=%37&sid=s HTTP/1.1\r\n\r\n", answer1, "No CID in request"},
        {"many keys", "GET /stream?cid=7&sid=many" + keys + " HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\n\r\nchild ", "-sid=many"},
        {"CID past 255 octets of keys", "GET /stream?" + keys + "&cid=7&sid=s HTTP/1.1\r\n\r\n",
         answer1, "No CID in request 'GET /stream?&k0=0"},
        {"repeated keys",
         "GET /hls?cid=8&cid=9&sid=first&sid=second&chunk=3&chunk=4 HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\n\r\nchild ", "-cid=8 -dir="},
        {"CID beyond 32 bits", "GET /stream?cid=4294967303&sid=s HTTP/1.1\r\n\r\n", answer1,
         "cid=4294967303 is out of range"},
        {"range beyond 2^63",
         "GET /movie?cid=9&sid=r HTTP/1.1\r\nRange: bytes=99999999999999999999-\r\n\r\n",
         refusal416, "-pos=9223372036854775807"},
        {"negative range", "GET /movie?cid=9&sid=r HTTP/1.1\r\nRange: bytes=-500\r\n\r\n",
         refusal416, "-pos=-500"},
        {"range at the end", "GET /movie?cid=9&sid=r HTTP/1.1\r\nRange: bytes=5000-\r\n\r\n",
         refusal416, "-pos=5000"},
        {"HEAD", "HEAD /stream?cid=7&sid=s HTTP/1.1\r\n\r\n", answer1, "Illformed request 'HEAD"},
    };
    for (const hostile &c : cases) {
        SCOPED_TRACE(c.name);
        const int lines_before = c.line.empty() ? 0 : w.count(c.line);
        std::string got = http_exchange(w.port, c.request, 15000);
        EXPECT_EQ(got.substr(0, c.answer.size()), c.answer) << got;
        if (c.answer.empty()) {
            EXPECT_EQ(got, "");
        }
        if (!c.line.empty()) {
            EXPECT_TRUE(w.wait_count(c.line, lines_before + 1, 5000)) << w.log();
        }
        ASSERT_TRUE(w.sup->running()) << w.log();
        EXPECT_EQ(settled_descriptors(w, before), before) << w.log();
    }

    // A connection closed in the middle of its request line gets no answer either.
    send_and_close(w.port, "GET /str");
    EXPECT_TRUE(w.wait_count("(got 8 octets)", 1, 15000)) << w.log();
    ASSERT_TRUE(w.sup->running());
    EXPECT_EQ(settled_descriptors(w, before), before);
    EXPECT_EQ(w.count("%CINEMA-F"), 0) << w.log();
}
