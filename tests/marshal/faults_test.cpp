// The real supervisor and fetcher through faults: the fetcher killed again and again
// while streams run, the supervisor itself killed with SIGKILL, and a damaged
// registry file at start-up.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "marshal_world.h"
#include "platform/os.h"

namespace {

// Every number that follows key in the log, in order.
std::vector<int> pids_after(const std::string &log, const std::string &key) {
    std::vector<int> pids;
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1))
        pids.push_back(atoi(log.c_str() + at + key.size()));
    return pids;
}

bool alive(int pid) {
    return kill(pid, 0) == 0 &&
           read_text_file("/proc/" + std::to_string(pid) + "/stat").find(") Z ") ==
               std::string::npos;
}

// True once none of the processes runs any more (within timeout_ms).
bool all_gone(const std::vector<int> &pids, int timeout_ms) {
    for (int64_t end = test_now_ms() + timeout_ms;; os_sleep_ms(50)) {
        bool any = false;
        for (int pid : pids)
            any = any || alive(pid);
        if (!any) return true;
        if (test_now_ms() > end) return false;
    }
}

const char fetcher_started[] = "/KVT-Fetcher was started with PID = ";

// The streamers started so far, from the test child's "<pid>-<ns>.args" files.
std::vector<int> child_pids(const marshal_world &w, size_t n) {
    std::vector<int> pids;
    for (int64_t end = test_now_ms() + 5000; pids.size() < n && test_now_ms() < end;
         os_sleep_ms(50)) {
        pids.clear();
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(w.bin + "/started", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            if (it->path().extension() == ".args") pids.push_back(atoi(it->path().stem().c_str()));
    }
    return pids;
}

} // namespace

