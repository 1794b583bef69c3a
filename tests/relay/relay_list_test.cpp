// KVT-Relay's list mode (-hls_list=3) behind the stand-in supervisor: the playlist
// lists the newest three complete chunk files with consecutive numbers, each segment
// address answers that chunk as whole frames (each stream from a unit start, its last
// unit completed from the next chunk), and a chunk gone from the cache answers 404.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/relay/relay_gate.h"
#include "tests/relay/relay_test_util.h"
#include "tests/support/test_support.h"

namespace {

struct segment {
    double seconds;
    std::string when;
    int chunk;
    std::string address;
};
struct playlist {
    int sequence = -1, target = -1;
    std::vector<segment> segments;
};

playlist parse_playlist(const std::string &text) {
    playlist p;
    std::smatch m;
    if (std::regex_search(text, m, std::regex("#EXT-X-MEDIA-SEQUENCE:([0-9]+)\r\n")))
        p.sequence = std::stoi(m[1]);
    if (std::regex_search(text, m, std::regex("#EXT-X-TARGETDURATION:([0-9]+)\r\n")))
        p.target = std::stoi(m[1]);
    const std::regex seg("#EXT-X-PROGRAM-DATE-TIME:(\\S+)\r\n#EXTINF:([0-9.]+),\r\n"
                         "(/hls\\.chunk\\.ts\\?cid=1501&sid=[0-9]+&chunk=([0-9]+))\r\n");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), seg);
         it != std::sregex_iterator(); ++it)
        p.segments.push_back({std::stod((*it)[2]), (*it)[1], std::stoi((*it)[4]), (*it)[3]});
    return p;
}

// Milliseconds of the day in "YYYY-MM-DDTHH:MM:SS.mmmZ".
long day_ms(const std::string &when) {
    int h = 0, mi = 0, s = 0, ms = 0;
    sscanf(when.c_str() + 11, "%d:%d:%d.%dZ", &h, &mi, &s, &ms);
    return ((h * 60L + mi) * 60 + s) * 1000 + ms;
}

std::string body_of(const std::string &answer) {
    size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

int pid_of(const std::string &ts, size_t at) {
    return ((uint8_t(ts[at + 1]) & 0x1F) << 8) | uint8_t(ts[at + 2]);
}
bool unit_start(const std::string &ts, size_t at) {
    return (uint8_t(ts[at + 1]) & 0x40) != 0;
}

// Each stream's packets in order (stuffing left out); with from_start, from its first
// unit start on.
std::map<int, std::string> streams_of(const std::string &ts, bool from_start) {
    std::map<int, std::string> out;
    std::map<int, bool> started;
    for (size_t at = 0; at + 188 <= ts.size() && ts[at] == 0x47; at += 188) {
        int pid = pid_of(ts, at);
        if (pid == 0x1FFF) continue;
        if (from_start && !started[pid] && !unit_start(ts, at)) continue;
        started[pid] = true;
        out[pid] += ts.substr(at, 188);
    }
    return out;
}

// Every stream of a segment begins at a unit start.
bool begins_at_unit_starts(const std::string &ts) {
    for (const auto &stream : streams_of(ts, false))
        if (!unit_start(stream.second, 0)) return false;
    return !ts.empty();
}

} // namespace

