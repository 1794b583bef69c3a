// Live channels from real sources, end to end: ffmpeg sends an H.264/AAC test stream
// over UDP, as MPEG-TS over HTTP and as HLS (served by nginx), the demo system reads
// them through its KVT-Sources.txt, and players watch /stream and /hls through the
// supervisor. Faults: a sender killed and started again with a timestamp jump, an
// unreachable source and a garbage source. Everything on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "tests/support/test_support.h"
#include "tests/system/real_source.h"

namespace {

namespace fs = std::filesystem;

enum : int { WATCH_MS = 30000, START_MS = 90000 };

// A player: ffprobe lists every packet as it reads the address; the arrival time of
// each is kept beside its stream and decoding timestamp.
struct player {
    struct packet {
        int64_t at_ms;
        int stream;
        double dts;
    };
    std::string url, name;
    std::vector<packet> got;
    std::mutex lock;
    std::thread reader;
    std::atomic<bool> done{false};
    FILE *pipe = nullptr;

    // in_net: a command that runs what follows it in another network namespace.
    void start(const std::string &u, const std::string &err_path, int seconds,
               const std::string &in_net = "") {
        url = u;
        std::string cmd =
            in_net + "timeout -s KILL " + std::to_string(seconds) +
            " ffprobe -v error -show_entries packet=stream_index,dts_time -of csv=p=0 '" + url +
            "' 2>" + err_path;
        pipe = popen(cmd.c_str(), "r");
        reader = std::thread([this] {
            char line[256];
            while (pipe && fgets(line, sizeof line, pipe)) {
                int s = 0;
                double d = 0;
                if (sscanf(line, "%d,%lf", &s, &d) != 2) continue;
                std::lock_guard<std::mutex> l(lock);
                got.push_back({test_now_ms(), s, d});
            }
            done = true;
        });
    }
    void join() {
        if (reader.joinable()) reader.join();
        if (pipe) pclose(pipe);
        pipe = nullptr;
    }
    ~player() { join(); }

    // The longest time a player that starts playing prebuffer_ms after the first
    // packet waits with nothing to play; and whether any stream's timestamps went
    // back or jumped ahead more than 2 s. Both from packet `from` on.
    void judge(int64_t prebuffer_ms, int64_t *stall_ms, int *bad_steps, size_t from = 0) {
        std::lock_guard<std::mutex> l(lock);
        *stall_ms = 0;
        *bad_steps = 0;
        if (got.size() <= from) {
            *stall_ms = 1 << 30;
            return;
        }
        std::map<int, double> last;
        double first = -1, newest = -1;
        for (size_t i = from; i < got.size(); i++) {
            const packet &p = got[i];
            if (last.count(p.stream)) {
                double step = p.dts - last[p.stream];
                if (step < 0 || step > 2.0) (*bad_steps)++;
            }
            last[p.stream] = p.dts;
            if (first < 0) first = p.dts;
            // Before this packet came, the playhead may have passed what had come.
            int64_t play = p.at_ms - got[from].at_ms - prebuffer_ms;
            int64_t have = int64_t((newest - first) * 1000);
            if (newest >= 0 && play - have > *stall_ms) *stall_ms = play - have;
            newest = std::max(newest, p.dts);
        }
    }
    size_t count() {
        std::lock_guard<std::mutex> l(lock);
        return got.size();
    }
};

std::string run_text(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    return out;
}

// Every complete chunk file of cid in cache (at least min_files of them) is read by
// ffprobe to its end with more than 10 video frames decoded (a chunk starts where the
// source was, mid group of pictures, so the frames before its first key frame do not
// count). The newest is left out: it is made at its full size in zeros and filled as
// the source comes. A file -keep deletes meanwhile is gone, not broken.
void expect_chunks_decode(const std::string &cache, int cid, size_t min_files) {
    std::map<int, std::string> files = chunk_files(cache, cid);
    EXPECT_GE(files.size(), min_files + 1) << "CID=" << cid;
    if (!files.empty()) files.erase(std::prev(files.end()));
    for (const auto &f : files) {
        std::string out = run_text("ffprobe -v quiet -count_frames -select_streams v -show_entries "
                                   "stream=nb_read_frames -of csv=p=0 '" +
                                   f.second + "'; echo rc=$?");
        if (out.find("rc=0") == std::string::npos && !fs::exists(f.second)) continue;
        EXPECT_NE(out.find("rc=0"), std::string::npos) << f.second;
        EXPECT_GT(atoi(out.c_str()), 10) << f.second << ": " << out;
    }
}

uint16_t other_port(std::vector<uint16_t> &taken) {
    uint16_t p;
    do
        p = free_tcp_port();
    while (std::find(taken.begin(), taken.end(), p) != taken.end());
    taken.push_back(p);
    return p;
}

} // namespace

