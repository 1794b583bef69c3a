// End to end through the real supervisor: KVT-Marshal accepts curl's movie requests
// (with a sid, so no QI server is asked) and starts KVT-Cinema with the connection
// and the range start, beyond 4 GiB as well; ranges that cannot be served get 416.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "platform/fs.h"
#include "tests/cinema/cinema_harness.h"

namespace fs = std::filesystem;

// The supervisor starts its children from its own folder: a private one, without
// the fetcher's test signal, so the fetcher writes no chunk files into the cache.
static bool install(const std::string &bin, const char *program) {
    std::error_code ec;
    fs::copy_file(bin_path(program), bin + "/" + program, fs::copy_options::overwrite_existing, ec);
    return !ec;
}

// The supervisor with its fetcher and the real movie streamer in a private program
// folder, serving the cache folder of the world.
struct supervised_cinema {
    test_world world;
    std::string bin = world.path("bin"), cache = world.path("vcache");
    uint16_t port = 0;
    child_run sup;
    bool start() {
        if (!make_dirs(bin) || !make_dirs(cache)) return false;
        for (const char *p : {"KVT-Marshal", "KVT-Fetcher", "KVT-Cinema"})
            if (!install(bin, p)) return false;
        port = free_tcp_port();
        return sup.start(world, bin + "/KVT-Marshal",
                         {"-port=" + std::to_string(port), "-dir=" + cache}, "marshal.log") &&
               sup.wait_for_log("Start listening on", 15000);
    }
    std::string movie_url(const std::string &cid) const {
        return "http://127.0.0.1:" + std::to_string(port) + "/movie?sid=e2e&cid=" + cid;
    }
};

static bool programs_built() {
    return access(bin_path("KVT-Marshal").c_str(), X_OK) == 0 &&
           access(bin_path("KVT-Fetcher").c_str(), X_OK) == 0;
}

TEST(CinemaSupervisor, MoviesThroughKvtMarshal) {
    if (!programs_built()) GTEST_SKIP() << "KVT-Marshal or KVT-Fetcher not built";
    supervised_cinema s;
    test_world &world = s.world;
    const std::string &cache = s.cache;
    ASSERT_TRUE(make_dirs(cache)); // the movies are there before the supervisor starts

    const std::string movie = movie_bytes(2 * 1024 * 1024 + 333, 11);
    ASSERT_TRUE(write_movie(cache + "/7100.avi", movie));
    const int64_t big = (int64_t(1) << 32) + 700000, far = (int64_t(1) << 32) + 400000;
    const std::string tail = movie_bytes(size_t(big - far), 12);
    os_file w;
    ASSERT_TRUE(file_open_write((cache + "/7101.avi").c_str(), &w));
    ASSERT_TRUE(file_set_size(&w, uint64_t(big)));
    ASSERT_EQ(file_pwrite(&w, tail.data(), tail.size(), uint64_t(far)), long(tail.size()));
    file_close(&w);

    ASSERT_TRUE(s.start()) << s.sup.log();
    child_run &sup = s.sup;

    curl_result mid = run_curl(world, s.movie_url("7100"), "12345-", "mid");
    EXPECT_EQ(mid.status, 0);
    EXPECT_EQ(mid.header, expected_header(mid.header, int64_t(movie.size()), 12345)) << sup.log();
    EXPECT_TRUE(mid.body == movie.substr(12345));

    curl_result beyond = run_curl(world, s.movie_url("7101"), std::to_string(far) + "-", "beyond");
    EXPECT_EQ(beyond.header, expected_header(beyond.header, big, far)) << sup.log();
    EXPECT_TRUE(beyond.body == tail) << "body of " << beyond.body.size() << " bytes differs";

    // Both streamers ended normally and the supervisor saw them go.
    EXPECT_TRUE(sup.wait_for_log("-cid=7101 -pos=4295367296 -dir=", 5000)) << sup.log();
    int64_t end = test_now_ms() + 10000;
    while (lines_with(sup.log(), "KVT-Relay/KVT-Cinema has stopped").size() < 2 &&
           test_now_ms() < end)
        usleep(20000);
    std::string log = sup.log();
    EXPECT_EQ(lines_with(log, "KVT-Relay/KVT-Cinema has stopped").size(), 2u) << log;
    EXPECT_EQ(lines_with(log, "%CINEMA-S:").size() >= 2, true);
    auto stopped = lines_with(log, "] : Stopped, net I/O chan = ");
    ASSERT_EQ(stopped.size(), 2u) << log;
    for (const std::string &line : stopped)
        EXPECT_NE(line.find("%CINEMA-S:["), std::string::npos) << line;
    sup.kill_now();
}

// A suffix range and one past 63 bits reach the movie streamer as positions it
// cannot seek to: the player gets 416 with the size, not an empty reply.
TEST(CinemaSupervisor, UnservableRangesAnswer416) {
    if (!programs_built()) GTEST_SKIP() << "KVT-Marshal or KVT-Fetcher not built";
    supervised_cinema s;
    ASSERT_TRUE(s.start()) << s.sup.log();
    ASSERT_TRUE(write_movie(s.cache + "/7102.avi", movie_bytes(5000, 13)));
    for (const char *range : {"-500", "18446744073709551615-", "5000-"}) {
        SCOPED_TRACE(range);
        curl_result r = run_curl(s.world, s.movie_url("7102"), range, "range");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.header, expected_refusal(r.header, 5000)) << s.sup.log();
        EXPECT_EQ(r.body, "");
    }
    EXPECT_EQ(lines_with(s.sup.log(), "-cid=7102 -pos=-500 -dir=").size(), 1u) << s.sup.log();
    EXPECT_EQ(lines_with(s.sup.log(), "Cannot seek").size(), 0u) << s.sup.log();
    s.sup.kill_now();
}
