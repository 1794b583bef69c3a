// KVT-Cinema as a real process on a real connection: started by the test-side
// acceptor exactly as the supervisor starts it, and fetched with curl, ffprobe and a
// raw socket. Every answer is compared with the file's bytes and the exact header.
#include <gtest/gtest.h>

#include <cerrno>

#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/fs.h"
#include "platform/os.h"
#include "tests/cinema/cinema_harness.h"
#include "utils/read_position.h"

namespace {

// The streamer's process id and socket, read from its "Started" line.
struct started_line {
    std::string pid, chan;
};
started_line started(const std::string &log, const std::string &cid) {
    std::smatch m;
    std::regex re("\n?[0-9]{2}-[0-9]{2}-[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} "
                  "%CINEMA-S:\\[([0-9]+)/" +
                  cid + "\\] : Started, net I/O chan = (-?[0-9]+)\n");
    if (std::regex_search(log, m, re)) return {m[1], m[2]};
    return {"?", "?"};
}

bool has_message(const std::string &log, const std::string &message) {
    for (const std::string &m : log_messages(log))
        if (m == message) return true;
    return false;
}

struct CinemaServe : ::testing::Test {
    test_world world;
    std::string cache = world.path("vcache");
    void SetUp() override { ASSERT_TRUE(make_dirs(cache)); }
};

} // namespace

TEST_F(CinemaServe, WholeAndRangedAnswersWithCurl) {
    const std::string bytes = movie_bytes(6 * 1024 * 1024 + 777, 1);
    const int64_t size = int64_t(bytes.size());
    const std::string path = cache + "/7001.avi";
    ASSERT_TRUE(write_movie(path, bytes));
    mini_supervisor sup(world, cache, 7001);
    ASSERT_TRUE(sup.start(3));

    curl_result whole = run_curl(world, sup.url(), "", "whole");
    EXPECT_EQ(whole.status, 0);
    EXPECT_EQ(whole.header, expected_header(whole.header, size, 0));
    EXPECT_TRUE(whole.body == bytes) << "body of " << whole.body.size() << " bytes differs";

    curl_result mid = run_curl(world, sup.url(), "1000000-", "mid");
    EXPECT_EQ(mid.status, 0);
    EXPECT_EQ(mid.header, expected_header(mid.header, size, 1000000));
    EXPECT_TRUE(mid.body == bytes.substr(1000000));

    curl_result last = run_curl(world, sup.url(), std::to_string(size - 1) + "-", "last");
    EXPECT_EQ(last.header, expected_header(last.header, size, size - 1));
    EXPECT_EQ(last.body, bytes.substr(size_t(size - 1)));

    for (size_t i = 0; i < 3; i++) {
        int code = -1;
        ASSERT_TRUE(sup.wait_streamer(i, 10000, &code));
        EXPECT_EQ(code, 1) << sup.streamer_log(i);
    }

    // The log of the whole-file run, line by line where the text matters.
    std::string log = sup.streamer_log(0);
    started_line s = started(log, "7001");
    std::string pre = "[" + s.pid + "/7001] : ";
    EXPECT_NE(s.pid, "?") << log;
    EXPECT_TRUE(has_message(log, "%CINEMA-S:" + pre + "Start reading thread for '" + path + "'"))
        << log;
    EXPECT_TRUE(has_message(
        log, "%CINEMA-S:" + pre + "Start sending video data on net I/O chan = " + s.chan + " ..."));
    EXPECT_TRUE(
        has_message(log, "%CINEMA-S:" + pre + "Streaming thread " + s.chan + " was stopped"));
    EXPECT_TRUE(has_message(log, "%CINEMA-S:" + pre + "Stopped, net I/O chan = " + s.chan));
    // The directory arrives whole, without the quotes of the command line.
    EXPECT_EQ(
        lines_with(log, "dir[0:" + std::to_string(cache.size()) + "] ='" + cache + "'").size(), 1u)
        << log;
    EXPECT_EQ(lines_with(log, "pos = 1000000").size(), 0u);
    EXPECT_EQ(lines_with(sup.streamer_log(1), "pos = 1000000 (0xf4240)").size(), 1u);
}

