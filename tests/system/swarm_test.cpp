// The swarm end to end, inside a network namespace of the test's own: a broadcaster
// with a real source (ffmpeg over UDP), a tracker and viewer systems that fetch the
// channel from each other; players watch /stream on every viewer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "platform/fs.h"
#include "tests/system/swarm_world.h"

namespace {

enum { WATCH_S = 60 };

bool have_tools() {
    for (const char *p : {"/usr/bin/unshare", "/usr/bin/nsenter", "/usr/bin/opentracker"})
        if (!std::filesystem::exists(p)) return false;
    return geteuid() == 0;
}

// The end of a log, for a failure's message.
std::string tail_of(const std::string &log) {
    return log.size() > 4000 ? log.substr(log.size() - 4000) : log;
}

// How a copy differs from the original: sizes and the first octet that differs.
std::string difference(const std::string &copy, const std::string &original) {
    size_t at = 0;
    while (at < copy.size() && at < original.size() && copy[at] == original[at])
        at++;
    return "copy of " + std::to_string(copy.size()) + " octets, original " +
           std::to_string(original.size()) + ", first difference at " + std::to_string(at);
}

} // namespace

// Eight viewers, a player each on /stream for 60 s: no stall over 2 s, no timestamp
// error, every viewer's chunk files equal to the broadcaster's, and most of what the
// viewers fetched came from each other.
TEST(SystemSwarm, EightViewersPlayFromTheSwarm) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(8)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    // The broadcaster's signing key is its owner's alone.
    struct stat key_stat;
    ASSERT_EQ(stat(sw.world.path("bkey").c_str(), &key_stat), 0);
    EXPECT_EQ(key_stat.st_mode & 077, 0u);
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
        EXPECT_GT(players[i].count(), 1000u)
            << players[i].url
            << read_text_file(sw.world.path("player-" + std::to_string(i + 1) + ".err"))
            << (i ? ""
                  : tail_of(sw.log(1)) + tail_of(sw.log(0)) +
                        read_text_file(sw.world.path("ns.log")));
        EXPECT_LE(stall, 2000) << players[i].url;
        EXPECT_EQ(bad, 0) << players[i].url;
        printf("viewer %d: %zu packets, longest stall %lld ms\n", i + 1, players[i].count(),
               (long long)stall);
    }
    // The status pages show the swarm per CID.
    std::string page;
    run_command(sw.in_net() + "curl -s --max-time 10 http://127.0.0.1:" +
                    std::to_string(sw.port(1)) + "/status.json",
                &page);
    EXPECT_NE(page.find("\"swarm\":[{\"cid\":7,\"role\":\"viewer\",\"peers\":"), std::string::npos)
        << page;
    run_command(sw.in_net() + "curl -s --max-time 10 http://127.0.0.1:" +
                    std::to_string(sw.port(0)) + "/status",
                &page);
    EXPECT_NE(page.find("<h2>Swarm</h2>"), std::string::npos) << page;
    EXPECT_NE(page.find("<td data-l=\"Role\">broadcaster</td>"), std::string::npos) << page;
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

