// Windows TCP sockets through Windows Sockets 2.2: sockets are created not
// inheritable (proc_start lets exactly one cross into a child), waits use select,
// and a socket travels to another process as a WSAPROTOCOL_INFOA record made by
// WSADuplicateSocketA.
#include "platform/net.h"
#include "platform/win32/win32_internal.h"

#include <cstdio>
#include <cstring>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

static_assert(sizeof(WSAPROTOCOL_INFOA) == NET_SHARE_INFO_SIZE, "share record size");

int net_startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

int net_error() {
    return WSAGetLastError();
}

static void not_inheritable(SOCKET s) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

net_sock net_tcp_socket() {
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return NET_BAD_SOCK;
    not_inheritable(s);
    return net_sock(s);
}

static bool set_int_option(net_sock s, int level, int name) {
    BOOL on = TRUE;
    return setsockopt(SOCKET(s), level, name, reinterpret_cast<const char *>(&on), sizeof on) == 0;
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
    return bind(SOCKET(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

bool net_bind_any(net_sock s, uint16_t port) {
    return net_bind(s, htonl(INADDR_ANY), port);
}

bool net_listen(net_sock s, int backlog) {
    return listen(SOCKET(s), backlog) == 0;
}

net_sock net_accept(net_sock s, uint32_t *peer_addr, uint16_t *peer_port) {
    sockaddr_in sa{};
    int len = sizeof sa;
    SOCKET c = accept(SOCKET(s), reinterpret_cast<sockaddr *>(&sa), &len);
    if (c == INVALID_SOCKET) return NET_BAD_SOCK;
    not_inheritable(c);
    if (peer_addr) *peer_addr = sa.sin_addr.s_addr;
    if (peer_port) *peer_port = ntohs(sa.sin_port);
    return net_sock(c);
}

bool net_connect(net_sock s, uint32_t addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return connect(SOCKET(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

bool net_local_name(net_sock s, uint32_t *addr, uint16_t *port) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(SOCKET(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return false;
    if (addr) *addr = sa.sin_addr.s_addr;
    if (port) *port = ntohs(sa.sin_port);
    return true;
}

// select on one socket: 1 ready, 0 time-out, -1 failure.
static int select_one(net_sock s, bool write, int timeout_ms, bool *exceptional) {
    fd_set want, except;
    FD_ZERO(&want);
    FD_ZERO(&except);
    FD_SET(SOCKET(s), &want);
    FD_SET(SOCKET(s), &except);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int r = select(0, write ? nullptr : &want, write ? &want : nullptr, &except,
                   timeout_ms < 0 ? nullptr : &tv);
    if (r == SOCKET_ERROR) return -1;
    if (exceptional) *exceptional = r > 0 && FD_ISSET(SOCKET(s), &except);
    return r > 0 ? 1 : 0;
}

int net_wait_readable(net_sock s, int timeout_ms, bool *exceptional) {
    return select_one(s, false, timeout_ms, exceptional);
}

int net_wait_writable(net_sock s, int timeout_ms) {
    return select_one(s, true, timeout_ms, nullptr);
}

bool net_connect_within(net_sock s, uint32_t addr, uint16_t port, int timeout_ms) {
    u_long on = 1, off = 0;
    if (ioctlsocket(SOCKET(s), FIONBIO, &on) != 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    int err = 0;
    if (connect(SOCKET(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            // A failed connect shows in the exceptional set, with its error in SO_ERROR.
            bool failed = false;
            int r = select_one(s, true, timeout_ms, &failed);
            int len = sizeof err;
            if (r == 0)
                err = WSAETIMEDOUT;
            else if (r < 0)
                err = WSAGetLastError();
            else if (!failed)
                err = 0;
            else if (getsockopt(SOCKET(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err),
                                &len) != 0 ||
                     err == 0)
                err = WSAECONNREFUSED;
        }
    }
    ioctlsocket(SOCKET(s), FIONBIO, &off);
    WSASetLastError(err);
    return err == 0;
}

bool net_peer_gone(net_sock s, int *err) {
    *err = 0;
    bool exceptional = false;
    if (select_one(s, false, 0, &exceptional) <= 0) return false;
    // Readable: data, an orderly close or a reset. A one-octet peek tells them apart
    // without taking anything and without waiting (readable means recv returns at once).
    char c;
    int n = recv(SOCKET(s), &c, 1, MSG_PEEK);
    if (n == 0) return true;
    if (n == SOCKET_ERROR) {
        int e = WSAGetLastError();
        if (e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEMSGSIZE) return false;
        *err = e;
        return true;
    }
    return false;
}

long net_send(net_sock s, const void *data, size_t len) {
    int part = len > 0x7fffffff ? 0x7fffffff : int(len);
    return long(send(SOCKET(s), static_cast<const char *>(data), part, 0));
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
    int part = len > 0x7fffffff ? 0x7fffffff : int(len);
    return long(recv(SOCKET(s), static_cast<char *>(data), part, 0));
}

bool net_shutdown(net_sock s) {
    return shutdown(SOCKET(s), SD_BOTH) == 0;
}

void net_close(net_sock s) {
    if (s != NET_BAD_SOCK) closesocket(SOCKET(s));
}

uint32_t net_parse_ipv4(const char *text) {
    if (!text) return 0;
    unsigned long a = inet_addr(text);
    if (a == INADDR_NONE && strcmp(text, "255.255.255.255") != 0) return 0;
    return uint32_t(a);
}

const char *net_format_ipv4(uint32_t addr, char *out) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&addr);
    snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return out;
}

int net_resolve(const char *host, uint32_t *addrs, int max) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &list);
    if (rc != 0) {
        SetLastError(DWORD(rc));
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

bool net_share_for_process(net_sock s, int pid, uint8_t info[NET_SHARE_INFO_SIZE]) {
    memset(info, 0, NET_SHARE_INFO_SIZE);
    return WSADuplicateSocketA(SOCKET(s), DWORD(pid),
                               reinterpret_cast<WSAPROTOCOL_INFOA *>(info)) == 0;
}

net_sock net_socket_from_share(const uint8_t info[NET_SHARE_INFO_SIZE], intptr_t received) {
    (void)received; // the record alone carries the socket on Windows
    WSAPROTOCOL_INFOA rec;
    memcpy(&rec, info, sizeof rec);
    SOCKET s = WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &rec, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return NET_BAD_SOCK;
    not_inheritable(s);
    return net_sock(s);
}

net_sock net_adopt_inherited(net_sock s) {
    int type = 0, len = sizeof type;
    if (getsockopt(SOCKET(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &len) == 0)
        return s;
    if (WSAGetLastError() != WSAENOTSOCK) return s;
    // Wine knows the inherited handle but not as a socket: import it again through a
    // share record made for this process.
    WSAPROTOCOL_INFOA rec;
    if (WSADuplicateSocketA(SOCKET(s), GetCurrentProcessId(), &rec) != 0) return s;
    SOCKET fresh = WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &rec, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (fresh == INVALID_SOCKET) return s;
    not_inheritable(fresh);
    CloseHandle(reinterpret_cast<HANDLE>(s));
    return net_sock(fresh);
}
