// System tests of scripts/demo.sh: the QI server, the supervisor, the fetcher and the
// streamers of this build tree run as the demo runs them, probed by the script's check
// mode; and the script's own duties: busy ports refused, every process stopped on a
// signal. Each test has its own folder and free ports.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

enum : int { CHECK_MS = 240000, START_MS = 90000, STOP_MS = 15000 };

// Programs whose executable lies in the demo's bin folder, by file name (one per process).
std::vector<std::string> demo_processes(const std::string &demo_dir) {
    std::vector<std::string> found;
    const std::string bin = demo_dir + "/bin/";
    std::error_code ec;
    for (const fs::directory_entry &e : fs::directory_iterator("/proc", ec)) {
        std::error_code link_ec;
        fs::path exe = fs::read_symlink(e.path() / "exe", link_ec);
        if (link_ec) continue;
        const std::string s = exe.string();
        if (s.compare(0, bin.size(), bin) == 0) found.push_back(exe.filename().string());
    }
    return found;
}

bool has(const std::vector<std::string> &names, const std::string &name) {
    for (const std::string &n : names)
        if (n == name) return true;
    return false;
}

// One demo world: the script with this build tree, a folder and two free ports.
struct demo_run {
    test_world world;
    std::string dir = world.path("demo");
    uint16_t port = free_tcp_port();
    uint16_t qi_port = 0;
    child_run script;

    demo_run() {
        do
            qi_port = free_tcp_port();
        while (qi_port == port);
    }

    std::vector<std::string> args(std::vector<std::string> extra) const {
        std::string build = fs::path(bin_path("KVT-Marshal")).parent_path().parent_path().string();
        std::vector<std::string> a = {"--no-setup", "--build-dir=" + build, "--dir=" + dir,
                                      "--port=" + std::to_string(port),
                                      "--qi-port=" + std::to_string(qi_port)};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    bool start(std::vector<std::string> extra, const std::string &log) {
        return script.start_logged(VARNEX_DEMO_SCRIPT, args(extra), world.path(log));
    }
};

// The check mode starts the whole system, probes the continuous stream, the HLS
// playlist and its segment, and the movie from a byte position, and stops it all.
TEST(SystemDemo, CheckModeServesLiveHlsAndMovie) {
    demo_run d;
    ASSERT_TRUE(d.start({"--check"}, "check.log"));
    int code = -1;
    ASSERT_TRUE(d.script.wait_exit(CHECK_MS, &code)) << d.script.log();
    const std::string out = d.script.log();
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("\ndemo: live stream: OK\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\ndemo: HLS: OK\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\ndemo: movie: OK\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\ndemo: CHECK PASSED: live stream, HLS and movie answered on loopback\n"),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("  live stream    http://127.0.0.1:" + std::to_string(d.port) + "/stream?cid=7\n"),
        std::string::npos)
        << out;