// A peer that serves corrupted pieces and one that claims pieces it does not have,
// both announced to the tracker and calling on the viewers: the engine bans the first,
// routes around the second, and no viewer's cache holds an octet that is not the
// broadcaster's at any time it is looked at while the players read.
TEST(SystemSwarm, HostilePeersAreBannedOrRoutedAround) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(3)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    const std::string hostile = bin_path("swarm_hostile"), feed = "http://" + sw.ip(0) + ":7000/7";
    sw.run_inside("h1", "'" + hostile + "' corrupt " + feed + " 127.0.0.50 6881 127.0.0.1 6969 " +
                            std::to_string(WATCH_S / 2) + " >" + sw.world.path("corrupt.log") +
                            " 2>&1 &\n");
    sw.run_inside("h2", "'" + hostile + "' liar " + feed + " 127.0.0.51 6881 127.0.0.1 6969 " +
                            std::to_string(WATCH_S / 2) + " >" + sw.world.path("liar.log") +
                            " 2>&1 &\n");
    swarm_player players[3];
    for (int i = 0; i < 3; i++)
        players[i].start("http://127.0.0.1:" + std::to_string(sw.port(i + 1)) + "/stream?cid=7",
                         sw.world.path("player-" + std::to_string(i + 1) + ".err"), WATCH_S / 2,
                         sw.in_net());
    long bad = 0;
    for (int64_t end = test_now_ms() + WATCH_S / 2 * 1000; test_now_ms() < end; os_sleep_ms(300))
        for (int i = 1; i <= 3; i++)
            bad += sw.corrupted(i);
    EXPECT_EQ(bad, 0) << "octets of a hostile peer in a viewer's cache";
    for (swarm_player &p : players) {
        p.join();
        EXPECT_GT(p.count(), 500u) << p.url;
    }
    ASSERT_TRUE(wait_until(
        [&] {
            return read_text_file(sw.world.path("liar.log")).find("requests") != std::string::npos;
        },
        15000));
    long requests = 0, served = 0;
    sscanf(read_text_file(sw.world.path("corrupt.log")).c_str(), "requests %ld served %ld",
           &requests, &served);
    EXPECT_GT(served, 0) << "the corrupting peer was asked for data";
    long lied = 0;
    sscanf(read_text_file(sw.world.path("liar.log")).c_str(), "requests %ld", &lied);
    printf("corrupting peer: %ld blocks served; lying peer: %ld requests left unanswered\n", served,
           lied);
    bool banned = false, failed = false;
    for (int i = 1; i <= 3; i++) {
        const std::string log = sw.log(i);
        banned |= log.find("swarm: banned peer 127.0.0.50") != std::string::npos;
        failed |= log.find("failed its hash check, fetched again") != std::string::npos;
        int same = 0, differ = 0;
        sw.compare(i, &same, &differ);
        EXPECT_GE(same, 3) << "viewer " << i;
        EXPECT_EQ(differ, 0) << "viewer " << i;
    }
    EXPECT_TRUE(failed && banned) << sw.log(1);
    sw.stop();
}

// The broadcaster sends a live chunk to one viewer at a time and chokes the rest,
// which take it from that one; a chunk that has not left while viewers wait for it a
// second goes to one more at once. Five peers on loopback addresses, each interested
// in the newest chunk and asking for nothing: one is unchoked at first (libtorrent on
// its own unchokes every peer on a LAN or loopback at once), more after seconds.
TEST(SystemSwarm, BroadcasterSendsAChunkToOneViewerAtATime) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(0)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    std::string out;
    run_command(sw.in_net() + "'" + bin_path("swarm_hostile") + "' greedy http://" + sw.ip(0) +
                    ":7000/7 127.0.0.60 5 " + sw.ip(0) + " 6881 4",
                &out);
    int first = -1, of = 0, last = -1;
    ASSERT_EQ(sscanf(out.c_str(), "unchoked %d of %d at first, %d at the end", &first, &of, &last),
              3)
        << out << sw.log(0);
    EXPECT_EQ(of, 5);
    EXPECT_EQ(first, 1) << "viewers the broadcaster sends the newest chunk to at once";
    EXPECT_GT(last, first) << "more once the chunk has not left in a second\n"
                           << tail_of(sw.log(0));
    sw.stop();
}

