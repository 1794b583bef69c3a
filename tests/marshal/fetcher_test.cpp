// KVT-Fetcher on its own, with this test as the supervisor's end of dwnldr-pipe: the
// live channel on the wall clock in chunk files of their final size, the looped
// signal as one continuous stream, the passed QI session, movie copies and -keep.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <unistd.h>

#include "fetcher/fetcher.h"
#include "marshal/marshal.h"
#include "platform/fs.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

namespace {

child_record message(int32_t cid, int32_t command) {
    child_record m;
    memset(&m, 0, sizeof m);
    m.cid = cid;
    m.qi_sock = command ? -1 : 0;
    m.command = command;
    m.qi_list.len = 9;
    memcpy(m.qi_list.text, "127.0.0.1", 9);
    return m;
}

std::string run_text(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    return out;
}

bool wait_path(const std::string &path, int timeout_ms) {
    int64_t end = test_now_ms() + timeout_ms;
    do {
        if (std::filesystem::exists(path)) return true;
        os_sleep_ms(20);
    } while (test_now_ms() < end);
    return false;
}

// The chunk files of CID in dir, by number.
std::map<int, std::string> chunk_files(const std::string &dir, int cid) {
    std::map<int, std::string> found;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        int c = 0, n = 0;
        std::string name = e.path().filename().string();
        if (sscanf(name.c_str(), "%d---%d.dat", &c, &n) == 2 && c == cid)
            found[n] = e.path().string();
    }
    return found;
}

// What the fetcher must have written: the loop of its source from chunk n on.
std::string stream_at(const std::string &signal, uint64_t at, size_t n) {
    ts_loop *loop = new ts_loop;
    std::string data(n, '\0');
    if (!ts_loop_open(loop, signal.c_str()) ||
        !ts_loop_read(loop, at, reinterpret_cast<uint8_t *>(&data[0]), n))
        data.clear();
    ts_loop_close(loop);
    delete loop;
    return data;
}

} // namespace

