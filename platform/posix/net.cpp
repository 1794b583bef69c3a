// Linux TCP sockets: close-on-exec descriptors, sends without SIGPIPE, waits with
// poll, name resolution through getaddrinfo, and the share record of a socket that
// travels to another process beside a pipe message.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <fcntl.h>

int net_startup() {
    return 0;
}

int net_error() {
    return errno;
}

net_sock net_tcp_socket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? NET_BAD_SOCK : net_sock(fd);
}

static bool set_int_option(net_sock s, int level, int name) {
    int on = 1;
    return setsockopt(int(s), level, name, &on, sizeof on) == 0;
}

bool net_set_reuseaddr(net_sock s) {
    return set_int_option(s, SOL_SOCKET, SO_REUSEADDR);
}

bool net_set_nodelay(net_sock s) {
    return set_int_option(s, IPPROTO_TCP, TCP_NODELAY);
}

bool net_bind(net_sock s, uint32_t addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return bind(int(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

bool net_bind_any(net_sock s, uint16_t port) {
    return net_bind(s, htonl(INADDR_ANY), port);
}

bool net_listen(net_sock s, int backlog) {
    return listen(int(s), backlog) == 0;
}

net_sock net_accept(net_sock s, uint32_t *peer_addr, uint16_t *peer_port) {
    sockaddr_in sa{};
    for (;;) {
        socklen_t len = sizeof sa;
        int fd = accept4(int(s), reinterpret_cast<sockaddr *>(&sa), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer_addr) *peer_addr = sa.sin_addr.s_addr;
            if (peer_port) *peer_port = ntohs(sa.sin_port);
            return net_sock(fd);
        }
        if (errno != EINTR) return NET_BAD_SOCK;
    }
}

static int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll on one descriptor, restarted after signals with the time that is left.
static int poll_one(int fd, short events, int timeout_ms, short *revents) {
    int64_t end = timeout_ms < 0 ? 0 : now_ms() + timeout_ms;
    for (;;) {
        pollfd p{fd, events, 0};
        int left = timeout_ms < 0 ? -1 : int(end - now_ms());
        if (timeout_ms >= 0 && left < 0) left = 0;
        int r = poll(&p, 1, left);
        if (r > 0) {
            *revents = p.revents;
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return 1;
        }
        if (r == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool net_connect(net_sock s, uint32_t addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    if (connect(int(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return true;
    if (errno != EINTR) return false;
    // Interrupted: the connection goes on in the background; wait for its outcome.
    short rev = 0;
    if (poll_one(int(s), POLLOUT, -1, &rev) < 0) return false;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(int(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
    if (err != 0) {
        errno = err;
        return false;
    }
    return true;
}

bool net_connect_within(net_sock s, uint32_t addr, uint16_t port, int timeout_ms) {
    int flags = fcntl(int(s), F_GETFL);
    if (flags < 0 || fcntl(int(s), F_SETFL, flags | O_NONBLOCK) != 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    int err = 0;
    if (connect(int(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            short rev = 0;
            int r = poll_one(int(s), POLLOUT, timeout_ms, &rev);
            socklen_t len = sizeof err;
            if (r == 0)
                err = ETIMEDOUT;
            else if (r < 0 || getsockopt(int(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    fcntl(int(s), F_SETFL, flags);
    errno = err;
    return err == 0;
}

bool net_local_name(net_sock s, uint32_t *addr, uint16_t *port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(int(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return false;
    if (addr) *addr = sa.sin_addr.s_addr;
    if (port) *port = ntohs(sa.sin_port);
    return true;
}

int net_wait_readable(net_sock s, int timeout_ms, bool *exceptional) {
    short rev = 0;
    int r = poll_one(int(s), POLLIN | POLLPRI, timeout_ms, &rev);
    // Only urgent data is exceptional, as in select()'s exception set; a reset or other
    // error shows as readable and the next receive reports it.
    if (exceptional) *exceptional = r > 0 && (rev & POLLPRI) != 0;
    return r;
}

int net_wait_writable(net_sock s, int timeout_ms) {
    short rev = 0;
    return poll_one(int(s), POLLOUT, timeout_ms, &rev);
}

bool net_peer_gone(net_sock s, int *err) {
    *err = 0;
    short rev = 0;
    if (poll_one(int(s), POLLIN | POLLRDHUP, 0, &rev) <= 0) return false;
    if (rev & (POLLERR | POLLHUP | POLLRDHUP)) {
        socklen_t len = sizeof *err;
        if (getsockopt(int(s), SOL_SOCKET, SO_ERROR, err, &len) != 0) *err = 0;
        return true;
    }
    char c;
    ssize_t n = recv(int(s), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        *err = errno;
        return true;
    }
    return false;
}

long net_send(net_sock s, const void *data, size_t len) {
    for (;;) {
        ssize_t n = send(int(s), data, len, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) return long(n);
    }
}

long net_send_all(net_sock s, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        long n = net_send(s, p + done, len - done);
        if (n < 0) return -1;
        done += size_t(n);
    }
    return long(done);
}

long net_recv(net_sock s, void *data, size_t len) {
    for (;;) {
        ssize_t n = recv(int(s), data, len, 0);
        if (n >= 0 || errno != EINTR) return long(n);
    }
}

bool net_shutdown(net_sock s) {
    return shutdown(int(s), SHUT_RDWR) == 0;
}

void net_close(net_sock s) {
    if (s >= 0) close(int(s));
}

uint32_t net_parse_ipv4(const char *text) {
    in_addr a{};
    if (!text || inet_aton(text, &a) == 0) return 0;
    return a.s_addr;
}

const char *net_format_ipv4(uint32_t addr, char *out) {
    in_addr a{};
    a.s_addr = addr;
    if (!inet_ntop(AF_INET, &a, out, 16)) out[0] = 0;
    return out;
}

int net_resolve(const char *host, uint32_t *addrs, int max) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &list);
    if (rc != 0) {
        // The resolver's own code (negative EAI_* values), unless it was a system error.
        if (rc != EAI_SYSTEM) errno = rc;
        return 0;
    }
    if (max > NET_MAX_ADDRS) max = NET_MAX_ADDRS;
    int count = 0;
    for (addrinfo *ai = list; ai && count < max; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET) continue;
        uint32_t a = reinterpret_cast<sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (int i = 0; i < count; i++)
            seen = seen || addrs[i] == a;
        if (!seen) addrs[count++] = a;
    }
    freeaddrinfo(list);
    return count;
}

// The share record: a marker, the pid it is meant for and the sender's descriptor
// number (for the log); the descriptor itself rides with the pipe message.
static const uint8_t SHARE_MAGIC[4] = {'V', 'X', 'S', 'K'};

bool net_share_for_process(net_sock s, int pid, uint8_t info[NET_SHARE_INFO_SIZE]) {
    if (s < 0 || fcntl(int(s), F_GETFD) < 0) {
        errno = EBADF;
        return false;
    }
    memset(info, 0, NET_SHARE_INFO_SIZE);
    memcpy(info, SHARE_MAGIC, 4);
    int32_t fields[2] = {int32_t(pid), int32_t(s)};
    memcpy(info + 4, fields, sizeof fields);
    return true;
}

net_sock net_socket_from_share(const uint8_t info[NET_SHARE_INFO_SIZE], intptr_t received) {
    if (memcmp(info, SHARE_MAGIC, 4) != 0 || received < 0) {
        errno = EBADF;
        return NET_BAD_SOCK;
    }
    return net_sock(received);
}

net_sock net_adopt_inherited(net_sock s) {
    return s;
}