// Churn and the cache under the engine, six viewers playing: half of them (4, 5, 6)
// killed at random moments (4 started again later, rejoins and plays); viewer 2's cache cleared as
// the tray's Clear Cache does (files in use stay) and viewer 3's cache folder removed while they
// seed. The untouched viewer and viewer 2 play on with no stall over 2 s; no fetcher
// crashes; no deleted chunk file is made again behind a reader's back.
TEST(SystemSwarm, ChurnAndTheCacheUnderTheEngine) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(6)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    const int watch_s = 50;
    swarm_player players[6], again;
    for (int i = 0; i < 6; i++)
        players[i].start("http://127.0.0.1:" + std::to_string(sw.port(i + 1)) + "/stream?cid=7",
                         sw.world.path("player-" + std::to_string(i + 1) + ".err"), watch_s,
                         sw.in_net());
    const int64_t t0 = test_now_ms();
    auto at = [&](int s) {
        while (test_now_ms() - t0 < s * 1000)
            os_sleep_ms(100);
    };
    srand(unsigned(t0));
    at(6 + rand() % 4);
    sw.kill_viewer(4);
    at(10 + rand() % 3);
    sw.kill_viewer(6);
    at(14);
    std::set<std::string> cleared;
    for (const auto &f : chunk_files(sw.cache(2), 7))
        cleared.insert(f.second);
    ASSERT_TRUE(dir_delete_matching(sw.cache(2).c_str(), "*---*.*", nullptr));
    for (const auto &f : chunk_files(sw.cache(2), 7))
        cleared.erase(f.second); // in use by a reader: kept
    EXPECT_FALSE(cleared.empty());
    at(18 + rand() % 4);
    sw.kill_viewer(5);
    at(24);
    std::error_code ec;
    std::filesystem::remove_all(sw.cache(3), ec);
    at(28);
    std::filesystem::remove(sw.world.path("v4.log"), ec); // the first run's
    sw.start_viewer(4);
    ASSERT_TRUE(wait_until(
        [&] {
            return read_text_file(sw.world.path("v4.log")).find("Press Ctrl-C") !=
                   std::string::npos;
        },
        60000));
    again.start("http://127.0.0.1:" + std::to_string(sw.port(4)) + "/stream?cid=7",
                sw.world.path("player-4-again.err"), watch_s - 30, sw.in_net());
    for (int i : {0, 1}) {
        players[i].join();
        int64_t stall = 0;
        int bad = 0;
        players[i].judge(1000, &stall, &bad);
        EXPECT_GT(players[i].count(), 2000u) << players[i].url;
        EXPECT_LE(stall, 2000) << players[i].url;
        EXPECT_EQ(bad, 0) << players[i].url;
        printf("viewer %d: %zu packets, longest stall %lld ms\n", i + 1, players[i].count(),
               (long long)stall);
    }
    again.join();
    int64_t stall = 0;
    int bad = 0;
    again.judge(1000, &stall, &bad);
    EXPECT_GT(again.count(), 500u)
        << "the viewer started again plays: " << read_text_file(sw.world.path("player-4-again.err"))
        << read_text_file(sw.world.path("v4.log"));
    EXPECT_LE(stall, 2000);
    EXPECT_EQ(bad, 0);
    printf("viewer 4 started again: %zu packets, longest stall %lld ms\n", again.count(),
           (long long)stall);
    for (const std::string &f : cleared)
        EXPECT_FALSE(std::filesystem::exists(f)) << f << " made again after Clear Cache";
    for (int i : {1, 2, 3}) {
        const std::string log = sw.log(i);
        size_t starts = 0;
        for (size_t k = log.find("swarm: on "); k != std::string::npos;
             k = log.find("swarm: on ", k + 1))
            starts++;
        EXPECT_EQ(starts, 1u) << "viewer " << i << "'s fetcher ran once, without a crash";
        int same = 0, differ = 0;
        sw.compare(i, &same, &differ);
        EXPECT_EQ(differ, 0) << "viewer " << i;
    }
    for (auto &p : players)
        p.join();
    sw.stop();
}

