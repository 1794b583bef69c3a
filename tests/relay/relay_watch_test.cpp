// KVT-Relay when the system gives it no change watch of the cache folder: the relay
// runs in a user namespace of its own whose inotify instance limit is 0, so that
// inotify_init1 fails with EMFILE as it does for the 129th relay of a user at the
// usual limit of 128. The relay then looks at the folder and serves as before.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/relay/draining_player.h"
#include "tests/relay/relay_gate.h"
#include "tests/relay/relay_test_util.h"
#include "tests/support/test_support.h"

namespace {

int count_of(const std::string &text, const std::string &part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

} // namespace

TEST(RelayWatch, ServesByLookingWhenNoInotifyInstanceIsLeft) {
    test_world world;
    std::string why;
    // The relay program as the gate starts it: in a new user namespace without inotify.
    const std::string wrapper = without_inotify(world, bin_path("KVT-Relay"), &why);
    if (wrapper.empty()) GTEST_SKIP() << "no user namespace to run the relay in: " << why;

    // Live: the newest file, then each file written after it by the sequence rules.
    const std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    const std::string first = make_packets(2000, 41);
    ASSERT_TRUE(write_at(dir + "/1801---1.dat", first, 0));
    relay_gate gate;
    ASSERT_TRUE(gate.start(wrapper, dir, world.root(), {"-duration=7"}));
    draining_player player;
    ASSERT_TRUE(player.open(gate.port, "/stream?cid=1801"));
    ASSERT_TRUE(player.has(first.substr(188 * 1990), 15000));
    ASSERT_TRUE(gate.wait_relay_log(0, "Start waiting new files", 10000));

    const std::string second = make_packets(300, 42), behind = make_packets(300, 43),
                      other = make_packets(300, 44), third = make_packets(300, 45);
    ASSERT_TRUE(write_at(dir + "/1801---2.dat", second, 0));
    EXPECT_TRUE(player.has(second, 15000));
    ASSERT_TRUE(write_at(dir + "/1801---1.dat", behind, 0)); // behind the current number
    ASSERT_TRUE(write_at(dir + "/1802---3.dat", other, 0));  // another channel
    ASSERT_TRUE(gate.wait_relay_log(0, "CID=1801 : 1 out of sequence (expected > 2)", 10000));
    ASSERT_TRUE(write_at(dir + "/1801---3.dat", third, 0));
    EXPECT_TRUE(player.has(third, 15000));
    const std::string got = player.all();
    EXPECT_EQ(got.find(behind.substr(0, 188 * 8)), std::string::npos);
    EXPECT_EQ(got.find(other.substr(0, 188 * 8)), std::string::npos);

    const std::string log = read_text_file(gate.relay(0).log_path);
    // Logged once, with the refusal that made the relay look.
    EXPECT_EQ(count_of(log, "No change watch of '" + dir + "' to be had"), 1) << log;
    EXPECT_NE(log.find("No change watch of '" + dir +
                       "' to be had (errno = 24): looking at it every 200 ms\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("CID=1801 : Current Seq. No = 2, new Seq. No = 3\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("CreateFile("), std::string::npos) << log;

    // HLS chunk mode: a chunk that appears after the start delay is served whole.
    const std::string empty = world.path("hlscache");
    ASSERT_TRUE(make_dirs(empty));
    relay_gate hls_gate;
    ASSERT_TRUE(hls_gate.start(wrapper, empty, world.path("hlscache"), {"-duration=7"}));
    draining_player segment;
    ASSERT_TRUE(segment.open(hls_gate.port, "/hls.chunk.ts?cid=1801&sid=77&chunk=5"));
    ASSERT_TRUE(hls_gate.wait_relay_log(0, "CID=1801 : Delay 2 sec ... \n", 10000));
    usleep(2500000);
    const std::string chunk = make_packets(400, 46);
    ASSERT_TRUE(write_at(empty + "/1801---42.dat", chunk, 0));
    int code = -1;
    ASSERT_TRUE(hls_gate.wait_relay(0, 20000, &code));
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(segment.has("\r\nContent-Length: 75200\r\n", 5000));
    EXPECT_TRUE(segment.has("\r\n\r\n" + chunk, 5000));
    const std::string hls_log = read_text_file(hls_gate.relay(0).log_path);
    EXPECT_EQ(count_of(hls_log, "No change watch of '" + empty + "' to be had (errno = 24)"), 1)
        << hls_log;
}
