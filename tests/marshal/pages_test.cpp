// The supervisor's own pages: the channel playlist from KVT-Channels.txt, the status
// page's rows while streamers run and after they end, and who may see it.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

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
    EXPECT_TRUE(
        w.wait_count("KVT-Channels.txt : lines skipped: 1 not a channel line "
                     "(CID<TAB>NAME[<TAB>GROUP]), 0 past 1024 channels; the first is line 4",
                     1, 3000))
        << w.log();

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

// The list is read on the one accept thread: a FIFO or a link in its place, or a
// huge file, must not hold it, and a request logs at most one line of skipped lines.
TEST(OwnPages, ChannelListCannotHoldTheAcceptLoop) {
    marshal_world w;
    const std::string list = w.bin + "/KVT-Channels.txt";
    ASSERT_TRUE(w.start({}));
    auto playlist = [&] {
        return body_of(http_exchange(w.port, "GET /playlist.m3u HTTP/1.1\r\n\r\n", 10000));
    };

    // A FIFO nobody writes to, then a link to an endless device: an empty list at
    // once, and the next request is answered too.
    ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
    EXPECT_EQ(playlist(), "#EXTM3U\n");
    EXPECT_EQ(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 10000).substr(0, 17),
              "HTTP/1.1 200 OK\r\n");
    ASSERT_EQ(unlink(list.c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", list.c_str()), 0);
    EXPECT_EQ(playlist(), "#EXTM3U\n");
    EXPECT_EQ(w.count("KVT-Channels.txt : not read: a link, a FIFO, a device or unreadable"), 2)
        << w.log();
    ASSERT_EQ(unlink(list.c_str()), 0);

    // Over 1 MiB: a bad line, 1026 channels after the first (3 past the 1024), comments
    // up to the limit and a channel behind it, which is not read.
    std::string text = "5\tFirst\nnot a channel\n";
    for (int i = 0; i < 1026; i++)
        text += std::to_string(100 + i) + "\tChannel " + std::to_string(i) + "\n";
    while (text.size() <= 1024 * 1024)
        text += "! a comment line that fills the list past its limit\n";
    text += "9\tLate\n";
    ASSERT_TRUE(write_text_file(list, text));
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        std::string body = playlist();
        EXPECT_EQ(body.compare(0, 49, "#EXTM3U\n#EXTINF:-1 tvg-id=\"5\",First\nhttp://127.0."), 0)
            << body.substr(0, 100);
        EXPECT_EQ(body.find("tvg-id=\"9\""), std::string::npos);
        size_t entries = 0;
        for (size_t at = body.find("#EXTINF"); at != std::string::npos;
             at = body.find("#EXTINF", at + 1))
            entries++;
        EXPECT_EQ(entries, 1024u);
        // One line for the cut and one for every skipped line, per request.
        EXPECT_TRUE(w.wait_count("KVT-Channels.txt : longer than 1048576 octets", round, 3000))
            << w.log().substr(0, 4000);
        EXPECT_EQ(w.count("KVT-Channels.txt : lines skipped: 1 not a channel line "
                          "(CID<TAB>NAME[<TAB>GROUP]), 3 past 1024 channels; the first is line 2"),
                  round);
        EXPECT_EQ(w.count("KVT-Channels.txt :"), 2 + 2 * round);
    }
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

    // A page from a web site whose name points at this machine is refused, also when
    // its port is written with a leading zero; localhost on this port is answered.
    const std::string p = std::to_string(w.port);
    for (const std::string &host :
         {std::string("evil.example"), "evil.example:0" + p, "localhost:" + p}) {
        std::string a =
            http_exchange(w.port, "GET /status.json HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 8000);
        EXPECT_EQ(a.substr(0, a.find("\r\n") + 2),
                  host[0] == 'l' ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 403 Forbidden\r\n")
            << host;
    }

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

// The DNS-rebinding defence reads Host by its exact forms: localhost, NAME.localhost,
// an IPv4 or a bracketed IPv6 address, with no port or the listening port written
// plainly. The playlist takes any host name in its proper form for its addresses.
TEST(OwnPages, StatusHostHeaderForms) {
    const int32_t port = 6689;
    auto request = [](const std::string &host) {
        return "GET /status.json HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n";
    };
    for (const char *host :
         {"localhost", "LocalHost:6689", "app.localhost", "a-b.c.localhost:6689", "127.0.0.1",
          "127.0.0.1:6689", "192.168.1.20:6689", "0.0.0.0", "[::1]", "[::1]:6689",
          "[::ffff:127.0.0.1]:6689", "[1:2:3:4:5:6:7:8]", "[fe80::]"}) {
        std::string r = request(host);
        EXPECT_TRUE(status_host_allowed(r.data(), r.size(), port)) << host;
    }
    for (const char *host : {"evil.example",       "evil.example:6689",
                             "evil_site.example",  "-evil.example",
                             "evil.example:",      "evil.example:016689",
                             "evil.example:06689", "localhost:",
                             "localhost:06689",    "localhost:6690",
                             "127.0.0.1:80",       "[::1]:8080",
                             "localhost.",         "evil.localhost.example",
                             "a_b.localhost",      "-a.localhost",
                             "a-.localhost",       "a..localhost",
                             "127.0.0.01",         "127.1",
                             "0x7f.0.0.1",         "2130706433",
                             "256.0.0.1",          "localhost:6689:6689",
                             "localhost:+6689",    "[::1",
                             "[::1]6689",          "[]",
                             "[::1%25eth0]",       "[1:2:3:4:5:6:7:8:9]",
                             "[1::2::3]",          "[::1]:",
                             "\"localhost\"",      ""}) {
        std::string r = request(host);
        EXPECT_FALSE(status_host_allowed(r.data(), r.size(), port)) << '"' << host << '"';
    }
    std::string none = "GET /status.json HTTP/1.1\r\nAccept: */*\r\n\r\n";
    EXPECT_TRUE(status_host_allowed(none.data(), none.size(), port)); // no browser's

    char out[264];
    for (const char *host : {"tv.example:8080", "mypc.local", "10.0.0.2:6689", "[::1]:6689"}) {
        std::string r = request(host);
        EXPECT_EQ(host_header_authority(r.data(), r.size(), out, sizeof out), strlen(host));
        EXPECT_STREQ(out, host);
    }
    for (const char *host : {"a_b.example", "-a.example", "tv.example:", "tv.example:08080",
                             "tv.example:65536", "a\"b/<x>:80", "1.2.3"}) {
        std::string r = request(host);
        EXPECT_EQ(host_header_authority(r.data(), r.size(), out, sizeof out), 0u) << host;
    }
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