// A movie from the swarm: the broadcaster publishes its movie file (the demo's movie,
// CID 900) as one torrent; a viewer's fetcher writes its verified pieces into the movie
// file (the start and the end first) as they come: curl gets it whole and equal to the
// broadcaster's file, and ffmpeg and mpv open it on another viewer and seek to its middle.
// Then the broadcaster is gone: a third viewer given the movie's .torrent file fetches it
// from the two that seed it, and ffmpeg and mpv open it and seek to its middle there too.
TEST(SystemSwarm, MovieFromTheSwarm) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(3)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    const std::string got = sw.world.path("movie-1.avi");
    std::string out;
    auto url = [&](int i) {
        return "http://127.0.0.1:" + std::to_string(sw.port(i)) + "/movie?cid=900";
    };
    EXPECT_EQ(
        run_command(sw.in_net() + "curl -s --max-time 60 -o '" + got + "' '" + url(1) + "'", &out),
        0)
        << out;
    const std::string movie = read_text_file(sw.dir(0) + "/media/movie.avi");
    ASSERT_GT(movie.size(), 100000u);
    EXPECT_TRUE(read_text_file(got) == movie) << "the movie through viewer 1 is the broadcaster's: "
                                              << difference(read_text_file(got), movie);
    EXPECT_EQ(
        run_command(sw.in_net() + "curl -s --max-time 60 -o /dev/null '" + url(3) + "'", &out), 0);
    EXPECT_NE(sw.log(1).find("swarm: CID=900 : movie '"), std::string::npos) << sw.log(1);
    EXPECT_EQ(run_command(sw.in_net() + "timeout 60 ffmpeg -nostdin -v error -ss 15 -i '" + url(2) +
                              "' -frames:v 5 -f null -",
                          &out),
              0)
        << out;
    auto opens_and_seeks = [&](int i) {
        EXPECT_EQ(run_command(sw.in_net() + "timeout 60 ffmpeg -nostdin -v error -ss 15 -i '" +
                                  url(i) + "' -frames:v 5 -f null -",
                              &out),
                  0)
            << out;
        EXPECT_EQ(run_command(sw.in_net() +
                                  "timeout 60 mpv --no-config --vo=null --ao=null "
                                  "--start=50% --length=2 '" +
                                  url(i) + "'",
                              &out),
                  0)
            << out;
    };
    if (std::filesystem::exists("/usr/bin/mpv")) {
        EXPECT_EQ(run_command(sw.in_net() +
                                  "timeout 60 mpv --no-config --vo=null --ao=null "
                                  "--start=50% --length=2 '" +
                                  url(2) + "'",
                              &out),
                  0)
            << out;
    }
    // The .torrent as the feed lists it; then the broadcaster's whole system ends.
    std::string feed;
    run_command(sw.in_net() + "curl -s --max-time 10 http://" + sw.ip(0) + ":7000/900", &feed);
    size_t at = feed.find("\nchunk 0 ");
    ASSERT_NE(at, std::string::npos) << feed;
    // "chunk 0 SIZE 0 IH TORRENT": the torrent after the third blank past "chunk 0 ".
    const size_t hex = feed.find(' ', feed.find(' ', feed.find(' ', at + 9) + 1) + 1);
    std::string torrent;
    for (size_t k = hex + 1; k + 1 < feed.size() && feed[k] != '\n'; k += 2)
        torrent.push_back(char(strtol(feed.substr(k, 2).c_str(), nullptr, 16)));
    ASSERT_TRUE(write_text_file(sw.world.path("900.torrent"), torrent));
    sw.kill_viewer(0);
    ASSERT_TRUE(wait_until(
        [&] {
            return run_command(sw.in_net() + "curl -s --max-time 2 http://" + sw.ip(0) +
                                   ":7000/900",
                               &out) != 0;
        },
        10000));
    sw.start_viewer_with(4, "900\tswarm:file:" + sw.world.path("900.torrent") + "\n");
    ASSERT_TRUE(wait_until(
        [&] {
            return read_text_file(sw.world.path("v4.log")).find("Press Ctrl-C") !=
                   std::string::npos;
        },
        60000));
    const std::string got3 = sw.world.path("movie-3.avi");
    EXPECT_EQ(
        run_command(sw.in_net() + "curl -s --max-time 60 -o '" + got3 + "' '" + url(4) + "'", &out),
        0)
        << out;
    EXPECT_TRUE(read_text_file(got3) == movie) << "the movie from the seeding viewers" << sw.log(4);
    if (std::filesystem::exists("/usr/bin/mpv")) opens_and_seeks(4);
    sw.stop();
}

// A far seek in a large movie that a viewer still fetches at 100 KB/s (the tray's
// downrate): in order the swarm would reach 75 % of its 23 MB after about three
// minutes, but the movie streamer tells the fetcher where it reads, so the octets
// there come first: curl gets 256 KiB from 75 % within a minute, equal to the
// broadcaster's, and ffmpeg decodes frames from the middle.
TEST(SystemSwarm, MovieSeekFetchesWhereTheStreamerReads) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    const std::string movie_path = sw.dir(0) + "/media/movie.avi";
    ASSERT_TRUE(make_big_movie(movie_path));
    const std::string movie = read_text_file(movie_path);
    ASSERT_GT(movie.size(), 20000000u);
    sw.registry[1] = "\"downrate\"=dword:00019000\n"; // 102400 octets per second
    ASSERT_TRUE(sw.start(1)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    const std::string url = "http://127.0.0.1:" + std::to_string(sw.port(1)) + "/movie?cid=900";
    const size_t at = movie.size() / 4 * 3, want = 256 * 1024;
    const std::string got = sw.world.path("seek.bin");
    std::string out;
    const int64_t t0 = test_now_ms();
    run_command(sw.in_net() + "timeout 60 curl -s -r " + std::to_string(at) + "- '" + url +
                    "' | head -c " + std::to_string(want) + " >'" + got + "'",
                &out);
    const int64_t took = test_now_ms() - t0;
    const std::string part = read_text_file(got);
    EXPECT_EQ(part.size(), want) << tail_of(sw.log(1));
    EXPECT_TRUE(part == movie.substr(at, want)) << "the octets at 75 % are the broadcaster's";
    EXPECT_NE(sw.log(1).find("downrate = 102400"), std::string::npos) << tail_of(sw.log(1));
    printf("256 KiB from 75 %% of the movie in %lld ms\n", (long long)took);
    // Five frames decoded from the middle (ffmpeg ends well without any when it gives
    // up on its input: the frames are counted).
    EXPECT_EQ(run_command(sw.in_net() + "timeout 60 ffmpeg -nostdin -v error -ss 30 -i '" + url +
                              "' -map 0:v:0 -frames:v 5 -f framecrc - | grep -c '^0,' | grep -qx 5",
                          &out),
              0)
        << out << tail_of(sw.log(1));
    // Every octet of the viewer's movie file is the broadcaster's or not written yet.
    const std::string held = read_text_file(sw.cache(1) + "/900.avi");
    ASSERT_EQ(held.size(), movie.size());
    size_t bad = 0, zero = 0, first_bad = 0;
    for (size_t k = 0; k < held.size(); k++) {
        if (held[k] == movie[k]) continue;
        if (held[k] == 0) {
            zero++;
            continue;
        }
        if (!bad++) first_bad = k;
    }
    EXPECT_EQ(bad, 0u) << "first at " << first_bad << ", " << zero << " octets not written";
    // Not whole yet: at 100 KB/s the movie takes minutes.
    EXPECT_EQ(sw.log(1).find("swarm: CID=900 : movie '"), std::string::npos);
    sw.stop();
}

