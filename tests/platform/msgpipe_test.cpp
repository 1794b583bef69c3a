// Message pipes: one client at a time, whole messages, peeking, the name of a dead
// server, a socket handed to another process along with a message, clients back to
// back that are either served or told busy, and a server starting amid probes.
#include "platform/msgpipe.h"
#include "platform/net.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

static std::string helper() {
    return bin_path("platform_helper");
}

TEST(PlatformMsgpipe, OneClientAtATimeWholeMessages) {
    test_world world;
    char path[OS_PATH_MAX];
    msgpipe_path("tray-pipe", path, sizeof path);
    EXPECT_EQ(std::string(path), world.runtime_dir() + "/pipe/tray-pipe");

    msg_pipe client, other, server;
    ASSERT_FALSE(msgpipe_open("tray-pipe", &client));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);

    ASSERT_TRUE(msgpipe_create("tray-pipe", &server));
    struct stat st;
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    msg_pipe second;
    EXPECT_FALSE(msgpipe_create("tray-pipe", &second));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);

    // No client yet: the wait times out. A client that connects before the wait counts.
    EXPECT_FALSE(msgpipe_wait_client(&server, 30));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_TIMEOUT);
    ASSERT_TRUE(msgpipe_open("tray-pipe", &client));
    EXPECT_TRUE(fcntl(int(client.conn), F_GETFD) & FD_CLOEXEC);
    ASSERT_TRUE(msgpipe_wait_client(&server, 2000));

    // The instance is taken: further clients are told "busy", from any process.
    EXPECT_FALSE(msgpipe_open("tray-pipe", &other));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_BUSY);
    child_run late;
    ASSERT_TRUE(late.start(world, helper(), {"pipehold", "tray-pipe"}));
    int code = 0;
    ASSERT_TRUE(late.wait_exit(10000, &code));
    EXPECT_EQ(code, 2);
    EXPECT_NE(late.log().find("open failed " + std::to_string(EBUSY)), std::string::npos)
        << late.log();

    // Whole messages keep their boundaries; peek tells the size of the next one.
    EXPECT_EQ(msgpipe_peek(&server), 0);
    char msg[640];
    for (size_t i = 0; i < sizeof msg; i++)
        msg[i] = char(i * 7);
    ASSERT_EQ(msgpipe_write(&client, msg, sizeof msg), 640);
    ASSERT_EQ(msgpipe_write(&client, "Start streaming CID=5", 22), 22);
    uint32_t t0 = os_tick_ms();
    while (msgpipe_peek(&server) == 0 && os_tick_ms() - t0 < 2000)
        os_sleep_ms(1);
    EXPECT_EQ(msgpipe_peek(&server), 640);
    char buf[1024];
    intptr_t got = 5;
    ASSERT_EQ(msgpipe_read(&server, buf, sizeof buf, &got), 640);
    EXPECT_EQ(memcmp(buf, msg, 640), 0);
    EXPECT_EQ(got, -1);
    EXPECT_EQ(msgpipe_peek(&server), 22);
    ASSERT_EQ(msgpipe_read(&server, buf, sizeof buf), 22);
    EXPECT_STREQ(buf, "Start streaming CID=5");
    EXPECT_EQ(msgpipe_read(&server, buf, sizeof buf, nullptr, 20), 0);
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_TIMEOUT);
    // Both directions; a message longer than the buffer is an error, not a split.
    ASSERT_EQ(msgpipe_write(&server, "answer", 6), 6);
    ASSERT_EQ(msgpipe_read(&client, buf, sizeof buf, nullptr, 2000), 6);
    ASSERT_EQ(msgpipe_write(&client, msg, sizeof msg), 640);
    EXPECT_EQ(msgpipe_read(&server, buf, 100), -1);
    EXPECT_EQ(os_error(), EMSGSIZE);
    EXPECT_EQ(msgpipe_write(&client, msg, 0), -1);

    // The client goes: peek and read say so.
    msgpipe_close(&client);
    EXPECT_EQ(msgpipe_peek(&server), -1);
    EXPECT_EQ(msgpipe_read(&server, buf, sizeof buf), -1);

    // After the disconnect the next client gets in.
    msgpipe_disconnect(&server);
    ASSERT_TRUE(msgpipe_open("tray-pipe", &client));
    ASSERT_TRUE(msgpipe_wait_client(&server, 2000));
    ASSERT_EQ(msgpipe_write(&client, "again", 6), 6);
    ASSERT_EQ(msgpipe_read(&server, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "again");
    msgpipe_close(&client);

    // A closed server takes its name along.
    msgpipe_close(&server);
    EXPECT_FALSE(msgpipe_open("tray-pipe", &client));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
}

TEST(PlatformMsgpipe, ServerInAnotherProcessAndItsDeath) {
    test_world world;
    child_run server;
    ASSERT_TRUE(server.start(world, helper(), {"pipeserver", "dwnldr-pipe"}));
    ASSERT_TRUE(server.wait_for_log("created", 10000)) << server.log();

    // A second server is refused while the first lives.
    msg_pipe mine;
    EXPECT_FALSE(msgpipe_create("dwnldr-pipe", &mine));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);

    msg_pipe client;
    ASSERT_TRUE(msgpipe_open("dwnldr-pipe", &client));
    ASSERT_EQ(msgpipe_write(&client, "echo me", 8), 8);
    char buf[64];
    ASSERT_EQ(msgpipe_read(&client, buf, sizeof buf, nullptr, 5000), 8);
    EXPECT_STREQ(buf, "echo me");

    // The server is killed: its socket file stays behind, yet the name is free.
    server.kill_now();
    EXPECT_EQ(msgpipe_read(&client, buf, sizeof buf, nullptr, 5000), -1);
    msgpipe_close(&client);
    char path[OS_PATH_MAX];
    msgpipe_path("dwnldr-pipe", path, sizeof path);
    EXPECT_EQ(access(path, F_OK), 0);
    EXPECT_FALSE(msgpipe_open("dwnldr-pipe", &client));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &mine));
    ASSERT_TRUE(msgpipe_open("dwnldr-pipe", &client));
    ASSERT_TRUE(msgpipe_wait_client(&mine, 2000));
    msgpipe_close(&client);
    msgpipe_close(&mine);
}

