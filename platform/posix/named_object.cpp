// Linux named mutexes and semaphores: lock files under $VARNEX_RUNTIME_DIR/lock
// held with open-file-description record locks on their first octet. The kernel
// drops them when the holder's descriptor goes, however the process ends.
// A mutex holds a write lock; semaphore holders share read locks. A write lock can
// be turned into a read lock atomically, which makes "created" vs "exists" of a
// semaphore exact even when two processes start at the same moment.
#include "platform/named_object.h"
#include "platform/os.h"
#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static bool lock_file_path(const char *name, char *out, size_t cap) {
    char file[256];
    size_t n = strlen(name);
    if (n == 0 || n >= sizeof file) {
        errno = n ? ENAMETOOLONG : EINVAL;
        return false;
    }
    for (size_t i = 0; i <= n; i++)
        file[i] = (name[i] == '\\' || name[i] == '/') ? '_' : name[i];
    return posix_runtime_path("lock", file, out, cap);
}

static int record_lock(int fd, int cmd, short type) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    int r;
    do {
        r = fcntl(fd, cmd, &fl);
    } while (r != 0 && errno == EINTR);
    if (r == 0 && cmd == F_OFD_GETLK) return fl.l_type == F_UNLCK ? 0 : 1;
    return r;
}

static bool lock_busy(int e) {
    return e == EAGAIN || e == EACCES;
}

static int open_lock_file(const char *name) {
    char path[OS_PATH_MAX * 2];
    if (!lock_file_path(name, path, sizeof path)) return -1;
    return open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

named_result named_mutex_create(const char *name, named_object *out) {
    out->handle = -1;
    int fd = open_lock_file(name);
    if (fd < 0) return NAMED_FAILED;
    if (record_lock(fd, F_OFD_SETLK, F_WRLCK) != 0) {
        int e = errno;
        close(fd);
        if (lock_busy(e)) {
            errno = EEXIST;
            return NAMED_EXISTS;
        }
        errno = e;
        return NAMED_FAILED;
    }
    out->handle = fd;
    errno = 0;
    return NAMED_CREATED;
}

named_result named_semaphore_create(const char *name, named_object *out) {
    out->handle = -1;
    int fd = open_lock_file(name);
    if (fd < 0) return NAMED_FAILED;
    // A write lock taken means nobody held it: created. Otherwise join the readers;
    // a read lock can fail only in the instant another creator holds its write lock.
    for (int attempt = 0; attempt < 200; attempt++) {
        if (record_lock(fd, F_OFD_SETLK, F_WRLCK) == 0) {
            if (record_lock(fd, F_OFD_SETLK, F_RDLCK) != 0) break;
            out->handle = fd;
            errno = 0;
            return NAMED_CREATED;
        }
        if (!lock_busy(errno)) break;
        if (record_lock(fd, F_OFD_SETLK, F_RDLCK) == 0) {
            out->handle = fd;
            errno = EEXIST;
            return NAMED_EXISTS;
        }
        if (!lock_busy(errno)) break;
        usleep(1000);
    }
    int e = errno;
    close(fd);
    errno = e;
    return NAMED_FAILED;
}

bool named_object_exists(const char *name) {
    char path[OS_PATH_MAX * 2];
    if (!lock_file_path(name, path, sizeof path)) return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int held = record_lock(fd, F_OFD_GETLK, F_WRLCK);
    close(fd);
    return held == 1;
}

void named_object_close(named_object *obj) {
    if (obj->handle >= 0) close(int(obj->handle));
    obj->handle = -1;
}