// Killed 20 times while two streams run: restarted every time, both streams
// announced again each time, the players still served. Then 13 failed restarts: an
// orderly stop, and every streamer ends with the supervisor.
TEST(MarshalFaults, FetcherKilledTwentyTimesThenGoneForGood) {
    marshal_world w;
    ASSERT_TRUE(w.start({}));
    player_conn a, b;
    ASSERT_TRUE(a.open(w.port, "GET /stream?cid=5&sid=s HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(a.read_until("child ", 5000));
    ASSERT_TRUE(b.open(w.port, "GET /hls?cid=6&sid=s HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(b.read_until("child ", 5000));
    ASSERT_TRUE(w.wait_count("%FETCH-I: Got message: command=1 CID=6 ", 1, 5000)) << w.log();

    for (int i = 1; i <= 20; i++) {
        SCOPED_TRACE(i);
        std::vector<int> fetchers = pids_after(w.log(), fetcher_started);
        ASSERT_EQ(int(fetchers.size()), i) << w.log();
        ASSERT_EQ(kill(fetchers.back(), SIGKILL), 0);
        ASSERT_TRUE(w.wait_count("%MRSHL-S: Fetcher connected to Marshal\n", i + 1, 15000))
            << w.log();
        ASSERT_TRUE(w.wait_count("%FETCH-I: Got message: command=1 CID=5 ", i + 1, 5000));
        ASSERT_TRUE(w.wait_count("%FETCH-I: Got message: command=1 CID=6 ", i + 1, 5000));
    }
    EXPECT_EQ(w.count("KVT-Relay/KVT-Cinema has stopped"), 0) << w.log();
    const std::vector<int> children = child_pids(w, 2);
    ASSERT_EQ(children.size(), 2u);
    for (int pid : children)
        EXPECT_TRUE(alive(pid));

    std::filesystem::remove(w.bin + "/KVT-Fetcher");
    ASSERT_EQ(kill(pids_after(w.log(), fetcher_started).back(), SIGKILL), 0);
    ASSERT_TRUE(
        w.wait_count("%MRSHL-E: Failed to restart KVT-Fetcher 13 times, aborting...\n", 1, 40000))
        << w.log();
    // The accept loop sees the stop status after its next connection.
    http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000);
    int code = -1;
    ASSERT_TRUE(w.sup->wait_exit(15000, &code)) << w.log();
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(all_gone(children, 5000));
    // The players see their connections end.
    EXPECT_FALSE(a.read_until("never sent", 5000));
}

// SIGKILL leaves the supervisor no time for anything: the job still takes the
// fetcher and every streamer with it.
TEST(MarshalFaults, SupervisorKilledTakesEveryChildWithIt) {
    marshal_world w;
    ASSERT_TRUE(w.start({}));
    std::vector<player_conn> players(3);
    const char *requests[] = {"GET /stream?cid=5&sid=s HTTP/1.1\r\n\r\n",
                              "GET /hls?cid=5&sid=s HTTP/1.1\r\n\r\n",
                              "GET /movie?cid=9&sid=s HTTP/1.1\r\n\r\n"};
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(players[size_t(i)].open(w.port, requests[i]));
        ASSERT_TRUE(players[size_t(i)].read_until("child ", 5000));
    }
    std::vector<int> pids = child_pids(w, 3);
    ASSERT_EQ(pids.size(), 3u) << w.log();
    pids.push_back(pids_after(w.log(), fetcher_started).back());
    for (int pid : pids)
        ASSERT_TRUE(alive(pid));
    w.sup->kill_now();
    EXPECT_TRUE(all_gone(pids, 5000));
}

// A registry file of junk: a clear line, and the supervisor starts and serves with
// the cache folder under TEMP.
TEST(MarshalFaults, DamagedRegistryFileAtStart) {
    marshal_world w;
    const std::string key = w.world.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE";
    ASSERT_TRUE(make_dirs(key));
    std::string junk = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n\"CachePath\"=\"C:\\";
    for (int i = 0; i < 300; i++)
        junk += char(i * 7 % 256);
    ASSERT_TRUE(write_text_file(key + "/Varnex.reg", junk));
    ASSERT_TRUE(w.start({})) << w.log();
    EXPECT_EQ(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000).substr(0, 15),
              "HTTP/1.1 200 OK");
    EXPECT_TRUE(w.sup->running());
    EXPECT_EQ(w.count("%MRSHL-E: Registry key 'HKLM\\SOFTWARE\\Varnex\\CachePath' -> "), 1)
        << w.log();
    EXPECT_EQ(w.count("Cache dir path : " + w.world.temp_dir() + "/vcache\n"), 1) << w.log();
}

// Streams that end without a new one starting leave no descriptor behind in the
// supervisor (the job lets go of an ended child when the monitor reaps it).
TEST(MarshalFaults, DescriptorsComeBackWhenAllStreamsEnd) {
    marshal_world w;
    ASSERT_TRUE(w.start({}));
    os_sleep_ms(500); // the fetcher's pipe is connected
    const int before = w.descriptors();
    {
        std::vector<player_conn> players(5);
        for (player_conn &p : players) {
            ASSERT_TRUE(p.open(w.port, "GET /stream?cid=5&sid=s HTTP/1.1\r\n\r\n"));
            ASSERT_TRUE(p.read_until("child ", 5000));
        }
        EXPECT_GT(w.descriptors(), before);
    }
    ASSERT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", 5, 15000)) << w.log();
    int n = w.descriptors();
    for (int64_t end = test_now_ms() + 5000; n > before && test_now_ms() < end; n = w.descriptors())
        os_sleep_ms(100);
    EXPECT_EQ(n, before);
}

// A full table needs two descriptors per streamer: under the usual soft limit of
// 1024 the 507th stream failed to start and stopped the supervisor. It raises its
// soft limit up to the hard one, and says so when the hard one is too low.
TEST(MarshalFaults, OpenFilesLimitRaisedForAFullTable) {
    marshal_world w;
    struct {
        const char *limits;
        const char *soft_after;
        bool warned;
    } cases[] = {{"--nofile=100:8192", "4096", false}, {"--nofile=100:300", "300", true}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.limits);
        child_run m;
        ASSERT_TRUE(m.start(w.world, "/usr/bin/prlimit",
                            {c.limits, w.bin + "/KVT-Marshal", "-port=" + std::to_string(w.port)},
                            std::string("limits-") + c.soft_after + ".log"));
        ASSERT_TRUE(m.wait_for_log("Start listening on", 15000)) << m.log();
        std::string limits = read_text_file("/proc/" + std::to_string(m.pid) + "/limits");
        size_t at = limits.find("Max open files");
        ASSERT_NE(at, std::string::npos);
        std::istringstream line(limits.substr(at + 14));
        std::string soft;
        line >> soft;
        EXPECT_EQ(soft, c.soft_after);
        EXPECT_EQ(m.log().find("%MRSHL-W: Open files limit 300 is below 4096: fewer than 511 "
                               "streamers may run\n") != std::string::npos,
                  c.warned)
            << m.log();
        m.kill_now();
    }
}