TEST(SystemSources, UdpHttpAndHlsChannelsPlayAndSurviveTheirFaults) {
    test_world world;
    std::vector<uint16_t> ports;
    const uint16_t port = other_port(ports), qi_port = other_port(ports),
                   udp_port = other_port(ports), http_port = other_port(ports),
                   nginx_port = other_port(ports), dead_port = other_port(ports),
                   rtp_port = other_port(ports), srt_port = other_port(ports);
    const std::string web = world.path("web");
    make_dirs(web + "/live");
    // Garbage: octets without a transport-stream sync.
    std::string junk(300000, '\0');
    for (size_t i = 0; i < junk.size(); i++)
        junk[i] = char((i * 7919 + i / 3) % 251 == 0x47 ? 1 : (i * 7919 + i / 3) % 251);
    ASSERT_TRUE(write_text_file(web + "/garbage.ts", junk));
    ASSERT_TRUE(write_text_file(
        world.path("nginx.conf"),
        "daemon off; master_process off; worker_processes 1; pid " + world.path("nginx.pid") +
            "; error_log " + world.path("nginx-error.log") +
            ";\nevents { worker_connections 64; }\nhttp { access_log off; client_body_temp_path " +
            world.path("nt") + "; proxy_temp_path " + world.path("nt") + "; fastcgi_temp_path " +
            world.path("nt") + "; uwsgi_temp_path " + world.path("nt") + "; scgi_temp_path " +
            world.path("nt") +
            ";\n types { application/vnd.apple.mpegurl m3u8; video/mp2t ts; }\n server { listen "
            "127.0.0.1:" +
            std::to_string(nginx_port) + "; root " + web + "; } }\n"));
    child_run nginx, udp_sender, http_sender, hls_sender, rtp_sender, srt_sender;
    ASSERT_TRUE(nginx.start(world, "/usr/sbin/nginx",
                            {"-c", world.path("nginx.conf"), "-p", world.root()}, "nginx.log"));
    const std::string udp_url = "udp://127.0.0.1:" + std::to_string(udp_port);
    ASSERT_TRUE(udp_sender.start(world, "/usr/bin/ffmpeg",
                                 sender_args("mpegts", "", udp_url + "?pkt_size=1316"),
                                 "udp-sender.log"));
    const std::string http_url = "http://127.0.0.1:" + std::to_string(http_port) + "/live.ts";
    ASSERT_TRUE(http_sender.start(world, "/usr/bin/ffmpeg", sender_args("mpegts", "", http_url),
                                  "http-sender.log"));
    ASSERT_TRUE(hls_sender.start(world, "/usr/bin/ffmpeg",
                                 sender_args("hls", "", web + "/live/index.m3u8"),
                                 "hls-sender.log"));
    // RTP carrying MPEG-TS, and SRT (the sender listens, the fetcher calls).
    const std::string rtp_url = "rtp://127.0.0.1:" + std::to_string(rtp_port);
    ASSERT_TRUE(rtp_sender.start(world, "/usr/bin/ffmpeg", sender_args("rtp_mpegts", "", rtp_url),
                                 "rtp-sender.log"));
    const std::string srt_url = "srt://127.0.0.1:" + std::to_string(srt_port);
    ASSERT_TRUE(srt_sender.start(world, "/usr/bin/ffmpeg",
                                 sender_args("mpegts", "", srt_url + "?mode=listener"),
                                 "srt-sender.log"));
    const std::string nginx_base = "http://127.0.0.1:" + std::to_string(nginx_port);
    ASSERT_TRUE(wait_until([&] { return fs::exists(web + "/live/index.m3u8"); }, 20000))
        << hls_sender.log();

    // CIDs 51 to 55; a bad line is skipped with its number.
    const std::string sources = world.path("sources.txt");
    ASSERT_TRUE(write_text_file(
        sources, "! test channels\n51\t" + udp_url + "\n52\t" + http_url + "\n53\t" + nginx_base +
                     "/live/index.m3u8\n54\thttp://127.0.0.1:" + std::to_string(dead_port) +
                     "/none.ts\n55\t" + nginx_base +
                     "/garbage.ts\nfifty-six\tudp://@239.1.1.1:5000\n56\t" + rtp_url + "\n57\t" +
                     srt_url + "\n"));
    setenv("VARNEX_DEMO_SOURCES", sources.c_str(), 1);
    const std::string dir = world.path("demo");
    std::string build = fs::path(bin_path("KVT-Marshal")).parent_path().parent_path().string();
    child_run demo;
    ASSERT_TRUE(demo.start_logged(VARNEX_DEMO_SCRIPT,
                                  {"--no-setup", "--modern", "--build-dir=" + build, "--dir=" + dir,
                                   "--port=" + std::to_string(port),
                                   "--qi-port=" + std::to_string(qi_port)},
                                  world.path("demo.log")));
    unsetenv("VARNEX_DEMO_SOURCES");
    ASSERT_TRUE(demo.wait_for_log("Press Ctrl-C to stop.\n", START_MS)) << demo.log();
    const std::string log_path = dir + "/logs/marshal.log";
    auto fetcher_log = [&] { return read_text_file(log_path); };
    const std::string cache = dir + "/cache/vcache";
    // Three complete chunks of every working channel before the HLS players start.
    ASSERT_TRUE(wait_until(
        [&] {
            for (int cid : {51, 52, 53, 56, 57})
                if (chunk_files(cache, cid).size() < 4) return false;
            return true;
        },
        60000))
        << fetcher_log();
    const std::string log_now = fetcher_log();
    EXPECT_NE(log_now.find("line 7 skipped: it does not start with a CID"), std::string::npos)
        << log_now;
    EXPECT_NE(log_now.find("CID=51 : source '" + udp_url + "' receiving (passed through)"),
              std::string::npos);
    EXPECT_NE(log_now.find("CID=52 : source '" + http_url + "' receiving (passed through)"),
              std::string::npos);
    EXPECT_NE(
        log_now.find("CID=53 : source '" + nginx_base + "/live/index.m3u8' receiving (remuxed)"),
        std::string::npos);
    EXPECT_NE(log_now.find("CID=56 : source '" + rtp_url + "' receiving (remuxed)"),
              std::string::npos);
    EXPECT_NE(log_now.find("CID=57 : source '" + srt_url + "' receiving (passed through)"),
              std::string::npos);
    EXPECT_NE(log_now.find("CID=54 : source 'http://127.0.0.1:" + std::to_string(dead_port) +
                           "/none.ts' failing (open: Connection refused)"),
              std::string::npos);
    EXPECT_NE(log_now.find("CID=55 : source '" + nginx_base +
                           "/garbage.ts' failing (no MPEG-TS sync in 65536 octets, refused)"),
              std::string::npos);

    // Players on /stream and /hls of every channel at once, for 30 s; the one on the
    // UDP channel's stream watches on through the fault below.
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    player players[6];
    const int cids[3] = {51, 52, 53};
    for (int i = 0; i < 3; i++) {
        const std::string c = std::to_string(cids[i]);
        players[2 * i].start(base + "/stream?cid=" + c, world.path("stream-" + c + ".err"),
                             i == 0 ? 75 : WATCH_MS / 1000);
        players[2 * i + 1].start(base + "/hls?cid=" + c, world.path("hls-" + c + ".err"),
                                 WATCH_MS / 1000);
    }
    for (int i = 1; i < 6; i++)
        players[i].join();
    for (int i = 1; i < 6; i++) {
        int64_t stall = 0;
        int bad = 0;
        // A stream player buffers 1 s, an HLS one its first segment (6 s).
        players[i].judge(i % 2 ? 6000 : 1000, &stall, &bad);
        EXPECT_GT(players[i].count(), 1000u) << players[i].url;
        EXPECT_LE(stall, 2000) << players[i].url;
        EXPECT_EQ(bad, 0) << players[i].url;
    }
    int64_t stall = 0;
    int bad = 0;
    players[0].judge(1000, &stall, &bad);
    EXPECT_LE(stall, 2000) << players[0].url;
    EXPECT_EQ(bad, 0) << players[0].url;

    // The UDP sender killed for 10 s, then started again 5000 s further on: the
    // channel goes on, its timestamps carried on, and the player still connected plays on.
    const size_t before = players[0].count();
    udp_sender.kill_now();
    os_sleep_ms(10000);
    child_run udp_again;
    ASSERT_TRUE(udp_again.start(world, "/usr/bin/ffmpeg",
                                sender_args("mpegts", "5000", udp_url + "?pkt_size=1316"),
                                "udp-again.log"));
    EXPECT_TRUE(wait_until(
        [&] {
            return fetcher_log().find("CID=51 : source '" + udp_url +
                                      "' waiting (no data for 5 s)") != std::string::npos;
        },
        5000));
    EXPECT_TRUE(wait_until([&] { return players[0].count() > before + 1500; }, 30000))
        << players[0].url;
    {
        std::lock_guard<std::mutex> l(players[0].lock);
        ASSERT_GT(players[0].got.size(), before);
    }
    players[0].judge(1000, &stall, &bad, before);
    EXPECT_EQ(bad, 0) << "timestamps after the restart";
    const std::string after = fetcher_log();
    size_t w = after.find("CID=51 : source '" + udp_url + "' waiting");
    EXPECT_NE(after.find("CID=51 : source '" + udp_url + "' receiving", w), std::string::npos);
    // The other channels kept going meanwhile; the failing ones logged once each.
    size_t count54 = 0;
    for (size_t at = after.find("CID=54 : source"); at != std::string::npos;
         at = after.find("CID=54 : source", at + 1))
        count54++;
    EXPECT_EQ(count54, 1u) << "one line per change of state, not per try";
    players[0].join();

    // The status page shows every configured channel with its state.
    const std::string status = http_exchange(port, "GET /status.json HTTP/1.0\r\n\r\n", 5000);
    EXPECT_NE(status.find("{\"cid\":51,\"url\":\"" + udp_url + "\",\"state\":\"receiving\""),
              std::string::npos)
        << status;
    EXPECT_NE(status.find("{\"cid\":54,"), std::string::npos) << status;
    EXPECT_NE(status.find("\"state\":\"failing\",\"reason\":\"open: Connection refused\""),
              std::string::npos)
        << status;
    const std::string html = http_exchange(port, "GET /status HTTP/1.0\r\n\r\n", 5000);
    EXPECT_NE(html.find("<h2>Live sources</h2>"), std::string::npos) << html;

    // Every chunk file of the channels decodes.
    for (int cid : {51, 52, 53, 56, 57})
        expect_chunks_decode(cache, cid, 5);
    demo.signal(SIGTERM);
    demo.wait_exit(15000);
}

