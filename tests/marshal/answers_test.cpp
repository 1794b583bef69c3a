// The real supervisor over real sockets: fixed answers, refusals, the request time
// limit, the pause between connections, the single-instance guard, the runtime
// folder and the tray pipe.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "marshal_world.h"
#include "platform/net.h"
#include "platform/os.h"

namespace {

const char answer0[] =
    "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
const char answer1[] =
    "HTTP/1.1 400 Bad Request\r\nAccess-Control-Allow-Origin: *\r\nVersion: HTTP/1.1\r\n\r\n";

// The build stamp the supervisor reports in its first line.
std::string build_stamp(const std::string &log) {
    const std::string key = "Starting ... (built  at ";
    size_t at = log.find(key);
    if (at == std::string::npos) return "";
    size_t end = log.find(")\n", at);
    return log.substr(at + key.size(), end - at - key.size());
}

} // namespace

TEST(MarshalAnswers, VerifyThenPauseThenCrossDomainPolicy) {
    marshal_world w;
    tray_listener tray;
    ASSERT_TRUE(tray.ok);
    ASSERT_TRUE(w.start({}));
    EXPECT_TRUE(tray.wait_text("Varnex SwarmNode is Up & Running", 5000));

    std::string a = http_exchange(w.port, "GET /verify HTTP/1.1\r\nHost: a\r\n\r\n", 8000);
    EXPECT_EQ(a, answer0);
    int64_t answered = test_now_ms();
    std::string b = http_exchange(w.port, "GET /crossdomain.xml HTTP/1.1\r\n\r\n", 10000);
    // The next connection is accepted only 3 seconds after an answered request.
    EXPECT_GE(test_now_ms() - answered, 2900);

    std::string stamp = build_stamp(w.log());
    ASSERT_FALSE(stamp.empty());
    EXPECT_EQ(b, "HTTP/1.1 200 OK\r\n"
                 "Version: HTTP/1.1\r\n"
                 "Access-Control-Allow-Origin: *\r\n"
                 "Cache-Control: max-age=1209600\r\n"
                 "Connection: keep-alive\r\n"
                 "Content-Type: text/xml\r\n"
                 "Server: Corvane-TV SN/Win64/X.53/Build at " +
                     stamp +
                     "\r\n\r\n"
                     "<?xml version=\"1.0\"?>\r\n"
                     "<!DOCTYPE cross-domain-policy SYSTEM "
                     "\"http://www.adobe.com/xml/dtds/cross-domain-policy.dtd\">\r\n"
                     "<cross-domain-policy>\r\n"
                     "<allow-access-from domain=\"*\"/>\r\n"
                     "</cross-domain-policy>");
}