TEST(RelayHlsList, NewestCompleteChunksListedServedExactlyAnd404WhenGone) {
    test_world world;
    const std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    std::string out;
    ASSERT_EQ(run_command("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25 -t 8 "
                          "-c:v mpeg2video -muxrate 400k -f mpegts -y " +
                              world.path("channel.ts"),
                          &out),
              0)
        << out;
    const std::string ts = read_text_file(world.path("channel.ts"));
    const size_t size = ts.size() / 7 / 188 * 188;
    auto chunk_path = [&](int n) { return dir + "/1501---" + std::to_string(n) + ".dat"; };
    auto chunk_data = [&](int n) { return ts.substr(size_t(n - 100) * size, size); };
    // Chunks 100 to 104 written, 105 half written: the fetcher fills front to back.
    for (int n = 100; n <= 104; n++) {
        ASSERT_TRUE(write_at(chunk_path(n), chunk_data(n), 0));
        usleep(20000);
    }
    ASSERT_TRUE(set_size(chunk_path(105), size));
    ASSERT_TRUE(write_at(chunk_path(105), chunk_data(105).substr(0, size / 2 / 188 * 188), 0));

    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-hls_list=3"}));
    auto fetch = [&](const std::string &target) {
        return http_exchange(gate.port, "GET " + target + " HTTP/1.1\r\n\r\n", 15000);
    };
    const std::string first_answer = fetch("/hls?cid=1501");
    EXPECT_EQ(first_answer.find("HTTP/1.1 200 OK\r\n"), 0u) << first_answer;
    EXPECT_NE(first_answer.find("Content-Type: application/vnd.apple.mpegurl\r\n"),
              std::string::npos);
    const playlist first = parse_playlist(body_of(first_answer));
    ASSERT_EQ(first.segments.size(), 3u) << first_answer;
    EXPECT_EQ(first.sequence, 102);
    std::string joined;
    for (size_t i = 0; i < 3; i++) {
        const segment &s = first.segments[i];
        EXPECT_EQ(s.chunk, 102 + int(i));
        EXPECT_GT(s.seconds, 0.5);
        EXPECT_LE(s.seconds, first.target);
        const std::string body = body_of(fetch(s.address));
        joined += body;
        EXPECT_TRUE(begins_at_unit_starts(body)) << s.address;
        if (i > 0) {
            EXPECT_NEAR(day_ms(s.when) - day_ms(first.segments[i - 1].when),
                        first.segments[i - 1].seconds * 1000, 2.0);
        }
    }

    // Together the segments hold every packet of chunks 102 to 104 from each stream's
    // first unit start on, and the packets of chunk 105 that end their last units.
    std::map<int, std::string> want = streams_of(ts.substr(2 * size, 3 * size), true);
    const std::map<int, std::string> next = streams_of(chunk_data(105), false);
    for (auto &w : want) {
        const std::string n = next.count(w.first) ? next.at(w.first) : "";
        for (size_t at = 0; at < n.size() && !unit_start(n, at); at += 188)
            w.second += n.substr(at, 188);
    }
    EXPECT_TRUE(streams_of(joined, false) == want);

    // Chunk 105 complete and 106 begun: the list moves on by one.
    ASSERT_TRUE(write_at(chunk_path(105), chunk_data(105), 0));
    ASSERT_TRUE(set_size(chunk_path(106), size));
    ASSERT_TRUE(write_at(chunk_path(106), chunk_data(106).substr(0, 188 * 10), 0));
    const playlist second = parse_playlist(body_of(fetch("/hls?cid=1501")));
    ASSERT_EQ(second.segments.size(), 3u);
    EXPECT_EQ(second.sequence, first.sequence + 1);
    EXPECT_EQ(second.segments[0].chunk, 103);
    const std::string newest = body_of(fetch(second.segments[2].address));
    EXPECT_GT(newest.size(), size / 2);
    EXPECT_TRUE(begins_at_unit_starts(newest));

    // A chunk that has left the cache.
    ASSERT_EQ(unlink(chunk_path(102).c_str()), 0);
    const std::string gone = fetch(first.segments[0].address);
    EXPECT_EQ(gone.find("HTTP/1.1 404 Not Found\r\n"), 0u) << gone;

    // Chunk 106 written whole and no 107 yet, as a swarm viewer writes: 106 is not
    // listed (its last units end in a chunk not there yet), and 105's segment is
    // completed from it.
    ASSERT_TRUE(write_at(chunk_path(106), chunk_data(106), 0));
    const playlist third = parse_playlist(body_of(fetch("/hls?cid=1501")));
    ASSERT_EQ(third.segments.size(), 3u);
    EXPECT_EQ(third.segments[2].chunk, 105);
    const std::string seg105 = body_of(fetch(third.segments[2].address));
    std::map<int, std::string> want105 = streams_of(chunk_data(105), true);
    const std::map<int, std::string> head106 = streams_of(chunk_data(106), false);
    size_t tail = 0;
    for (auto &w : want105) {
        const std::string n = head106.count(w.first) ? head106.at(w.first) : "";
        for (size_t at = 0; at < n.size() && !unit_start(n, at); at += 188, tail += 188)
            w.second += n.substr(at, 188);
    }
    EXPECT_GT(tail, 0u);
    EXPECT_TRUE(streams_of(seg105, false) == want105);
}