// A start message: the newest complete chunk at once, then the current one at its
// final size, filled front to back as the wall clock passes, zeros ahead; the chunk
// numbers follow the wall clock, so a channel started again goes on at its live
// position. The signal plays at its own rate (75000 octets/s); 1.7 s chunks are
// rounded up to two 65424-octet blocks.
TEST(MarshalFetcher, LiveChannelRunsOnTheWallClockInWholeChunks) {
    test_world world;
    const std::string dir = world.path("cache");
    make_dirs(dir);
    const std::string signal = bin_path("test-channel.ts");
    ASSERT_TRUE(std::filesystem::exists(signal));
    msg_pipe pipe;
    ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &pipe));
    child_run f;
    // Movies at 4 MB/s; files older than 6 s are deleted.
    ASSERT_TRUE(f.start(world, bin_path("KVT-Fetcher"),
                        {"-dir=" + dir, "-keep=6", "-peer_id=1FFKVT$", "-chunk_ms=1700",
                         "-movie=77:" + signal, "-copy_rate=4000000"}));
    ASSERT_TRUE(msgpipe_wait_client(&pipe, 10000)) << f.log();
    const size_t chunk = 2 * 65424;

    child_record start = message(3, 1);
    ASSERT_EQ(msgpipe_write(&pipe, &start, sizeof start), long(sizeof start));
    ASSERT_TRUE(f.wait_for_log("CID=3 : source '", 3000)) << f.log();
    std::map<int, std::string> files;
    int64_t end = test_now_ms() + 3000;
    while ((files = chunk_files(dir, 3)).size() < 2 && test_now_ms() < end)
        os_sleep_ms(20);
    ASSERT_EQ(files.size(), 2u) << f.log();
    const int first = files.begin()->first, current = files.rbegin()->first;
    EXPECT_EQ(current, first + 1);
    EXPECT_GT(first, 1000000); // numbered by the wall clock, not from 1

    // The complete one holds its part of the endless stream, and it decodes.
    os_sleep_ms(300);
    std::string whole = read_text_file(files[first]);
    ASSERT_EQ(whole.size(), chunk);
    EXPECT_TRUE(whole == stream_at(signal, uint64_t(first) * chunk, chunk));
    std::string probe = run_text("ffprobe -v quiet -show_entries stream=codec_name -of csv=p=0 '" +
                                 files[first] + "'");
    EXPECT_NE(probe.find("h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("aac"), std::string::npos) << probe;

    // The current one has its final size; a front part is written, zeros follow.
    std::string now = read_text_file(files[current]);
    ASSERT_EQ(now.size(), chunk);
    const std::string expect = stream_at(signal, uint64_t(current) * chunk, chunk);
    size_t written = 0;
    while (written < chunk && now[written] == expect[written])
        written++;
    EXPECT_EQ(written % 188, 0u);
    EXPECT_TRUE(now.substr(written) == std::string(chunk - written, '\0'))
        << written << " of " << chunk;
    // Complete when the next one has begun.
    ASSERT_TRUE(wait_path(dir + "/3---" + std::to_string(current + 1) + ".dat", 6000));
    EXPECT_TRUE(read_text_file(files[current]) == expect);

    // Stopped, and started again 3.5 s later: it goes on where the clock is by then
    // (1.744 s a chunk), not where it stopped.
    child_record stop = message(3, 0);
    ASSERT_EQ(msgpipe_write(&pipe, &stop, sizeof stop), long(sizeof stop));
    ASSERT_TRUE(f.wait_for_log("%FETCH-I: CID=3 : writer stopped\n", 3000));
    const int last = chunk_files(dir, 3).rbegin()->first;
    os_sleep_ms(3500);
    ASSERT_EQ(msgpipe_write(&pipe, &start, sizeof start), long(sizeof start));
    end = test_now_ms() + 3000;
    while (chunk_files(dir, 3).rbegin()->first < last + 2 && test_now_ms() < end)
        os_sleep_ms(20);
    int resumed = chunk_files(dir, 3).rbegin()->first;
    EXPECT_GE(resumed, last + 2);
    EXPECT_LE(resumed, last + 3);

    // A passed QI session: its PDUs are logged, the stop message closes it.
    net_sock l = net_tcp_socket();
    uint16_t port = free_tcp_port();
    ASSERT_TRUE(net_bind_any(l, port) && net_listen(l, 2));
    net_sock qi_client = tcp_connect_loopback(port);
    uint32_t a;
    uint16_t pp;
    net_sock qi_server = net_accept(l, &a, &pp);
    ASSERT_NE(qi_server, NET_BAD_SOCK);
    child_record with_qi = message(3, 1);
    with_qi.qi_sock = int32_t(qi_client);
    ASSERT_TRUE(net_share_for_process(qi_client, f.pid, with_qi.share_info));
    ASSERT_EQ(msgpipe_write(&pipe, &with_qi, sizeof with_qi, qi_client), long(sizeof with_qi));
    net_close(qi_client);
    ASSERT_TRUE(f.wait_for_log("%FETCH-I: QI CID=3 : took over QI socket ", 3000)) << f.log();
    const uint8_t pdu[] = {0, 4, 0, 0, 0, 16, 0, 7, 0, 0};
    ASSERT_EQ(net_send(qi_server, pdu, sizeof pdu), long(sizeof pdu));
    EXPECT_TRUE(f.wait_for_log("%FETCH-I: QI CID=3 : PDU code=16, 4 octets\n", 3000)) << f.log();

    ASSERT_EQ(msgpipe_write(&pipe, &stop, sizeof stop), long(sizeof stop));
    EXPECT_TRUE(f.wait_for_log("%FETCH-I: QI CID=3 : closed QI socket ", 3000)) << f.log();
    EXPECT_TRUE(f.wait_for_log("%FETCH-I: CID=3 : writer stopped\n", 3000));
    char eof;
    EXPECT_TRUE(net_wait_readable(qi_server, 3000) == 1 && net_recv(qi_server, &eof, 1) == 0);
    EXPECT_TRUE(f.wait_for_log(
        "%FETCH-I: Got message: command=0 CID=3 qi_sock=0 list='127.0.0.1' share=zeros\n", 100));
    net_close(qi_server);
    net_close(l);

    // A movie: copied whole into a file whose name begins with the CID.
    child_record movie = message(77, 1);
    ASSERT_EQ(msgpipe_write(&pipe, &movie, sizeof movie), long(sizeof movie));
    EXPECT_TRUE(f.wait_for_log("%FETCH-I: CID=77 : movie copy finished", 5000)) << f.log();
    EXPECT_TRUE(read_text_file(dir + "/77.ts") == read_text_file(signal));

    // -keep=6: the chunk files go once they are older than 6 seconds.
    EXPECT_TRUE(f.wait_for_log(("Deleted '" + files[first] + "' (older than 6 s)").c_str(), 9000))
        << f.log();
    EXPECT_FALSE(std::filesystem::exists(files[first]));

    msgpipe_close(&pipe);
    int code = -1;
    EXPECT_TRUE(f.wait_exit(5000, &code)) << f.log();
}

TEST(MarshalFetcher, SourceListsAndTheRateOfTheTestSignal) {
    option_text list{};
    const char text[] = "12:/a/b.ts;/default/folder;7:/c d/e.ts";
    list.len = uint8_t(strlen(text));
    memcpy(list.text, text, sizeof text);
    char out[256];
    ASSERT_TRUE(lookup_source(&list, 7, false, out, sizeof out));
    EXPECT_STREQ(out, "/c d/e.ts");
    ASSERT_TRUE(lookup_source(&list, 12, true, out, sizeof out));
    EXPECT_STREQ(out, "/a/b.ts");
    ASSERT_TRUE(lookup_source(&list, 5, true, out, sizeof out));
    EXPECT_STREQ(out, "/default/folder");
    EXPECT_FALSE(lookup_source(&list, 5, false, out, sizeof out));

    // The 30-second test signal: one loop's content lasts 30 s.
    ts_loop *loop = new ts_loop;
    ASSERT_TRUE(ts_loop_open(loop, bin_path("test-channel.ts").c_str()));
    EXPECT_NEAR(double(loop->period) / 90000.0, 30.0, 0.1);
    EXPECT_EQ(loop->octets, std::filesystem::file_size(bin_path("test-channel.ts")));
    ts_loop_close(loop);
    delete loop;
}

// The loop read from far into the timeline, across two seams of the source: one
// stream that ffmpeg decodes to the end without a warning (no timestamp jump, no
// continuity error, no corrupt packet), 75 s long.
TEST(MarshalFetcher, LoopedSignalIsOneContinuousStream) {
    test_world world;
    ts_loop *loop = new ts_loop;
    ASSERT_TRUE(ts_loop_open(loop, bin_path("test-channel.ts").c_str()));
    const uint64_t from = 1000003 * loop->octets + loop->octets / 2 / 188 * 188;
    const uint64_t length = (loop->octets * 5 / 2) / 188 * 188;
    std::string data(length, '\0');
    ASSERT_TRUE(ts_loop_read(loop, from, reinterpret_cast<uint8_t *>(&data[0]), length));
    ts_loop_close(loop);
    delete loop;
    const std::string path = world.path("looped.ts");
    ASSERT_TRUE(write_text_file(path, data));
    std::string out = run_text("ffmpeg -nostdin -hide_banner -v warning -i '" + path +
                               "' -f null - 2>&1; echo exit=$?");
    EXPECT_EQ(out, "exit=0\n");
    std::string seconds = run_text("ffprobe -v error -select_streams v -show_entries "
                                   "stream=duration -of csv=p=0 '" +
                                   path + "'");
    EXPECT_NEAR(atof(seconds.c_str()), 75.0, 1.0) << seconds;
}

// Links planted in the cache under the names the fetcher writes next (this minute's
// chunks, the next one, a movie's) are not followed: the files they point to stay
// as they were.
TEST(MarshalFetcher, LinksInTheCacheAreNotFollowed) {
    test_world world;
    const std::string dir = world.path("cache"), victim = world.path("victim.txt");
    ASSERT_TRUE(write_text_file(victim, "mine"));
    const std::vector<std::string> args{"-dir=" + dir, "-peer_id=1FFKVT$", "-chunk_ms=60000",
                                        "-movie=77:" + bin_path("test-channel.ts")};
    child_record live = message(3, 1), movie = message(77, 1);
    msg_pipe pipe;
    std::map<int, std::string> files;
    { // A first run names this minute's chunks.
        ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &pipe));
        child_run f;
        ASSERT_TRUE(f.start(world, bin_path("KVT-Fetcher"), args, "probe.log"));
        ASSERT_TRUE(msgpipe_wait_client(&pipe, 10000)) << f.log();
        ASSERT_EQ(msgpipe_write(&pipe, &live, sizeof live), long(sizeof live));
        for (int64_t end = test_now_ms() + 5000;
             (files = chunk_files(dir, 3)).size() < 2 && test_now_ms() < end;)
            os_sleep_ms(20);
        ASSERT_EQ(files.size(), 2u) << f.log();
        f.kill_now();
        msgpipe_close(&pipe);
    }
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(make_dirs(dir));
    const int n = files.rbegin()->first;
    for (int i = n - 1; i <= n + 1; i++)
        ASSERT_EQ(symlink(victim.c_str(), (dir + "/3---" + std::to_string(i) + ".dat").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/77.ts").c_str()), 0);

    ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &pipe));
    child_run f;
    ASSERT_TRUE(f.start(world, bin_path("KVT-Fetcher"), args, "fetcher.log"));
    ASSERT_TRUE(msgpipe_wait_client(&pipe, 10000)) << f.log();
    ASSERT_EQ(msgpipe_write(&pipe, &live, sizeof live), long(sizeof live));
    ASSERT_EQ(msgpipe_write(&pipe, &movie, sizeof movie), long(sizeof movie));
    EXPECT_TRUE(f.wait_for_log("CID=3 : open '", 10000)) << f.log();
    EXPECT_TRUE(f.wait_for_log("CID=77 : open '", 10000)) << f.log();
    f.kill_now();
    msgpipe_close(&pipe);
    EXPECT_EQ(read_text_file(victim), "mine");
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/77.ts"));
}