TEST(MarshalAnswers, RefusalsAnswer400WithTheirLogLines) {
    marshal_world w;
    ASSERT_TRUE(w.start({}));
    struct {
        const char *request;
        const char *message;
    } cases[] = {
        {"POST /verify HTTP/1.1\r\nHost: a\r\n\r\n",
         "Illformed request 'POST /verify HTTP/1.1\r\nHost: a'"},
        {"GET / HTTP/1.1\r\n\r\n", "Illformed request 'GET / HTTP/1.1'"},
        {"GET /radio?cid=1 HTTP/1.1\r\n\r\n", "Unrecognized request 'GET /radio?cid=1 HTTP/1.1'"},
        {"GET /link HTTP/1.1\r\n\r\n", "No CID in request 'GET /link HTTP/1.1'"},
        // A sid that would add arguments to the streamer's command line.
        {"GET /stream?cid=5&sid=a\"\t-dir=/etc HTTP/1.1\r\n\r\n",
         "Illegal sid in request 'GET /stream?cid=5&sid=a\"\t-dir=/etc HTTP/1.1'"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(http_exchange(w.port, c.request, 10000), answer1);
        std::string line = "%MRSHL-E: [#" + std::to_string(w.last_sd()) + "] " + c.message + "\n";
        EXPECT_TRUE(w.wait_count(line, 1, 3000)) << w.log();
    }
}

// A CID or chunk number beyond the signed 32 bits would reach the streamer cut to
// another channel: refused with 400 and a line naming it. Numbers within the range,
// the negative ones too, still start a streamer.
TEST(MarshalAnswers, NumbersBeyond32BitsAreRefused) {
    marshal_world w;
    ASSERT_TRUE(w.start({}));
    player_conn edge;
    ASSERT_TRUE(
        edge.open(w.port, "GET /hls?cid=-2147483648&sid=s&chunk=2147483647 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(w.wait_started(1, 5000)) << w.log();
    EXPECT_EQ(w.started()[0],
              (std::vector<std::string>{"KVT-Relay" OS_EXE_SUFFIX,
                                        "-chan=" + std::to_string(w.last_sd()), "-cid=-2147483648",
                                        "-dir=" + w.world.temp_dir() + OS_PATH_SEP "vcache",
                                        "-delay=5", "-sid=s", "-chunk=2147483647", "-hls"}));
    edge.close();

    struct {
        const char *request;
        const char *message;
    } cases[] = {
        {"GET /stream?cid=2147483648&sid=s HTTP/1.1\r\n\r\n",
         "cid=2147483648 is out of range in request 'GET /stream?cid=2147483648&sid=s HTTP/1.1'"},
        {"GET /movie?sid=s&cid=-99999999999 HTTP/1.1\r\n\r\n",
         "cid=-99999999999 is out of range in request 'GET /movie?sid=s&cid=-99999999999 "
         "HTTP/1.1'"},
        {"GET /hls?cid=5&sid=s&chunk=99999999999999 HTTP/1.1\r\n\r\n",
         "chunk=99999999999999 is out of range in request 'GET "
         "/hls?cid=5&sid=s&chunk=99999999999999 HTTP/1.1'"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(http_exchange(w.port, c.request, 10000), answer1);
        std::string line = "%MRSHL-E: [#" + std::to_string(w.last_sd()) + "] " + c.message + "\n";
        EXPECT_TRUE(w.wait_count(line, 1, 3000)) << w.log();
    }
    EXPECT_EQ(w.started().size(), 1u);
}

TEST(MarshalAnswers, UnfinishedRequestGetsNoAnswerAfterFiveSeconds) {
    marshal_world w;
    ASSERT_TRUE(w.start({}));
    struct {
        const char *request;
    } cases[] = {
        {"GET /verify HTTP/1.1\r\nHost: a\r\n"},
        // Data after the blank line in the same packet keeps the request unfinished.
        {"GET /verify HTTP/1.1\r\n\r\nMORE"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.request);
        player_conn p;
        ASSERT_TRUE(p.open(w.port, c.request));
        int64_t sent = test_now_ms();
        EXPECT_EQ(p.read_some(12000), "");
        EXPECT_GE(test_now_ms() - sent, 4500);
        int sd = w.last_sd();
        EXPECT_TRUE(w.wait_count("%MRSHL-E: [#" + std::to_string(sd) +
                                     "] Did not get HTTP URL-encoded request in 5 seconds (got " +
                                     std::to_string(strlen(c.request)) + " octets)\n",
                                 1, 3000))
            << w.log();
    }
    // The read failure's own line (severity 1) reaches the log with the next line.
    EXPECT_GE(w.count("%MRSHL-S: Receive from 127.0.0.1:"), 1);
}

TEST(MarshalStartup, SecondInstanceEndsWithExitCode3) {
    marshal_world w;
    ASSERT_TRUE(w.start({}));
    child_run second;
    ASSERT_TRUE(second.start_logged(w.bin + "/KVT-Marshal" OS_EXE_SUFFIX,
                                    {"-port=" + std::to_string(free_tcp_port())},
                                    w.world.path("second.log")));
    int code = -1;
    ASSERT_TRUE(second.wait_exit(10000, &code));
    EXPECT_EQ(code, 3);
    std::string log = second.log();
    EXPECT_NE(log.find("%MRSHL-I: CreateMutex (Varnex KVT-Marshal) -> "), std::string::npos) << log;
    EXPECT_EQ(log.find("Registry key"), std::string::npos) << log;
    // The first one goes on serving.
    EXPECT_EQ(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000), answer0);
}

#ifndef _WIN32
// The default runtime folder "/tmp/varnex-<uid>" made first by another user: the
// supervisor does not use it (its lock and pipes would be in that user's hands).
// Linux only: Windows keeps these folders in the user's own profile.
TEST(MarshalStartup, RuntimeFolderOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    test_world world;
    const unsigned uid = spare_uid();
    const std::string home = "/tmp/varnex-" + std::to_string(uid);
    std::filesystem::remove_all(home);
    ASSERT_EQ(mkdir(home.c_str(), 0777), 0); // root's, as if another user made it
    ASSERT_EQ(chmod(home.c_str(), 0777), 0);
    child_run m;
    ASSERT_TRUE(m.start(world, as_user_program(),
                        as_user_without_folders(uid, bin_path("KVT-Marshal"),
                                                {"-port=" + std::to_string(free_tcp_port())})));
    int code = -1;
    bool ended = m.wait_exit(10000, &code);
    std::string log = m.log();
    std::filesystem::remove_all(home);
    ASSERT_TRUE(ended) << log;
    EXPECT_EQ(code, 4) << log;
    EXPECT_NE(
        log.find("%MRSHL-F: Folder '" + home +
                 "' is not a private folder of this user (mode 0700) : " + std::to_string(EPERM)),
        std::string::npos)
        << log;
    EXPECT_EQ(log.find("CreateMutex"), std::string::npos) << log;
}
#endif

// -listen keeps the port on one address (the default takes every interface); text
// that is no IPv4 address stops the start.
TEST(MarshalStartup, ListenOptionBindsOneAddress) {
    marshal_world w;
    auto connects = [&w](const char *ip) {
        net_sock s = net_tcp_socket();
        bool ok = s != NET_BAD_SOCK && net_connect(s, net_parse_ipv4(ip), w.port);
        net_close(s);
        return ok;
    };
    ASSERT_TRUE(w.start({}));
    EXPECT_TRUE(connects("127.0.0.2"));

    w.port = free_tcp_port();
    ASSERT_TRUE(w.start({"-listen=127.0.0.1"}, "loopback.log"));
    EXPECT_FALSE(connects("127.0.0.2"));
    EXPECT_EQ(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000), answer0);
    EXPECT_TRUE(
        w.wait_count("Start listening on 127.0.0.1:" + std::to_string(w.port) + "\n", 1, 3000))
        << w.log();

    w.port = free_tcp_port();
    EXPECT_FALSE(w.start({"-listen=localhost"}, "bad.log"));
    int code = -1;
    ASSERT_TRUE(w.sup->wait_exit(10000, &code));
    EXPECT_EQ(code, 4);
    EXPECT_EQ(w.count("%MRSHL-F: Illegal address 'localhost' in option -listen, an IPv4 address "
                      "is needed\n"),
              1)
        << w.log();
}

TEST(MarshalStartup, MissingOrBusyTrayPipeIsLoggedAndDropped) {
    marshal_world w;
    char path[512];
    msgpipe_path("tray-pipe", path, sizeof path);
    const std::string open_failed = std::string("%MRSHL-F: Open  '") + path + "' : ";

    ASSERT_TRUE(w.start({}, "missing.log"));
    EXPECT_TRUE(w.wait_count(open_failed, 1, 3000)) << w.log();
    EXPECT_EQ(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000), answer0);

    // A tray whose one pipe instance is still taken by another client.
    tray_listener busy(false);
    ASSERT_TRUE(busy.ok);
    msg_pipe other;
    ASSERT_TRUE(msgpipe_open("tray-pipe", &other));
    ASSERT_TRUE(msgpipe_wait_client(&busy.pipe, 1000));
    w.port = free_tcp_port();
    ASSERT_TRUE(w.start({}, "busy.log"));
    EXPECT_TRUE(w.wait_count(open_failed, 1, 3000)) << w.log();
    EXPECT_EQ(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000), answer0);
    msgpipe_close(&other);
}