TEST_F(CinemaServe, StartOutsideTheFileAnswers416) {
    ASSERT_TRUE(write_movie(cache + "/7002.avi", movie_bytes(1000, 2)));
    ASSERT_TRUE(write_movie(cache + "/7003.avi", ""));
    mini_supervisor sup(world, cache, 7002), empty(world, cache, 7003);
    ASSERT_TRUE(sup.start(4));
    ASSERT_TRUE(empty.start(1));

    curl_result at_end = run_curl(world, sup.url(), "1000-", "at_end");
    EXPECT_EQ(at_end.header, expected_refusal(at_end.header, 1000));
    EXPECT_EQ(at_end.body, "");
    curl_result beyond = run_curl(world, sup.url(), "5000-", "beyond");
    EXPECT_EQ(beyond.header, expected_refusal(beyond.header, 1000));
    curl_result nothing = run_curl(world, empty.url(), "", "nothing");
    EXPECT_EQ(nothing.header, expected_refusal(nothing.header, 0));
    EXPECT_EQ(nothing.body, "");
    // A suffix range arrives as a negative position, a number past 63 bits as the
    // largest one: neither can be sought, and both are answered rather than dropped.
    curl_result suffix = run_curl(world, sup.url(), "-500", "suffix");
    EXPECT_EQ(suffix.header, expected_refusal(suffix.header, 1000));
    curl_result huge = run_curl(world, sup.url(), "18446744073709551615-", "huge");
    EXPECT_EQ(huge.header, expected_refusal(huge.header, 1000));

    int code = -1;
    for (size_t i = 0; i < 4; i++) {
        ASSERT_TRUE(sup.wait_streamer(i, 10000, &code));
        EXPECT_EQ(code, 1) << sup.streamer_log(i);
    }
    std::string log = sup.streamer_log(1);
    std::string pre = "[" + started(log, "7002").pid + "/7002] : ";
    EXPECT_TRUE(has_message(log, "%CINEMA-I:" + pre + "Position 5000 is beyond the end of '" +
                                     cache + "/7002.avi' (1000 bytes), answered 416"))
        << log;
    log = sup.streamer_log(2);
    pre = "[" + started(log, "7002").pid + "/7002] : ";
    EXPECT_TRUE(has_message(log, "%CINEMA-I:" + pre + "Position -500 is before the start of '" +
                                     cache + "/7002.avi' (1000 bytes), answered 416"))
        << log;
    ASSERT_TRUE(empty.wait_streamer(0, 10000, &code));
    EXPECT_EQ(code, 1);
}

TEST_F(CinemaServe, FfprobeOpensTheMovie) {
    child_run ffmpeg;
    ASSERT_TRUE(
        ffmpeg.start(world, "/usr/bin/ffmpeg",
                     {"-v", "error", "-f", "lavfi", "-i", "testsrc=duration=2:size=320x240:rate=25",
                      "-c:v", "mpeg4", cache + "/7004-movie.avi"}));
    int code = -1;
    ASSERT_TRUE(ffmpeg.wait_exit(60000, &code));
    ASSERT_EQ(code, 0) << ffmpeg.log();

    mini_supervisor sup(world, cache, 7004);
    ASSERT_TRUE(sup.start(16));
    child_run probe;
    ASSERT_TRUE(probe.start(world, "/usr/bin/ffprobe",
                            {"-v", "error", "-show_entries", "format=format_name:stream=codec_name",
                             "-of", "default=nw=1", sup.url()},
                            "ffprobe.log"));
    ASSERT_TRUE(probe.wait_exit(60000, &code));
    EXPECT_EQ(code, 0) << probe.log();
    EXPECT_NE(probe.log().find("codec_name=mpeg4\n"), std::string::npos) << probe.log();
    EXPECT_NE(probe.log().find("format_name=avi\n"), std::string::npos) << probe.log();
    ASSERT_GE(sup.streamers(), 1u);
    for (size_t i = 0; i < sup.streamers(); i++) {
        ASSERT_TRUE(sup.wait_streamer(i, 10000, &code));
        EXPECT_EQ(code, 1) << sup.streamer_log(i);
    }
}