// A multicast channel end to end inside a network namespace of the test's own
// (nothing leaves it): the sender, the supervisor and the fetcher run in it, the
// fetcher joins the group, and two players entering that namespace watch /stream and
// /hls (the demo's opt-in modes: the standard live playlist) through the supervisor
// for 30 s with no stall over 2 s and no timestamp error; every chunk file decodes.
TEST(SystemSources, MulticastChannelPlaysInItsOwnNetwork) {
    if (!fs::exists("/usr/bin/unshare") || !fs::exists("/usr/bin/nsenter"))
        GTEST_SKIP() << "no unshare or nsenter";
    test_world world;
    std::vector<uint16_t> ports;
    const uint16_t port = other_port(ports), qi_port = other_port(ports),
                   group_port = other_port(ports);
    const std::string group_url = "udp://239.255.0.8:" + std::to_string(group_port);
    std::string sender = "/usr/bin/ffmpeg";
    for (const std::string &a :
         sender_args("mpegts", "", group_url + "?ttl=1&pkt_size=1316", WATCH_MS / 1000 + 120))
        sender += " '" + a + "'";
    const std::string sources = world.path("sources.txt");
    ASSERT_TRUE(
        write_text_file(sources, "61\tudp://@239.255.0.8:" + std::to_string(group_port) + "\n"));
    const std::string dir = world.path("demo");
    const std::string build =
        fs::path(bin_path("KVT-Marshal")).parent_path().parent_path().string();
    std::string demo_cmd = "exec '" VARNEX_DEMO_SCRIPT "'";
    for (const std::string &a :
         {std::string("--no-setup"), std::string("--modern"), "--build-dir=" + build,
          "--dir=" + dir, "--port=" + std::to_string(port), "--qi-port=" + std::to_string(qi_port)})
        demo_cmd += " '" + a + "'";
    const std::string script =
        "ip link set lo up && ip link set lo multicast on && ip route add 239.0.0.0/8 dev lo && "
        "{ " +
        sender + " >" + world.path("sender.log") + " 2>&1 & echo $! >" + world.path("sender.pid") +
        "; } && " + demo_cmd;
    setenv("VARNEX_DEMO_SOURCES", sources.c_str(), 1);
    child_run demo;
    ASSERT_TRUE(demo.start_logged("/usr/bin/unshare", {"--net", "sh", "-c", script},
                                  world.path("demo.log")));
    unsetenv("VARNEX_DEMO_SOURCES");
    ASSERT_TRUE(demo.wait_for_log("Press Ctrl-C to stop.\n", START_MS)) << demo.log();
    const std::string log_path = dir + "/logs/marshal.log";
    ASSERT_TRUE(
        wait_until([&] { return chunk_files(dir + "/cache/vcache", 61).size() >= 4; }, 60000))
        << read_text_file(log_path);
    EXPECT_NE(read_text_file(log_path).find(
                  "CID=61 : source 'udp://@239.255.0.8:" + std::to_string(group_port) +
                  "' receiving (passed through)"),
              std::string::npos)
        << read_text_file(log_path);

    const std::string base = "http://127.0.0.1:" + std::to_string(port),
                      in_net = "nsenter --target " + std::to_string(demo.pid) + " --net ";
    player players[2];
    players[0].start(base + "/stream?cid=61", world.path("stream-61.err"), WATCH_MS / 1000, in_net);
    players[1].start(base + "/hls?cid=61", world.path("hls-61.err"), WATCH_MS / 1000, in_net);
    for (int i = 0; i < 2; i++) {
        players[i].join();
        int64_t stall = 0;
        int bad = 0;
        // A stream player buffers 1 s, an HLS one its first segment (6 s).
        players[i].judge(i ? 6000 : 1000, &stall, &bad);
        EXPECT_GT(players[i].count(), 1000u) << players[i].url;
        EXPECT_LE(stall, 2000) << players[i].url;
        EXPECT_EQ(bad, 0) << players[i].url;
        printf("multicast %s: %zu packets in %d s, longest stall %lld ms, bad steps %d\n",
               players[i].url.c_str(), players[i].count(), WATCH_MS / 1000, (long long)stall, bad);
    }
    expect_chunks_decode(dir + "/cache/vcache", 61, 4);
    demo.signal(SIGTERM);
    demo.wait_exit(15000);
    // The sender outlives the demo's shell, which exec'd the demo: ended here.
    const int sender_pid = atoi(read_text_file(world.path("sender.pid")).c_str());
    if (sender_pid > 1) kill(sender_pid, SIGKILL);
}
