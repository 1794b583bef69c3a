// In-process tests of the supervisor's core: the request record that parse_request
// fills, the 512-slot child table (403 when full, the last slot usable) and the
// monitor watching more than 64 children in one wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <sys/wait.h>

#include "marshal/marshal.h"
#include "platform/os.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/test_support.h"

namespace {

struct parsed {
    int32_t status;
    request_record rq;
};

parsed parse(const std::string &request, uint32_t addr = 0x0100007f, uint16_t port = 777) {
    marshal_set_defaults();
    memset(&g_marshal.req, 0, sizeof g_marshal.req);
    std::string text = request + "\r\n\r\n";
    // Exactly the received octets, no terminator: ASan sees any read beyond them.
    std::unique_ptr<char[]> buf(new char[text.size()]);
    memcpy(buf.get(), text.data(), text.size());
    int32_t st = parse_request(NET_BAD_SOCK, buf.get(), int32_t(request.size()), addr, port);
    return {st, g_marshal.req};
}

std::string text(const counted_text &t) {
    return std::string(t.text, t.len);
}

// A connected pair of loopback sockets: [0] the player, [1] the supervisor's end.
bool socket_pair(net_sock out[2]) {
    net_sock l = net_tcp_socket();
    uint16_t port = free_tcp_port();
    if (l == NET_BAD_SOCK || !net_bind_any(l, port) || !net_listen(l, 4)) return false;
    out[0] = tcp_connect_loopback(port);
    uint32_t a;
    uint16_t p;
    out[1] = net_accept(l, &a, &p);
    net_close(l);
    return out[0] >= 0 && out[1] != NET_BAD_SOCK;
}

std::string read_all(net_sock s, int timeout_ms) {
    std::string out;
    int64_t end = test_now_ms() + timeout_ms;
    while (test_now_ms() < end && net_wait_readable(s, 100) >= 0) {
        char buf[1024];
        if (net_wait_readable(s, 0) == 0) continue;
        long n = net_recv(s, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

} // namespace

TEST(MarshalParse, RequestRecordFromRequestLineKeysAndHeaders) {
    parsed p = parse("GET /stream?cid=12&sid=abc HTTP/1.1");
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.rq.code, 3);
    EXPECT_EQ(p.rq.cid, 12);
    EXPECT_EQ(text(p.rq.sid), "abc");
    EXPECT_EQ(text(p.rq.qi), "127.0.0.1,127.0.0.2,127.0.0.3");
    EXPECT_EQ(text(p.rq.vtid), "[0]127.0.0.1:777");

    EXPECT_EQ(parse("GET /verify HTTP/1.1").status, REQUEST_DONE);
    EXPECT_EQ(parse("GET /crossdomain.xml HTTP/1.1").status, REQUEST_DONE);
    EXPECT_EQ(parse("GET /link?cid=%2212%22 HTTP/1.1").rq.cid, 12);
    EXPECT_EQ(parse("GET /link?cid=\"12\" HTTP/1.1").rq.cid, 12);
    EXPECT_EQ(parse("GET /link?xcid=7 HTTP/1.1").rq.cid, 7);
    EXPECT_EQ(parse("GET /streaming?cid=1 HTTP/1.1").rq.code, 3);
    EXPECT_EQ(parse("GET /hls2?cid=1 HTTP/1.1").rq.code, 5);
    EXPECT_EQ(parse("GET /link HTTP/1.1").status, 2);
    EXPECT_EQ(parse("POST /link?cid=1 HTTP/1.1").status, 2);
    EXPECT_EQ(parse("GET / HTTP/1.1").status, 2);
    EXPECT_EQ(parse("GET /radio?cid=1 HTTP/1.1").status, 2);
    // A path of 17 characters before "?": the keys are looked for in its first 16.
    EXPECT_EQ(parse("GET /streamcid=4xxxxxx?cid=9 HTTP/1.1").rq.cid, 4);
    EXPECT_EQ(parse("GET /hls?cid=3&chunk=41 HTTP/1.1").rq.chunk, 41);

    p = parse("GET /movie?cid=8 HTTP/1.1\r\nRange: bytes=1000-2000");
    EXPECT_EQ(p.rq.range_start, 1000);
    p = parse("GET /movie?cid=8 HTTP/1.1\r\nRange: bytes=6000000000-");
    EXPECT_EQ(p.rq.range_start, 6000000000LL); // beyond 4 GiB, whole
    p = parse("GET /movie?cid=8 HTTP/1.1\r\nUser-Agent:  Player/1.0 (Win)");
    EXPECT_EQ(text(p.rq.vtid), "[0]127.0.0.1:777,\"Player/1.0\"");
    // A request that ends right after a key name or a header name reads nothing past it.
    EXPECT_EQ(parse("GET /movie?cid=8 HTTP/1.1\r\nUser-Agent:").rq.vtid.len, 16);
    EXPECT_EQ(parse("GET /stream?cid").status, 2);
}

TEST(MarshalParse, ServingCountInTheVtidAndTheTraceLines) {
    marshal_set_defaults();
    memset(&g_marshal.req, 0, sizeof g_marshal.req);
    g_marshal.children.count = 4; // two of the three streamers serve CID 12
    g_marshal.children.records[1].cid = 12;
    g_marshal.children.records[2].cid = 13;
    g_marshal.children.records[3].cid = 12;
    const std::string request =
        "GET /stream?cid=%2212%22&sid=abc HTTP/1.1\r\nUser-Agent: Player/1.0 (Win)";
    std::string received = request + "\r\n\r\n";
    std::vector<std::string> lines;
    int32_t st;
    {
        stdout_capture out;
        g_trace = 1;
        st = parse_request(NET_BAD_SOCK, &received[0], int32_t(request.size()), 0x0100007f, 777);
        g_trace = 0;
        lines = out.lines();
    }
    g_marshal.children.count = 1;
    EXPECT_EQ(st, 1);
    const std::string vtid = "[2]127.0.0.1:777,\"Player/1.0\"";
    EXPECT_EQ(text(g_marshal.req.vtid), vtid);
    std::vector<std::string> traced;
    for (auto &l : lines) {
        size_t at = l.find(" [KVT-MARSH\\parse_request\\");
        size_t end = l.find("] ", at);
        ASSERT_TRUE(at != std::string::npos && end != std::string::npos) << l;
        traced.push_back(l.substr(end + 2));
    }
    EXPECT_EQ(traced,
              (std::vector<std::string>{
                  "MRSHL: [#-1] Got request code 3 (stream)",
                  "cid[0:2]='12'",
                  "sid[0:3]='abc'",
                  "MRSHL: [#-1] VTID[0:" + std::to_string(vtid.size()) + "] = ('" + vtid + "')",
              }));
}

TEST(MarshalTable, SlotLimitLastSlotAndMonitorBeyond64Children) {
    test_world world;
    marshal_set_defaults();
    marshal_state &g = g_marshal;
    std::string bin = world.path("bin");
    make_dirs(bin);
    snprintf(g.module_dir, sizeof g.module_dir, "%s", bin.c_str());
    {
        std::error_code ec;
        std::filesystem::copy_file(bin_path("marshal_test_child"), bin + "/KVT-Relay", ec);
        ASSERT_FALSE(ec);
        std::filesystem::permissions(bin + "/KVT-Relay", std::filesystem::perms::owner_all, ec);
    }
    std::string cache = world.path("cache");
    g.cache_dir.len = uint8_t(cache.size());
    memcpy(g.cache_dir.text, cache.c_str(), cache.size() + 1);
    ASSERT_TRUE(job_create(&g.job));
    ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &g.fetcher_pipe));
    msg_pipe fetcher;
    ASSERT_TRUE(msgpipe_open("dwnldr-pipe", &fetcher));
    ASSERT_TRUE(msgpipe_wait_client(&g.fetcher_pipe, 1000));

