// The Windows fetcher as a peer: inside a network namespace of the test's own, a Linux
// broadcaster with a real source, a Linux viewer system and a Windows viewer system
// (KVT-Marshal.exe with its KVT-Fetcher.exe under Wine, in a Wine prefix whose
// wineserver runs in the namespace: Wine makes its sockets there) fetch the channel from
// the swarm. A player watches /stream on the Windows supervisor for 60 s, the Windows
// viewer's chunk files must be the broadcaster's, then the movie opens through it.
// scripts/test-windows.sh runs it with VARNEX_WINE (wine64), VARNEX_WINESERVER and
// VARNEX_WIN_BIN (the Windows programs) set; without them it is skipped.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/system/swarm_world.h"

namespace {

enum { WATCH_S = 60, WIN = 2 }; // the Windows viewer has address and ports of system 2

const char *env(const char *name) {
    const char *v = getenv(name);
    return v && *v ? v : nullptr;
}

// "Z:\..." for a Linux path: Wine's drive Z: is the root folder.
std::string win_path(const std::string &p) {
    std::string w = "Z:" + p;
    for (char &c : w)
        if (c == '/') c = '\\';
    return w;
}

std::string tail_of(const std::string &log) {
    return log.size() > 3000 ? log.substr(log.size() - 3000) : log;
}

// The number after "key": in a JSON text, from its first occurrence; -1 without one.
long long json_number(const std::string &json, const std::string &key) {
    size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : atoll(json.c_str() + at + key.size() + 3);
}

} // namespace

