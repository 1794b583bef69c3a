// Linux files shared between writers and readers, deletion that refuses files in
// use, one-level folder creation, and folder search with Windows wildcards.
// Readers and writers hold a shared flock on their descriptor; file_delete holds
// an exclusive try-lock while it unlinks, and reports a file in use as ETXTBSY,
// which os_error_kind_of maps to the sharing violation.
#include "platform/fs.h"
#include "platform/os.h"
#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Opens path with flags and takes the shared lock. A file unlinked while we waited
// for the lock counts as not found, as a file deleted a moment earlier would.
static bool open_shared(const char *path, int flags, os_file *out) {
    out->handle = -1;
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat st;
    int r;
    do {
        r = flock(fd, LOCK_SH);
    } while (r != 0 && errno == EINTR);
    if (r != 0 || fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    if (st.st_nlink == 0) {
        close(fd);
        errno = ENOENT;
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return false;
    }
    out->handle = fd;
    return true;
}

bool file_open_read(const char *path, os_file *out, file_links links) {
    return open_shared(path, O_RDONLY | (links == FILE_NO_LINKS ? O_NOFOLLOW : 0), out);
}

bool file_open_write(const char *path, os_file *out, file_links links) {
    return open_shared(path, O_RDWR | O_CREAT | (links == FILE_NO_LINKS ? O_NOFOLLOW : 0), out);
}

bool file_open_regular(const char *path, os_file *out) {
    out->handle = -1;
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat st;
    int e = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : int(FILE_NOT_REGULAR);
    if (e != 0) {
        close(fd);
        errno = e;
        return false;
    }
    out->handle = fd;
    return true;
}

long file_read(os_file *f, void *data, size_t len) {
    for (;;) {
        ssize_t n = read(int(f->handle), data, len);
        if (n >= 0 || errno != EINTR) return long(n);
    }
}

long file_write(os_file *f, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(int(f->handle), p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? long(done) : -1;
        if (n == 0) break;
        done += size_t(n);
    }
    return long(done);
}

long file_pread(os_file *f, void *data, size_t len, uint64_t offset) {
    for (;;) {
        ssize_t n = pread(int(f->handle), data, len, off_t(offset));
        if (n >= 0 || errno != EINTR) return long(n);
    }
}

long file_pwrite(os_file *f, const void *data, size_t len, uint64_t offset) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(int(f->handle), p + done, len - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? long(done) : -1;
        if (n == 0) break;
        done += size_t(n);
    }
    return long(done);
}

bool file_seek(os_file *f, int64_t distance, file_whence from, int64_t *new_pos) {
    int whence = from == FILE_FROM_BEGIN     ? SEEK_SET
                 : from == FILE_FROM_CURRENT ? SEEK_CUR
                                             : SEEK_END;
    off_t pos = lseek(int(f->handle), off_t(distance), whence);
    if (pos < 0) return false;
    if (new_pos) *new_pos = int64_t(pos);
    return true;
}

bool file_size(os_file *f, uint64_t *size) {
    struct stat st;
    if (fstat(int(f->handle), &st) != 0) return false;
    *size = uint64_t(st.st_size);
    return true;
}

bool file_set_size(os_file *f, uint64_t size) {
    return ftruncate(int(f->handle), off_t(size)) == 0;
}

bool file_owner_only(os_file *f) {
    return fchmod(int(f->handle), S_IRUSR | S_IWUSR) == 0;
}

void file_close(os_file *f) {
    if (f->handle >= 0) close(int(f->handle));
    f->handle = -1;
}

bool file_delete(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        // A symbolic link is removed as itself.
        if (errno == ELOOP) return unlink(path) == 0;
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        errno = e == EWOULDBLOCK ? ETXTBSY : e;
        return false;
    }
    int r = unlink(path);
    int e = errno;
    close(fd);
    errno = e;
    return r == 0;
}

bool dir_create(const char *path) {
    return mkdir(path, 0755) == 0;
}

int dir_make_private(const char *path) {
    unsigned mode = 0;
    int r = posix_private_dir(path, &mode);
    if (r == DIR_PRIVATE_OK && (mode & 022) != 0) return DIR_PRIVATE_SHARED;
    return r;
}

// The service runs as the user here: the user's own rules.
int dir_make_service_private(const char *path, char *refused, size_t cap) {
    if (cap) snprintf(refused, cap, "%s", path);
    return dir_make_private(path);
}

// Deletes one entry of the open folder: a link as itself, a file only when no one
// holds it (the exclusive try-lock), as file_delete does.
static bool delete_in(int dir_fd, const char *name) {
    int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ELOOP && unlinkat(dir_fd, name, 0) == 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        errno = e == EWOULDBLOCK ? ETXTBSY : e;
        return false;
    }
    int r = unlinkat(dir_fd, name, 0);
    int e = errno;
    close(fd);
    errno = e;
    return r == 0;
}

bool dir_delete_matching(const char *dir, const char *pattern,
                         void (*on_failure)(const char *name, int native)) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR *d = fdopendir(fd);
    if (!d) {
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    while (dirent *e = readdir(d)) {
        if (e->d_type == DT_DIR || !wildcard_match(e->d_name, pattern)) continue;
        if (!delete_in(fd, e->d_name) && errno != ETXTBSY && errno != EISDIR && on_failure)
            on_failure(e->d_name, errno);
    }
    closedir(d); // closes fd too
    return true;
}

static bool next_match(dir_search *s, dir_entry *e) {
    DIR *d = static_cast<DIR *>(s->dir);
    for (;;) {
        errno = 0;
        dirent *de = readdir(d);
        if (!de) {
            if (errno == 0) errno = ENOENT;
            return false;
        }
        if (!wildcard_match(de->d_name, s->pattern)) continue;
        struct stat st;
        if (fstatat(dirfd(d), de->d_name, &st, 0) != 0 &&
            fstatat(dirfd(d), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since the listing was read
        snprintf(e->name, sizeof e->name, "%s", de->d_name);
        e->last_write_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        e->size = uint64_t(st.st_size);
        e->is_dir = S_ISDIR(st.st_mode);
        return true;
    }
}

bool dir_search_first(const char *path_pattern, dir_search *s, dir_entry *e) {
    s->dir = nullptr;
    s->pattern[0] = 0;
    char folder[OS_PATH_MAX * 4];
    const char *slash = strrchr(path_pattern, '/');
    const char *pattern = slash ? slash + 1 : path_pattern;
    size_t folder_len = slash ? size_t(slash - path_pattern) : 0;
    if (strlen(pattern) >= sizeof s->pattern || folder_len >= sizeof folder) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (slash && folder_len == 0) {
        strcpy(folder, "/");
    } else if (slash) {
        memcpy(folder, path_pattern, folder_len);
        folder[folder_len] = 0;
    } else {
        strcpy(folder, ".");
    }
    strcpy(s->pattern, pattern);
    DIR *d = opendir(folder);
    if (!d) {
        // A missing folder is "path not found", not the "no such file" of a search
        // that found nothing.
        if (errno == ENOENT) errno = ENOTDIR;
        return false;
    }
    s->dir = d;
    if (!next_match(s, e)) {
        int err = errno;
        closedir(d);
        s->dir = nullptr;
        errno = err;
        return false;
    }
    return true;
}

bool dir_search_next(dir_search *s, dir_entry *e) {
    if (!s->dir) {
        errno = EBADF;
        return false;
    }
    return next_match(s, e);
}

void dir_search_close(dir_search *s) {
    if (s->dir) closedir(static_cast<DIR *>(s->dir));
    s->dir = nullptr;
}
