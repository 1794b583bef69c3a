// The real supervisor with the real fetcher: cache directory rules, streamer command
// lines, the 640-octet start and stop messages as the fetcher receives them, fetcher
// restarts and the orderly stop after 13 failed ones, and the QI socket handed over.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "marshal_world.h"
#include "platform/os.h"
#include "platform/registry.h"

namespace {

const char default_hosts[] = "127.0.0.1,127.0.0.2,127.0.0.3";

// Fetcher options kept next to it: raw copies of every received message.
void fetcher_dumps_to(marshal_world &w, const std::string &folder) {
    make_dirs(folder);
    write_text_file(w.bin + "/KVT-Fetcher.options", "-dump=" + folder + "\n");
}

std::string message_file(const std::string &folder, int n) {
    char name[32];
    snprintf(name, sizeof name, "/msg-%04d.bin", n);
    return folder + name;
}

// Waits until a dumped message has been written whole (the fetcher creates the file
// before it writes the 640 octets).
bool wait_file(const std::string &path, int timeout_ms) {
    int64_t end = test_now_ms() + timeout_ms;
    do {
        if (read_text_file(path).size() >= 640) return true;
        os_sleep_ms(50);
    } while (test_now_ms() < end);
    return false;
}

// The 640 octets a start (command 1) or stop (command 0) message must hold.
std::string expected_message(int32_t cid, int32_t qi_sock, int32_t command, const char *list) {
    std::string m(640, '\0');
    memcpy(&m[0], &cid, 4);
    memcpy(&m[4], &qi_sock, 4);
    memcpy(&m[8], &command, 4);
    m[12] = char(strlen(list));
    memcpy(&m[13], list, strlen(list));
    return m;
}

int pid_after(const std::string &log, const std::string &key, int nth) {
    size_t at = 0;
    for (int i = 0; i < nth; i++) {
        at = log.find(key, i ? at + 1 : 0);
        if (at == std::string::npos) return -1;
    }
    return atoi(log.c_str() + at + key.size());
}

bool greeted(player_conn &p) {
    return p.read_until("child ", 5000);
}

} // namespace

