// The "players" suite: the demo's live channel watched for 60 s by the players our
// users run, each through tests/system/players/watch.sh: ffmpeg, mpv, VLC (as an
// unprivileged user) and headless Chromium with mpegts.js on the continuous stream,
// and the same with hls.js on HLS. ffmpeg and mpv must decode at least 55 s within
// 90 s with no timestamp-jump or corrupt-packet line; VLC and Chromium must show
// decoded video. A second demo runs the opt-in modes (--modern: the standard live
// playlist, no hand-over pause), where all four players must play HLS for 60 s
// with no stall over 2 s and no skip or timestamp-jump line. Timings are printed,
// not asserted (bench/players measures them).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

enum : int {
    START_MS = 90000,
    WATCH_S = 60,
    LIMIT_S = 90,
    NPM_MS = 300000,
    LAUNCH_SPACING_MS = 1500
};

struct watch_result {
    std::string first_frame_ms, decoded_s, stalls;
    int errors = -1, long_stalls = -1, skips = -1;
    bool player_is_browser = false;
    std::string log;
};

watch_result parse(const std::string &log) {
    watch_result r;
    r.log = log;
    r.player_is_browser = log.find("RESULT player=chromium ") != std::string::npos;
    std::smatch m;
    if (std::regex_search(log, m,
                          std::regex("RESULT player=\\S+ first_frame_ms=(\\S+) decoded_s=(\\S+) "
                                     "stalls=(\\S+) errors=([0-9]+)"))) {
        r.first_frame_ms = m[1];
        r.decoded_s = m[2];
        r.stalls = m[3];
        r.errors = std::stoi(m[4]);
    }
    if (std::regex_search(log, m, std::regex("long_stalls=([0-9]+) skips=([0-9]+)"))) {
        r.long_stalls = std::stoi(m[1]);
        r.skips = std::stoi(m[2]);
    }
    return r;
}

// The npm packages of the browser players, installed from the lock file once per
// build tree; empty when npm cannot install them.
std::string node_modules(const test_world &world) {
    const fs::path build = fs::path(bin_path("KVT-Marshal")).parent_path().parent_path();
    const fs::path dir = build / "players-npm";
    if (fs::exists(dir / "node_modules/puppeteer-core/package.json") &&
        fs::exists(dir / "node_modules/hls.js/package.json") &&
        fs::exists(dir / "node_modules/mpegts.js/package.json"))
        return (dir / "node_modules").string();
    std::error_code ec;
    fs::create_directories(dir, ec);
    for (const char *f : {"package.json", "package-lock.json"})
        fs::copy_file(fs::path(VARNEX_PLAYERS_DIR) / f, dir / f,
                      fs::copy_options::overwrite_existing, ec);
    child_run npm;
    if (!npm.start(world, "/bin/sh",
                   {"-c", "cd '" + dir.string() + "' && npm ci --no-audit --no-fund"}, "npm.log"))
        return "";
    int code = -1;
    if (!npm.wait_exit(NPM_MS, &code) || code != 0) {
        ADD_FAILURE() << "npm ci failed:\n" << npm.log();
        return "";
    }
    return (dir / "node_modules").string();
}

} // namespace

