// TCP sockets over IPv4: a small wrapper that keeps the native error numbers.
// Every socket is created close-on-exec; only the one handed to a child by
// proc_start crosses into it. Sends never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

using net_sock = intptr_t;
inline constexpr net_sock NET_BAD_SOCK = -1;

enum { NET_MAX_ADDRS = 12, NET_SHARE_INFO_SIZE = 372 };

int net_startup(); // Windows Sockets 2.2; returns 0 or the error number
int net_error();   // last socket error of the calling thread

net_sock net_tcp_socket(); // AF_INET stream socket, or NET_BAD_SOCK
bool net_set_reuseaddr(net_sock s);
bool net_set_nodelay(net_sock s);
bool net_bind_any(net_sock s, uint16_t port);            // 0.0.0.0:port
bool net_bind(net_sock s, uint32_t addr, uint16_t port); // addr in network order
bool net_listen(net_sock s, int backlog);
// Accepts one connection; the peer's address (network order) and port (host order).
net_sock net_accept(net_sock s, uint32_t *peer_addr, uint16_t *peer_port);
bool net_connect(net_sock s, uint32_t addr, uint16_t port); // blocking
// The same within timeout_ms: fails with OS_E_TIMEOUT (ETIMEDOUT, WSAETIMEDOUT) when
// the connection is not made by then. The socket stays blocking afterwards.
bool net_connect_within(net_sock s, uint32_t addr, uint16_t port, int timeout_ms);
bool net_local_name(net_sock s, uint32_t *addr, uint16_t *port);

// Waits until the socket is readable or reports an exceptional condition.
// Returns 1 when it is, 0 on time-out, -1 on failure; timeout_ms < 0 waits forever.
int net_wait_readable(net_sock s, int timeout_ms, bool *exceptional = nullptr);
// Waits until the socket can take more data; same results.
int net_wait_writable(net_sock s, int timeout_ms);

// Whether the peer has closed or reset the connection, looked at without waiting and
// without taking any data: true with *err the reset's error number (0 after a close).
// Unread data from the peer does not count; a socket that cannot be looked at gives
// false.
bool net_peer_gone(net_sock s, int *err);

long net_send(net_sock s, const void *data, size_t len); // one send call
long net_send_all(net_sock s, const void *data,
                  size_t len); // repeats until all is sent or a failure
long net_recv(net_sock s, void *data, size_t len);
bool net_shutdown(net_sock s); // both directions
void net_close(net_sock s);

// Dotted-quad text to an address in network order (inet_addr rules); 0 when invalid.
uint32_t net_parse_ipv4(const char *text);
// Address in network order to dotted-quad text; out holds at least 16 characters.
const char *net_format_ipv4(uint32_t addr, char *out);
// Resolves a host name; fills up to max addresses (network order), returns the count,
// 0 when the name does not resolve (os_error() holds the resolver's error).
int net_resolve(const char *host, uint32_t *addrs, int max);

// Makes a socket usable by another process. On Windows the info block is the
// WSAPROTOCOL_INFOA record; here it is a non-zero marker, and the descriptor itself
// travels as ancillary data of the message written with msgpipe_write.
bool net_share_for_process(net_sock s, int pid, uint8_t info[NET_SHARE_INFO_SIZE]);
// The receiving side: the socket that a share record stands for. received is the
// descriptor that came with the message (ignored on Windows).
net_sock net_socket_from_share(const uint8_t info[NET_SHARE_INFO_SIZE], intptr_t received);

// The socket a parent handed to this process by inheritance (the value given on the
// command line), ready for use here. The same socket on Linux and on Windows; under
// Wine, whose Winsock does not know an inherited socket, it is imported again
// through a share record made for this process and the new value is returned.
net_sock net_adopt_inherited(net_sock s);
