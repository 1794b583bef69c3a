// KVT-Relay while its chunk files are changed under it: a file truncated, one
// renamed and one deleted right after they were written, then the cache folder
// removed. The relay logs each, keeps streaming the files it can read, and ends
// its usual way (no crash, no hang) once the folder is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/relay/draining_player.h"
#include "tests/relay/relay_gate.h"
#include "tests/relay/relay_test_util.h"
#include "tests/support/test_support.h"

namespace {} // namespace

TEST(RelayFaults, ChunkFilesChangedAndFolderRemovedUnderTheRelay) {
    test_world world;
    const std::string dir = world.path("vcache");
    ASSERT_TRUE(make_dirs(dir));
    const std::string first = make_packets(2000, 31);
    ASSERT_TRUE(write_at(dir + "/1701---1.dat", first, 0));
    relay_gate gate;
    ASSERT_TRUE(gate.start(bin_path("KVT-Relay"), dir, world.root(), {"-duration=7"}));
    draining_player player;
    ASSERT_TRUE(player.open(gate.port, "/stream?cid=1701"));
    ASSERT_TRUE(player.has(first.substr(188 * 1990), 15000));
    ASSERT_TRUE(gate.wait_relay_log(0, "Start waiting new files", 10000));

    const std::string data = make_packets(1400, 32);
    // Truncated while (or before) the relay reads it.
    ASSERT_TRUE(write_at(dir + "/1701---2.dat", data, 0));
    ASSERT_TRUE(set_size(dir + "/1701---2.dat", 188 * 3));
    // Renamed and deleted right after they were written.
    ASSERT_TRUE(write_at(dir + "/1701---3.dat", data, 0));
    std::filesystem::rename(dir + "/1701---3.dat", dir + "/1701---3.old");
    ASSERT_TRUE(write_at(dir + "/1701---4.dat", data, 0));
    std::filesystem::remove(dir + "/1701---4.dat");
    ASSERT_TRUE(gate.wait_relay_log(0, "Opening file '", 10000));

    // A sound file afterwards still reaches the player.
    const std::string later = make_packets(400, 33);
    ASSERT_TRUE(write_at(dir + "/1701---5.dat", later, 0));
    EXPECT_TRUE(player.has(later.substr(0, 188 * 8), 15000));

    std::filesystem::remove_all(dir);
    int code = -1;
    ASSERT_TRUE(gate.wait_relay(0, 30000, &code));
    EXPECT_EQ(code, 3); // the relay's usual end ("Stopped, ..."), not a crash
    const std::string log = read_text_file(gate.relay(0).log_path);
    EXPECT_NE(log.find("Opening file '" + dir + "/1701---"), std::string::npos) << log;
    // The watch of the removed folder ends with an error line.
    EXPECT_NE(log.find("CID=1701 : WaitForSingleObject(), errno = 2\n"), std::string::npos) << log;
}
