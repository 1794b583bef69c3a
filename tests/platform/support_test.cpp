// The shared test infrastructure itself: worlds, logged children, loopback clients.
#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

static bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(PlatformTestSupport, WorldChildrenAndLoopbackClients) {
    std::string root;
    {
        test_world world;
        root = world.root();
        EXPECT_EQ(std::string(getenv("VARNEX_RUNTIME_DIR")), world.runtime_dir());
        EXPECT_EQ(std::string(getenv("VARNEX_REGISTRY_DIR")), world.registry_dir());
        EXPECT_EQ(std::string(getenv("TEMP")), world.temp_dir());
        EXPECT_EQ(std::string(getenv("TMP")), world.temp_dir());
        EXPECT_TRUE(exists(world.runtime_dir()));
        ASSERT_TRUE(make_dirs(world.path("a/b/c")));
        ASSERT_TRUE(write_text_file(world.path("a/b/c/f.txt"), "text"));
        EXPECT_EQ(read_text_file(world.path("a/b/c/f.txt")), "text");

        // Children: exit codes, logs, kills, programs that cannot run.
        std::string helper = bin_path("platform_helper");
        child_run c;
        ASSERT_TRUE(c.start(world, helper, {"exit", "7"}));
        int code = -1;
        ASSERT_TRUE(c.wait_exit(10000, &code));
        EXPECT_EQ(code, 7);
        EXPECT_FALSE(c.running());
        ASSERT_TRUE(c.start(world, helper, {"semaphore", "x"}, "sem.log"));
        EXPECT_EQ(c.log_path, world.path("sem.log"));
        ASSERT_TRUE(c.wait_for_log("created", 10000));
        EXPECT_EQ(c.log(), "created\n");
        EXPECT_TRUE(c.running());
        EXPECT_FALSE(c.wait_exit(20, &code));
        EXPECT_TRUE(c.signal(SIGTERM));
        ASSERT_TRUE(c.wait_exit(10000, &code));
        EXPECT_EQ(code, 128 + SIGTERM);
        EXPECT_FALSE(c.start(world, world.path("missing"), {}));
        child_run left_running;
        ASSERT_TRUE(left_running.start(world, helper, {"sleep", "60000"}));
        int pid = left_running.pid;
        left_running.kill_now();
        EXPECT_EQ(left_running.exit_code, 128 + SIGKILL);
        EXPECT_NE(kill(pid, 0), 0);
    }
    EXPECT_FALSE(exists(root)); // the world removed itself

    // Loopback: a tiny server that answers one request and closes.
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(ls, 4), 0);
    socklen_t len = sizeof sa;
    getsockname(ls, reinterpret_cast<sockaddr *>(&sa), &len);
    uint16_t port = ntohs(sa.sin_port);
    std::string request_seen;
    std::thread server([&] {
        int c = accept(ls, nullptr, nullptr);
        char buf[1024];
        while (request_seen.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            request_seen.append(buf, size_t(n));
        }
        const char answer[] = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody";
        send(c, answer, sizeof answer - 1, MSG_NOSIGNAL);
        close(c);
    });
    std::string got = http_exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 5000);
    server.join();
    close(ls);
    EXPECT_EQ(request_seen, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(got, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody");

    uint16_t free_port = free_tcp_port();
    ASSERT_NE(free_port, 0);
    EXPECT_EQ(tcp_connect_loopback(free_port), -1);
    EXPECT_EQ(http_exchange(free_port, "GET /\r\n\r\n", 100), "");
}
