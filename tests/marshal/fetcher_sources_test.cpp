// The fetcher's live-source pieces that need no network: the sources file's lines,
// the sync search and packet split over garbage and odd piece sizes, and the
// continuity filter (a clean source untouched; a restart carried on), and the cache
// writer's blocks as the readers meet them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fetcher/cache_writer.h"
#include "fetcher/fetcher.h"
#include "fetcher/sources/sources_file.h"
#include "fetcher/sources/ts_input.h"
#include "fetcher/ts_stamps.h"
#include "platform/msgpipe.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

namespace {

void keep_bad(void *ctx, int line, const char *why) {
    static_cast<std::map<int, std::string> *>(ctx)->emplace(line, why);
}

std::string signal_packets(size_t n) {
    std::string s = read_text_file(bin_path("test-channel.ts"));
    return s.substr(0, std::min(s.size(), n * 188));
}

} // namespace

TEST(FetcherSources, SourcesFileTakesGoodLinesAndNamesTheBadOnes) {
    const std::string text = "! channels of the test\r\n"
                             "7\tudp://@239.1.1.1:5000?localaddr=10.0.0.1\r\n"
                             "\n"
                             "  -8 \t http://127.0.0.1:8080/live.m3u8   ! a comment\n"
                             "9\tftp://x/y\n"
                             "7\thttp://127.0.0.1/other\n"
                             "10\n"
                             "11\tsrt://127.0.0.1:9000 udp://127.0.0.1:1\n"
                             "2147483648\tfile:/a.ts\n"
                             "x12\tfile:/a.ts\n"
                             "13\t" +
                             std::string(600, 'a') +
                             "\n"
                             "14\tfile:/srv/tv/loop.ts\n"
                             "15\trtp://239.0.0.2:5004";
    source_table t;
    std::map<int, std::string> bad;
    ASSERT_EQ(sources_parse(text.data(), text.size(), &t, keep_bad, &bad), 4);
    EXPECT_EQ(t.lines[0].cid, 7);
    EXPECT_STREQ(t.lines[0].url, "udp://@239.1.1.1:5000?localaddr=10.0.0.1");
    EXPECT_EQ(t.lines[0].kind, SOURCE_UDP);
    EXPECT_EQ(t.lines[1].cid, -8);
    EXPECT_STREQ(t.lines[1].url, "http://127.0.0.1:8080/live.m3u8");
    EXPECT_EQ(t.lines[1].line, 4);
    EXPECT_EQ(t.lines[2].kind, SOURCE_FILE);
    EXPECT_EQ(t.lines[3].cid, 15);
    EXPECT_EQ(t.lines[3].kind, SOURCE_RTP);
    EXPECT_EQ(sources_find(&t, 14)->line, 13 - 1);
    EXPECT_EQ(sources_find(&t, 9), nullptr);
    const std::map<int, std::string> expect = {
        {5, "the URL's kind is not one of udp://, rtp://, http://, https://, srt://, file:"},
        {6, "CID 7 is already given on line 2"},
        {7, "the CID is not followed by a tab"},
        {8, "there is more than one URL"},
        {9, "the CID is out of range"},
        {10, "it does not start with a CID"},
        {11, "the URL is too long"},
    };
    EXPECT_EQ(bad, expect);
}

TEST(FetcherSources, SplitFindsTheSyncAfterGarbageAndAcrossPieces) {
    const std::string ts = signal_packets(400);
    ASSERT_EQ(ts.size(), 400u * 188);
    std::string in(1001, '\x47'); // sync octets that do not repeat 188 apart
    for (size_t i = 0; i < in.size(); i += 3)
        in[i] = 'x';
    in += ts;
    ts_splitter s;
    ts_split_reset(&s);
    std::string out;
    std::vector<uint8_t> buf(4096 + TS_SPLIT_CARRY);
    for (size_t at = 0, k = 1; at < in.size(); k = k % 997 + 1) {
        size_t n = std::min(k, in.size() - at);
        size_t m = ts_split(&s, reinterpret_cast<const uint8_t *>(in.data()) + at, n, buf.data(),
                            buf.size());
        ASSERT_EQ(m % 188, 0u);
        out.append(reinterpret_cast<char *>(buf.data()), m);
        at += n;
    }
    // All but what waits for the next octets, and those octet for octet.
    EXPECT_GE(out.size(), ts.size() - 188);
    EXPECT_TRUE(out == ts.substr(0, out.size()));
    EXPECT_EQ(s.skipped, 1001u);
    EXPECT_EQ(s.unsynced, 0u) << "counted again from each sync found";

    // Nothing but garbage: nothing comes out and it is all counted.
    ts_split_reset(&s);
    std::string junk(70000, 'q');
    size_t m =
        ts_split(&s, reinterpret_cast<const uint8_t *>(junk.data()), 4096, buf.data(), buf.size());
    EXPECT_EQ(m, 0u);
    EXPECT_GE(s.skipped, 4096u - TS_SPLIT_CARRY);
    EXPECT_EQ(s.unsynced, s.skipped);
}

