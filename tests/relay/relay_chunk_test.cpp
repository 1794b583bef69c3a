// Chunk files: the name matcher, the sequence rules for notified names, and reading
// growing files with zero tails into the busy buffers pool.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include "relay/relay.h"
#include "tests/relay/relay_test_util.h"
#include "tests/support/test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(RelayChunk, NameMatcher) {
    EXPECT_TRUE(match_name("7---12.dat", "7---*.dat"));
    EXPECT_TRUE(match_name("7---.dat", "7---*.dat"));
    EXPECT_TRUE(match_name("7----3.dat", "7---*.dat"));
    EXPECT_FALSE(match_name("77---12.dat", "7---*.dat"));
    EXPECT_FALSE(match_name("8---12.dat", "7---*.dat"));
    EXPECT_FALSE(match_name("7---12.tmp", "7---*.dat"));
    EXPECT_FALSE(match_name("7---12.DAT", "7---*.dat")); // case-sensitive
    EXPECT_FALSE(match_name("7---12.dat.part", "7---*.dat"));
    EXPECT_TRUE(match_name("a.b.dat", "*.dat"));
    EXPECT_TRUE(match_name("abc", "a%c"));
    EXPECT_FALSE(match_name("ac", "a%c"));
    EXPECT_TRUE(match_name("", "*"));
    EXPECT_FALSE(match_name("", "%"));
    EXPECT_TRUE(match_name("x---y---z", "*---*---*"));

    int32_t cid = 0, seq = 0;
    EXPECT_TRUE(parse_chunk_name("1501---73.dat", &cid, &seq));
    EXPECT_EQ(cid, 1501);
    EXPECT_EQ(seq, 73);
    EXPECT_TRUE(parse_chunk_name("-5----2147483648.dat", &cid, &seq));
    EXPECT_EQ(cid, -5);
    EXPECT_EQ(seq, INT_MIN);
    EXPECT_TRUE(parse_chunk_name("7---2147483647.dat", &cid, &seq));
    EXPECT_EQ(seq, INT_MAX);
    EXPECT_FALSE(parse_chunk_name("7---2147483648.dat", &cid, &seq)); // does not fit
    EXPECT_FALSE(parse_chunk_name("7---.dat", &cid, &seq));
    EXPECT_FALSE(parse_chunk_name("7--12.dat", &cid, &seq));
}

TEST(RelayChunk, SequenceRulesForNotifiedNames) {
    g_relay.cid = 7;
    g_relay.chan = 412;
    int32_t c = 11;
    CaptureStdout();
    EXPECT_FALSE(scan_accept_name(3, "7---11.dat", &c)); // the file already taken
    EXPECT_FALSE(scan_accept_name(3, "7---5.dat", &c));
    EXPECT_EQ(c, 11);
    EXPECT_TRUE(scan_accept_name(3, "7---12.dat", &c));
    EXPECT_EQ(c, 12);
    c = 11;
    EXPECT_TRUE(scan_accept_name(3, "7---200.dat", &c));
    EXPECT_EQ(c, 200);
    // Other channels, other extensions, other actions and names without a number.
    EXPECT_FALSE(scan_accept_name(3, "8---201.dat", &c));
    EXPECT_FALSE(scan_accept_name(3, "77---201.dat", &c));
    EXPECT_FALSE(scan_accept_name(3, "7---201.tmp", &c));
    EXPECT_FALSE(scan_accept_name(1, "7---201.dat", &c));
    EXPECT_FALSE(scan_accept_name(3, "7---x.dat", &c));
    EXPECT_EQ(c, 200);
    // Window edges: c-120 and c+120 are inside.
    c = 200;
    EXPECT_FALSE(scan_accept_name(3, "7---80.dat", &c));
    EXPECT_TRUE(scan_accept_name(3, "7---320.dat", &c));
    EXPECT_TRUE(scan_accept_name(3, "7---441.dat", &c)); // 121 ahead: a reset
    // Near the 32-bit limits the window neither overflows nor turns inside out.
    c = INT_MAX - 10;
    EXPECT_TRUE(scan_accept_name(3, "7---2147483647.dat", &c));
    EXPECT_EQ(c, INT_MAX);
    EXPECT_TRUE(scan_accept_name(3, "7----2147483648.dat", &c));
    EXPECT_EQ(c, INT_MIN);
    std::string out = GetCapturedStdout();

    EXPECT_TRUE(has_relay_line(out, 'E', "[#412] CID=7 : 5 out of sequence (expected > 11)"));
    EXPECT_TRUE(has_relay_line(out, 'I', "[#412] CID=7 : Current Seq. No = 11, new Seq. No = 12"));
    EXPECT_TRUE(has_relay_line(
        out, 'W', "[#412] CID=7 : 200 out of range [-109; 131], reset sequence 11 to = 200"));
    EXPECT_TRUE(has_relay_line(out, 'E', "[#412] CID=7 : 80 out of sequence (expected > 200)"));
    EXPECT_TRUE(
        has_relay_line(out, 'I', "[#412] CID=7 : Current Seq. No = 200, new Seq. No = 320"));
    EXPECT_TRUE(has_relay_line(
        out, 'W', "[#412] CID=7 : 441 out of range [200; 440], reset sequence 320 to = 441"));
    EXPECT_TRUE(has_relay_line(
        out, 'I', "[#412] CID=7 : Current Seq. No = 2147483637, new Seq. No = 2147483647"));
    EXPECT_TRUE(has_relay_line(out, 'W',
                               "[#412] CID=7 : -2147483648 out of range [2147483527; "
                               "2147483767], reset sequence 2147483647 to = -2147483648"));
    // Ignored and repeated names write nothing: eight lines in all.
    size_t lines = 0;
    for (size_t p = out.find("%RELAY-"); p != std::string::npos; p = out.find("%RELAY-", p + 1))
        lines++;
    EXPECT_EQ(lines, 8u);
}

