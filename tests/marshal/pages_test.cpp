// The supervisor's own pages: the channel playlist from KVT-Channels.txt, the status
// page's rows while streamers run and after they end, and who may see it.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "marshal/marshal.h"
#include "marshal_world.h"
#include "platform/net.h"
#include "platform/os.h"

namespace {

std::string body_of(const std::string &answer) {
    size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

uint32_t ipv4(const char *dotted) {
    return net_parse_ipv4(dotted);
}

} // namespace

TEST(OwnPages, PlaylistListsTheChannelsOnTheAddressThePlayerUsed) {
    marshal_world w;
    // A UTF-8 mark as Notepad writes it, a comment, a name with a comma and a bare
    // carriage return, a group with a double quote, and a line that is no channel.
    ASSERT_TRUE(write_text_file(w.bin + "/KVT-Channels.txt",
                                "\xEF\xBB\xBF"
                                "7\tNews One\tNews \"HD\"\n! sport follows\n"
                                "8\tSport, Live\rNow\nnot a channel\n"));
    ASSERT_TRUE(w.start({}));
    std::string a =
        http_exchange(w.port, "GET /playlist.m3u HTTP/1.1\r\nHost: tv.example:8080\r\n\r\n", 8000);
    EXPECT_EQ(a.substr(0, a.find("\r\n")), "HTTP/1.1 200 OK");
    EXPECT_EQ(body_of(a), "#EXTM3U\n"
                          "#EXTINF:-1 tvg-id=\"7\" group-title=\"News 'HD'\",News One\n"
                          "http://tv.example:8080/stream?cid=7\n"
                          "#EXTINF:-1 tvg-id=\"8\",Sport Live Now\n"
                          "http://tv.example:8080/stream?cid=8\n");
    EXPECT_TRUE(w.wait_count("KVT-Channels.txt : 4 : Not a channel line", 1, 3000)) << w.log();

    // Without a Host header, or with one that is no host and port, the address the
    // connection came to; ?hls=1 lists the HLS addresses.
    const std::string local = "http://127.0.0.1:" + std::to_string(w.port);
    for (const char *host : {"", "Host: a\"b/<x>:80\r\n"}) {
        SCOPED_TRACE(host);
        std::string b = http_exchange(
            w.port, std::string("GET /playlist.m3u?hls=1 HTTP/1.1\r\n") + host + "\r\n", 10000);
        EXPECT_EQ(body_of(b), "#EXTM3U\n"
                              "#EXTINF:-1 tvg-id=\"7\" group-title=\"News 'HD'\",News One\n" +
                                  local + "/hls?cid=7\n#EXTINF:-1 tvg-id=\"8\",Sport Live Now\n" +
                                  local + "/hls?cid=8\n");
    }
    // No list: an empty playlist.
    ASSERT_EQ(remove((w.bin + "/KVT-Channels.txt").c_str()), 0);
    EXPECT_EQ(body_of(http_exchange(w.port, "GET /playlist.m3u HTTP/1.1\r\n\r\n", 10000)),
              "#EXTM3U\n");
}

TEST(OwnPages, StatusShowsEachRunningStreamerUntilItEnds) {
    marshal_world w;
    ASSERT_TRUE(write_text_file(w.bin + "/KVT-Channels.txt", "7\tNews <One>\n"));
    ASSERT_TRUE(w.start({}));
    player_conn live, movie;
    ASSERT_TRUE(live.open(w.port, "GET /stream?cid=7&sid=a HTTP/1.1\r\n"
                                  "User-Agent: <i>\"x\\ 1.0\r\n\r\n"));
    ASSERT_TRUE(w.wait_started(1, 5000)) << w.log();
    ASSERT_TRUE(movie.open(w.port, "GET /movie?cid=900&sid=b HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(w.wait_started(2, 5000)) << w.log();

    std::string json = body_of(http_exchange(w.port, "GET /status.json HTTP/1.1\r\n\r\n", 5000));
    const std::string when = "\"started\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z\"";
    EXPECT_TRUE(std::regex_search(
        json, std::regex("\\{\"cid\":7,\"name\":\"News <One>\",\"kind\":\"stream\","
                         "\"viewer\":\"127\\.0\\.0\\.1:[0-9]+ <i>\\\\\"x\\\\\\\\\"," +
                         when + ",\"qi_session\":false\\}")))
        << json;
    EXPECT_TRUE(
        std::regex_search(json, std::regex("\\{\"cid\":900,\"name\":null,\"kind\":\"movie\","
                                           "\"viewer\":\"127\\.0\\.0\\.1:[0-9]+\"," +
                                           when + ",\"qi_session\":false\\}")))
        << json;
    EXPECT_TRUE(std::regex_search(
        json, std::regex("\"fetcher\":\\{\"running\":true,\"pid\":[1-9][0-9]*,\"restarts\":0\\}")))
        << json;

    std::string html = http_exchange(w.port, "GET /status HTTP/1.1\r\n\r\n", 5000);
    EXPECT_NE(html.find("<tr><td data-l=\"CID\">7</td><td data-l=\"Channel\">News &lt;One&gt;</td>"
                        "<td data-l=\"Kind\">stream</td><td data-l=\"Viewer\">127.0.0.1:"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find(" &lt;i&gt;&quot;x\\</td>"), std::string::npos) << html;
    EXPECT_NE(html.find(">900</td><td data-l=\"Channel\"></td><td data-l=\"Kind\">movie</td>"),
              std::string::npos)
        << html;

    // A page from a web site whose name points at this machine is refused.
    EXPECT_EQ(http_exchange(w.port, "GET /status.json HTTP/1.1\r\nHost: evil.example\r\n\r\n", 5000)
                  .substr(0, 24),
              "HTTP/1.1 403 Forbidden\r\n");

    // Rows go as their streamers end; the row left keeps its own facts when it moves
    // into the slot of the one that ended.
    auto poll_until = [&](const char *text) {
        for (int i = 0; i < 100; i++) {
            json = body_of(http_exchange(w.port, "GET /status.json HTTP/1.1\r\n\r\n", 5000));
            if (json.find(text) != std::string::npos) return true;
            os_sleep_ms(200);
        }
        return false;
    };
    live.close();
    EXPECT_TRUE(poll_until("\"streamers\":[{\"cid\":900,\"name\":null,\"kind\":\"movie\"")) << json;
    movie.close();
    EXPECT_TRUE(poll_until("\"streamers\":[]}")) << json;
}

// The check itself, and the whole request from another machine's address, answered
// in-process: 403 and the usual pause after it, where the page itself has none.
TEST(OwnPages, StatusOnlyForThisMachine) {
    EXPECT_TRUE(status_peer_allowed(ipv4("127.0.0.1"), ipv4("127.0.0.1")));
    EXPECT_TRUE(status_peer_allowed(ipv4("127.0.0.2"), ipv4("127.0.0.1")));
    EXPECT_TRUE(status_peer_allowed(ipv4("192.168.1.20"), ipv4("192.168.1.20")));
    EXPECT_FALSE(status_peer_allowed(ipv4("192.168.1.21"), ipv4("192.168.1.20")));
    EXPECT_FALSE(status_peer_allowed(ipv4("128.0.0.1"), ipv4("127.0.0.1")));
    EXPECT_FALSE(status_peer_allowed(0, 0));

    test_world world;
    marshal_set_defaults();
    ASSERT_EQ(net_startup(), 0);
    net_sock l = net_tcp_socket();
    uint16_t port = free_tcp_port();
    ASSERT_TRUE(net_bind(l, ipv4("127.0.0.1"), port) && net_listen(l, 4));
    struct {
        const char *peer;
        int pause;
        const char *answer_start;
    } cases[] = {{"127.0.0.2", 0, "HTTP/1.1 200 OK\r\n"},
                 {"192.168.1.21", 3, "HTTP/1.1 403 Forbidden\r\n"}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.peer);
        int player = tcp_connect_loopback(port);
        ASSERT_GE(player, 0);
        const char request[] = "GET /status.json HTTP/1.1\r\n\r\n";
        ASSERT_EQ(net_send(net_sock(player), request, strlen(request)), long(strlen(request)));
        uint32_t a;
        uint16_t p;
        net_sock s = net_accept(l, &a, &p);
        EXPECT_EQ(handle_connection(s, ipv4(c.peer), p), c.pause);
        char got[64] = {};
        EXPECT_GT(net_recv(net_sock(player), got, sizeof got - 1), 0);
        EXPECT_EQ(std::string(got).substr(0, strlen(c.answer_start)), c.answer_start);
        net_close(net_sock(player));
    }
    net_close(l);
}
