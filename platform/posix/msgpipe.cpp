// Linux message pipes: a Unix-domain SOCK_SEQPACKET socket at
// $VARNEX_RUNTIME_DIR/pipe/NAME behaves as a one-instance Windows message pipe.
//
// The server holds an exclusive file lock on "pipe/.NAME.lock" for its life, so a
// second server is refused and a socket file left by a dead server is replaced.
// The lock is an open-file-description lock: a client asks whether it is held
// (F_OFD_GETLK) without taking a lock itself, so a server starting in that moment
// never meets the client's probe and fails.
// The listening socket (backlog 0) exists only while the server waits for a
// client: after the accept it is closed, so further clients meet no listener and
// are told "busy"; msgpipe_disconnect opens it again (bound under a temporary name
// and renamed over the path, so the name never disappears in between).
//
// A client can still connect in the moment between the accept and the close; the
// close then resets it. So the server sends each client it takes one admission
// octet, and a client's first write or read waits for that octet: a reset or an end
// of stream instead means "busy", and no message goes into a connection nobody reads.
#include "platform/msgpipe.h"
#include "platform/os.h"
#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

void msgpipe_path(const char *name, char *out, size_t cap) {
    if (!posix_runtime_path("pipe", name, out, cap) && cap) out[0] = 0;
}

static const char ADMIT_OCTET = 'A';

static bool lock_path(const char *name, char *out, size_t cap) {
    char hidden[128];
    int n = snprintf(hidden, sizeof hidden, ".%s.lock", name);
    if (n < 0 || size_t(n) >= sizeof hidden) {
        errno = ENAMETOOLONG;
        return false;
    }
    return posix_runtime_path("pipe", hidden, out, cap);
}

// A lock record for the whole lock file.
static struct flock whole_file(short type) {
    struct flock l;
    memset(&l, 0, sizeof l);
    l.l_type = type;
    l.l_whence = SEEK_SET;
    return l;
}

static bool fill_address(const char *path, sockaddr_un *sa) {
    memset(sa, 0, sizeof *sa);
    sa->sun_family = AF_UNIX;
    size_t n = strlen(path);
    if (n == 0 || n >= sizeof sa->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(sa->sun_path, path, n + 1);
    return true;
}

// A listening socket bound at path, put in place atomically.
static int open_listener(const char *path) {
    sockaddr_un sa;
    char temp[sizeof sa.sun_path + 32];
    snprintf(temp, sizeof temp, "%s.%d.new", path, int(getpid()));
    if (!fill_address(temp, &sa)) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(temp);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 0) != 0 ||
        rename(temp, path) != 0) {
        int e = errno;
        unlink(temp);
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool msgpipe_create(const char *name, msg_pipe *out) {
    out->conn = out->listen = out->owner = -1;
    out->pending_admission = 0;
    snprintf(out->name, sizeof out->name, "%s", name);
    char path[OS_PATH_MAX * 2], lock[OS_PATH_MAX * 2];
    if (strlen(name) >= sizeof out->name) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!lock_path(name, lock, sizeof lock) || !posix_runtime_path("pipe", name, path, sizeof path))
        return false;
    int owner = open(lock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (owner < 0) return false;
    struct flock whole = whole_file(F_WRLCK);
    if (fcntl(owner, F_OFD_SETLK, &whole) != 0) {
        int e = errno == EAGAIN || errno == EACCES ? EEXIST : errno;
        close(owner);
        errno = e;
        return false;
    }
    int fd = open_listener(path);
    if (fd < 0) {
        int e = errno;
        close(owner);
        errno = e;
        return false;
    }
    out->owner = owner;
    out->listen = fd;
    return true;
}

static int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for events on fd; 1 ready, 0 time-out (ETIMEDOUT), -1 failure.
static int wait_fd(int fd, short events, int timeout_ms) {
    int64_t end = now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int left = timeout_ms < 0 ? -1 : int(end - now_ms());
        if (timeout_ms >= 0 && left < 0) left = 0;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, left);
        if (r > 0) return 1;
        if (r == 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        if (errno != EINTR) return -1;
    }
}

static bool reopen_listener(msg_pipe *p) {
    char path[OS_PATH_MAX * 2];
    if (!posix_runtime_path("pipe", p->name, path, sizeof path)) return false;
    p->listen = open_listener(path);
    return p->listen >= 0;
}

