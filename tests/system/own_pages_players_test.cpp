// The demo's channel list and status page in real clients: VLC (as an unprivileged
// user, through tests/system/players/watch.sh) opens /playlist.m3u and plays its
// first entry; meanwhile headless Chromium loads /status, whose table must show
// that stream. The screenshot stays in the build's test-output/status_page folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace {
namespace fs = std::filesystem;
enum : int { START_MS = 90000, WATCH_S = 30, LIMIT_S = 70, ROW_MS = 40000, BROWSER_MS = 60000 };

// Runs headless Chromium on url with the given extra arguments; its output.
std::string chromium(const test_world &world, const std::vector<std::string> &args,
                     const std::string &log_name) {
    std::vector<std::string> all = {"--headless", "--no-sandbox", "--disable-gpu",
                                    "--hide-scrollbars", "--window-size=480,640"};
    all.insert(all.end(), args.begin(), args.end());
    child_run browser;
    if (!browser.start(world, "/usr/bin/chromium", all, log_name)) return "";
    EXPECT_TRUE(browser.wait_exit(BROWSER_MS)) << log_name;
    return browser.log();
}
} // namespace

TEST(Players, VlcPlaysThePlaylistWhileChromiumShowsTheStatus) {
    test_world world;
    const std::string demo_dir = world.path("demo");
    const uint16_t port = free_tcp_port();
    uint16_t qi_port = free_tcp_port();
    while (qi_port == port)
        qi_port = free_tcp_port();
    const std::string build =
        fs::path(bin_path("KVT-Marshal")).parent_path().parent_path().string();
    child_run demo;
    ASSERT_TRUE(demo.start_logged(VARNEX_DEMO_SCRIPT,
                                  {"--no-setup", "--build-dir=" + build, "--dir=" + demo_dir,
                                   "--port=" + std::to_string(port),
                                   "--qi-port=" + std::to_string(qi_port)},
                                  world.path("demo.log")));
    ASSERT_TRUE(demo.wait_for_log("Press Ctrl-C to stop.\n", START_MS)) << demo.log();
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    child_run vlc;
    ASSERT_TRUE(
        vlc.start(world, VARNEX_PLAYERS_DIR "/watch.sh",
                  {"vlc", base + "/playlist.m3u", std::to_string(WATCH_S), std::to_string(LIMIT_S)},
                  "vlc.log"));
    // The status page lists the stream VLC asked for from the playlist's first entry.
    std::string json;
    for (int64_t end = test_now_ms() + ROW_MS; test_now_ms() < end;) {
        json = http_exchange(port, "GET /status.json HTTP/1.1\r\n\r\n", 5000);
        if (json.find("{\"cid\":7,\"name\":\"Test channel\",\"kind\":\"stream\"") !=
            std::string::npos)
            break;
        usleep(500 * 1000);
    }
    EXPECT_NE(json.find("{\"cid\":7,\"name\":\"Test channel\",\"kind\":\"stream\""),
              std::string::npos)
        << json;

    make_dirs(VARNEX_STATUS_SHOTS_DIR);
    const std::string shot = VARNEX_STATUS_SHOTS_DIR "/status.png";
    fs::remove(shot);
    std::string dom = chromium(world, {"--dump-dom", base + "/status"}, "chromium-dom.log");
    EXPECT_NE(dom.find("<tr><td data-l=\"CID\">7</td><td data-l=\"Channel\">Test channel</td><td "
                       "data-l=\"Kind\">stream</td><td data-l=\"Viewer\">127.0.0.1:"),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find("VLC/"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<td data-l=\"QI session\">open</td>"), std::string::npos) << dom;
    chromium(world, {"--screenshot=" + shot, base + "/status"}, "chromium-shot.log");
    EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 1000u);

    int code = -1;
    EXPECT_TRUE(vlc.wait_exit((LIMIT_S + 30) * 1000, &code));
    const std::string watched = vlc.log();
    EXPECT_EQ(watched.find("first_frame_ms=-"), std::string::npos) << watched;
    EXPECT_NE(watched.find("RESULT player=vlc first_frame_ms="), std::string::npos) << watched;
    demo.signal(SIGTERM);
    demo.wait_exit(15000);
    // VLC asked for the first entry first: the first streamer the demo started is CID 7's.
    const std::string log = read_text_file(demo_dir + "/logs/marshal.log");
    const size_t first = log.find(" -cid=");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.substr(first, 8), " -cid=7 ") << log;
}
