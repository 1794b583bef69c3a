// KVT-Fetcher on its own, with this test as the supervisor's end of dwnldr-pipe:
// growing chunk files that read as zeros ahead of the writer and hold the source's
// octets, a decodable test signal, the passed QI session, movie copies and -keep.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "companions/fetcher/fetcher.h"
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

} // namespace

TEST(MarshalFetcher, ChunksGrowFromTheSourceWithZerosAheadAndPlayersDecodeThem) {
    test_world world;
    const std::string dir = world.path("cache");
    make_dirs(dir);
    const std::string signal = bin_path("test-channel.ts");
    ASSERT_TRUE(std::filesystem::exists(signal));
    msg_pipe pipe;
    ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &pipe));
    child_run f;
    // 200000 octets/s in 1-second chunks with 65424 zero octets kept ahead; movies at
    // 4 MB/s; files older than 4 s are deleted.
    ASSERT_TRUE(
        f.start(world, bin_path("KVT-Fetcher"),
                {"-dir=" + dir, "-keep=4", "-peer_id=1FFKVT$", "-rate=200000", "-chunk_ms=1000",
                 "-zero_ahead=65424", "-movie=77:" + signal, "-copy_rate=4000000"}));
    ASSERT_TRUE(msgpipe_wait_client(&pipe, 10000)) << f.log();

    child_record start = message(3, 1);
    ASSERT_EQ(msgpipe_write(&pipe, &start, sizeof start), long(sizeof start));
    const std::string chunk1 = dir + "/3---1.dat", chunk2 = dir + "/3---2.dat";
    ASSERT_TRUE(wait_path(chunk1, 3000));

    // While it is written: never beyond 200000 octets, the part ahead reads as zeros.
    os_sleep_ms(300);
    os_file rd;
    ASSERT_TRUE(file_open_read(chunk1.c_str(), &rd));
    uint64_t size = 0;
    ASSERT_TRUE(file_size(&rd, &size));
    EXPECT_LT(size, 200000u - 200000u % 188u);
    std::string now(size, '\0');
    ASSERT_EQ(file_pread(&rd, &now[0], size, 0), long(size));
    file_close(&rd);
    std::string source = read_text_file(signal);
    size_t written = 0;
    while (written < now.size() && now[written] == source[written])
        written++;
    ASSERT_GT(written, 0u);
    EXPECT_EQ(now.substr(written), std::string(now.size() - written, '\0'));
    EXPECT_GT(size, written);

    // Whole: exactly the first second of the source; the next chunk follows it.
    ASSERT_TRUE(wait_path(chunk2, 3000));
    std::string whole = read_text_file(chunk1);
    const size_t chunk = 200000 - 200000 % 188;
    ASSERT_EQ(whole.size(), chunk);
    EXPECT_TRUE(whole == source.substr(0, chunk));
    std::string probe =
        run_text("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + chunk1 + "'");
    EXPECT_NE(probe.find("mpeg2video"), std::string::npos) << probe;
    EXPECT_NE(probe.find("mp2"), std::string::npos) << probe;

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

    child_record stop = message(3, 0);
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
    EXPECT_TRUE(read_text_file(dir + "/77.ts") == source);

    // -keep=4: the chunk files go once they are older than 4 seconds.
    EXPECT_TRUE(f.wait_for_log(("Deleted '" + chunk1 + "' (older than 4 s)").c_str(), 9000))
        << f.log();
    EXPECT_FALSE(std::filesystem::exists(chunk1));

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

    // The 10-second test signal: its PCRs give its size over 10 seconds, within 5 %.
    const std::string signal = bin_path("test-channel.ts");
    double expected = double(std::filesystem::file_size(signal)) / 10.0;
    double rate = ts_rate_from_pcr(signal.c_str());
    EXPECT_NEAR(rate, expected, expected * 0.05);
}