TEST(MarshalStartup, CacheDirectoryFromRegistryOptionOrTemp) {
    marshal_world w;
    const std::string vcache = std::string("/vcache");

    // No key at all: TEMP and vcache.
    ASSERT_TRUE(w.start({}, "none.log"));
    EXPECT_EQ(w.count("%MRSHL-E: Registry key 'HKLM\\SOFTWARE\\Varnex' not found\n"), 1);
    EXPECT_EQ(w.count("%MRSHL-I: Cache dir path : " + w.world.temp_dir() + vcache + "\n"), 1);
    EXPECT_TRUE(std::filesystem::is_directory(w.world.temp_dir() + vcache));

    // The key without CachePath.
    reg_key k;
    ASSERT_TRUE(reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", true, &k));
    ASSERT_TRUE(reg_set_dword(&k, "UserName", 7));
    ASSERT_TRUE(w.start({}, "nopath.log"));
    EXPECT_EQ(w.count("%MRSHL-E: Registry key 'HKLM\\SOFTWARE\\Varnex\\CachePath' -> "), 1);
    EXPECT_EQ(w.count("%MRSHL-I: Cache dir path : " + w.world.temp_dir() + vcache + "\n"), 1);

    // CachePath D gives D/vcache, an existing directory is no error.
    const std::string d = w.world.path("store");
    make_dirs(d + vcache);
    ASSERT_TRUE(reg_set_string(&k, "CachePath", d.c_str()));
    reg_close(&k);
    ASSERT_TRUE(w.start({}, "registry.log"));
    EXPECT_EQ(w.count("%MRSHL-I: Cache dir path : " + d + vcache + "\n"), 1);
    // The fetcher receives it whole (the supervisor's listing is the first line).
    EXPECT_TRUE(w.wait_count(
        "dir[0:" + std::to_string(d.size() + vcache.size()) + "] ='" + d + vcache + "'", 2, 5000));

    // -dir replaces it unchanged, blanks, a double quote and a last backslash included.
    const std::string name = "my \"cache\\";
    const std::string x = w.world.path(name);
    ASSERT_TRUE(w.start({"-dir=" + x, "-trace"}, "option.log"));
    EXPECT_EQ(w.count("%MRSHL-I: Cache dir path : " + x + "\n"), 1);
    EXPECT_TRUE(std::filesystem::is_directory(x));
    EXPECT_EQ(w.count("] MRSHL: Directory " + x + " was created\n"), 1) << w.log();
    EXPECT_EQ(w.count("] MRSHL: Command Line for KVT-Fetcher: KVT-Fetcher -dir=\"" +
                      x.substr(0, x.size() - name.size()) +
                      "my \\\"cache\\\\\" -keep=67 -peer_id="),
              1)
        << w.log();
    EXPECT_TRUE(w.wait_count("dir[0:" + std::to_string(x.size()) + "] ='" + x + "'", 2, 5000))
        << w.log();

    // A directory whose parent is missing ends the start-up with 4.
    const std::string bad = w.world.path("missing/vcache");
    EXPECT_FALSE(w.start({"-dir=" + bad}, "bad.log"));
    int code = -1;
    ASSERT_TRUE(w.sup->wait_exit(5000, &code));
    EXPECT_EQ(code, 4);
    EXPECT_EQ(w.count("%MRSHL-F: Creation dir '" + bad + "' failure : "), 1) << w.log();
    EXPECT_EQ(w.count("Failed to start KVT-Fetcher"), 0);
}

// A cache folder another user could have made or can fill (writable by others, or a
// link to elsewhere) is refused at start-up by the supervisor and by the fetcher; a
// new one is made private.
TEST(MarshalStartup, UnsafeCacheFolderIsRefused) {
    marshal_world w;
    const std::string shared = w.world.path("shared"), link = w.world.path("link");
    ASSERT_TRUE(make_dirs(shared));
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    ASSERT_EQ(symlink(w.world.temp_dir().c_str(), link.c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> bad = {
        {shared, "can be written by other users"}, {link, "is a link or not a folder"}};
    for (const auto &b : bad) {
        EXPECT_FALSE(w.start({"-dir=" + b.first}, "refused.log"));
        int code = -1;
        ASSERT_TRUE(w.sup->wait_exit(10000, &code));
        EXPECT_EQ(code, 4);
        EXPECT_EQ(w.count("%MRSHL-F: Cache folder '" + b.first + "' " + b.second +
                          ": the cache must be a real folder of this user that no other user "
                          "can write\n"),
                  1)
            << w.log();
        EXPECT_EQ(w.count("KVT-Fetcher was started"), 0) << w.log();
    }
    child_run f;
    ASSERT_TRUE(f.start(w.world, bin_path("KVT-Fetcher"), {"-dir=" + shared}, "fetcher.log"));
    int code = -1;
    ASSERT_TRUE(f.wait_exit(10000, &code)) << f.log();
    EXPECT_EQ(code, 4);
    EXPECT_NE(f.log().find("Cache folder '" + shared + "' can be written by other users"),
              std::string::npos)
        << f.log();

    const std::string fresh = w.world.path("fresh");
    ASSERT_TRUE(w.start({"-dir=" + fresh})) << w.log();
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// A port beyond 16 bits or below 1 would listen on another port (82225 on 16689):
// refused before anything starts, for the QI test server as well.
TEST(MarshalStartup, PortOptionsOutsideTheRangeAreRefused) {
    marshal_world w;
    const std::vector<std::pair<std::string, std::string>> bad = {{"port", "82225"},
                                                                  {"port", "-1"},
                                                                  {"port", "0"},
                                                                  {"port_min", "65536"},
                                                                  {"port_max", "-6889"}};
    for (const auto &o : bad) {
        const std::string name = o.first + o.second + ".log";
        EXPECT_FALSE(w.start({"-" + o.first + "=" + o.second}, name)) << name;
        int code = -1;
        ASSERT_TRUE(w.sup->wait_exit(10000, &code)) << name;
        EXPECT_EQ(code, 4) << name;
        EXPECT_EQ(w.count("%MRSHL-F: Illegal port " + o.second + " in option -" + o.first +
                          ", allowed 1 to 65535\n"),
                  1)
            << w.log();
        EXPECT_EQ(w.count("Start listening"), 0) << w.log();
        EXPECT_EQ(w.count("KVT-Fetcher was started"), 0) << w.log();
    }
    if (!std::filesystem::exists(bin_path("varnex-qi-server"))) return;
    child_run qi;
    ASSERT_TRUE(qi.start(w.world, bin_path("varnex-qi-server"), {"-port=70000"}, "qi.log"));
    int code = -1;
    ASSERT_TRUE(qi.wait_exit(10000, &code));
    EXPECT_EQ(code, 4);
    EXPECT_NE(qi.log().find("Illegal port 70000 in option -port, allowed 1 to 65535\n"),
              std::string::npos)
        << qi.log();
    EXPECT_EQ(qi.log().find("listening"), std::string::npos) << qi.log();
}

TEST(MarshalChildren, StartAndStopMessagesAsTheFetcherGetsThem) {
    marshal_world w;
    const std::string dumps = w.world.path("dumps");
    fetcher_dumps_to(w, dumps);
    const std::string name = "my \"cache\\";
    const std::string cache = w.world.path(name);
    // The same path as a command line carries it: quoted, by the C run-time's rules.
    const std::string quoted =
        "\"" + cache.substr(0, cache.size() - name.size()) + "my \\\"cache\\\\\"";
    tray_listener tray;
    ASSERT_TRUE(w.start({"-dir=" + cache}));
    EXPECT_TRUE(tray.wait_text("Varnex SwarmNode is Up & Running", 5000));

    // First streamer of CID 12, with a sid: no QI, QI socket -1, zeros as share info.
    player_conn p1;
    ASSERT_TRUE(
        p1.open(w.port, "GET /stream?cid=12&sid=abc HTTP/1.1\r\nUser-Agent: P/1 (X)\r\n\r\n"));
    ASSERT_TRUE(greeted(p1)) << w.log();
    int sd1 = w.last_sd();
    ASSERT_TRUE(w.wait_started(1, 5000));
    EXPECT_EQ(w.started()[0],
              (std::vector<std::string>{"KVT-Relay", "-chan=" + std::to_string(sd1), "-cid=12",
                                        "-dir=" + cache, "-delay=5", "-sid=abc", "-chunk=0"}));
    ASSERT_TRUE(wait_file(message_file(dumps, 1), 5000));
    EXPECT_EQ(read_text_file(message_file(dumps, 1)), expected_message(12, -1, 1, default_hosts));
    EXPECT_TRUE(
        w.wait_count(std::string("%FETCH-I: Got message: command=1 CID=12 qi_sock=-1 list='") +
                         default_hosts + "' share=zeros\n",
                     1, 3000));

    // A second streamer of CID 12 (HLS with a chunk) is accepted without the pause.
    int64_t asked = test_now_ms();
    player_conn p2;
    ASSERT_TRUE(p2.open(w.port, "GET /hls?cid=12&sid=abc&chunk=7 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(p2));
    EXPECT_LT(test_now_ms() - asked, 3500);
    ASSERT_TRUE(w.wait_started(2, 5000));
    EXPECT_EQ(w.started()[1], (std::vector<std::string>{
                                  "KVT-Relay", "-chan=" + std::to_string(w.last_sd()), "-cid=12",
                                  "-dir=" + cache, "-delay=5", "-sid=abc", "-chunk=7", "-hls"}));
    // The start line (severity 1, flushed with the next line) keeps the two blanks.
    EXPECT_EQ(w.count("%MRSHL-S: KVT-Relay -chan=" + std::to_string(sd1) + " -cid=12 -dir=" +
                      quoted + " -delay=5 -sid=abc -chunk=0   was started: PID = "),
              1)
        << w.log();
    ASSERT_TRUE(wait_file(message_file(dumps, 2), 5000));
    EXPECT_EQ(read_text_file(message_file(dumps, 2)), expected_message(12, -1, 1, default_hosts));

    // The HLS one ends first: CID 12 is still served, no stop message.
    p2.close();
    ASSERT_TRUE(w.wait_count("%MRSHL-I: KVT-Relay/KVT-Cinema has stopped, PID = ", 1, 5000));

    // A movie from beyond 4 GiB reaches the movie streamer whole.
    player_conn p3;
    ASSERT_TRUE(p3.open(w.port, "GET /movie?cid=77&sid=m&qi=127.0.0.9 HTTP/1.1\r\n"
                                "Range: bytes=5000000000-\r\n\r\n"));
    ASSERT_TRUE(greeted(p3));
    ASSERT_TRUE(w.wait_started(3, 5000));
    EXPECT_EQ(w.started()[2],
              (std::vector<std::string>{"KVT-Cinema", "-chan=" + std::to_string(w.last_sd()),
                                        "-cid=77", "-pos=5000000000", "-dir=" + cache}));
    ASSERT_TRUE(wait_file(message_file(dumps, 3), 5000));
    EXPECT_EQ(read_text_file(message_file(dumps, 3)), expected_message(77, -1, 1, "127.0.0.9"));

    // The last streamer of CID 12, a continuous stream, ends: one stop message at
    // once, octets 4..11 zero.
    p1.close();
    ASSERT_TRUE(wait_file(message_file(dumps, 4), 5000));
    EXPECT_EQ(read_text_file(message_file(dumps, 4)), expected_message(12, 0, 0, default_hosts));
    EXPECT_EQ(w.count("%MRSHL-I: Send 'stop downloading' CID=12 (640 bytes)\n"), 1);
    p3.close();
    ASSERT_TRUE(wait_file(message_file(dumps, 5), 5000));
    EXPECT_EQ(read_text_file(message_file(dumps, 5)), expected_message(77, 0, 0, "127.0.0.9"));
    os_sleep_ms(300);
    EXPECT_FALSE(std::filesystem::exists(message_file(dumps, 6)));

    // Trace lines only while tracing.
    EXPECT_EQ(w.count("[KVT-MARSH\\"), 0);

    // No start-streaming notification for sid requests.
    for (auto &t : tray.texts())
        EXPECT_EQ(t.find("Start streaming"), std::string::npos) << t;
}

TEST(MarshalChildren, FetcherRestartsThenSupervisorStopsAfter13Failures) {
    marshal_world w;
    tray_listener tray;
    ASSERT_TRUE(w.start({}));
    player_conn p;
    ASSERT_TRUE(p.open(w.port, "GET /stream?cid=5&sid=s HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(p));
    ASSERT_TRUE(w.wait_count("%FETCH-I: Got message: command=1 CID=5 ", 1, 3000));

    // Killed: restarted at once, and the running streamer is announced again.
    const std::string started = "/KVT-Fetcher was started with PID = ";
    int first = pid_after(w.log(), started, 1);
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_TRUE(w.wait_count("%MRSHL-E: KVT-Fetcher (PID=" + std::to_string(first) +
                                 ")  has stopped, trying to restart...\n",
                             1, 5000));
    EXPECT_TRUE(w.wait_count("%MRSHL-S: Fetcher connected to Marshal\n", 2, 10000));
    EXPECT_TRUE(w.wait_count("%MRSHL-I: Send 'start downloading' CID=5 (640 bytes)\n", 1, 3000));
    EXPECT_TRUE(w.wait_count("%FETCH-I: Got message: command=1 CID=5 ", 2, 3000)) << w.log();

    // Killed again with its program gone: 13 failed restarts, then an orderly stop.
    int second = pid_after(w.log(), started, 2);
    ASSERT_GT(second, 0);
    std::filesystem::remove(w.bin + "/KVT-Fetcher");
    ASSERT_EQ(kill(second, SIGKILL), 0);
    ASSERT_TRUE(
        w.wait_count("%MRSHL-E: Failed to restart KVT-Fetcher 13 times, aborting...\n", 1, 30000))
        << w.log();
    std::string log = w.log();
    size_t at = 0;
    for (int i = 1; i <= 13; i++) {
        at = log.find("%MRSHL-E: Failed to restart KVT-Fetcher, retry in 1 seconds (" +
                          std::to_string(i) + "/13)\n",
                      at);
        ASSERT_NE(at, std::string::npos) << i;
    }
    EXPECT_TRUE(w.wait_count("%MRSHL-I: Child processes monitor was stopped\n", 1, 5000));
    // The accept loop sees the stop status after its next connection.
    EXPECT_NE(http_exchange(w.port, "GET /verify HTTP/1.1\r\n\r\n", 8000), "");
    int code = -1;
    ASSERT_TRUE(w.sup->wait_exit(10000, &code)) << w.log();
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(tray.wait_text("Varnex SwarmNode stopped", 3000));
}

TEST(MarshalChildren, QiSessionIsHandedToTheFetcher) {
    if (!std::filesystem::exists(bin_path("varnex-qi-server"))) GTEST_SKIP() << "no QI server";
    marshal_world w;
    const std::string dumps = w.world.path("dumps");
    fetcher_dumps_to(w, dumps);
    const char password[] = "0123456789abcdef0123456789abcdef01234567";
    reg_key k;
    ASSERT_TRUE(reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", true, &k));
    ASSERT_TRUE(reg_set_dword(&k, "UserName", 4242));
    ASSERT_TRUE(reg_set_string(&k, "Password", password));
    reg_close(&k);
    uint16_t qi_port = free_tcp_port();
    child_run qi;
    ASSERT_TRUE(qi.start_logged(bin_path("varnex-qi-server"),
                                {"-port=" + std::to_string(qi_port),
                                 std::string("-account=4242:") + password, "-text=Test Channel",
                                 "-notify=1"},
                                w.world.path("qi.log")));
    ASSERT_TRUE(qi.wait_for_log("listening", 5000));
    tray_listener tray;
    const std::string list = "127.0.0.1:" + std::to_string(qi_port);
    ASSERT_TRUE(w.start({"-host=" + list}));

    player_conn p;
    ASSERT_TRUE(p.open(w.port, "GET /stream?cid=21 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(p)) << w.log();
    ASSERT_TRUE(w.wait_count("%FETCH-I: Got message: command=1 CID=21 qi_sock=", 1, 5000));
    EXPECT_EQ(w.count("list='" + list + "' share=yes\n"), 1) << w.log();
    EXPECT_TRUE(w.wait_count("%FETCH-I: QI CID=21 : took over QI socket ", 1, 3000));
    EXPECT_TRUE(w.wait_count("%FETCH-I: QI CID=21 : PDU code=16, ", 1, 5000)) << w.log();
    EXPECT_TRUE(tray.wait_text("Start streaming CID=21 (Test Channel)", 3000));
    ASSERT_TRUE(wait_file(message_file(dumps, 1), 3000));
    std::string start = read_text_file(message_file(dumps, 1));
    ASSERT_EQ(start.size(), 640u);
    EXPECT_NE(start.substr(268), std::string(372, '\0'));

    // The last streamer ends: the fetcher closes its copy on the stop message.
    p.close();
    EXPECT_TRUE(w.wait_count("%FETCH-I: QI CID=21 : closed QI socket ", 1, 5000)) << w.log();
    ASSERT_TRUE(wait_file(message_file(dumps, 2), 3000));
    std::string stop = read_text_file(message_file(dumps, 2));
    ASSERT_EQ(stop.size(), 640u);
    EXPECT_EQ(stop.substr(4, 8), std::string(8, '\0'));
    EXPECT_EQ(stop.substr(268), std::string(372, '\0'));
}

// HLS keeps its channel: the stop after a playlist or chunk streamer is held for its
// target duration (QI duration 7 + 2 s) and cancelled by the next request of the CID;
// it goes out once when the hold expires, and at once when the supervisor stops.
TEST(MarshalChildren, HlsStopIsHeldForTheTargetDuration) {
    if (!std::filesystem::exists(bin_path("varnex-qi-server"))) GTEST_SKIP() << "no QI server";
    marshal_world w;
    const std::string dumps = w.world.path("dumps");
    fetcher_dumps_to(w, dumps);
    const char password[] = "0123456789abcdef0123456789abcdef01234567";
    reg_key k;
    ASSERT_TRUE(reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", true, &k));
    ASSERT_TRUE(reg_set_dword(&k, "UserName", 4242));
    ASSERT_TRUE(reg_set_string(&k, "Password", password));
    reg_close(&k);
    uint16_t qi_port = free_tcp_port();
    child_run qi;
    ASSERT_TRUE(qi.start_logged(bin_path("varnex-qi-server"),
                                {"-port=" + std::to_string(qi_port),
                                 std::string("-account=4242:") + password, "-duration=7"},
                                w.world.path("qi.log")));
    ASSERT_TRUE(qi.wait_for_log("listening", 5000));
    ASSERT_TRUE(w.start({"-host=127.0.0.1:" + std::to_string(qi_port)}));
    const std::string stop_line = "%MRSHL-I: Send 'stop downloading' CID=31 (640 bytes)\n";

    // The playlist, then its segment with the playlist relay's sid.
    player_conn list;
    ASSERT_TRUE(list.open(w.port, "GET /hls?cid=31 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(list)) << w.log();
    list.close();
    ASSERT_TRUE(
        w.wait_count("%MRSHL-I: Holding 'stop downloading' CID=31 for 9000 ms (HLS)\n", 1, 5000))
        << w.log();
    int64_t segment_asked = test_now_ms();
    player_conn segment;
    ASSERT_TRUE(segment.open(w.port, "GET /hls.chunk.ts?cid=31&sid=99&chunk=5 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(segment));
    EXPECT_TRUE(w.wait_count("cancelled: the CID is served again\n", 1, 5000)) << w.log();
    segment.close();
    ASSERT_TRUE(w.wait_count("Holding 'stop downloading' CID=31", 2, 5000));
    int64_t held_at = test_now_ms();
    EXPECT_EQ(w.count(stop_line), 0) << w.log();
    EXPECT_EQ(w.count("%FETCH-I: QI CID=31 : closed QI socket "), 0);

    // The hold runs out: exactly one stop, and the fetcher closes its QI session.
    ASSERT_TRUE(w.wait_count(stop_line, 1, 20000)) << w.log();
    EXPECT_GE(test_now_ms() - held_at, 8000);
    EXPECT_GT(test_now_ms() - segment_asked, 8000);
    EXPECT_TRUE(w.wait_count("%FETCH-I: QI CID=31 : closed QI socket ", 1, 5000)) << w.log();
    ASSERT_TRUE(wait_file(message_file(dumps, 3), 3000));
    EXPECT_EQ(read_text_file(message_file(dumps, 3)).substr(0, 12),
              expected_message(31, 0, 0, "").substr(0, 12));
    os_sleep_ms(2500);
    EXPECT_EQ(w.count(stop_line), 1);
    EXPECT_FALSE(std::filesystem::exists(message_file(dumps, 4)));

    // Held again, then the supervisor stops (a streamer it cannot start): the held
    // stop goes out at once, before the hold would have run out.
    ASSERT_TRUE(list.open(w.port, "GET /hls?cid=31 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(greeted(list));
    list.close();
    ASSERT_TRUE(w.wait_count("Holding 'stop downloading' CID=31", 3, 5000));
    int64_t stopping = test_now_ms();
    std::filesystem::remove(w.bin + "/KVT-Cinema");
    http_exchange(w.port, "GET /movie?cid=3&sid=x HTTP/1.1\r\n\r\n", 8000);
    ASSERT_TRUE(w.sup->wait_exit(15000)) << w.log();
    EXPECT_EQ(w.count(stop_line), 2) << w.log();
    EXPECT_LT(test_now_ms() - stopping, 9000);
}

TEST(MarshalChildren, StreamerThatCannotStartAnswers500AndStopsTheSupervisor) {
    marshal_world w;
    std::filesystem::remove(w.bin + "/KVT-Cinema");
    ASSERT_TRUE(w.start({}));
    EXPECT_EQ(http_exchange(w.port, "GET /movie?cid=3&sid=x HTTP/1.1\r\n\r\n", 8000),
              "HTTP/1.1 500 Internal SwarmNode Error\r\nVersion: HTTP/1.1\r\n"
              "Access-Control-Allow-Origin: *\r\n\r\n");
    int code = -1;
    ASSERT_TRUE(w.sup->wait_exit(10000, &code)) << w.log();
    EXPECT_EQ(code, 4);
    EXPECT_EQ(w.count("%MRSHL-F: CreateProcess(" + w.bin + "/KVT-Cinema, KVT-Cinema -chan="), 1);
    EXPECT_EQ(w.count("%MRSHL-F: Start Relay process failure\n"), 1);
    EXPECT_EQ(w.count("Send 'stop downloading'"), 0);
}