// A relay state for reading files in this process: sleeps are recorded, not slept.
static std::vector<unsigned> s_sleeps;
static void (*s_on_wait)(int) = nullptr;
static void record_sleep(unsigned ms) {
    s_sleeps.push_back(ms);
    if (ms == ZERO_TAIL_WAIT_MS && s_on_wait) s_on_wait((int)s_sleeps.size());
}

static void reading_setup() {
    g_relay.cid = 1501;
    g_relay.chan = 9;
    g_relay.exit_flag = 0;
    g_relay.sleep_ms = record_sleep;
    s_sleeps.clear();
    s_on_wait = nullptr;
    pools_init();
}

// The busy pool's contents, in order.
static std::string busy_contents() {
    std::string s;
    for (stream_buffer *b = g_busy_pool.head; b; b = b->next)
        s.append(reinterpret_cast<const char *>(b->data), (size_t)b->length);
    return s;
}

static std::string s_path;
static std::string s_block2;

TEST(RelayChunk, ZeroTailIsWaitedForThenRead) {
    test_world world;
    reading_setup();
    s_path = world.path("1501---3.dat");
    std::string block1 = make_packets(348, 1);
    s_block2 = make_packets(348, 2);
    std::string last = make_packets(100, 3);
    // Second block not written yet: it reads as zeros.
    ASSERT_TRUE(set_size(s_path, 2 * CHUNK_BLOCK + last.size()));
    ASSERT_TRUE(write_at(s_path, block1, 0));
    ASSERT_TRUE(write_at(s_path, last, 2 * CHUNK_BLOCK));
    // The writer fills the block during the second wait.
    s_on_wait = [](int n) {
        if (n == 3) write_at(s_path, s_block2, CHUNK_BLOCK);
    };
    os_file f;
    ASSERT_TRUE(file_open_read(s_path.c_str(), &f));
    CaptureStdout();
    int32_t st = read_stream_file(&f, s_path.c_str());
    std::string out = GetCapturedStdout();
    file_close(&f);

    EXPECT_EQ(st, 1);
    EXPECT_EQ(busy_contents(), block1 + s_block2 + last);
    EXPECT_EQ(g_busy_pool.count, 3);
    EXPECT_EQ(g_free_pool.count, 1533);
    EXPECT_EQ(s_sleeps, (std::vector<unsigned>{256, 4230, 4230}));
    EXPECT_TRUE(has_relay_line(
        out, 'W', "[#9] CID=1501 : '" + s_path + "' - waiting 4230 milliseconds ... (1/13)"));
    EXPECT_TRUE(has_relay_line(
        out, 'W', "[#9] CID=1501 : '" + s_path + "' - waiting 4230 milliseconds ... (2/13)"));
    EXPECT_TRUE(has_relay_line(out, 'S',
                               "[#9] CID=1501 : Loaded from '" + s_path + "' " +
                                   std::to_string(2 * CHUNK_BLOCK + last.size()) + " octets"));
    // One wake-up for the sender: the first full block into the empty busy pool.
    EXPECT_EQ(g_data_available.signals.load(), 1u);
}