TEST(FetcherSources, ContinuityLeavesACleanSourceAloneAndCarriesOnARestart) {
    std::string ts = signal_packets(3000);
    ASSERT_EQ(ts.size(), 3000u * 188);
    ts_continuity *c = new ts_continuity;
    ts_continuity_reset(c);
    std::string first = ts;
    uint8_t *p = reinterpret_cast<uint8_t *>(&first[0]);
    ts_continuity_apply(c, p, first.size(), 1000);
    EXPECT_TRUE(first == ts) << "a clean source passes octet for octet";
    const int64_t last_pcr = c->last_pcr;
    ASSERT_GT(last_pcr, 0);
    std::map<int, int> last_cc;
    for (size_t at = 0; at < first.size(); at += 188)
        if ((p[at + 3] & 0x10) && ts::pid_of(p + at) != ts::NULL_PID)
            last_cc[ts::pid_of(p + at)] = p[at + 3] & 15;

    // The same source again from its start: timestamps back at the beginning.
    ts_continuity_restart(c);
    std::string again = ts;
    uint8_t *q = reinterpret_cast<uint8_t *>(&again[0]);
    ts_continuity_apply(c, q, again.size(), 2000);
    EXPECT_EQ(c->jumps, 1);
    bool first_pcr = true;
    std::map<int, bool> checked;
    for (size_t at = 0; at < again.size(); at += 188) {
        const uint8_t *t = q + at;
        int pid = ts::pid_of(t);
        if ((t[3] & 0x10) && !checked[pid] && last_cc.count(pid)) {
            EXPECT_EQ(t[3] & 15, (last_cc[pid] + 1) & 15) << "PID " << pid;
            checked[pid] = true;
        }
        if (ts::has_pcr(t) && first_pcr) {
            int64_t d = ts::read_pcr(t) - last_pcr;
            EXPECT_GT(d, 0);
            EXPECT_LE(d, 27000000 / 10) << "one PCR step later";
            first_pcr = false;
        }
        int pts_at, dts_at;
        if (ts::pes_stamps(t, &pts_at, &dts_at)) {
            EXPECT_GT(ts::read_stamp(t + pts_at) * 300, last_pcr - 27000000) << "at " << at;
        }
    }
    EXPECT_FALSE(first_pcr);
    EXPECT_FALSE(checked.empty());
    delete c;
}