    // A full table: 403 and nothing else changes.
    net_sock pair[2];
    ASSERT_TRUE(socket_pair(pair));
    g.children.count = CHILD_SLOTS;
    g.req.code = 3;
    g.req.cid = 9;
    g.req.sid = counted_text{1, "s"};
    EXPECT_EQ(register_and_announce(pair[1]) & 1, 0);
    EXPECT_EQ(
        read_all(pair[0], 3000),
        "HTTP/1.1 403 Forbidden\r\nVersion: HTTP/1.1\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
    EXPECT_EQ(g.children.count, uint32_t(CHILD_SLOTS));
    EXPECT_EQ(msgpipe_peek(&fetcher), 0);
    net_close(pair[0]);

    // The 512th slot can be filled.
    ASSERT_TRUE(socket_pair(pair));
    g.children.count = CHILD_SLOTS - 1;
    EXPECT_EQ(register_and_announce(pair[1]), 1);
    EXPECT_EQ(g.children.count, uint32_t(CHILD_SLOTS));
    EXPECT_NE(read_all(pair[0], 2000).find("child "), std::string::npos);
    child_record msg;
    ASSERT_EQ(msgpipe_read(&fetcher, &msg, sizeof msg, nullptr, 2000), long(sizeof msg));
    EXPECT_EQ(msg.cid, 9);
    EXPECT_EQ(msg.qi_sock, -1);
    EXPECT_EQ(msg.command, 1);
    proc_terminate(&g.children.procs[CHILD_SLOTS - 1], 1);
    proc_close(&g.children.procs[CHILD_SLOTS - 1]);
    net_close(pair[0]);

    // 100 streamers and a fetcher in one wait: the ends of slots 100 and 70 are seen.
    const int streamers = 100;
    ASSERT_TRUE(proc_start("/bin/sleep", "sleep 60", -1, &g.children.procs[0]));
    for (int i = 1; i <= streamers; i++) {
        ASSERT_TRUE(proc_start("/bin/sleep", "sleep 60", -1, &g.children.procs[i]));
        memset(&g.children.records[i], 0, sizeof(child_record));
        g.children.records[i].cid = 1000 + i;
        g.children.records[i].qi_sock = -1;
        g.children.records[i].command = 1;
    }
    g.children.count = streamers + 1;
    std::thread monitor(child_monitor);
    for (int victim : {100, 70}) {
        int pid = 0;
        for (uint32_t i = 1; i < g.children.count; i++)
            if (g.children.records[i].cid == 1000 + victim) pid = g.children.procs[i].pid;
        ASSERT_GT(pid, 0);
        os_process p{pid, -1};
        for (uint32_t i = 1; i < g.children.count; i++)
            if (g.children.procs[i].pid == pid) p = g.children.procs[i];
        ASSERT_TRUE(proc_terminate(&p, 1));
        ASSERT_EQ(msgpipe_read(&fetcher, &msg, sizeof msg, nullptr, 5000), long(sizeof msg));
        EXPECT_EQ(msg.cid, 1000 + victim);
        EXPECT_EQ(msg.qi_sock, 0);
        EXPECT_EQ(msg.command, 0);
    }
    EXPECT_EQ(g.children.count, uint32_t(streamers - 1));
    g.stop_status = 1;
    monitor.join();
    for (uint32_t i = 0; i < g.children.count; i++) {
        proc_terminate(&g.children.procs[i], 1);
        proc_close(&g.children.procs[i]);
    }
    msgpipe_close(&fetcher);
    msgpipe_close(&g.fetcher_pipe);
    job_close(&g.job);
}

// A fetcher that ends before it opens its pipe is a failed start; it must be reaped,
// not left as a zombie with its handle in slot 0.
TEST(MarshalTable, FetcherThatNeverOpensItsPipeIsReaped) {
    test_world w;
    marshal_set_defaults();
    const std::string dir = w.path("bin");
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file("/bin/true", dir + "/KVT-Fetcher");
    snprintf(g_marshal.module_dir, sizeof g_marshal.module_dir, "%s", dir.c_str());
    ASSERT_TRUE(job_create(&g_marshal.job));
    stdout_capture cap;
    EXPECT_EQ(SEV_F, start_fetcher_process());
    const std::string log = cap.text();
    const char mark[] = "was started with PID = ";
    size_t at = log.find(mark);
    ASSERT_NE(at, std::string::npos) << log;
    const int pid = atoi(log.c_str() + at + strlen(mark));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(0, g_marshal.children.procs[0].pid);
    EXPECT_EQ(-1, g_marshal.children.procs[0].handle);
    errno = 0;
    EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG)); // already reaped
    EXPECT_EQ(ECHILD, errno);
    job_close(&g_marshal.job);
}

