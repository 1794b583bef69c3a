// TCP sockets on 127.0.0.1: listen, accept, connect, waits, send and receive,
// shutdown, native errors, name resolution and the share record.
#include "platform/net.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

static int int_option(net_sock s, int level, int name) {
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(int(s), level, name, &v, &len);
    return v;
}

TEST(PlatformNet, ListenAcceptSendReceiveShutdown) {
    test_world world;
    ASSERT_EQ(net_startup(), 0);
    uint32_t loopback = net_parse_ipv4("127.0.0.1");

    net_sock ls = net_tcp_socket();
    ASSERT_NE(ls, NET_BAD_SOCK);
    EXPECT_TRUE(fcntl(int(ls), F_GETFD) & FD_CLOEXEC);
    ASSERT_TRUE(net_set_reuseaddr(ls));
    EXPECT_EQ(int_option(ls, SOL_SOCKET, SO_REUSEADDR), 1);
    ASSERT_TRUE(net_bind_any(ls, 0));
    ASSERT_TRUE(net_listen(ls, 16));
    uint32_t addr = 1;
    uint16_t port = 0;
    ASSERT_TRUE(net_local_name(ls, &addr, &port));
    EXPECT_EQ(addr, 0u); // 0.0.0.0
    ASSERT_NE(port, 0);

    // Nothing to accept yet: the wait times out.
    EXPECT_EQ(net_wait_readable(ls, 50), 0);

    net_sock client = net_tcp_socket();
    ASSERT_TRUE(net_connect(client, loopback, port));
    ASSERT_TRUE(net_set_nodelay(client));
    EXPECT_EQ(int_option(client, IPPROTO_TCP, TCP_NODELAY), 1);
    bool exceptional = true;
    ASSERT_EQ(net_wait_readable(ls, 2000, &exceptional), 1);
    EXPECT_FALSE(exceptional);
    uint32_t peer = 0;
    uint16_t peer_port = 0;
    net_sock server = net_accept(ls, &peer, &peer_port);
    ASSERT_NE(server, NET_BAD_SOCK);
    EXPECT_TRUE(fcntl(int(server), F_GETFD) & FD_CLOEXEC);
    char text[16];
    EXPECT_STREQ(net_format_ipv4(peer, text), "127.0.0.1");
    uint16_t client_port = 0;
    ASSERT_TRUE(net_local_name(client, nullptr, &client_port));
    EXPECT_EQ(peer_port, client_port);

    // Data both ways.
    EXPECT_EQ(net_wait_readable(server, 0), 0);
    EXPECT_EQ(net_wait_writable(client, 1000), 1);
    ASSERT_EQ(net_send(client, "hello", 5), 5);
    ASSERT_EQ(net_wait_readable(server, 2000), 1);
    char buf[64];
    ASSERT_EQ(net_recv(server, buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    std::string big(200000, 'x');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = char('a' + i % 26);
    std::string got;
    std::thread reader([&] {
        char chunk[8192];
        while (got.size() < big.size()) {
            long n = net_recv(client, chunk, sizeof chunk);
            if (n <= 0) break;
            got.append(chunk, size_t(n));
        }
    });
    EXPECT_EQ(net_send_all(server, big.data(), big.size()), long(big.size()));
    reader.join();
    EXPECT_TRUE(got == big);

    // Shutdown: the peer reads the end of the stream.
    ASSERT_TRUE(net_shutdown(server));
    ASSERT_EQ(net_wait_readable(client, 2000), 1);
    EXPECT_EQ(net_recv(client, buf, sizeof buf), 0);

    // Sending to a peer that has gone fails with an error number instead of SIGPIPE.
    net_close(server);
    long sent = 0;
    for (int i = 0; i < 100 && sent >= 0; i++) {
        sent = net_send(client, buf, sizeof buf);
        if (sent >= 0) os_sleep_ms(5);
    }
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(os_error_kind_of(net_error()), OS_E_CONN_RESET) << net_error();
    net_close(client);

    // A refused connection leaves the native error number.
    net_close(ls);
    net_sock refused = net_tcp_socket();
    EXPECT_FALSE(net_connect(refused, loopback, free_tcp_port()));
    EXPECT_EQ(net_error(), ECONNREFUSED);
    net_close(refused);

    // Binding a port in use is refused; with SO_REUSEADDR a listener in TIME_WAIT is not.
    net_sock a = net_tcp_socket(), b = net_tcp_socket();
    ASSERT_TRUE(net_bind_any(a, 0));
    ASSERT_TRUE(net_listen(a, 1));
    ASSERT_TRUE(net_local_name(a, nullptr, &port));
    EXPECT_FALSE(net_bind_any(b, port));
    EXPECT_EQ(net_error(), EADDRINUSE);
    net_close(a);
    net_close(b);
}

TEST(PlatformNet, AddressesResolutionAndShareRecord) {
    test_world world;
    uint32_t a = net_parse_ipv4("10.1.2.3");
    EXPECT_EQ(a, htonl(0x0a010203));
    char text[16];
    EXPECT_STREQ(net_format_ipv4(a, text), "10.1.2.3");
    EXPECT_EQ(net_parse_ipv4("255.255.255.255"), 0xffffffffu);
    EXPECT_EQ(net_parse_ipv4("not an address"), 0u);
    EXPECT_EQ(net_parse_ipv4("1.2.3.4.5"), 0u);
    EXPECT_EQ(net_parse_ipv4("127.1"), htonl(0x7f000001)); // inet_addr forms

    uint32_t addrs[NET_MAX_ADDRS + 4];
    ASSERT_EQ(net_resolve("127.0.0.1", addrs, NET_MAX_ADDRS), 1);
    EXPECT_EQ(addrs[0], htonl(0x7f000001));
    int n = net_resolve("localhost", addrs, NET_MAX_ADDRS);
    ASSERT_GE(n, 1);
    EXPECT_EQ(ntohl(addrs[0]) >> 24, 127u);
    EXPECT_EQ(net_resolve("no-such-host.invalid", addrs, NET_MAX_ADDRS), 0);
    EXPECT_NE(os_error(), 0);

    // The share record names the socket; the receiving side takes the descriptor
    // that travelled with the message.
    net_sock s = net_tcp_socket();
    uint8_t info[NET_SHARE_INFO_SIZE];
    ASSERT_TRUE(net_share_for_process(s, 1234, info));
    bool nonzero = false;
    for (uint8_t o : info)
        nonzero = nonzero || o != 0;
    EXPECT_TRUE(nonzero);
    EXPECT_EQ(net_socket_from_share(info, 77), 77);
    EXPECT_EQ(net_socket_from_share(info, -1), NET_BAD_SOCK);
    uint8_t zeros[NET_SHARE_INFO_SIZE] = {};
    EXPECT_EQ(net_socket_from_share(zeros, 77), NET_BAD_SOCK);
    net_close(s);
    EXPECT_FALSE(net_share_for_process(s, 1234, info)); // closed descriptor
}