bool msgpipe_wait_client(msg_pipe *p, int timeout_ms) {
    if (p->conn >= 0) return true;
    if (p->owner < 0) {
        errno = EINVAL;
        return false;
    }
    int64_t end = now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (p->listen < 0 && !reopen_listener(p)) return false;
        int left = timeout_ms < 0 ? -1 : int(end - now_ms());
        if (timeout_ms >= 0 && left < 0) left = 0;
        if (wait_fd(int(p->listen), POLLIN, left) <= 0) return false;
        int fd;
        do {
            fd = accept4(int(p->listen), nullptr, nullptr, SOCK_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return false;
        // One instance: nobody else gets in until the disconnect.
        close(int(p->listen));
        p->listen = -1;
        ssize_t n;
        do {
            n = send(fd, &ADMIT_OCTET, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n == 1) {
            p->conn = fd;
            return true;
        }
        // That client has already gone: wait for the next one.
        close(fd);
    }
}

void msgpipe_disconnect(msg_pipe *p) {
    if (p->conn >= 0) close(int(p->conn));
    p->conn = -1;
    if (p->owner >= 0 && p->listen < 0) reopen_listener(p);
}

// True when a live server holds the name.
static bool server_alive(const char *name) {
    char lock[OS_PATH_MAX * 2];
    if (!lock_path(name, lock, sizeof lock)) return false;
    int fd = open(lock, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock probe = whole_file(F_WRLCK); // asks only: what would conflict with it
    bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    return held;
}

bool msgpipe_open(const char *name, msg_pipe *out) {
    out->conn = out->listen = out->owner = -1;
    out->pending_admission = 0;
    snprintf(out->name, sizeof out->name, "%s", name);
    char path[OS_PATH_MAX * 2];
    sockaddr_un sa;
    if (!posix_runtime_path("pipe", name, path, sizeof path) || !fill_address(path, &sa))
        return false;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int e = errno;
        close(fd);
        if (e == ENOENT || e == ECONNREFUSED || e == EAGAIN)
            e = server_alive(name) ? EBUSY : ENOENT;
        errno = e;
        return false;
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    out->conn = fd;
    out->pending_admission = 1;
    return true;
}

// Client: takes the server's admission octet. 1 admitted, 0 not within timeout_ms
// (ETIMEDOUT), -1 when the server dropped the connection instead (EBUSY) or failure.
static int await_admission(msg_pipe *p, int timeout_ms) {
    if (!p->pending_admission) return 1;
    int r = wait_fd(int(p->conn), POLLIN, timeout_ms);
    if (r <= 0) return r;
    char octet[2];
    ssize_t n;
    do {
        n = recv(int(p->conn), octet, sizeof octet, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n == 1 && octet[0] == ADMIT_OCTET) {
        p->pending_admission = 0;
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        errno = ETIMEDOUT;
        return 0;
    }
    if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE)))
        errno = EBUSY;
    else if (n > 0)
        errno = EPROTO;
    return -1;
}

long msgpipe_write(msg_pipe *p, const void *data, size_t len, intptr_t pass_sock) {
    if (p->conn < 0 || len == 0) {
        errno = p->conn < 0 ? ENOTCONN : EINVAL;
        return -1;
    }
    int admitted = await_admission(p, MSGPIPE_ADMIT_MS);
    if (admitted <= 0) {
        if (admitted == 0) errno = EBUSY; // the instance never came free
        return -1;
    }
    iovec iov{const_cast<void *>(data), len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (pass_sock >= 0) {
        memset(control, 0, sizeof control);
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        int fd = int(pass_sock);
        memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    for (;;) {
        ssize_t n = sendmsg(int(p->conn), &msg, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) return long(n);
    }
}

long msgpipe_read(msg_pipe *p, void *data, size_t cap, intptr_t *got_sock, int timeout_ms) {
    if (got_sock) *got_sock = -1;
    if (p->conn < 0) {
        errno = ENOTCONN;
        return -1;
    }
    int64_t start = now_ms();
    int admitted = await_admission(p, timeout_ms);
    if (admitted <= 0) return admitted;
    if (timeout_ms >= 0) {
        int left = timeout_ms - int(now_ms() - start);
        int r = wait_fd(int(p->conn), POLLIN, left < 0 ? 0 : left);
        if (r == 0) return 0;
        if (r < 0) return -1;
    }
    iovec iov{data, cap};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(int(p->conn), &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    // Descriptors that came along: the first is handed out, any others closed.
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (got_sock && *got_sock < 0)
                *got_sock = fd;
            else
                close(fd);
        }
    }
    if (n == 0) {
        errno = EPIPE; // the other end has gone
        return -1;
    }
    if (msg.msg_flags & MSG_TRUNC) {
        errno = EMSGSIZE; // data holds the first cap octets, the rest is lost
        return -1;
    }
    return long(n);
}

long msgpipe_peek(msg_pipe *p) {
    if (p->conn < 0) {
        errno = ENOTCONN;
        return -1;
    }
    int admitted = await_admission(p, 0);
    if (admitted <= 0) return admitted;
    char one;
    for (;;) {
        ssize_t n = recv(int(p->conn), &one, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (n > 0) return long(n);
        if (n == 0) {
            errno = EPIPE;
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

void msgpipe_close(msg_pipe *p) {
    if (p->owner >= 0) {
        // The name goes away before the lock that guards it.
        char path[OS_PATH_MAX * 2];
        if (posix_runtime_path("pipe", p->name, path, sizeof path)) unlink(path);
    }
    if (p->listen >= 0) close(int(p->listen));
    if (p->conn >= 0) close(int(p->conn));
    if (p->owner >= 0) close(int(p->owner));
    p->listen = p->conn = p->owner = -1;
    p->pending_admission = 0;
}
