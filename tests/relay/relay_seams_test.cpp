// KVT-Relay's list-mode segments at chunk seams: units that run far into the next
// chunk, a next chunk still being written, a requested chunk that grows while it is
// served, and the highest chunk number. Every packet carries its own index, so the
// segments can be checked packet for packet.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <set>
#include <unistd.h>

#include "tests/relay/relay_gate.h"
#include "tests/relay/relay_test_util.h"
#include "tests/support/test_support.h"

namespace {

const size_t BLOCK_PACKETS = 348;
const size_t CHUNK_PACKETS = 5 * BLOCK_PACKETS;
const int VIDEO = 0x100, AUDIO = 0x101, STUFFING = 0x1FFF;

struct packet_info {
    int pid;
    bool start;
};

// A stream of video, audio and stuffing packets; packet g carries g in octets 8 to 11.
// Video units start at the given packet indexes, audio units every 8 audio packets.
struct synthetic_stream {
    std::vector<packet_info> info;
    std::string ts;

    explicit synthetic_stream(size_t packets, const std::set<size_t> &video_starts) {
        size_t audio = 0;
        for (size_t g = 0; g < packets; g++) {
            packet_info p{VIDEO, video_starts.count(g) > 0};
            if (g % 50 == 49)
                p = {STUFFING, false};
            else if (g % 10 == 5)
                p = {AUDIO, audio++ % 8 == 0};
            std::string pk(188, char(0x5A));
            pk[0] = 0x47;
            pk[1] = char((p.start ? 0x40 : 0) | (p.pid >> 8));
            pk[2] = char(p.pid & 0xFF);
            pk[3] = char(0x10 | (g & 15));
            if (p.start) {
                pk[4] = 0, pk[5] = 0, pk[6] = 1, pk[7] = char(p.pid == VIDEO ? 0xE0 : 0xC0);
            }
            for (int k = 0; k < 4; k++)
                pk[8 + k] = char(g >> (24 - 8 * k));
            info.push_back(p);
            ts += pk;
        }
    }
    std::string chunk(size_t c) const {
        return ts.substr(c * CHUNK_PACKETS * 188, CHUNK_PACKETS * 188);
    }
};

size_t index_of(const std::string &ts, size_t at) {
    size_t g = 0;
    for (int k = 0; k < 4; k++)
        g = (g << 8) | uint8_t(ts[at + 8 + k]);
    return g;
}
int pid_at(const std::string &ts, size_t at) {
    return ((uint8_t(ts[at + 1]) & 0x1F) << 8) | uint8_t(ts[at + 2]);
}

struct answer {
    std::string head, body;
    long length = -1;
};
answer split(const std::string &text) {
    answer a;
    size_t at = text.find("\r\n\r\n");
    if (at == std::string::npos) return a;
    a.head = text.substr(0, at + 2);
    a.body = text.substr(at + 4);
    size_t cl = a.head.find("Content-Length: ");
    if (cl != std::string::npos) a.length = std::stol(a.head.substr(cl + 16));
    return a;
}

bool is_video(size_t g) {
    return g % 50 != 49 && g % 10 != 5;
}
// The first video packet at least `from` packets into chunk c.
size_t video_at(size_t c, size_t from) {
    size_t g = c * CHUNK_PACKETS + from;
    while (!is_video(g))
        g++;
    return g;
}

struct cache {
    test_world world;
    std::string dir = world.path("vcache");
    relay_gate gate;
    std::string path(long long n) const { return dir + "/1501---" + std::to_string(n) + ".dat"; }
    answer fetch(long long chunk) {
        const std::string req =
            "GET /hls.chunk.ts?cid=1501&sid=1&chunk=" + std::to_string(chunk) + " HTTP/1.1\r\n\r\n";
        return split(http_exchange(gate.port, req, 15000));
    }
};

} // namespace

