// Senders: the stream header, the playlist answer, the chunk answer and the null
// frames of the live stream, written to one end of a local socket pair.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "relay/relay.h"
#include "tests/relay/relay_test_util.h"
#include "tests/support/test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Reads exactly n octets (or less when the peer closes).
static std::string read_n(int fd, size_t n) {
    std::string s;
    char buf[65536];
    while (s.size() < n) {
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - s.size()));
        if (r <= 0) break;
        s.append(buf, (size_t)r);
    }
    return s;
}

static std::string read_all(int fd) {
    std::string s;
    char buf[65536];
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, (size_t)r);
    return s;
}

static std::string server_line() {
    return std::string("Server: Corvane-TV SN/Win64/X.54-03/Build at ") + g_build_stamp + "\r\n";
}

TEST(RelaySend, StreamHeaderIs276Octets) {
    // The build stamp has the form "Jul 21 2017 14:56:43".
    EXPECT_TRUE(std::regex_match(
        g_build_stamp,
        std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")));
    char h[512];
    int n = build_stream_header(h, sizeof h);
    EXPECT_EQ(n, 276);
    EXPECT_EQ(std::string(h, (size_t)n),
              "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n"
              "Content-Type: video/mp2t\r\nConnection: close\r\nAccept-Ranges: bytes\r\n"
              "Cache-Control: no-cache, max-age=0\r\nExpires: Mon, 17 Nov 1958 00:00:01\r\n" +
                  server_line() + "\r\n");
}

TEST(RelaySend, PlaylistTextAndLength) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    g_relay.chan = sv[0];
    g_relay.cid = 1501;
    g_relay.duration = 55;
    g_relay.hls_time = 1700000123;
    g_trace = 1;
    CaptureStdout();
    EXPECT_EQ(send_playlist(), 1);
    std::string out = GetCapturedStdout();
    close(sv[0]);
    std::string got = read_all(sv[1]);
    close(sv[1]);
    std::string pid = std::to_string(getpid());
    std::string playlist = "#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-MEDIA-SEQUENCE:1700000123\r\n"
                           "#EXT-X-TARGETDURATION:57\r\n#EXTINF:56.0,\r\n"
                           "/hls.chunk.ts?cid=1501&sid=" +
                           pid + "&chunk=1700000123\r\n";
    std::string header =
        "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\n"
        "Content-Type: application/vnd.apple.mpegurl\r\n"
        "Access-Control-Allow-Origin: *\r\nConnection: close\r\n"
        "Cache-Control: no-cache, max-age=0\r\nExpires: Mon, 17 Nov 1958 00:00:01\r\n" +
        server_line() + "Content-Length: " + std::to_string(playlist.size()) + "\r\n\r\n";
    EXPECT_EQ(got, header + playlist);
    // The verbose copy carries the whole answer.
    EXPECT_NE(out.find("[KVT-RELAY\\send_playlist\\"), std::string::npos);
    EXPECT_NE(out.find("RELAY: [#" + std::to_string(sv[0]) + "] CID=1501 : Sent answer[0:" +
                       std::to_string(header.size()) + "] = \n" + header + playlist),
              std::string::npos);

    // A player that is gone before the header: the short header is reported, the
    // playlist is still tried and its failure gives status 2.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    close(sv[1]);
    g_relay.chan = sv[0];
    CaptureStdout();
    EXPECT_EQ(send_playlist(), 2);
    out = GetCapturedStdout();
    close(sv[0]);
    std::string prefix = "[#" + std::to_string(sv[0]) + "] CID=1501 : send (";
    size_t e1 = out.find("%RELAY-E: " + prefix + std::to_string(header.size()) +
                         " octets) -> -1, errno = 32\n");
    size_t e2 = out.find("%RELAY-E: " + prefix + std::to_string(playlist.size()) +
                         " octets) -> -1, errno = 32\n");
    ASSERT_NE(e1, std::string::npos) << out;
    ASSERT_NE(e2, std::string::npos) << out;
    EXPECT_LT(e1, e2);
    EXPECT_EQ(
        count_relay_lines(out, 'E',
                          prefix + std::to_string(header.size()) + " octets) -> -1, errno = 32") +
            count_relay_lines(
                out, 'E', prefix + std::to_string(playlist.size()) + " octets) -> -1, errno = 32"),
        2);
    // No verbose copy of an answer that was not sent.
    EXPECT_EQ(out.find("Sent answer"), std::string::npos);
    g_trace = 0;
}

TEST(RelaySend, ChunkAnswerCarriesWholeFile) {
    test_world world;
    std::string path = world.path("1501---9.dat");
    std::string data = make_packets(532, 4).substr(0, 100000);
    ASSERT_TRUE(write_at(path, data, 0));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    g_relay.chan = sv[0];
    g_relay.cid = 1501;
    g_relay.exit_flag = 0;
    std::string got;
    std::thread reader([&] { got = read_all(sv[1]); });
    os_file f;
    ASSERT_TRUE(file_open_read(path.c_str(), &f));
    CaptureStdout();
    EXPECT_EQ(send_hls_chunk(&f, path.c_str()), 1);
    std::string out = GetCapturedStdout();
    file_close(&f);
    close(sv[0]);
    reader.join();
    close(sv[1]);
    std::string header =
        "HTTP/1.1 200 OK\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n"
        "Content-Type: video/mp2t\r\nConnection: close\r\nContent-Length: 100000\r\n"
        "Accept-Ranges: bytes\r\nCache-Control: no-cache, max-age=0\r\n"
        "Expires: Mon, 17 Nov 1958 00:00:01\r\n" +
        server_line() + "\r\n";
    EXPECT_EQ(got.substr(0, header.size()), header);
    EXPECT_EQ(got.size(), header.size() + data.size());
    EXPECT_TRUE(got.compare(header.size(), std::string::npos, data) == 0);
    EXPECT_TRUE(has_relay_line(out, 'S',
                               "[#" + std::to_string(sv[0]) + "] CID=1501 : Loaded from '" + path +
                                   "' 100000 from 100000 octets"));
}

static int s_chunk_sleeps = 0;
static void count_sleep(unsigned) {
    s_chunk_sleeps++;
}

TEST(RelaySend, ChunkZeroTailWaitedThirteenTimesThenSent) {
    test_world world;
    std::string path = world.path("1501---10.dat");
    std::string block1 = make_packets(348, 5), last = make_packets(100, 6);
    // The second block is never written: it reads as zeros.
    ASSERT_TRUE(set_size(path, 2 * CHUNK_BLOCK + last.size()));
    ASSERT_TRUE(write_at(path, block1, 0));
    ASSERT_TRUE(write_at(path, last, 2 * CHUNK_BLOCK));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    g_relay.chan = sv[0];
    g_relay.cid = 1501;
    g_relay.exit_flag = 0;
    g_relay.sleep_ms = count_sleep;
    std::string got;
    std::thread reader([&] { got = read_all(sv[1]); });
    os_file f;
    ASSERT_TRUE(file_open_read(path.c_str(), &f));
    CaptureStdout();
    EXPECT_EQ(send_hls_chunk(&f, path.c_str()), 1);
    std::string out = GetCapturedStdout();
    file_close(&f);
    close(sv[0]);
    reader.join();
    close(sv[1]);
    EXPECT_EQ(s_chunk_sleeps, 13);
    std::string size = std::to_string(2 * CHUNK_BLOCK + last.size());
    size_t body = got.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(got.find("\r\nContent-Length: " + size + "\r\n"), std::string::npos);
    // The zero block goes out unchanged after the last wait.
    EXPECT_TRUE(got.substr(body + 4) == block1 + std::string(CHUNK_BLOCK, '\0') + last);
    std::string prefix = "[#" + std::to_string(sv[0]) + "] CID=1501 : '" + path + "' - ";
    for (int i = 1; i <= 13; i++)
        EXPECT_EQ(count_relay_lines(out, 'W',
                                    prefix + "waiting 4230 milliseconds ... (" + std::to_string(i) +
                                        "/13)"),
                  1)
            << i;
    EXPECT_TRUE(has_relay_line(out, 'E', prefix + "skip block after 14 attempts."));
    EXPECT_TRUE(has_relay_line(out, 'S',
                               "[#" + std::to_string(sv[0]) + "] CID=1501 : Loaded from '" + path +
                                   "' " + size + " from " + size + " octets"));
}

// The writer changes the file while the answer waits on its zero tail: it finishes
// the block and appends more (the body stays at the announced length), or it cuts
// the file short (what it still holds is sent, then the answer fails).
static std::string s_change_path, s_change_block;
static uint64_t s_change_size;
static void change_file_sleep(unsigned) {
    write_at(s_change_path, s_change_block, 0);
    set_size(s_change_path, s_change_size);
}

TEST(RelaySend, ChunkBodyIsExactlyContentLength) {
    test_world world;
    s_change_path = world.path("1501---11.dat");
    s_change_block = make_packets(348, 7);
    std::string tail = make_packets(200, 8);
    g_relay.cid = 1501;
    g_relay.sleep_ms = change_file_sleep;
    for (uint64_t changed : {uint64_t(400000), uint64_t(70000)}) {
        ASSERT_TRUE(set_size(s_change_path, 0));
        ASSERT_TRUE(set_size(s_change_path, CHUNK_BLOCK + tail.size()));
        ASSERT_TRUE(write_at(s_change_path, tail, CHUNK_BLOCK));
        s_change_size = changed;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        g_relay.chan = sv[0];
        g_relay.exit_flag = 0;
        std::string got;
        std::thread reader([&] { got = read_all(sv[1]); });
        os_file f;
        ASSERT_TRUE(file_open_read(s_change_path.c_str(), &f));
        CaptureStdout();
        int32_t status = send_hls_chunk(&f, s_change_path.c_str());
        std::string out = GetCapturedStdout();
        file_close(&f);
        close(sv[0]);
        reader.join();
        close(sv[1]);
        const std::string announced = std::to_string(CHUNK_BLOCK + tail.size());
        size_t body = got.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_NE(got.find("\r\nContent-Length: " + announced + "\r\n"), std::string::npos);
        std::string prefix = "[#" + std::to_string(sv[0]) + "] CID=1501 : ";
        if (changed > CHUNK_BLOCK + tail.size()) {
            EXPECT_EQ(status, 1) << out;
            EXPECT_TRUE(got.substr(body + 4) == s_change_block + tail);
            EXPECT_TRUE(has_relay_line(out, 'S',
                                       prefix + "Loaded from '" + s_change_path + "' " + announced +
                                           " from " + announced + " octets"))
                << out;
        } else {
            EXPECT_EQ(status, 2) << out;
            EXPECT_TRUE(got.substr(body + 4) ==
                        s_change_block + tail.substr(0, 70000 - CHUNK_BLOCK));
            EXPECT_TRUE(has_relay_line(out, 'E',
                                       prefix + "'" + s_change_path +
                                           "' - file ended at 70000 of " + announced + " octets"))
                << out;
            EXPECT_TRUE(has_relay_line(out, 'E',
                                       prefix + "Loaded from '" + s_change_path + "' 70000 from " +
                                           announced + " octets"))
                << out;
        }
    }
}

TEST(RelaySend, NullFramesCountAndRestartAfterData) {
    pools_init();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    g_relay.chan = sv[0];
    g_relay.cid = 1501;
    g_relay.exit_flag = 0;
    g_relay.wait_ms = 2;
    CaptureStdout();
    std::thread sender([&] { send_stream(sv[0]); });
    char h[512];
    int hlen = build_stream_header(h, sizeof h);
    EXPECT_EQ(read_n(sv[1], (size_t)hlen), std::string(h, (size_t)hlen));
    // Seventeen null frames in a row: 0x10 .. 0x1F, then 0x10 again.
    for (int i = 0; i < 17; i++)
        EXPECT_EQ(read_n(sv[1], 188), null_frame(0x10 + i % 16)) << i;

    // One data buffer: sent as it is, and the counter starts again afterwards.
    std::string data = make_packets(2, 8);
    stream_buffer *b = nullptr;
    ASSERT_EQ(pool_take(&g_free_pool, &b), 1);
    memcpy(b->data, data.data(), data.size());
    b->length = (int32_t)data.size();
    ASSERT_EQ(busy_append_full(b), 1);
    std::string after;
    std::vector<uint8_t> counters;
    while (after.size() < data.size()) {
        std::string p = read_n(sv[1], 188);
        ASSERT_EQ(p.size(), 188u);
        if ((uint8_t)p[1] == 0x1F) {
            if (!after.empty()) counters.push_back((uint8_t)p[3]);
            continue;
        }
        after += p;
    }
    EXPECT_EQ(after, data);
    std::string next = read_n(sv[1], 188);
    EXPECT_EQ(next, null_frame(0x10));
    EXPECT_TRUE(counters.empty());

    // The player goes away: the next null frame fails and the thread ends by itself.
    close(sv[1]);
    sender.join();
    std::string out = GetCapturedStdout();
    close(sv[0]);
    std::string prefix = "[#" + std::to_string(sv[0]) + "] CID=1501 : ";
    EXPECT_EQ(g_relay.exit_flag.load(), 2);
    EXPECT_TRUE(has_relay_line(
        out, 'S',
        prefix + "Start sending video data on net I/O chan = " + std::to_string(sv[0]) + " ..."));
    EXPECT_TRUE(has_relay_line(out, 'W', prefix + "Sent MPEG2TS Null frame, count #1"));
    EXPECT_TRUE(has_relay_line(out, 'W', prefix + "Sent MPEG2TS Null frame, count #16"));
    EXPECT_FALSE(has_relay_line(out, 'W', prefix + "Sent MPEG2TS Null frame, count #17"));
    EXPECT_TRUE(has_relay_line(out, 'E', prefix + "send(188 octets) -> -1, errno = 32"));
    EXPECT_TRUE(
        has_relay_line(out, 'I', prefix + "Streaming thread has been stopped, 376 octets sent"));
    EXPECT_EQ(g_free_pool.count, 1536);
    g_relay.wait_ms = ZERO_TAIL_WAIT_MS;
}