TEST(Players, EveryPlayerShowsTheLiveChannel) {
    test_world world;
    const std::string modules = node_modules(world);
    ASSERT_FALSE(modules.empty());
    const std::string build =
        fs::path(bin_path("KVT-Marshal")).parent_path().parent_path().string();
    // The demo with the default modes, and one with the opt-in modes.
    struct demo_run {
        std::string dir;
        uint16_t port;
        child_run run;
    };
    demo_run demos[2];
    std::vector<uint16_t> ports;
    while (ports.size() < 4) {
        const uint16_t p = free_tcp_port();
        if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
    }
    for (int d = 0; d < 2; d++) {
        demo_run &m = demos[d];
        m.dir = world.path(d ? "demo-modern" : "demo");
        m.port = ports[size_t(2 * d)];
        const uint16_t qi_port = ports[size_t(2 * d + 1)];
        std::vector<std::string> args = {"--no-setup", "--build-dir=" + build, "--dir=" + m.dir,
                                         "--port=" + std::to_string(m.port),
                                         "--qi-port=" + std::to_string(qi_port)};
        if (d) args.push_back("--modern");
        ASSERT_TRUE(m.run.start_logged(VARNEX_DEMO_SCRIPT, args,
                                       world.path(d ? "demo-modern.log" : "demo.log")));
    }
    for (demo_run &m : demos)
        ASSERT_TRUE(m.run.wait_for_log("Press Ctrl-C to stop.\n", START_MS)) << m.run.log();

    // Two rounds, each player for 60 s: the stream players with one HLS player, then
    // the other two HLS players. The supervisor takes one request at a time (about
    // 2 s each, for the QI exchange and the hand-over) and every HLS player comes back
    // each segment; more of them at once would wait long enough in its queue to miss
    // a chunk, which a single viewer never does. VLC on HLS only reloads playlists
    // (see below) and is left out. The opt-in players watch beside the second round,
    // through their own supervisor.
    const std::vector<std::vector<std::string>> rounds = {
        {"ffmpeg stream", "mpv stream", "ffmpeg hls", "vlc stream", "chromium stream"},
        {"mpv hls", "chromium hls", "modern ffmpeg hls", "modern mpv hls", "modern vlc hls",
         "modern chromium hls"}};
    setenv("NODE_MODULES", modules.c_str(), 1);
    std::map<std::string, watch_result> results;
    for (const std::vector<std::string> &round : rounds) {
        std::map<std::string, std::unique_ptr<child_run>> runs;
        for (const std::string &key : round) {
            const bool modern = key.rfind("modern ", 0) == 0;
            const std::string what = modern ? key.substr(7) : key;
            const size_t blank = what.find(' ');
            const std::string player = what.substr(0, blank), address = what.substr(blank + 1);
            const std::string base = "http://127.0.0.1:" + std::to_string(demos[modern].port);
            auto run = std::make_unique<child_run>();
            ASSERT_TRUE(run->start(world, VARNEX_PLAYERS_DIR "/watch.sh",
                                   {player, base + "/" + address + "?cid=7",
                                    std::to_string(WATCH_S), std::to_string(LIMIT_S)},
                                   (modern ? "modern-" : "") + player + "-" + address + ".log"));
            runs[key] = std::move(run);
            std::this_thread::sleep_for(std::chrono::milliseconds(LAUNCH_SPACING_MS));
        }
        for (auto &r : runs) {
            int code = -1;
            EXPECT_TRUE(r.second->wait_exit((LIMIT_S + 30) * 1000, &code)) << r.first;
            results[r.first] = parse(r.second->log());
            const watch_result &w = results[r.first];
            printf("players: %-20s first frame %s ms, decoded %s s, stalls %s (over 2 s: %d), "
                   "errors %d, skips %d\n",
                   r.first.c_str(), w.first_frame_ms.c_str(), w.decoded_s.c_str(), w.stalls.c_str(),
                   w.long_stalls, w.errors, w.skips);
        }
    }
    // VLC once showed no picture in five runs without a line saying why; a second
    // try tells a player that failed to start from a channel it cannot play.
    if (results["vlc stream"].first_frame_ms == "-") {
        printf("players: vlc stream showed no picture; once more\n%s\n",
               results["vlc stream"].log.c_str());
        child_run again;
        ASSERT_TRUE(again.start(
            world, VARNEX_PLAYERS_DIR "/watch.sh",
            {"vlc", "http://127.0.0.1:" + std::to_string(demos[0].port) + "/stream?cid=7", "30",
             "60"},
            "vlc-again.log"));
        EXPECT_TRUE(again.wait_exit(90000));
        results["vlc stream"] = parse(again.log());
    }
    for (demo_run &m : demos)
        m.run.signal(SIGTERM);
    for (demo_run &m : demos)
        m.run.wait_exit(15000);
    // The players' and the demo's logs stay in the build folder for a look afterwards.
    const fs::path keep = fs::path(build) / "players-logs";
    std::error_code ec;
    fs::remove_all(keep, ec);
    fs::create_directories(keep, ec);
    for (const fs::directory_entry &e : fs::directory_iterator(world.root(), ec))
        if (e.path().extension() == ".log") fs::copy_file(e.path(), keep / e.path().filename(), ec);
    fs::copy_file(demos[0].dir + "/logs/marshal.log", keep / "marshal.log", ec);
    fs::copy_file(demos[1].dir + "/logs/marshal.log", keep / "marshal-modern.log", ec);

    for (const char *key : {"ffmpeg stream", "ffmpeg hls", "mpv stream", "mpv hls"}) {
        const watch_result &w = results[key];
        SCOPED_TRACE(key);
        EXPECT_GE(atof(w.decoded_s.c_str()), 55.0) << w.log;
        EXPECT_EQ(w.errors, 0) << w.log;
    }
    // VLC 3.0 never requests the segment of a one-segment live playlist (tried with
    // segments of 9 and 21 s and a live delay of 3 s), so only its stream is watched.
    for (const char *key : {"vlc stream", "chromium stream", "chromium hls"}) {
        const watch_result &w = results[key];
        SCOPED_TRACE(key);
        EXPECT_NE(w.first_frame_ms, "-") << w.log;
        EXPECT_FALSE(w.first_frame_ms.empty()) << w.log;
    }
    // The opt-in modes: every player plays HLS for the whole time, without a stall
    // over 2 s, without a timestamp jump and without a skip.
    for (const char *key :
         {"modern ffmpeg hls", "modern mpv hls", "modern vlc hls", "modern chromium hls"}) {
        const watch_result &w = results[key];
        SCOPED_TRACE(key);
        EXPECT_NE(w.first_frame_ms, "-") << w.log;
        EXPECT_FALSE(w.first_frame_ms.empty()) << w.log;
        EXPECT_EQ(w.long_stalls, 0) << w.log;
        EXPECT_EQ(w.errors, 0) << w.log;
        EXPECT_EQ(w.skips, 0) << w.log;
        // The browser's 60 s include its start: it plays from its first frame on.
        const double shown_s = atof(w.first_frame_ms.c_str()) / 1000;
        const double want = w.player_is_browser ? WATCH_S - shown_s - 2 : 55.0;
        if (w.decoded_s != "-") {
            EXPECT_GE(atof(w.decoded_s.c_str()), want) << w.log;
        }
    }
}
