// Linux folder watching with inotify (IN_MODIFY: a file's contents were written).
// dirwatch_read turns the queued events into Windows-style change records and
// applies the limit of the Windows change buffer: every record takes
// 12 + 2 * (name length) octets rounded up to 4, and when the records do not fit
// the read reports none, as Windows does after its buffer overflowed. An inotify
// queue overflow is reported the same way. Repeated writes to one file within one
// read give one record.
#include "platform/fs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

bool dirwatch_open(const char *dir, size_t buffer_size, dir_watch *w) {
    w->handle = -1;
    w->watch = -1;
    w->buffer_size = buffer_size;
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) return false;
    int wd = inotify_add_watch(fd, dir, IN_MODIFY | IN_ONLYDIR);
    if (wd < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    w->handle = fd;
    w->watch = wd;
    return true;
}

bool dirwatch_unavailable(int native) {
    // EMFILE also when this process has no descriptor left: looking needs none kept.
    return native == EMFILE || native == ENFILE || native == ENOMEM || native == ENOSPC ||
           native == ENOSYS;
}

static int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the inotify descriptor is readable: 1, 0 on time-out, -1 on failure.
static int wait_events(int fd, int timeout_ms, int64_t end) {
    for (;;) {
        int left = timeout_ms < 0 ? -1 : int(end - now_ms());
        if (timeout_ms >= 0 && left < 0) left = 0;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r > 0) return 1;
        if (r == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

static void add_record(dirwatch_batch *st, const char *name, size_t len) {
    for (int i = 0; i < st->count; i++)
        if (strncmp(st->recs[i].name, name, len) == 0 && st->recs[i].name[len] == 0) return;
    st->octets += (12 + 2 * len + 3) & ~size_t(3);
    if (st->count >= st->max_recs || len >= sizeof st->recs[0].name) {
        st->overflow = true;
        return;
    }
    st->recs[st->count].action = DIRWATCH_ACTION_MODIFIED;
    memcpy(st->recs[st->count].name, name, len);
    st->recs[st->count].name[len] = 0;
    st->count++;
}

void dirwatch_decode(const void *events, size_t n, dirwatch_batch *st) {
    const char *buf = static_cast<const char *>(events);
    for (size_t off = 0; off + sizeof(inotify_event) <= n;) {
        inotify_event ev; // copied: the octets need not be aligned
        memcpy(&ev, buf + off, sizeof ev);
        const char *name = buf + off + sizeof ev;
        if (ev.len > n - off - sizeof ev) {
            st->overflow = true; // cut short: nothing of this batch can be trusted
            return;
        }
        off += sizeof ev + ev.len;
        if (ev.mask & IN_Q_OVERFLOW) st->overflow = true;
        if (ev.mask & IN_IGNORED) st->gone = true;
        size_t len = strnlen(name, ev.len);
        if ((ev.mask & IN_MODIFY) && len > 0 && !(ev.mask & IN_ISDIR)) add_record(st, name, len);
    }
}

// Reads every queued event. False on a read failure.
static bool drain(int fd, dirwatch_batch *st) {
    alignas(inotify_event) char buf[16384];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return true;
            return false;
        }
        if (n == 0) return true;
        dirwatch_decode(buf, size_t(n), st);
    }
}

int dirwatch_read(dir_watch *w, int timeout_ms, dirwatch_record *recs, int max_recs,
                  bool *signalled) {
    *signalled = false;
    if (w->handle < 0) {
        errno = EBADF;
        return -1;
    }
    if (w->watch < 0) { // the folder went in a read that still had records to give
        errno = ENOENT;
        return -1;
    }
    int64_t end = now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int r = wait_events(int(w->handle), timeout_ms, end);
        if (r <= 0) return r;
        dirwatch_batch st{recs, max_recs < 0 ? 0 : max_recs, 0, 0, false, false};
        if (!drain(int(w->handle), &st)) return -1;
        // The kernel drops the watch of a removed folder and sends no more events:
        // the removal must not be lost behind the records that came with it.
        if (st.gone) w->watch = -1;
        if (st.overflow || st.octets > w->buffer_size) {
            *signalled = true;
            return 0;
        }
        if (st.count > 0) {
            *signalled = true;
            return st.count;
        }
        if (st.gone) {
            errno = ENOENT;
            return -1;
        }
        // Only events that make no record: keep waiting for the time that is left.
    }
}

void dirwatch_close(dir_watch *w) {
    if (w->handle >= 0) close(int(w->handle));
    w->handle = -1;
    w->watch = -1;
}

bool dirnotify_open(const char *dir, dir_watch *w) {
    return dirwatch_open(dir, ~size_t(0), w);
}

int dirnotify_wait(dir_watch *w, int timeout_ms) {
    dirwatch_record recs[1];
    bool signalled = false;
    int n = dirwatch_read(w, timeout_ms, recs, 1, &signalled);
    if (n < 0) return -1;
    return signalled ? 1 : 0;
}

void dirnotify_close(dir_watch *w) {
    dirwatch_close(w);
}