TEST(RelayChunk, ZeroTailGivesUpAfterThirteenWaits) {
    test_world world;
    reading_setup();
    std::string path = world.path("1501---4.dat");
    std::string block1 = make_packets(348, 5);
    ASSERT_TRUE(set_size(path, 3 * CHUNK_BLOCK));
    ASSERT_TRUE(write_at(path, block1, 0));
    os_file f;
    ASSERT_TRUE(file_open_read(path.c_str(), &f));
    CaptureStdout();
    int32_t st = read_stream_file(&f, path.c_str());
    std::string out = GetCapturedStdout();
    file_close(&f);

    EXPECT_EQ(st, 2);
    EXPECT_EQ(busy_contents(), block1);
    // The buffer that held the zero block went back to the free pool.
    EXPECT_EQ(g_free_pool.count, 1535);
    EXPECT_EQ(g_busy_pool.count + g_free_pool.count, 1536);
    EXPECT_EQ(s_sleeps.size(), 14u);
    for (int i = 1; i <= 13; i++)
        EXPECT_TRUE(has_relay_line(out, 'W',
                                   "[#9] CID=1501 : '" + path +
                                       "' - waiting 4230 milliseconds ... (" + std::to_string(i) +
                                       "/13)"));
    EXPECT_EQ(out.find("(14/13)"), std::string::npos);
    EXPECT_TRUE(has_relay_line(out, 'E',
                               "[#9] CID=1501 : '" + path +
                                   "' - stop reading file after 13 attempts (zero-blocks)."));
}

TEST(RelayChunk, ExactMultipleEndsOnEmptyRead) {
    test_world world;
    reading_setup();
    std::string path = world.path("1501---5.dat");
    std::string data = make_packets(2 * 348, 6);
    ASSERT_TRUE(write_at(path, data, 0));
    os_file f;
    ASSERT_TRUE(file_open_read(path.c_str(), &f));
    CaptureStdout();
    int32_t st = read_stream_file(&f, path.c_str());
    std::string out = GetCapturedStdout();
    file_close(&f);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(busy_contents(), data);
    EXPECT_EQ(g_busy_pool.count, 2);
    EXPECT_EQ(g_free_pool.count, 1534); // the buffer of the empty read is back
    EXPECT_TRUE(
        has_relay_line(out, 'S', "[#9] CID=1501 : Loaded from '" + path + "' 130848 octets"));
}

// A writer at work while the reader reads: each block's body goes out in small
// writes and its last four packets right after, the way a live source's cache writer
// fills a chunk. The reader waits (its sleep seam) only until the next body is
// complete, so its reads meet the writer's, and what it hands on must be exactly what
// was written: no stretch of zeros read before the writer got there. Every eighth
// packet carries a run of zeros, as real payloads do.
static std::atomic<int> s_bodies{0};
static std::atomic<bool> s_writer_done{false};
static int s_bodies_seen = 0;
static void wait_for_next_body(unsigned) {
    while (s_bodies.load() == s_bodies_seen && !s_writer_done.load())
        std::this_thread::yield();
    s_bodies_seen = s_bodies.load();
}

TEST(RelayChunk, BlocksReadWhileWrittenArriveWhole) {
    test_world world;
    const int blocks = 150, rounds = 40;
    const std::string packets = [] {
        std::string p = make_packets(size_t(blocks) * 348, 11);
        for (size_t i = 0; i < p.size(); i += 8 * 188)
            p.replace(i + 40, 24, 24, '\0');
        return p;
    }();
    for (int round = 0; round < rounds; round++) {
        reading_setup();
        g_relay.sleep_ms = wait_for_next_body;
        s_bodies = 0;
        s_bodies_seen = 0;
        s_writer_done = false;
        const std::string path = world.path("1501---" + std::to_string(10 + round) + ".dat");
        ASSERT_TRUE(set_size(path, packets.size()));
        std::thread writer([&] {
            os_file w;
            if (!file_open_write(path.c_str(), &w)) return;
            for (int b = 0; b < blocks; b++) {
                const size_t base = size_t(b) * CHUNK_BLOCK, body = CHUNK_BLOCK - ZERO_TAIL;
                for (size_t at = 0; at < body; at += 7 * 188) {
                    const size_t n = std::min<size_t>(7 * 188, body - at);
                    if (file_pwrite(&w, packets.data() + base + at, n, base + at) != long(n)) break;
                }
                s_bodies++;
                if (file_pwrite(&w, packets.data() + base + body, ZERO_TAIL, base + body) !=
                    ZERO_TAIL)
                    break;
            }
            file_close(&w);
            s_writer_done = true;
        });
        os_file f;
        ASSERT_TRUE(file_open_read(path.c_str(), &f));
        CaptureStdout();
        int32_t st = read_stream_file(&f, path.c_str());
        std::string out = GetCapturedStdout();
        writer.join();
        file_close(&f);
        ASSERT_EQ(st, 1) << out;
        const std::string got = busy_contents();
        ASSERT_EQ(got.size(), packets.size());
        size_t first_bad = 0;
        while (first_bad < got.size() && got[first_bad] == packets[first_bad])
            first_bad++;
        ASSERT_EQ(first_bad, got.size())
            << "round " << round << ": block " << first_bad / CHUNK_BLOCK << ", octet "
            << first_bad % CHUNK_BLOCK;
    }
}