// A player that leaves in the middle of a live stream or of a movie: its real
// streamer ends, and as the last streamer of its CID the stop message follows.
TEST(MarshalFaults, PlayerGoneMidStreamEndsTheStreamerAndStopsTheCid) {
    marshal_world w;
    ASSERT_TRUE(w.install("KVT-Relay", "KVT-Relay"));
    ASSERT_TRUE(w.install("KVT-Cinema", "KVT-Cinema"));
    const std::string cache = w.world.temp_dir() + "/vcache";
    ASSERT_TRUE(make_dirs(cache));
    std::string movie(48 << 20, 'M'); // more than the socket buffers hold
    ASSERT_TRUE(write_text_file(cache + "/1602.avi", movie));
    ASSERT_TRUE(w.start({}));
    struct {
        const char *request, *cid;
    } cases[] = {{"GET /stream?cid=1601&sid=g HTTP/1.1\r\n\r\n", "1601"},
                 {"GET /movie?cid=1602&sid=g HTTP/1.1\r\nRange: bytes=100-\r\n\r\n", "1602"}};
    int stopped = 0;
    for (auto &c : cases) {
        SCOPED_TRACE(c.cid);
        player_conn p;
        ASSERT_TRUE(p.open(w.port, c.request));
        std::string got;
        for (int64_t end = test_now_ms() + 20000; got.size() < 20000 && test_now_ms() < end;)
            got += p.read_some(500);
        ASSERT_GE(got.size(), 20000u) << w.log();
        p.close();
        ASSERT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", ++stopped, 30000)) << w.log();
        EXPECT_TRUE(w.wait_count(std::string("%MRSHL-I: Send 'stop downloading' CID=") + c.cid +
                                     " (640 bytes)\n",
                                 1, 5000))
            << w.log();
    }

    // An HLS segment: a chunk larger than the socket buffers, kept the newest file
    // whatever the fetcher writes. The relay ends on the short send; the stop is
    // held for the playlist's target duration, as for every HLS streamer.
    const std::string chunk = cache + "/1604---5.dat";
    ASSERT_TRUE(write_text_file(chunk, movie));
    std::filesystem::last_write_time(chunk, std::filesystem::file_time_type::clock::now() +
                                                std::chrono::hours(1));
    player_conn p;
    ASSERT_TRUE(p.open(w.port, "GET /hls.chunk.ts?cid=1604&sid=g&chunk=5 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(p.read_until("Content-Length: 50331648\r\n", 10000)) << w.log();
    p.close();
    ASSERT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", ++stopped, 30000)) << w.log();
    EXPECT_EQ(w.count("CID=1604 : send (65424 octets) -> "), 1) << w.log();
    EXPECT_EQ(w.count("Loaded from '" + chunk + "' 50331648 from"), 0);
    EXPECT_TRUE(w.wait_count("%MRSHL-I: Holding 'stop downloading' CID=1604 for ", 1, 5000))
        << w.log();
}

// The cache folder removed under a running system: the relay ends with its line,
// the fetcher logs its failed writes, the supervisor stays up and answers.
TEST(MarshalFaults, CacheFolderRemovedUnderARunningSystem) {
    marshal_world w;
    ASSERT_TRUE(w.install("KVT-Relay", "KVT-Relay"));
    const std::string cache = w.world.temp_dir() + "/vcache";
    ASSERT_TRUE(w.start({}));
    player_conn p;
    ASSERT_TRUE(p.open(w.port, "GET /stream?cid=1603&sid=g HTTP/1.1\r\n\r\n"));
    std::string got;
    for (int64_t end = test_now_ms() + 20000; got.size() < 2000 && test_now_ms() < end;)
        got += p.read_some(200);
    ASSERT_GE(got.size(), 2000u) << w.log();
    ASSERT_TRUE(w.wait_count("%FETCH-I: CID=1603 : source '", 1, 10000)) << w.log();

    std::filesystem::remove_all(cache);
    EXPECT_TRUE(w.wait_count("CID=1603 : WaitForSingleObject(), errno = 2\n", 1, 15000)) << w.log();
    EXPECT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", 1, 15000)) << w.log();
    EXPECT_TRUE(w.wait_count("%FETCH-E: CID=1603 : open '" + cache + "/1603---", 1, 15000))
        << w.log();
    EXPECT_TRUE(w.wait_count("%MRSHL-I: Send 'stop downloading' CID=1603 (640 bytes)\n", 1, 5000));
    ASSERT_TRUE(w.sup->running());
    EXPECT_EQ(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000).substr(0, 15),
              "HTTP/1.1 200 OK");
}
