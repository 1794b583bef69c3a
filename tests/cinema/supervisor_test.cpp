// End to end through the real supervisor: KVT-Marshal accepts curl's movie requests
// (with a sid, so no QI server is asked) and starts KVT-Cinema with the connection
// and the range start, beyond 4 GiB as well.
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

TEST(CinemaSupervisor, MoviesThroughKvtMarshal) {
    if (access(bin_path("KVT-Marshal").c_str(), X_OK) != 0 ||
        access(bin_path("KVT-Fetcher").c_str(), X_OK) != 0)
        GTEST_SKIP() << "KVT-Marshal or KVT-Fetcher not built";
    test_world world;
    std::string bin = world.path("bin"), cache = world.path("vcache");
    ASSERT_TRUE(make_dirs(bin));
    ASSERT_TRUE(make_dirs(cache));
    for (const char *p : {"KVT-Marshal", "KVT-Fetcher", "KVT-Cinema"})
        ASSERT_TRUE(install(bin, p)) << p;

    const std::string movie = movie_bytes(2 * 1024 * 1024 + 333, 11);
    ASSERT_TRUE(write_movie(cache + "/7100.avi", movie));
    const int64_t big = (int64_t(1) << 32) + 700000, far = (int64_t(1) << 32) + 400000;
    const std::string tail = movie_bytes(size_t(big - far), 12);
    os_file w;
    ASSERT_TRUE(file_open_write((cache + "/7101.avi").c_str(), &w));
    ASSERT_TRUE(file_set_size(&w, uint64_t(big)));
    ASSERT_EQ(file_pwrite(&w, tail.data(), tail.size(), uint64_t(far)), long(tail.size()));
    file_close(&w);

    uint16_t port = free_tcp_port();
    child_run sup;
    ASSERT_TRUE(sup.start(world, bin + "/KVT-Marshal",
                          {"-port=" + std::to_string(port), "-dir=" + cache}, "marshal.log"));
    ASSERT_TRUE(sup.wait_for_log("Start listening on", 15000)) << sup.log();
    std::string base = "http://127.0.0.1:" + std::to_string(port) + "/movie?sid=e2e&cid=";

    curl_result mid = run_curl(world, base + "7100", "12345-", "mid");
    EXPECT_EQ(mid.status, 0);
    EXPECT_EQ(mid.header, expected_header(mid.header, int64_t(movie.size()), 12345)) << sup.log();
    EXPECT_TRUE(mid.body == movie.substr(12345));

    curl_result beyond = run_curl(world, base + "7101", std::to_string(far) + "-", "beyond");
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