TEST(WineSwarm, WindowsViewerPlaysFromTheSwarm) {
    const char *wine = env("VARNEX_WINE"), *wineserver = env("VARNEX_WINESERVER"),
               *win_bin = env("VARNEX_WIN_BIN");
    if (!wine || !wineserver || !win_bin) GTEST_SKIP() << "run by scripts/test-windows.sh";
    if (geteuid() != 0 || !std::filesystem::exists("/usr/bin/opentracker"))
        GTEST_SKIP() << "needs root and opentracker";
    swarm_world sw;
    ASSERT_TRUE(sw.start(1)) << read_text_file(sw.world.path("ns.log")) << sw.log(0);

    // The Windows viewer system: its programs, sources and options, registry and account.
    const std::string w = sw.world.path("win"), bin = w + "/bin", prefix = w + "/prefix",
                      log = w + "/marshal.log";
    make_dirs(bin);
    for (const char *p : {"KVT-Marshal.exe", "KVT-Fetcher.exe", "KVT-Relay.exe", "KVT-Cinema.exe"})
        std::filesystem::copy_file(std::string(win_bin) + "/" + p, bin + "/" + p);
    const std::string feed = "http://" + sw.ip(0) + ":7000/";
    write_text_file(bin + "/KVT-Sources.txt", "7\tswarm:" + feed + "7\tkey=" + sw.pub +
                                                  "\r\n900\tswarm:" + feed + "900\tkey=" + sw.pub +
                                                  "\r\n");
    write_text_file(bin + "/KVT-Fetcher.options",
                    "-swarm_listen=" + sw.ip(WIN) + ":6881\r\n-trace\r\n");
    const std::string password = "0123456789abcdef0123456789abcdef01234567";
    write_text_file(w + "/accounts.txt", "4242 " + password + "\n");
    write_text_file(w + "/varnex.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\r\n"
                                       "\"CachePath\"=\"C:\\\\varnex-cache\"\r\n"
                                       "\"UserName\"=dword:00001092\r\n\"Password\"=\"" +
                                           password + "\"\r\n");
    const int port = sw.port(WIN), qi_port = port + 1;
    sw.run_inside("win", "( export WINEPREFIX='" + prefix +
                             "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='\n'" + wine +
                             "' wineboot -i >/dev/null 2>&1; '" + wineserver + "' -w\nmkdir -p '" +
                             prefix + "/drive_c/varnex-cache'\n'" + wine + "' regedit /S '" +
                             win_path(w + "/varnex.reg") + "' >/dev/null 2>&1\n'" +
                             bin_path("varnex-qi-server") + "' -port=" + std::to_string(qi_port) +
                             " -accounts='" + w +
                             "/accounts.txt' -text='Wine swarm' -duration=8 -notify=1 >'" + w +
                             "/qi.log' 2>&1 &\ncd '" + bin + "' && exec '" + wine + "' '" + bin +
                             "/KVT-Marshal.exe' -port=" + std::to_string(port) +
                             " -host=127.0.0.1:" + std::to_string(qi_port) +
                             " -trace </dev/null >>'" + log + "' 2>&1 ) &\n");
    ASSERT_TRUE(wait_until(
        [&] { return read_text_file(log).find("Start listening on") != std::string::npos; },
        240000))
        << read_text_file(log) << read_text_file(sw.world.path("ns.log"));

    // A player on each viewer at once, 60 s.
    swarm_player players[2];
    const int systems[2] = {WIN, 1};
    for (int k = 0; k < 2; k++)
        players[k].start(
            "http://127.0.0.1:" + std::to_string(sw.port(systems[k])) + "/stream?cid=7",
            sw.world.path("player-" + std::to_string(k) + ".err"), WATCH_S, sw.in_net());
    for (int k = 0; k < 2; k++) {
        swarm_player &p = players[k];
        p.join();
        int64_t stall = 0;
        int bad = 0;
        p.judge(1000, &stall, &bad);
        printf("%s: %zu packets, longest stall %lld ms\n", p.url.c_str(), p.count(),
               (long long)stall);
        EXPECT_GT(p.count(), 1000u)
            << p.url << read_text_file(sw.world.path("player-" + std::to_string(k) + ".err"))
            << tail_of(read_text_file(log));
        EXPECT_LE(stall, 2000) << p.url;
        EXPECT_EQ(bad, 0) << p.url;
    }
    EXPECT_NE(read_text_file(log).find("CID=7 : fetched from the swarm of '" + feed + "7'"),
              std::string::npos)
        << tail_of(read_text_file(log));

    // The Windows viewer's chunk files are the broadcaster's, octet for octet.
    const std::string win_cache = prefix + "/drive_c/varnex-cache/vcache";
    std::map<int, std::string> b = chunk_files(sw.cache(0), 7);
    int same = 0, differ = 0;
    for (const auto &f : chunk_files(win_cache, 7)) {
        if (!b.count(f.first)) continue;
        const std::string x = read_text_file(f.second), y = read_text_file(b[f.first]);
        if (x.empty() || y.empty()) continue; // deleted by -keep meanwhile
        (x == y ? same : differ) += 1;
    }
    printf("Windows viewer: %d chunk files equal to the broadcaster's, %d differ\n", same, differ);
    EXPECT_GE(same, 8);
    EXPECT_EQ(differ, 0);

    // The two viewers fetched from each other too, as their status pages say.
    std::string win_status, linux_status;
    run_command(sw.in_net() + "curl -s --max-time 10 http://127.0.0.1:" + std::to_string(port) +
                    "/status.json",
                &win_status);
    run_command(sw.in_net() + "curl -s --max-time 10 http://127.0.0.1:" +
                    std::to_string(sw.port(1)) + "/status.json",
                &linux_status);
    const long long win_peers = json_number(win_status, "from_peers"),
                    linux_peers = json_number(linux_status, "from_peers");
    printf("from peers: Windows viewer %lld octets (from the broadcaster %lld), Linux viewer "
           "%lld (%lld)\n",
           win_peers, json_number(win_status, "from_broadcaster"), linux_peers,
           json_number(linux_status, "from_broadcaster"));
    EXPECT_NE(win_status.find("\"swarm\":[{\"cid\":7,\"role\":\"viewer\""), std::string::npos)
        << win_status;
    EXPECT_GT(win_peers + linux_peers, 0) << win_status << linux_status;

    // Then the movie opens through the Windows viewer, and arrives whole.
    const std::string movie_url = "http://127.0.0.1:" + std::to_string(port) + "/movie?cid=900";
    std::string probe;
    run_command(sw.in_net() +
                    "timeout -s KILL 60 ffprobe -v error -show_entries "
                    "stream=codec_type -of csv=p=0 '" +
                    movie_url + "'",
                &probe);
    EXPECT_NE(probe.find("video"), std::string::npos) << probe << tail_of(read_text_file(log));
    const std::string got = w + "/movie.avi";
    run_command(sw.in_net() + "curl -s --max-time 60 -o '" + got + "' '" + movie_url + "'",
                nullptr);
    const std::string movie = read_text_file(sw.dir(0) + "/media/movie.avi");
    ASSERT_GT(movie.size(), 100000u);
    EXPECT_TRUE(read_text_file(got) == movie) << "the movie through the Windows viewer";
    sw.stop();
}
