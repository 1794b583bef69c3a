// System tests of KVT-Relay: the built program behind a stand-in supervisor, with
// real players (ffprobe, ffmpeg) and raw loopback clients.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "relay/relay.h"
#include "tests/relay/relay_gate.h"
#include "tests/relay/relay_test_util.h"
#include "tests/support/test_support.h"

// A player's raw connection through the gate.
struct raw_player {
    int fd = -1;
    ~raw_player() {
        if (fd >= 0) close(fd);
    }
    bool open(uint16_t port, const std::string &target) {
        fd = tcp_connect_loopback(port);
        if (fd < 0) return false;
        std::string req =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: rawtest\r\n\r\n";
        return send(fd, req.data(), req.size(), MSG_NOSIGNAL) == (ssize_t)req.size();
    }
    // Reads until n octets arrived, the peer closed, or timeout_ms passed.
    std::string read_upto(size_t n, int timeout_ms) {
        std::string s;
        int64_t end = test_now_ms() + timeout_ms;
        char buf[65536];
        while (s.size() < n) {
            int left = (int)(end - test_now_ms());
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            ssize_t r = recv(fd, buf, std::min(sizeof buf, n - s.size()), 0);
            if (r <= 0) break;
            s.append(buf, (size_t)r);
        }
        return s;
    }
    void close_now() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

static const char *kStreamHeaderStart =
    "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n"
    "Content-Type: video/mp2t\r\nConnection: close\r\nAccept-Ranges: bytes\r\n"
    "Cache-Control: no-cache, max-age=0\r\nExpires: Mon, 17 Nov 1958 00:00:01\r\n"
    "Server: Corvane-TV SN/Win64/X.54-03/Build at ";

// The test channel: 6 s of a test picture and a tone as MPEG-2 video and MP2 audio.
static bool make_test_channel(const std::string &path) {
    std::string out;
    int rc = run_command(
        "ffmpeg -nostdin -hide_banner -v error -f lavfi -i "
        "testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=1000:sample_rate=48000 "
        "-t 6 -c:v mpeg2video -c:a mp2 -f mpegts -y " +
            path,
        &out);
    if (rc != 0) fprintf(stderr, "%s\n", out.c_str());
    return rc == 0;
}

TEST(RelayStart, OptionsClampedAndSemaphoreShared) {
    test_world world;
    std::string relay = bin_path("KVT-Relay");
    // No connection (-chan=-1): the playlist cannot be sent and the relay still ends
    // through its final message.
    child_run a;
    ASSERT_TRUE(a.start(world, relay,
                        {"-hls", "-chunk=0", "-cid=31", "-chan=-1", "-delay=1", "-duration=3",
                         "-dir=" + world.temp_dir()}));
    int code = -1;
    ASSERT_TRUE(a.wait_exit(10000, &code));
    EXPECT_EQ(code, 3);
    std::string log = a.log();
    EXPECT_TRUE(std::regex_search(
        log, std::regex("\\[KVT-RELAY\\\\main\\\\[0-9]+\\] %RELAY-I: Rev: X\\.54-03/Win64, "
                        "Starting \\.\\.\\. \\(built  at [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} "
                        "[0-9]{2}:[0-9]{2}:[0-9]{2}\\)\n")))
        << log;
    EXPECT_NE(log.find("%UTILS-I: delay = 2 (0x2)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("%UTILS-I: duration = 7 (0x7)\n"), std::string::npos);
    EXPECT_NE(
        log.find("%UTILS-I: sid[0:50] ='%SYSTEM-F-GAMEOVER, all your base are belong to us'\n"),
        std::string::npos);
    size_t e = log.find("%RELAY-E: [#-1] CID=31 : send (");
    ASSERT_NE(e, std::string::npos) << log;
    EXPECT_NE(log.find(" octets) -> -1, errno = 9\n", e), std::string::npos) << log;
    EXPECT_NE(
        log.find(
            "%RELAY-I: [#-1] CID=31 : Stopped, idle_loops (2 * duration) = 0, exit_flag = 0\n"),
        std::string::npos);

    child_run b;
    ASSERT_TRUE(b.start(
        world, relay,
        {"-hls", "-cid=31", "-chan=-1", "-delay=40", "-duration=500", "-dir=" + world.temp_dir()}));
    ASSERT_TRUE(b.wait_exit(10000, &code));
    EXPECT_EQ(code, 3);
    EXPECT_NE(b.log().find("%UTILS-I: delay = 17 (0x11)\n"), std::string::npos);
    EXPECT_NE(b.log().find("%UTILS-I: duration = 67 (0x43)\n"), std::string::npos);

    child_run c;
    ASSERT_TRUE(c.start(world, relay, {"-hls", "-cid=31", "-chan=-1", "-duration=0"}));
    ASSERT_TRUE(c.wait_exit(10000, &code));
    EXPECT_NE(c.log().find("%UTILS-I: duration = 55 (0x37)\n"), std::string::npos);

    // Two relays for one channel: the second opens the same semaphore and runs.
    child_run live1, live2;
    std::vector<std::string> waiting = {"-hls",     "-chunk=5",  "-cid=31",
                                        "-chan=-1", "-delay=17", "-dir=" + world.temp_dir()};
    ASSERT_TRUE(live1.start(world, relay, waiting));
    ASSERT_TRUE(live1.wait_for_log("CID=31 : Started, sema = Global\\Corvane-TV-CID=31/", 10000));
    ASSERT_TRUE(live2.start(world, relay, waiting));
    ASSERT_TRUE(live2.wait_for_log("CID=31 : Started, sema = Global\\Corvane-TV-CID=31/", 10000));
    EXPECT_TRUE(live1.running());
    // SIGTERM ends a relay at once with the signal number as exit code.
    ASSERT_TRUE(live1.signal(SIGTERM));
    ASSERT_TRUE(live1.wait_exit(10000, &code));
    EXPECT_EQ(code, 15);
    EXPECT_NE(live1.log().find("%RELAY-I: Get the 15/f signal, set exit_flag!\n"),
              std::string::npos);
    live2.kill_now();
}

// A signal that lands while the interrupted thread is inside the log's clock (local
// time holds a lock there): the handler must not log itself, or it waits for that
// thread for good. Here the clock refuses to run until the interrupted thread has
// gone on; a handler that logs gives up after 3 s with exit code 99.
static std::atomic<bool> s_in_clock{false};
static void clock_held_by_interrupted_thread(log_clock_reading *out) {
    for (int waited = 0; s_in_clock.load(); waited += 10) {
        if (waited >= 3000) std::_Exit(99);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *out = {9, 12, 2026, 12, 0, 0, 0};
}

TEST(RelaySignal, HandlerOnlyNotesAndTheWatcherEndsWithTheSignalNumber) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            log_set_clock(clock_held_by_interrupted_thread);
            relay_install_signals();
            s_in_clock = true;
            raise(SIGTERM); // handled on this thread, before raise returns
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            s_in_clock = false;
            std::this_thread::sleep_for(std::chrono::seconds(10));
            std::_Exit(98);
        },
        testing::ExitedWithCode(15), "");
}

TEST(RelayLive, PlayersFindVideoAndAudio) {
    test_world world;
    std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    ASSERT_TRUE(make_test_channel(dir + "/1501---7.dat"));
    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-duration=7"}));
    std::string url = "http://127.0.0.1:" + std::to_string(gate.port) + "/stream?cid=1501";

    std::string out;
    int rc = run_command(
        "ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 '" + url + "'",
        &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("mpeg2video,video"), std::string::npos) << out;
    EXPECT_NE(out.find("mp2,audio"), std::string::npos) << out;
    EXPECT_TRUE(gate.wait_relay_log(0, "%RELAY-I: [#", 5000));
    std::string log0 = read_text_file(gate.relay(0).log_path);
    EXPECT_NE(log0.find("CID=1501 : Loading '" + dir + "/1501---7.dat' ..., idle_loops = "),
              std::string::npos)
        << log0;

    // ffmpeg with -t reads two seconds of the channel and writes them out.
    std::string copy = world.path("copy.ts");
    rc = run_command(
        "ffmpeg -nostdin -hide_banner -v error -i '" + url + "' -t 2 -c copy -y " + copy, &out);
    EXPECT_EQ(rc, 0) << out;
    rc = run_command("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + copy, &out);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.find("video"), std::string::npos) << out;
    EXPECT_NE(out.find("audio"), std::string::npos) << out;

    // Both players have gone; their relays notice and end in order.
    for (size_t i = 0; i < 2; i++) {
        int code = -1;
        EXPECT_TRUE(gate.wait_relay(i, 30000, &code)) << i;
        EXPECT_EQ(code, 3) << read_text_file(gate.relay(i).log_path);
    }
}

TEST(RelayHls, FfmpegPlaysPlaylistThroughSegmentAddress) {
    test_world world;
    std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    ASSERT_TRUE(make_test_channel(dir + "/1501---7.dat"));
    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-duration=7"}));
    std::string url = "http://127.0.0.1:" + std::to_string(gate.port) + "/hls?cid=1501";
    std::string out;
    // Default options: the segment address must be acceptable to ffmpeg as it is.
    int rc = run_command("ffmpeg -nostdin -hide_banner -i '" + url + "' -t 1 -f null -", &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Video: mpeg2video"), std::string::npos) << out;
    EXPECT_NE(out.find("Audio: mp2"), std::string::npos) << out;
    ASSERT_GE(gate.relay_count(), 2u);
    EXPECT_EQ(gate.relay(0).request_line, "GET /hls?cid=1501 HTTP/1.1");
    std::string seg = gate.relay(1).request_line;
    EXPECT_EQ(seg.rfind("GET /hls.chunk.ts?cid=1501&sid=", 0), 0u) << seg;
    int code = -1;
    ASSERT_TRUE(gate.wait_relay(0, 10000, &code));
    EXPECT_EQ(code, 3);
    ASSERT_TRUE(gate.wait_relay(1, 10000, &code));
    EXPECT_EQ(code, 3);
    std::string log1 = read_text_file(gate.relay(1).log_path);
    long size = (long)read_text_file(dir + "/1501---7.dat").size();
    std::string sz = std::to_string(size);
    EXPECT_NE(log1.find("CID=1501 : Loaded from '" + dir + "/1501---7.dat' " + sz + " from " + sz +
                        " octets\n"),
              std::string::npos)
        << log1;
}

TEST(RelayLive, NullFramesThenIdleStop) {
    test_world world;
    std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-duration=7"}));
    raw_player player;
    ASSERT_TRUE(player.open(gate.port, "/stream?cid=1501"));
    std::string header = player.read_upto(276, 10000);
    ASSERT_EQ(header.size(), 276u);
    EXPECT_EQ(header.rfind(kStreamHeaderStart, 0), 0u) << header;
    EXPECT_EQ(header.substr(header.size() - 4), "\r\n\r\n");
    // Null frames until the relay gives up after 2 x 7 idle periods and closes.
    std::string rest = player.read_upto(1 << 20, 45000);
    ASSERT_EQ(rest.size() % 188, 0u);
    ASSERT_GE(rest.size(), 5 * 188u);
    std::vector<uint8_t> counters;
    EXPECT_TRUE(strip_null_frames(rest, &counters).empty());
    for (size_t i = 0; i < counters.size(); i++)
        EXPECT_EQ(rest.substr(i * 188, 188), null_frame((uint8_t)(0x10 + i % 16))) << i;
    int code = -1;
    ASSERT_TRUE(gate.wait_relay(0, 10000, &code));
    EXPECT_EQ(code, 3);
    std::string log = read_text_file(gate.relay(0).log_path);
    EXPECT_NE(log.find("CID=1501 : Delay 2 sec ... \n"), std::string::npos) << log;
    EXPECT_NE(log.find("CID=1501 : Stop main loop at 15 idle loop.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("CID=1501 : Stopped, idle_loops (2 * duration) = 15, exit_flag = 3\n"),
              std::string::npos);
    EXPECT_NE(log.find("CID=1501 : Sent MPEG2TS Null frame, count #1\n"), std::string::npos);
}

TEST(RelayLive, SlowFileWithZeroRegionsArrivesIntact) {
    test_world world;
    std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    std::string first = dir + "/1501---20.dat", second = dir + "/1501---21.dat";
    std::string data = make_packets(4 * 348 + 100, 11);
    std::string more = make_packets(500, 12);
    // Sized ahead, first block written: the rest reads as zeros.
    ASSERT_TRUE(set_size(first, data.size()));
    ASSERT_TRUE(write_at(first, data.substr(0, 65424), 0));
    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-duration=7"}));
    raw_player player;
    ASSERT_TRUE(player.open(gate.port, "/stream?cid=1501"));
    // Read until both files have arrived (null frames come in between while the relay
    // waits), or until 60 s have passed.
    std::string received;
    std::thread reader([&] {
        int64_t end = test_now_ms() + 60000;
        while (test_now_ms() < end) {
            std::string part = player.read_upto(1 << 20, 200);
            received += part;
            if (received.size() > 276 &&
                strip_null_frames(received.substr(276, (received.size() - 276) / 188 * 188))
                        .size() >= data.size() + more.size())
                break;
        }
    });

    std::string wait1 = "CID=1501 : '" + first + "' - waiting 4230 milliseconds ... (1/13)\n";
    ASSERT_TRUE(gate.wait_relay_log(0, wait1.c_str(), 15000));
    // The second block and half the third; the third block's tail is still zero.
    ASSERT_TRUE(write_at(first, data.substr(65424, 65424 + 30000), 65424));
    // Wait until the relay has waited on the third block as well.
    int64_t end = test_now_ms() + 15000;
    while (test_now_ms() < end) {
        std::string log = read_text_file(gate.relay(0).log_path);
        size_t a = log.find(wait1);
        if (a != std::string::npos && log.find(wait1, a + 1) != std::string::npos) break;
        usleep(50000);
    }
    ASSERT_TRUE(write_at(first, data.substr(2 * 65424 + 30000), 2 * 65424 + 30000));
    std::string loaded =
        "CID=1501 : Loaded from '" + first + "' " + std::to_string(data.size()) + " octets\n";
    ASSERT_TRUE(gate.wait_relay_log(0, loaded.c_str(), 15000));
    // The next chunk, written in one go, follows through the directory watch.
    ASSERT_TRUE(write_at(second, more, 0));
    std::string loaded2 =
        "CID=1501 : Loaded from '" + second + "' " + std::to_string(more.size()) + " octets\n";
    ASSERT_TRUE(gate.wait_relay_log(0, loaded2.c_str(), 15000));
    reader.join();
    player.close_now();

    ASSERT_GE(received.size(), 276u);
    EXPECT_EQ(received.rfind(kStreamHeaderStart, 0), 0u);
    std::string body = strip_null_frames(received.substr(276));
    EXPECT_EQ(body.size(), data.size() + more.size());
    EXPECT_TRUE(body == data + more) << "stream differs from the files";
    std::string log = read_text_file(gate.relay(0).log_path);
    EXPECT_NE(log.find("CID=1501 : '" + first + "', Seq. No = 20\n"), std::string::npos) << log;
    EXPECT_NE(log.find("CID=1501 : Current Seq. No = 20, new Seq. No = 21\n"), std::string::npos);
    int code = -1;
    ASSERT_TRUE(gate.wait_relay(0, 20000, &code));
    EXPECT_EQ(code, 3);
}

TEST(RelayLive, PlayerGoingAwayEndsRelay) {
    test_world world;
    std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    // 32 MiB, far more than the socket buffers hold.
    std::string data = make_packets(178000, 21);
    ASSERT_TRUE(write_at(dir + "/1501---1.dat", data, 0));
    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-duration=67"}));
    raw_player player;
    ASSERT_TRUE(player.open(gate.port, "/stream?cid=1501"));
    // Null frames may come first, while the relay opens the file.
    std::string got = player.read_upto(276 + 200000 + 188 * 4, 10000);
    ASSERT_EQ(got.size(), 276u + 200000u + 188 * 4);
    std::string body = strip_null_frames(got.substr(276, 199924 + 188 * 4));
    ASSERT_GE(body.size(), 199924u - 188 * 4);
    EXPECT_TRUE(body.compare(0, std::string::npos, data, 0, body.size()) == 0);
    player.close_now();
    int code = -1;
    ASSERT_TRUE(gate.wait_relay(0, 15000, &code));
    EXPECT_EQ(code, 3);
    std::string log = read_text_file(gate.relay(0).log_path);
    // The send that fails is a block of the file, or a null frame when the sender
    // has caught up with the loading (a busy machine reads the file slower).
    EXPECT_TRUE(log.find("CID=1501 : send(65424 octets) -> ") != std::string::npos ||
                log.find("CID=1501 : send(188 octets) -> ") != std::string::npos)
        << log;
    EXPECT_NE(log.find("CID=1501 : Streaming thread has been stopped, "), std::string::npos);
    EXPECT_NE(log.find("CID=1501 : Stopped, idle_loops (2 * duration) = "), std::string::npos);
    EXPECT_EQ(log.find("Stop main loop"), std::string::npos);
}

TEST(RelayHls, ChunkWaitsForNextFileOrReportsNoNewFiles) {
    test_world world;
    std::string dir = world.path("vcache"), empty = world.path("empty");
    ASSERT_TRUE(make_dirs(dir));
    ASSERT_TRUE(make_dirs(empty));
    relay_gate gate, idle_gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-duration=7"}));
    ASSERT_TRUE(
        idle_gate.start(bin_path("KVT-Relay"), empty, world.path("empty"), {"-duration=7"}));
    raw_player player, idle_player;
    ASSERT_TRUE(player.open(gate.port, "/hls.chunk.ts?cid=1501&sid=77&chunk=5"));
    ASSERT_TRUE(idle_player.open(idle_gate.port, "/hls.chunk.ts?cid=1501&sid=77&chunk=5"));

    // A chunk that appears after the start delay is served as one answer.
    ASSERT_TRUE(gate.wait_relay_log(0, "CID=1501 : Delay 2 sec ... \n", 10000));
    usleep(2500000);
    std::string data = make_packets(400, 31);
    std::string path = dir + "/1501---42.dat";
    ASSERT_TRUE(write_at(path, data, 0));
    std::string got = player.read_upto(1 << 20, 15000);
    size_t body = got.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(got.find("\r\nContent-Length: 75200\r\n"), std::string::npos) << got.substr(0, body);
    EXPECT_TRUE(got.compare(body + 4, std::string::npos, data) == 0);
    int code = -1;
    ASSERT_TRUE(gate.wait_relay(0, 10000, &code));
    EXPECT_EQ(code, 3);
    std::string log = read_text_file(gate.relay(0).log_path);
    EXPECT_NE(log.find("%RELAY-I: [#"), std::string::npos);
    EXPECT_NE(log.find("CID=1501 : Loading '" + path + "', idle_loops = 0\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("CID=1501 : Loaded from '" + path + "' 75200 from 75200 octets\n"),
              std::string::npos);
    // The notified name is judged, and logged, by send_hls itself.
    EXPECT_TRUE(std::regex_search(log, std::regex("\\[KVT-RELAY\\\\send_hls\\\\[0-9]+\\] "
                                                  "%RELAY-I: \\[#[0-9]+\\] CID=1501 : Current "
                                                  "Seq\\. No = 0, new Seq\\. No = 42\n")))
        << log;

    // With nothing arriving: the start delay, then -duration seconds, then the end.
    ASSERT_TRUE(idle_gate.wait_relay(0, 20000, &code));
    EXPECT_EQ(code, 3);
    std::string idle_log = read_text_file(idle_gate.relay(0).log_path);
    EXPECT_NE(idle_log.find("CID=1501 : No new files\n"), std::string::npos) << idle_log;
    EXPECT_EQ(idle_player.read_upto(1 << 16, 2000), "");
}

// End to end through the real supervisor and fetcher, when they are built beside the
// relay: requests with a sid skip the QI server.
TEST(RelaySupervisor, PlayersThroughKvtMarshal) {
    std::string marshal = bin_path("KVT-Marshal"), fetcher = bin_path("KVT-Fetcher");
    if (access(marshal.c_str(), X_OK) != 0 || access(fetcher.c_str(), X_OK) != 0 ||
        access(bin_path("test-channel.ts").c_str(), R_OK) != 0)
        GTEST_SKIP() << "KVT-Marshal, KVT-Fetcher or test-channel.ts not built";
    test_world world;
    std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    uint16_t port = free_tcp_port();
    child_run sup;
    ASSERT_TRUE(sup.start(world, marshal, {"-port=" + std::to_string(port), "-dir=" + dir}));
    ASSERT_TRUE(sup.wait_for_log("Start listening on", 15000)) << sup.log();
    std::string base = "http://127.0.0.1:" + std::to_string(port);

    std::string out;
    int rc = run_command("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + base +
                             "/stream?cid=1501&sid=e2e'",
                         &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("video"), std::string::npos) << out;
    EXPECT_NE(out.find("audio"), std::string::npos) << out;

    rc = run_command(
        "ffmpeg -nostdin -hide_banner -i '" + base + "/hls?cid=1501&sid=e2e' -t 1 -f null -", &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Video: h264"), std::string::npos) << out;
    EXPECT_NE(out.find("Audio: aac"), std::string::npos) << out;
    // The playlist's segment address came back to the supervisor and was served.
    EXPECT_TRUE(sup.wait_for_log("-hls", 5000));
    // The segment is the chunk being written: ffmpeg takes its first second and goes,
    // and the relay, which notices at its next block, has sent part of the length.
    const std::regex served("%RELAY-[SEI]: \\[#[0-9]+\\] CID=1501 : Loaded from "
                            "'[^']*/1501---[0-9]+\\.dat' [0-9]+ from [0-9]+ octets\n");
    std::string log = sup.log();
    for (int64_t end = test_now_ms() + 15000;
         !std::regex_search(log, served) && test_now_ms() < end; log = sup.log())
        usleep(200000);
    EXPECT_NE(log.find("%RELAY-S: [#"), std::string::npos);
    EXPECT_TRUE(std::regex_search(log, served)) << log;
    sup.kill_now();
}