TEST_F(CinemaServe, MovieAppearingAfterTheRequest) {
    const std::string bytes = movie_bytes(300000, 5);
    mini_supervisor sup(world, cache, 7005);
    ASSERT_TRUE(sup.start(1));
    curl_result got;
    std::thread player([&] { got = run_curl(world, sup.url(), "", "late"); });

    // The listing is written before the search; give the streamer time to start waiting.
    int64_t end = test_now_ms() + 10000;
    while (sup.streamers() == 0 && test_now_ms() < end)
        usleep(10000);
    ASSERT_EQ(sup.streamers(), 1u);
    for (int i = 0; i < 500 && lines_with(sup.streamer_log(0), "pos = 0").empty(); i++)
        usleep(10000);
    usleep(500000);
    ASSERT_TRUE(write_movie(cache + "/7005.avi", bytes));

    player.join();
    EXPECT_EQ(got.header, expected_header(got.header, int64_t(bytes.size()), 0));
    EXPECT_TRUE(got.body == bytes);
    int code = -1;
    ASSERT_TRUE(sup.wait_streamer(0, 10000, &code));
    EXPECT_EQ(code, 1);
}

TEST_F(CinemaServe, FileStillBeingWrittenArrivesIntact) {
    const std::string bytes = movie_bytes(3 * 1024 * 1024 + 100, 6);
    const std::string path = cache + "/7006.avi";
    // As the fetcher does: the whole size at once (zero-filled), then the data front to
    // back. The last 8192 bytes are not guarded by the look-ahead, so they come first.
    os_file w;
    ASSERT_TRUE(file_open_write(path.c_str(), &w));
    ASSERT_TRUE(file_set_size(&w, bytes.size()));
    const size_t tail = bytes.size() - 12288;
    ASSERT_EQ(file_pwrite(&w, bytes.data() + tail, 12288, tail), 12288);

    mini_supervisor sup(world, cache, 7006);
    ASSERT_TRUE(sup.start(1));
    curl_result got;
    std::thread player([&] { got = run_curl(world, sup.url(), "", "growing"); });
    usleep(200000);
    for (size_t at = 0; at < tail; at += 131072) {
        size_t n = std::min<size_t>(131072, tail - at);
        ASSERT_EQ(file_pwrite(&w, bytes.data() + at, n, at), long(n));
        usleep(20000);
    }
    file_close(&w);

    player.join();
    EXPECT_EQ(got.header, expected_header(got.header, int64_t(bytes.size()), 0));
    EXPECT_TRUE(got.body == bytes) << "body of " << got.body.size() << " bytes differs";
    int code = -1;
    ASSERT_TRUE(sup.wait_streamer(0, 10000, &code));
    EXPECT_EQ(code, 1);
}

// The player resets the connection while a send is under way (the socket's buffers are
// full, so the send of a buffer has gone out only in part): the failure is that of the
// send completing, severity 2 and status 2. Should the reset meet a buffer boundary
// instead, the send is refused at once: severity 3 and status 1.
TEST_F(CinemaServe, PlayerResetWhileDataFlow) {
    ASSERT_TRUE(write_movie(cache + "/7007.avi", movie_bytes(24 * 1024 * 1024, 7)));
    mini_supervisor sup(world, cache, 7007);
    ASSERT_TRUE(sup.start(1));

    int fd = tcp_connect_loopback(sup.port);
    ASSERT_GE(fd, 0);
    std::string req = "GET /movie?cid=7007&sid=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(send(fd, req.data(), req.size(), 0), ssize_t(req.size()));
    size_t received = 0;
    char buf[65536];
    while (received < 300000) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        received += size_t(n);
    }
    // Closing with data still unread makes the kernel reset the connection.
    usleep(100000);
    close(fd);

    int code = -1;
    ASSERT_TRUE(sup.wait_streamer(0, 10000, &code));
    std::string log = sup.streamer_log(0);
    started_line s = started(log, "7007");
    std::string pre = "[" + s.pid + "/7007] : ";
    auto logged = [&](const std::string &sev, const std::string &text) {
        return has_message(log, sev + pre + text + "104") ||
               has_message(log, sev + pre + text + "32");
    };
    if (code == 2) {
        EXPECT_TRUE(logged("%CINEMA-E:", "WSASend failed, error code: ")) << log;
        EXPECT_TRUE(has_message(log, "%CINEMA-E:" + pre + "Stopped, net I/O chan = " + s.chan));
    } else {
        EXPECT_EQ(code, 1) << log;
        EXPECT_TRUE(logged("%CINEMA-I:", "Stream sending stopped, error code: ")) << log;
        EXPECT_TRUE(has_message(log, "%CINEMA-S:" + pre + "Stopped, net I/O chan = " + s.chan));
    }
}