// A multicast channel inside a network namespace of the test's own (nothing leaves
// it): the fetcher joins the group and writes chunk files that decode.
TEST(FetcherSources, MulticastGroupInItsOwnNetworkIsReceived) {
    if (!std::filesystem::exists("/usr/bin/unshare")) GTEST_SKIP() << "no unshare";
    test_world world;
    const std::string bin = world.path("bin"), dir = world.path("cache");
    make_dirs(bin);
    make_dirs(dir);
    std::filesystem::copy_file(bin_path("KVT-Fetcher"), bin + "/KVT-Fetcher");
    const std::string port = std::to_string(free_tcp_port());
    ASSERT_TRUE(write_text_file(bin + "/KVT-Sources.txt", "61\tudp://@239.255.0.7:" + port + "\n"));
    msg_pipe pipe;
    ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &pipe));
    const std::string script =
        "ip link set lo up && ip link set lo multicast on && ip route add 239.0.0.0/8 dev lo && "
        "{ /usr/bin/ffmpeg -nostdin -loglevel error -re -f lavfi -i testsrc=size=320x240:rate=25 "
        "-f lavfi -i sine -t 20 -c:v libx264 -preset ultrafast -g 25 -c:a aac -f mpegts "
        "'udp://239.255.0.7:" +
        port + "?ttl=1&pkt_size=1316' >" + world.path("sender.log") + " 2>&1 & } && exec " + bin +
        "/KVT-Fetcher -dir=" + dir + " -keep=60 -peer_id=1FFKVT$ -chunk_ms=1000";
    child_run f;
    ASSERT_TRUE(f.start(world, "/usr/bin/unshare", {"--net", "sh", "-c", script}));
    ASSERT_TRUE(msgpipe_wait_client(&pipe, 10000)) << f.log();
    EXPECT_TRUE(f.wait_for_log("CID=61 : source 'udp://@239.255.0.7:", 10000)) << f.log();
    EXPECT_TRUE(f.wait_for_log("receiving (passed through)", 10000)) << f.log();
    std::map<int, std::string> files;
    int64_t end = test_now_ms() + 15000;
    while (files.size() < 4 && test_now_ms() < end) {
        os_sleep_ms(200);
        files.clear();
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            int c = 0, n = 0;
            if (sscanf(e.path().filename().c_str(), "%d---%d.dat", &c, &n) == 2 && c == 61)
                files[n] = e.path().string();
        }
    }
    ASSERT_GE(files.size(), 4u) << f.log();
    // Numbers in a row; every complete one whole blocks, and decoding.
    int prev = -1;
    for (const auto &x : files) {
        if (prev >= 0) {
            EXPECT_EQ(x.first, prev + 1);
        }
        prev = x.first;
        EXPECT_EQ(std::filesystem::file_size(x.second) % 65424, 0u);
    }
    const std::string second = std::next(files.begin())->second;
    FILE *p = popen(("ffprobe -v quiet -count_frames -select_streams v -show_entries "
                     "stream=nb_read_frames -of csv=p=0 '" +
                     second + "'")
                        .c_str(),
                    "r");
    char line[64] = {0};
    if (p) {
        if (!fgets(line, sizeof line, p)) line[0] = 0;
        pclose(p);
    }
    EXPECT_GT(atoi(line), 10) << second;

    // The file changed: the channel is no longer listed and its receiver ends.
    ASSERT_TRUE(write_text_file(bin + "/KVT-Sources.txt", "! none now\n"));
    EXPECT_TRUE(f.wait_for_log("KVT-Sources.txt': 0 channel(s) with a source", 5000)) << f.log();
    EXPECT_TRUE(
        f.wait_for_log(("CID=61 : source 'udp://@239.255.0.7:" + port + "' stopped").c_str(), 8000))
        << f.log();
    f.kill_now();
    msgpipe_close(&pipe);
}

// A live stream of 1 MB/s fed to the cache writer in pieces of every size, each put
// followed by a flush (as when the source pauses): after every write, each full
// block around the writing position either still has an all-zero tail or is written
// whole. A block whose tail is partly written would pass the readers' zero-tail test
// and hand them the rest as zeros.
TEST(FetcherSources, CacheWriterNeverLeavesATailHalfWritten) {
    test_world world;
    const std::string dir = world.path("vcache");
    make_dirs(dir);
    g_fetcher.dir.len =
        uint8_t(snprintf(g_fetcher.dir.text, sizeof g_fetcher.dir.text, "%s", dir.c_str()));
    cache_stream c;
    ASSERT_TRUE(cache_stream_open(&c, 77, 2000));
    std::string packet(188, '\x5a');
    packet[0] = 0x47;
    uint64_t sent = 0, seed = 12345;
    int checked = 0, half = 0;
    std::string block(READER_BLOCK, '\0');
    while (sent < 7000000) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const size_t count = 1 + size_t(seed >> 33) % 40;
        std::string piece;
        for (size_t i = 0; i < count; i++)
            piece += packet;
        sent += piece.size();
        const int64_t clock = int64_t(sent * 90000 / 1000000);
        ASSERT_TRUE(cache_stream_put(&c, reinterpret_cast<const uint8_t *>(piece.data()),
                                     piece.size(), clock));
        ASSERT_TRUE(cache_stream_flush(&c));
        if (!c.open) continue;
        char path[OS_PATH_MAX + 32];
        chunk_path(77, c.number, path, sizeof path);
        FILE *f = fopen(path, "rb");
        ASSERT_NE(f, nullptr) << path;
        const uint64_t at = c.filled / READER_BLOCK;
        for (uint64_t b = at > 0 ? at - 1 : 0; b <= at && (b + 1) * READER_BLOCK <= c.size; b++) {
            fseek(f, long(b * READER_BLOCK), SEEK_SET);
            ASSERT_EQ(fread(&block[0], 1, block.size(), f), block.size());
            const bool tail_zero =
                block.find_first_not_of('\0', READER_BLOCK - ZERO_TAIL) == std::string::npos;
            if (!tail_zero && block.find('\0') != std::string::npos) half++;
            checked++;
        }
        fclose(f);
    }
    cache_stream_close(&c);
    EXPECT_GT(checked, 1000);
    EXPECT_EQ(half, 0) << "blocks with a tail written in part";
    EXPECT_GE(c.chunks, 3);
}