TEST(PlatformMsgpipe, SocketTravelsWithAMessage) {
    test_world world;
    // A TCP connection on loopback whose accepted end goes to the other process.
    net_sock ls = net_tcp_socket();
    ASSERT_TRUE(net_bind_any(ls, 0));
    ASSERT_TRUE(net_listen(ls, 4));
    uint16_t port = 0;
    ASSERT_TRUE(net_local_name(ls, nullptr, &port));
    int peer = tcp_connect_loopback(port);
    ASSERT_GE(peer, 0);
    net_sock accepted = net_accept(ls, nullptr, nullptr);
    ASSERT_NE(accepted, NET_BAD_SOCK);

    msg_pipe server;
    ASSERT_TRUE(msgpipe_create("dwnldr-pipe", &server));
    child_run fetcher;
    ASSERT_TRUE(fetcher.start(world, helper(), {"pipeclient", "dwnldr-pipe"}));
    ASSERT_TRUE(msgpipe_wait_client(&server, 10000));

    // The 640-octet record: a text, and the share record at octet 268.
    char msg[640] = {};
    strcpy(msg, "sent through the shared socket");
    uint8_t info[NET_SHARE_INFO_SIZE];
    ASSERT_TRUE(net_share_for_process(accepted, fetcher.pid, info));
    memcpy(msg + 268, info, sizeof info);
    ASSERT_EQ(msgpipe_write(&server, msg, sizeof msg, accepted), 640);
    // Our copy may go now; the other process holds its own.
    net_close(accepted);

    char buf[64];
    ASSERT_EQ(msgpipe_read(&server, buf, sizeof buf, nullptr, 10000), 4) << fetcher.log();
    EXPECT_EQ(std::string(buf, 4), "done");
    int code = -1;
    ASSERT_TRUE(fetcher.wait_exit(10000, &code));
    EXPECT_EQ(code, 0);

    std::string got;
    char chunk[256];
    for (;;) {
        ssize_t n = read(peer, chunk, sizeof chunk);
        if (n <= 0) break;
        got.append(chunk, size_t(n));
    }
    EXPECT_EQ(got, "sent through the shared socket");
    close(peer);
    net_close(ls);
    msgpipe_close(&server);
}

// The tray's way: the server takes one message per client and disconnects, while one
// client opens, writes and closes back to back, as the supervisor sends
// notifications. Busy is reported and retried; every write reported whole is read.
TEST(PlatformMsgpipe, BackToBackClientsAreServedOrToldBusy) {
    test_world world;
    msg_pipe server;
    ASSERT_TRUE(msgpipe_create("tray-pipe", &server));
    const int total = 20000;
    std::vector<int> got(total + 1, -1);
    std::atomic<int> count{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            if (!msgpipe_wait_client(&server, 50)) continue;
            int seq = -1;
            if (msgpipe_read(&server, &seq, sizeof seq, nullptr, 5000) == long(sizeof seq)) {
                int at = count.load();
                if (at <= total) got[size_t(at)] = seq;
                count = at + 1;
            }
            msgpipe_disconnect(&server);
        }
    });

    int busy = 0, failed = 0;
    int64_t t0 = test_now_ms();
    for (int seq = 0; seq < total && failed == 0 && test_now_ms() - t0 < 60000;) {
        msg_pipe client;
        long n = -1;
        if (msgpipe_open("tray-pipe", &client)) {
            n = msgpipe_write(&client, &seq, sizeof seq);
            msgpipe_close(&client);
        }
        if (n == long(sizeof seq))
            seq++;
        else if (os_error_kind_of(os_error()) == OS_E_BUSY)
            busy++, std::this_thread::yield(); // let the server get to its next wait

        else
            failed = os_error();
    }
    int64_t sent_ms = test_now_ms() - t0;
    // Everything written is read soon after; a lost message never comes.
    for (int64_t end = test_now_ms() + 5000; count < total && test_now_ms() < end;)
        os_sleep_ms(5);
    stop = true;
    reader.join();
    msgpipe_close(&server);

    EXPECT_EQ(failed, 0);
    EXPECT_EQ(count.load(), total);
    int out_of_place = 0;
    for (int i = 0; i < total; i++)
        if (got[size_t(i)] != i) out_of_place++;
    EXPECT_EQ(out_of_place, 0);
    printf("%d messages in %lld ms, %d busy answers retried\n", total, (long long)sent_ms, busy);
}

// A server starting while clients keep asking whether one runs (as the supervisor
// does for each notification) still comes up every time.
TEST(PlatformMsgpipe, ServerComesUpWhileClientsProbe) {
    test_world world;
    std::atomic<bool> stop{false};
    std::thread prober([&] {
        while (!stop) {
            msg_pipe client;
            if (msgpipe_open("tray-pipe", &client)) msgpipe_close(&client);
        }
    });
    int refused = 0;
    for (int i = 0; i < 300; i++, os_sleep_ms(1)) { // no server in between: the clients probe
        msg_pipe server;
        refused += !msgpipe_create("tray-pipe", &server);
        msgpipe_close(&server);
    }
    stop = true;
    prober.join();
    EXPECT_EQ(refused, 0);
}