// The player goes while the streamer waits on a zero region (4096 'A', 8192 zero
// octets, 4096 'B': only the header has gone out): a close or a reset ends the run
// with status 1 and the usual lines, although no send ever fails.
TEST_F(CinemaServe, PlayerGoneWhileWaitingOnAZeroRegionEndsTheRun) {
    std::string bytes = std::string(4096, 'A') + std::string(8192, '\0') + std::string(4096, 'B');
    ASSERT_TRUE(write_movie(cache + "/7011.avi", bytes));
    mini_supervisor sup(world, cache, 7011);
    ASSERT_TRUE(sup.start(2));

    for (size_t i = 0; i < 2; i++) {
        const bool reset = i == 1;
        int fd = tcp_connect_loopback(sup.port);
        ASSERT_GE(fd, 0);
        std::string req = "GET /movie?cid=7011&sid=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ASSERT_EQ(send(fd, req.data(), req.size(), 0), ssize_t(req.size()));
        std::string header;
        char buf[4096];
        while (header.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            ASSERT_GT(n, 0);
            header.append(buf, size_t(n));
        }
        EXPECT_EQ(header, expected_header(header, int64_t(bytes.size()), 0));
        usleep(500000); // the streamer is waiting on the zero region by now
        if (reset) {
            linger hard{1, 0};
            ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
        }
        close(fd);

        int code = -1;
        ASSERT_TRUE(sup.wait_streamer(i, 10000, &code)) << sup.streamer_log(i);
        EXPECT_EQ(code, 1);
        std::string log = sup.streamer_log(i);
        started_line s = started(log, "7011");
        std::string pre = "[" + s.pid + "/7011] : ";
        EXPECT_TRUE(has_message(log, "%CINEMA-I:" + pre +
                                         "Player has gone while waiting for data, error code: " +
                                         (reset ? "104" : "0")))
            << log;
        EXPECT_TRUE(has_message(log, "%CINEMA-S:" + pre + "Reading thread was stopped")) << log;
        EXPECT_TRUE(
            has_message(log, "%CINEMA-S:" + pre + "Streaming thread " + s.chan + " was stopped"));
        EXPECT_TRUE(has_message(log, "%CINEMA-S:" + pre + "Stopped, net I/O chan = " + s.chan));
    }
}

TEST_F(CinemaServe, SparseMovieBeyond4GiB) {
    const int64_t size = (int64_t(1) << 32) + 700000;
    const int64_t pos = (int64_t(1) << 32) + 400000;
    const std::string data = movie_bytes(size_t(size - pos), 8);
    os_file w;
    ASSERT_TRUE(file_open_write((cache + "/7008.avi").c_str(), &w));
    ASSERT_TRUE(file_set_size(&w, uint64_t(size)));
    ASSERT_EQ(file_pwrite(&w, data.data(), data.size(), uint64_t(pos)), long(data.size()));
    file_close(&w);

    mini_supervisor sup(world, cache, 7008);
    ASSERT_TRUE(sup.start(1));
    curl_result got = run_curl(world, sup.url(), std::to_string(pos) + "-", "sparse");
    EXPECT_EQ(got.header, expected_header(got.header, size, pos));
    EXPECT_NE(got.header.find("Content-Range: bytes 4295367296-4295667295/4295667296\r\n"),
              std::string::npos);
    EXPECT_TRUE(got.body == data) << "body of " << got.body.size() << " bytes differs";
    int code = -1;
    ASSERT_TRUE(sup.wait_streamer(0, 10000, &code));
    EXPECT_EQ(code, 1);
}