// A movie from a magnet link: three viewers fetch the movie from the broadcaster and
// seed it; the broadcaster's system ends; a fourth viewer given only the magnet link
// (the info-hash and the tracker) gets the torrent from the seeding viewers and then
// the movie, whole and equal to the broadcaster's file.
TEST(SystemSwarm, MovieFromAMagnetLink) {
    if (!have_tools()) GTEST_SKIP() << "needs root, unshare, nsenter and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(3)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);
    auto url = [&](int i) {
        return "http://127.0.0.1:" + std::to_string(sw.port(i)) + "/movie?cid=900";
    };
    const std::string movie = read_text_file(sw.dir(0) + "/media/movie.avi");
    ASSERT_GT(movie.size(), 100000u);
    std::string out;
    for (int i = 1; i <= 3; i++) {
        const std::string got = sw.world.path("movie-" + std::to_string(i) + ".avi");
        EXPECT_EQ(
            run_command(sw.in_net() + "curl -s --max-time 60 -o '" + got + "' '" + url(i) + "'",
                        &out),
            0)
            << out;
        EXPECT_TRUE(read_text_file(got) == movie)
            << "viewer " << i << ": " << difference(read_text_file(got), movie);
    }
    // "chunk 0 SIZE 0 IH TORRENT": the info-hash after the third blank past "chunk".
    std::string feed;
    run_command(sw.in_net() + "curl -s --max-time 10 http://" + sw.ip(0) + ":7000/900", &feed);
    size_t at = feed.find("\nchunk 0 ");
    ASSERT_NE(at, std::string::npos) << feed;
    const size_t ih = feed.find(' ', feed.find(' ', at + 9) + 1) + 1;
    const std::string hash = feed.substr(ih, 40);
    ASSERT_EQ(hash.find_first_not_of("0123456789abcdefABCDEF"), std::string::npos) << hash;
    sw.kill_viewer(0);
    ASSERT_TRUE(wait_until(
        [&] {
            return run_command(sw.in_net() + "curl -s --max-time 2 http://" + sw.ip(0) +
                                   ":7000/900",
                               &out) != 0;
        },
        10000));
    sw.start_viewer_with(4, "900\tswarm:magnet:?xt=urn:btih:" + hash +
                                "&dn=movie.avi&tr=http%3A%2F%2F127.0.0.1%3A6969%2Fannounce\n");
    ASSERT_TRUE(wait_until(
        [&] {
            return read_text_file(sw.world.path("v4.log")).find("Press Ctrl-C") !=
                   std::string::npos;
        },
        60000));
    const std::string got4 = sw.world.path("movie-4.avi");
    EXPECT_EQ(
        run_command(sw.in_net() + "curl -s --max-time 90 -o '" + got4 + "' '" + url(4) + "'", &out),
        0)
        << out;
    EXPECT_TRUE(read_text_file(got4) == movie) << "the movie from the magnet link" << sw.log(4);
    EXPECT_NE(sw.log(4).find("swarm: CID=900 : magnet link's torrent came: '"), std::string::npos)
        << tail_of(sw.log(4));
    sw.stop();
}
