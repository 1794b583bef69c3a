// The swarm end to end, inside a network namespace of the test's own: a broadcaster
// with a real source (ffmpeg over UDP), a tracker and viewer systems that fetch the
// channel from each other; players watch /stream on every viewer.
#include <gtest/gtest.h>

#include "tests/system/swarm_world.h"

namespace {

enum { WATCH_S = 60 };

bool have_tools() {
    for (const char *p : {"/usr/bin/unshare", "/usr/bin/nsenter", "/usr/bin/opentracker"})
        if (!std::filesystem::exists(p)) return false;
    return geteuid() == 0;
}

} // namespace

// Eight viewers, a player each on /stream for 60 s: no stall over 2 s, no timestamp
// error, every viewer's chunk files equal to the broadcaster's, and most of what the
// viewers fetched came from each other.
TEST(SystemSwarm, EightViewersPlayFromTheSwarm) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(8)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    swarm_player players[8];
    for (int i = 0; i < 8; i++)
        players[i].start("http://127.0.0.1:" + std::to_string(sw.port(i + 1)) + "/stream?cid=7",
                         sw.world.path("player-" + std::to_string(i + 1) + ".err"), WATCH_S,
                         sw.in_net());
    for (int i = 0; i < 8; i++) {
        players[i].join();
        int64_t stall = 0;
        int bad = 0;
        players[i].judge(1000, &stall, &bad);
        EXPECT_GT(players[i].count(), 1000u) << players[i].url;
        EXPECT_LE(stall, 2000) << players[i].url;
        EXPECT_EQ(bad, 0) << players[i].url;
        printf("viewer %d: %zu packets, longest stall %lld ms\n", i + 1, players[i].count(),
               (long long)stall);
    }
    uint64_t peers = 0, broadcaster = 0;
    for (int i = 1; i <= 8; i++) {
        int same = 0, differ = 0;
        sw.compare(i, &same, &differ);
        EXPECT_GE(same, 8) << "viewer " << i;
        EXPECT_EQ(differ, 0) << "viewer " << i;
        unsigned long long p = 0, b = 0;
        const std::string status = read_text_file(sw.dir(i) + "/runtime/fetcher-swarm.txt");
        if (sscanf(status.c_str(), "7\tviewer\t%*d\t%*d\t%*d\t%llu\t%llu", &p, &b) == 2) {
            peers += p;
            broadcaster += b;
        }
    }
    printf("viewers fetched %llu octets from peers, %llu from the broadcaster\n",
           (unsigned long long)peers, (unsigned long long)broadcaster);
    EXPECT_GT(peers, broadcaster) << "the viewers share with each other";
    sw.stop();
}