    // The account the supervisor logged in with, in the settings store's own form.
    EXPECT_EQ(read_text_file(d.dir + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg"),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n\"CachePath\"=\"" + d.dir +
                  "/cache\"\n\"UserName\"=dword:00001092\n"
                  "\"Password\"=\"aa5073d6e9fd1089075f60113c55b42ac8ee1ede\"\n");

    // The HLS segment came back through the supervisor: a relay started with the
    // playlist's sid and chunk, without a QI login; the movie from position 1000.
    const std::string marshal = read_text_file(d.dir + "/logs/marshal.log");
    EXPECT_TRUE(std::regex_search(
        marshal, std::regex("KVT-Relay -chan=[0-9]+ -cid=7 -dir=\"[^\"]+\" -delay=5 "
                            "-sid=[0-9]+ -chunk=[1-9][0-9]*  -hls .*was started")))
        << marshal;
    EXPECT_TRUE(std::regex_search(
        marshal, std::regex("KVT-Cinema -chan=[0-9]+ -cid=900 -pos=1000 -dir=.* was started")))
        << marshal;

    EXPECT_TRUE(demo_processes(d.dir).empty());
}

// A port that something already uses is refused with a clear line and exit code 3,
// before anything is started; the same port for both servers is refused too.
TEST(SystemDemo, BusyPortsAreRefused) {
    demo_run d;
    ASSERT_EQ(net_startup(), 0);
    net_sock busy = net_tcp_socket();
    ASSERT_NE(busy, NET_BAD_SOCK);
    const uint16_t busy_port = d.port;
    ASSERT_TRUE(net_bind_any(busy, busy_port));
    ASSERT_TRUE(net_listen(busy, 4));

    int code = -1;
    ASSERT_TRUE(d.start({"--check"}, "supervisor-port.log"));
    ASSERT_TRUE(d.script.wait_exit(STOP_MS, &code));
    EXPECT_EQ(code, 3);
    EXPECT_EQ(d.script.log(), "demo: error: port " + std::to_string(busy_port) +
                                  " (supervisor) is already in use; stop what uses it, or "
                                  "choose another port with --port=N\n");

    d.qi_port = busy_port;
    d.port = free_tcp_port();
    ASSERT_TRUE(d.start({"--check"}, "qi-port.log"));
    ASSERT_TRUE(d.script.wait_exit(STOP_MS, &code));
    EXPECT_EQ(code, 3);
    EXPECT_EQ(d.script.log(), "demo: error: port " + std::to_string(busy_port) +
                                  " (QI server) is already in use; stop what uses it, or "
                                  "choose another port with --qi-port=N\n");

    d.port = d.qi_port;
    ASSERT_TRUE(d.start({"--check"}, "same-port.log"));
    ASSERT_TRUE(d.script.wait_exit(STOP_MS, &code));
    EXPECT_EQ(code, 2);
    EXPECT_EQ(d.script.log(),
              "demo: error: the supervisor and the QI server need two different ports\n");
    net_close(busy);
    EXPECT_TRUE(demo_processes(d.dir).empty());
}

// In the foreground the demo runs until SIGINT (Ctrl-C) or SIGTERM, and then nothing
// it started is left: QI server, supervisor, fetcher, and a relay serving a player.
TEST(SystemDemo, SignalsStopEverything) {
    demo_run d;
    const int signals[] = {SIGINT, SIGTERM};
    for (int sig : signals) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
        ASSERT_TRUE(d.start({}, sig == SIGINT ? "sigint.log" : "sigterm.log"));
        ASSERT_TRUE(d.script.wait_for_log("Press Ctrl-C to stop.\n", START_MS)) << d.script.log();
        EXPECT_NE(d.script.log().find("VLC does\nnot play the HLS address in this mode"),
                  std::string::npos)
            << d.script.log();
        std::vector<std::string> running = demo_processes(d.dir);
        EXPECT_TRUE(has(running, "varnex-qi-server"));
        EXPECT_TRUE(has(running, "KVT-Marshal"));
        EXPECT_TRUE(has(running, "KVT-Fetcher"));

        // A player on the live stream, so a relay runs too.
        net_sock player = net_sock(tcp_connect_loopback(d.port));
        ASSERT_NE(player, NET_BAD_SOCK);
        const std::string request = "GET /stream?cid=7 HTTP/1.1\r\nUser-Agent: SystemDemo\r\n\r\n";
        ASSERT_EQ(net_send_all(player, request.data(), request.size()), long(request.size()));
        bool relay = false;
        for (int64_t until = test_now_ms() + 30000; !relay && test_now_ms() < until;) {
            relay = has(demo_processes(d.dir), "KVT-Relay");
            if (!relay) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(relay);

        ASSERT_TRUE(d.script.signal(sig));
        int code = -1;
        ASSERT_TRUE(d.script.wait_exit(STOP_MS, &code));
        EXPECT_EQ(code, sig == SIGINT ? 130 : 143);
        EXPECT_NE(d.script.log().find("\ndemo: stopped; logs are in " + d.dir + "/logs\n"),
                  std::string::npos)
            << d.script.log();
        EXPECT_TRUE(demo_processes(d.dir).empty());
        net_close(player);
    }
}

// Two HLS players on the opt-in playlist: each is a series of short requests with
// their own short relays, and the status page shows each player as one row, with
// the same start, all the time it watches, its count of segments growing.
TEST(SystemDemo, StatusShowsEachHlsPlayerAsOneRow) {
    enum : int { ROWS_MS = 60000, SAMPLES = 30 };
    demo_run d;
    ASSERT_TRUE(d.start({"--modern"}, "modern.log"));
    ASSERT_TRUE(d.script.wait_for_log("Press Ctrl-C to stop.\n", START_MS)) << d.script.log();
    // The banner tells what VLC does in this mode.
    EXPECT_NE(d.script.log().find("where VLC\nplays the HLS address too"), std::string::npos)
        << d.script.log();
    EXPECT_EQ(d.script.log().find("not play"), std::string::npos) << d.script.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(d.port) + "/hls?cid=7";
    const char *const agents[2] = {"PlayerA", "PlayerB"};
    child_run players[2];
    for (int i = 0; i < 2; i++)
        ASSERT_TRUE(players[i].start(d.world, "/usr/bin/ffmpeg",
                                     {"-hide_banner", "-nostdin", "-loglevel", "warning",
                                      "-user_agent", std::string(agents[i]) + "/1.0", "-i", url,
                                      "-t", "300", "-c", "copy", "-f", "null", "-"},
                                     std::string("ffmpeg-") + agents[i] + ".log"));

    // Each sample's HLS rows: the player's word, its start and its segments.
    const std::regex row("\\{\"cid\":7,\"name\":\"Test channel\",\"kind\":\"HLS\",\"viewer\":"
                         "\"127\\.0\\.0\\.1 (Player[AB])/1\\.0\",\"started\":\"([^\"]+)\","
                         "\"segments\":([0-9]+),\"qi_session\":(true|false)\\}");
    struct seen {
        std::string started;
        unsigned long segments = 0;
    };
    auto sample = [&](std::map<std::string, seen> *rows, int *hls_rows) {
        std::string a = http_exchange(d.port, "GET /status.json HTTP/1.1\r\n\r\n", 5000);
        std::string json = a.substr(a.find("\r\n\r\n") + 4);
        rows->clear();
        for (std::sregex_iterator m(json.begin(), json.end(), row), end; m != end; ++m)
            (*rows)[(*m)[1]] = {(*m)[2], std::stoul((*m)[3])};
        *hls_rows = 0;
        for (size_t at = json.find("\"kind\":\"HLS\""); at != std::string::npos;
             at = json.find("\"kind\":\"HLS\"", at + 1))
            ++*hls_rows;
        return json;
    };
    std::map<std::string, seen> rows, first;
    int hls_rows = 0;
    std::string json;
    for (int64_t end = test_now_ms() + ROWS_MS; test_now_ms() < end;) {
        json = sample(&first, &hls_rows);
        if (first.size() == 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ASSERT_EQ(first.size(), 2u) << json;
    for (int i = 0; i < SAMPLES; i++) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        json = sample(&rows, &hls_rows);
        SCOPED_TRACE(i);
        EXPECT_EQ(hls_rows, 2) << json;
        ASSERT_EQ(rows.size(), 2u) << json;
        for (const char *agent : agents) {
            EXPECT_EQ(rows[agent].started, first[agent].started) << json;
            EXPECT_GE(rows[agent].segments, first[agent].segments) << json;
        }
        EXPECT_TRUE(players[0].running() && players[1].running());
    }
    for (const char *agent : agents)
        EXPECT_GT(rows[agent].segments, first[agent].segments) << agent << ": " << json;
    for (child_run &p : players)
        p.kill_now();
    ASSERT_TRUE(d.script.signal(SIGTERM));
    EXPECT_TRUE(d.script.wait_exit(STOP_MS));
}

} // namespace