TEST_F(CinemaServe, UsageAndStartFailures) {
    int code = -1;
    child_run usage;
    ASSERT_TRUE(usage.start(world, bin_path("KVT-Cinema"), {}, "usage.log"));
    ASSERT_TRUE(usage.wait_exit(10000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(usage.log(), "KVT-Cinema\t<options list>\n  options:\t-dir\t\t- where were store "
                           "temp files\n\t\t-trace\t\t- additional tracing\nexample:\t"
                           "-dir=C:\\temp -trace=1\n\n");

    // A name that matches but cannot be opened (a link: never followed in the cache).
    ASSERT_EQ(symlink(world.path("nowhere").c_str(), (cache + "/7012.avi").c_str()), 0);
    child_run noopen;
    ASSERT_TRUE(noopen.start(world, bin_path("KVT-Cinema"),
                             {"-chan=-1", "-cid=7012", "-dir=" + cache}, "noopen.log"));
    ASSERT_TRUE(noopen.wait_exit(10000, &code));
    EXPECT_EQ(code, 4);
    std::string pre = "[" + started(noopen.log(), "7012").pid + "/7012] : ";
    EXPECT_TRUE(has_message(noopen.log(), "%CINEMA-F:" + pre + "Opening archive '" + cache +
                                              "/7012.avi' failure : " + std::to_string(ELOOP)))
        << noopen.log();

    // A cache folder that does not exist: the search fails other than by finding nothing.
    child_run nodir;
    std::string missing = world.path("missing");
    ASSERT_TRUE(nodir.start(world, bin_path("KVT-Cinema"),
                            {"-chan=-1", "-cid=7010", "-dir=" + missing}, "nodir.log"));
    ASSERT_TRUE(nodir.wait_exit(10000, &code));
    EXPECT_EQ(code, 2);
    pre = "[" + started(nodir.log(), "7010").pid + "/7010] : ";
    EXPECT_TRUE(has_message(nodir.log(),
                            "%CINEMA-E:" + pre + "FindFirstFile('" + missing + "') failure : 20"))
        << nodir.log();
}

// With no inotify instance to be had (the user's 128 all taken by live relays), the
// streamer waits for the movie by looking at the folder, and serves it when it comes.
TEST_F(CinemaServe, WaitsByLookingWhenNoChangeWatchIsToBeHad) {
    std::string why;
    mini_supervisor sup(world, cache, 7010);
    sup.program = without_inotify(world, bin_path("KVT-Cinema"), &why);
    if (sup.program.empty()) GTEST_SKIP() << "no user namespace to run the streamer in: " << why;
    ASSERT_TRUE(sup.start(1));
    const std::string bytes = movie_bytes(300000, 10);
    std::thread fetcher([&] {
        usleep(1500000); // the streamer waits by then
        write_movie(cache + "/7010.avi", bytes);
    });
    curl_result got = run_curl(world, sup.url(), "", "looked");
    fetcher.join();
    EXPECT_EQ(got.header, expected_header(got.header, int64_t(bytes.size()), 0));
    EXPECT_TRUE(got.body == bytes) << got.body.size() << " octets";
    int code = -1;
    ASSERT_TRUE(sup.wait_streamer(0, 10000, &code));
    EXPECT_EQ(code, 1);
    const std::string log = sup.streamer_log(0);
    EXPECT_EQ(lines_with(log, "No change watch of '" + cache +
                                  "' to be had (errno = 24): looking at it every 200 ms")
                  .size(),
              1u)
        << log;
    EXPECT_TRUE(lines_with(log, "FindFirstChangeNotification").empty()) << log;
}

// The streamer notes where it reads for the fetcher (utils/read_position.h): the
// offset it waits at while a region is still zero, and nothing once it has ended.
TEST_F(CinemaServe, NotesWhereItReadsForTheFetcher) {
    const std::string bytes = movie_bytes(2 * 1024 * 1024, 9);
    std::string holey = bytes;
    std::fill(holey.begin() + 1000000, holey.begin() + 1200000, '\0');
    const std::string path = cache + "/7002.avi";
    ASSERT_TRUE(write_movie(path, holey));
    mini_supervisor sup(world, cache, 7002);
    ASSERT_TRUE(sup.start(1));
    curl_result got;
    std::thread player([&] { got = run_curl(world, sup.url(), "300000-", "noted"); });
    // It reads from 300000 in 4096-octet steps and waits where the next 4096 are zero.
    uint64_t at[4] = {0};
    int n = 0;
    for (int waited = 0; waited < 10000; waited += 50) {
        n = read_pos_fresh(7002, bytes.size(), os_tick_ms(), at, 4);
        if (n == 1 && at[0] >= 995904) break;
        os_sleep_ms(50);
    }
    EXPECT_EQ(n, 1);
    EXPECT_GE(at[0], 995904u);
    EXPECT_LT(at[0], 1000000u);
    os_file w;
    ASSERT_TRUE(file_open_write(path.c_str(), &w));
    ASSERT_EQ(file_pwrite(&w, bytes.data() + 1000000, 200000, 1000000), 200000);
    file_close(&w);
    player.join();
    EXPECT_TRUE(got.body == bytes.substr(300000));
    int code = 0;
    EXPECT_TRUE(sup.wait_streamer(0, 10000, &code));
    EXPECT_EQ(read_pos_fresh(7002, bytes.size(), os_tick_ms(), at, 4), 0);
}