// Chunks 10 to 13 (chunk files numbered 110 to 113): the last video unit of chunk 0
// runs 400 of its own packets into chunk 1, that of chunk 1 more than three blocks
// into chunk 2, and chunk 3 is still being written while segment 2 is asked for.
// Together segments 0 to 2 carry every packet of chunks 0 to 2 exactly once, each
// stream in its order, and of chunk 3 exactly those before each stream's first unit
// start there.
TEST(RelayHlsSeams, EveryPacketOnceAcrossSegments) {
    std::set<size_t> starts;
    for (size_t k = 0; k < 6; k++)
        starts.insert(video_at(0, k * 280));
    // 400 video packets of chunk 1 before its first video unit start.
    size_t g = CHUNK_PACKETS, video = 0;
    for (; video < 400; g++)
        video += is_video(g);
    starts.insert(video_at(0, g));
    starts.insert(video_at(1, 900));
    starts.insert(video_at(1, 1500));
    const size_t three_blocks = video_at(2, 3 * BLOCK_PACKETS + 20);
    starts.insert(three_blocks);
    starts.insert(video_at(2, 1600));
    starts.insert(video_at(3, 200));
    const synthetic_stream s(4 * CHUNK_PACKETS, starts);

    cache c;
    ASSERT_TRUE(make_dirs(c.dir));
    for (size_t n = 0; n < 3; n++)
        ASSERT_TRUE(write_at(c.path(110 + n), s.chunk(n), 0));
    // Chunk 3 made at its size, only its first packets written.
    const std::string last = s.chunk(3);
    ASSERT_TRUE(set_size(c.path(113), last.size()));
    ASSERT_TRUE(write_at(c.path(113), last.substr(0, 10 * 188), 0));
    ASSERT_TRUE(c.gate.start(bin_path("KVT-Relay"), c.dir, c.world.root(), {"-hls_list=3"}));

    std::string joined;
    for (int n = 0; n < 3; n++) {
        answer a;
        if (n < 2) {
            a = c.fetch(110 + n);
        } else {
            // The rest of chunk 3 comes while segment 2 waits for it.
            auto pending = std::async(std::launch::async, [&] { return c.fetch(112); });
            usleep(300000);
            ASSERT_TRUE(write_at(c.path(113), last.substr(10 * 188), 10 * 188));
            a = pending.get();
        }
        EXPECT_EQ(a.head.find("HTTP/1.1 200 OK\r\n"), 0u) << a.head;
        EXPECT_EQ(a.length, long(a.body.size())) << "segment " << n;
        ASSERT_EQ(a.body.size() % 188, 0u);
        std::map<int, bool> seen;
        for (size_t at = 0; at < a.body.size(); at += 188) {
            const int pid = pid_at(a.body, at);
            if (pid != STUFFING && !seen[pid]) {
                EXPECT_TRUE(s.info[index_of(a.body, at)].start)
                    << "segment " << n << " does not begin stream " << pid << " at a unit start";
                seen[pid] = true;
            }
        }
        joined += a.body;
    }

    // What the segments must carry: chunks 0 to 2 whole (every stream starts there at
    // a unit start) and the packets of chunk 3 before each stream's first unit start.
    std::vector<int> want(s.info.size(), 0);
    for (size_t i = 0; i < 3 * CHUNK_PACKETS; i++)
        want[i] = 1;
    std::map<int, bool> started;
    for (size_t i = 3 * CHUNK_PACKETS; i < s.info.size(); i++) {
        const packet_info &p = s.info[i];
        if (p.pid == STUFFING) continue;
        if (p.start) started[p.pid] = true;
        if (!started[p.pid]) want[i] = 1;
    }
    std::vector<int> got(s.info.size(), 0);
    std::map<int, size_t> previous;
    bool in_order = true;
    for (size_t at = 0; at + 188 <= joined.size(); at += 188) {
        const size_t i = index_of(joined, at);
        ASSERT_LT(i, s.info.size());
        ASSERT_EQ(joined.substr(at, 188), s.ts.substr(i * 188, 188)) << "packet " << i;
        got[i]++;
        const int pid = pid_at(joined, at);
        if (previous.count(pid) && previous[pid] >= i) in_order = false;
        previous[pid] = i;
    }
    EXPECT_TRUE(in_order) << "a stream's packets out of their order";
    size_t lost = 0, twice = 0, extra = 0;
    for (size_t i = 0; i < want.size(); i++) {
        lost += want[i] == 1 && got[i] == 0;
        twice += got[i] > 1;
        extra += want[i] == 0 && got[i] > 0;
    }
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(twice, 0u);
    EXPECT_EQ(extra, 0u);
    EXPECT_GT(three_blocks, 2 * CHUNK_PACKETS + 3 * BLOCK_PACKETS);
}

// A chunk asked for while it is still written, and written on during the answer:
// the body is exactly the length announced, whole packets of the chunk in order.
TEST(RelayHlsSeams, ContentLengthIsTheBodyOfAGrowingChunk) {
    const synthetic_stream s(2 * CHUNK_PACKETS, {0, 300, 600, 900, 1200, 1500, 1800});
    cache c;
    ASSERT_TRUE(make_dirs(c.dir));
    const std::string data = s.chunk(0);
    ASSERT_TRUE(set_size(c.path(30), data.size()));
    ASSERT_TRUE(write_at(c.path(30), data.substr(0, 2 * BLOCK_PACKETS * 188), 0));
    ASSERT_TRUE(set_size(c.path(31), data.size())); // the next chunk: made, not written
    ASSERT_TRUE(c.gate.start(bin_path("KVT-Relay"), c.dir, c.world.root(), {"-hls_list=3"}));
    auto pending = std::async(std::launch::async, [&] { return c.fetch(30); });
    const std::string loading = "Loading '" + c.path(30) + "'";
    ASSERT_TRUE(c.gate.wait_relay_log(0, loading.c_str(), 15000));
    ASSERT_TRUE(
        write_at(c.path(30), data.substr(2 * BLOCK_PACKETS * 188), 2 * BLOCK_PACKETS * 188));
    const answer a = pending.get();
    EXPECT_EQ(a.head.find("HTTP/1.1 200 OK\r\n"), 0u) << a.head;
    EXPECT_EQ(a.length, long(a.body.size()));
    EXPECT_GE(a.body.size(), 2 * BLOCK_PACKETS * 188);
    EXPECT_TRUE(data.compare(0, a.body.size(), a.body) == 0) << "not the chunk's first packets";
}

// The highest chunk number has no next chunk: its file is served as it is.
TEST(RelayHlsSeams, HighestChunkNumberServedWithoutLookingPast) {
    const synthetic_stream s(CHUNK_PACKETS, {0, 500, 1000});
    cache c;
    ASSERT_TRUE(make_dirs(c.dir));
    ASSERT_TRUE(write_at(c.path(2147483647LL), s.ts, 0));
    ASSERT_TRUE(c.gate.start(bin_path("KVT-Relay"), c.dir, c.world.root(), {"-hls_list=3"}));
    const answer a = c.fetch(2147483647LL);
    EXPECT_EQ(a.head.find("HTTP/1.1 200 OK\r\n"), 0u) << a.head;
    EXPECT_EQ(a.length, long(a.body.size()));
    EXPECT_TRUE(a.body == s.ts);
}