// In list mode a live relay joining a running channel starts with the newest complete
// chunk, not at the start of the one being written; that one follows.
TEST(RelayHlsList, LiveStreamStartsAtTheNewestCompleteChunk) {
    test_world world;
    const std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    const std::string data = make_packets(2 * 348, 21), growing = make_packets(4 * 348, 22);
    const std::string complete = dir + "/1501---40.dat", written = dir + "/1501---41.dat";
    ASSERT_TRUE(write_at(complete, data, 0));
    usleep(20000);
    ASSERT_TRUE(set_size(written, growing.size()));
    ASSERT_TRUE(write_at(written, growing.substr(0, 348 * 188), 0));

    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-hls_list=3"}));
    const int fd = tcp_connect_loopback(gate.port);
    ASSERT_GE(fd, 0);
    const std::string req = "GET /stream?cid=1501 HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), ssize_t(req.size()));
    const std::string loaded =
        "CID=1501 : Loaded from '" + complete + "' " + std::to_string(data.size()) + " octets\n";
    ASSERT_TRUE(gate.wait_relay_log(0, loaded.c_str(), 15000));
    // The chunk being written goes on and follows through the directory watch.
    ASSERT_TRUE(write_at(written, growing.substr(348 * 188), 348 * 188));
    timeval limit{15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string received, body;
    char buf[65536];
    while (body.size() < data.size() + growing.size()) {
        const ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got <= 0) break;
        received.append(buf, size_t(got));
        if (received.size() > 276)
            body = strip_null_frames(received.substr(276, (received.size() - 276) / 188 * 188));
    }
    close(fd);
    EXPECT_TRUE(body == data + growing) << "not chunk 40 and then chunk 41";
}

// A new channel: the relay starts while the fetcher has only begun the chunk being
// written, and the complete chunk comes a moment later; the relay starts on that
// one, not on the growing chunk (whose next block it would wait seconds for).
TEST(RelayHlsList, NewChannelStartsAtTheCompleteChunkWrittenJustAfterIt) {
    test_world world;
    const std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    const std::string data = make_packets(2 * 348, 23), growing = make_packets(4 * 348, 24);
    const std::string complete = dir + "/1501---40.dat", written = dir + "/1501---41.dat";
    ASSERT_TRUE(set_size(written, growing.size()));
    ASSERT_TRUE(write_at(written, growing.substr(0, 348 * 188), 0));

    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-hls_list=3"}));
    const int fd = tcp_connect_loopback(gate.port);
    ASSERT_GE(fd, 0);
    const std::string req = "GET /stream?cid=1501 HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), ssize_t(req.size()));
    ASSERT_TRUE(gate.wait_relay_log(0, "CID=1501 : Start scanning thread", 15000));
    ASSERT_TRUE(write_at(complete, data, 0));
    const std::string first = "CID=1501 : Loading '" + complete + "' ..., idle_loops";
    const std::string loaded =
        "CID=1501 : Loaded from '" + complete + "' " + std::to_string(data.size()) + " octets\n";
    EXPECT_TRUE(gate.wait_relay_log(0, first.c_str(), 15000)) << "not started at chunk 40";
    EXPECT_TRUE(gate.wait_relay_log(0, loaded.c_str(), 15000));
    close(fd);
    if (HasFailure()) {
        ADD_FAILURE() << read_text_file(gate.relay(0).log_path);
    }
}