// A supervisor that is stopping starts no new fetcher: the monitor looks at the stop
// status before every restart attempt, so shutdown (which takes the pipe lock after
// its 5-second wait) waits for one attempt at most. The stand-in fetcher counts its
// starts and ends after 2 s without opening the pipe: each attempt fails.
TEST(MarshalTable, StoppingSupervisorMakesNoFurtherFetcherRestarts) {
    test_world w;
    marshal_set_defaults();
    marshal_state &g = g_marshal;
    const std::string dir = w.path("bin"), starts = w.path("fetcher-starts");
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(write_text_file(dir + "/KVT-Fetcher",
                                "#!/bin/sh\necho x >> '" + starts + "'\nexec sleep 2\n"));
    std::filesystem::permissions(dir + "/KVT-Fetcher", std::filesystem::perms::owner_all);
    snprintf(g.module_dir, sizeof g.module_dir, "%s", dir.c_str());
    ASSERT_TRUE(job_create(&g.job));
    auto start_count = [&] {
        std::string text = read_text_file(starts);
        return std::count(text.begin(), text.end(), 'x');
    };
    stdout_capture cap;

    // The stop comes while the monitor waits; then the fetcher ends: no attempt.
    ASSERT_TRUE(proc_start("/bin/sleep", "sleep 60", -1, &g.children.procs[0]));
    os_process fetcher = g.children.procs[0];
    g.children.count = 1;
    std::thread monitor(child_monitor);
    os_sleep_ms(300);
    g.stop_status = 2;
    ASSERT_TRUE(proc_terminate(&fetcher, 1));
    monitor.join();
    EXPECT_EQ(start_count(), 0);
    EXPECT_EQ(g.stop_status.load(), 2);

    // The stop comes during the first attempt: there is no second one.
    g.stop_status = 0;
    ASSERT_TRUE(proc_start("/bin/sleep", "sleep 60", -1, &g.children.procs[0]));
    fetcher = g.children.procs[0];
    monitor = std::thread(child_monitor);
    ASSERT_TRUE(proc_terminate(&fetcher, 1));
    int64_t end = test_now_ms() + 10000;
    while (start_count() == 0 && test_now_ms() < end)
        os_sleep_ms(20);
    ASSERT_EQ(start_count(), 1);
    g.stop_status = 2;
    monitor.join();
    EXPECT_EQ(start_count(), 1);
    EXPECT_EQ(g.stop_status.load(), 2);
    const std::string log = cap.text();
    EXPECT_EQ(log.find("(2/13)"), std::string::npos) << log;
    EXPECT_EQ(log.find("aborting"), std::string::npos) << log;
    EXPECT_NE(log.find("Child processes monitor was stopped"), std::string::npos) << log;
    job_close(&g.job);
}
