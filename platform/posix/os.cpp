// Linux basics: errno and its kinds, clocks, sleeping, the environment, this
// program's path, and the per-user runtime and registry folders.
#include "platform/os.h"
#include "platform/fs.h"
#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int os_error() {
    return errno;
}

void os_set_error(int native) {
    errno = native;
}

os_error_kind os_error_kind_of(int native) {
    switch (native) {
    case 0:
        return OS_E_NONE;
    case ENOENT:
        return OS_E_NOT_FOUND;
    case EEXIST:
        return OS_E_EXISTS;
    case EACCES:
    case EPERM:
        return OS_E_ACCESS;
    case ETXTBSY:
        return OS_E_SHARING;
    case EBUSY:
        return OS_E_BUSY;
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED:
        return OS_E_CONN_RESET;
    case EINPROGRESS:
    case EAGAIN:
        return OS_E_PENDING;
    case ETIMEDOUT:
        return OS_E_TIMEOUT;
    default:
        return OS_E_OTHER;
    }
}

void os_local_time_now(os_local_time *out) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    tm parts;
    localtime_r(&secs, &parts);
    out->day = unsigned(parts.tm_mday);
    out->month = unsigned(parts.tm_mon + 1);
    out->year = unsigned(parts.tm_year + 1900);
    out->hour = unsigned(parts.tm_hour);
    out->minute = unsigned(parts.tm_min);
    out->second = unsigned(parts.tm_sec);
    out->millisecond = unsigned(ts.tv_nsec / 1000000);
}

uint32_t os_tick_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

int64_t os_time_seconds() {
    return int64_t(time(nullptr));
}

void os_sleep_ms(unsigned ms) {
    timespec left{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int os_process_id() {
    return int(getpid());
}

bool os_getenv(const char *name, char *out, size_t cap) {
    const char *v = getenv(name);
    if (!v || !*v) return false;
    size_t n = strlen(v);
    if (n + 1 > cap) return false;
    memcpy(out, v, n + 1);
    return true;
}

bool os_module_path(char *out, size_t cap) {
    if (cap < 2) {
        errno = ENAMETOOLONG;
        return false;
    }
    ssize_t n = readlink("/proc/self/exe", out, cap - 1);
    if (n < 0) return false;
    if (size_t(n) >= cap - 1) {
        errno = ENAMETOOLONG;
        return false;
    }
    out[n] = 0;
    return true;
}

bool os_program_dir(char *out, size_t cap) {
    if (!os_module_path(out, cap)) return false;
    char *slash = strrchr(out, '/');
    if (slash && slash != out)
        *slash = 0;
    else if (slash)
        slash[1] = 0;
    return true;
}

bool os_temp_root(char *out, size_t cap) {
    if (os_getenv("TEMP", out, cap) || os_getenv("TMP", out, cap) || os_getenv("TMPDIR", out, cap))
        return true;
    if (cap < 5) return false;
    memcpy(out, "/tmp", 5);
    return true;
}

bool posix_make_dirs(const char *path) {
    char buf[4096];
    size_t n = strlen(path);
    if (n == 0 || n >= sizeof buf) {
        errno = n ? ENAMETOOLONG : ENOENT;
        return false;
    }
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return true;
    memcpy(buf, path, n + 1);
    for (size_t i = 1; i <= n; i++) {
        if (buf[i] != '/' && buf[i] != 0) continue;
        char keep = buf[i];
        buf[i] = 0;
        if (mkdir(buf, 0700) != 0 && errno != EEXIST) return false;
        buf[i] = keep;
    }
    if (stat(path, &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool posix_join(char *out, size_t cap, const char *a, const char *b, const char *c) {
    int n = c ? snprintf(out, cap, "%s/%s/%s", a, b, c) : snprintf(out, cap, "%s/%s", a, b);
    if (n < 0 || size_t(n) >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int posix_private_dir(const char *path, unsigned *mode) {
    if (mkdir(path, 0700) == 0) {
        if (chmod(path, 0700) != 0) return DIR_PRIVATE_FAILED; // the umask may have taken bits
    } else if (errno != EEXIST) {
        return DIR_PRIVATE_FAILED;
    }
    struct stat st;
    if (lstat(path, &st) != 0) return DIR_PRIVATE_FAILED;
    if (!S_ISDIR(st.st_mode)) return DIR_PRIVATE_LINK;
    if (st.st_uid != geteuid()) return DIR_PRIVATE_FOREIGN;
    *mode = unsigned(st.st_mode & 07777);
    return DIR_PRIVATE_OK;
}

// The per-user folder in the shared temporary folder. Any local user can create
// that name first, so it is used only when it is a real folder (not a link) of
// this user with mode 0700; it is made so when missing.
static bool private_tmp_dir(char *out, size_t cap) {
    int n = snprintf(out, cap, "/tmp/varnex-%u", unsigned(getuid()));
    if (n < 0 || size_t(n) >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    unsigned mode = 0;
    switch (posix_private_dir(out, &mode)) {
    case DIR_PRIVATE_OK:
        if (mode == 0700) return true;
        errno = EACCES;
        return false;
    case DIR_PRIVATE_LINK:
        errno = ENOTDIR;
        return false;
    case DIR_PRIVATE_FOREIGN:
        errno = EPERM;
        return false;
    default:
        return false;
    }
}

// One folder chosen from a variable or a per-user default. The text is kept per
// thread and recomputed when the variable changes (tests switch worlds); the
// folder is created when the text changes. nullptr when the default in the
// shared temporary folder is refused.
struct dir_cache {
    char path[OS_PATH_MAX * 2];
};

static const char *cached_dir(dir_cache *cache, const char *var, const char *base_var,
                              const char *base_sub, const char *tmp_sub) {
    char want[sizeof cache->path];
    const char *v = getenv(var);
    const char *base = getenv(base_var);
    int n;
    if (v && *v) {
        n = snprintf(want, sizeof want, "%s", v);
    } else if (base && *base) {
        n = snprintf(want, sizeof want, "%s/%s", base, base_sub);
    } else {
        char tmp[64];
        if (!private_tmp_dir(tmp, sizeof tmp)) {
            cache->path[0] = 0;
            return nullptr;
        }
        n = snprintf(want, sizeof want, "%s%s", tmp, tmp_sub);
    }
    if (n < 0 || size_t(n) >= sizeof want) n = snprintf(want, sizeof want, "/tmp");
    if (strcmp(want, cache->path) != 0) {
        posix_make_dirs(want);
        memcpy(cache->path, want, size_t(n) + 1);
    }
    return cache->path;
}

const char *os_runtime_dir() {
    static thread_local dir_cache cache;
    return cached_dir(&cache, "VARNEX_RUNTIME_DIR", "XDG_RUNTIME_DIR", "varnex", "");
}

const char *os_registry_dir() {
    static thread_local dir_cache cache;
    return cached_dir(&cache, "VARNEX_REGISTRY_DIR", "HOME", ".varnex/registry", "/registry");
}

bool os_check_private_dirs(char *refused, size_t cap) {
    if (os_runtime_dir() && os_registry_dir()) return true;
    int e = errno;
    if (cap) snprintf(refused, cap, "/tmp/varnex-%u", unsigned(getuid()));
    errno = e;
    return false;
}

bool posix_runtime_path(const char *sub, const char *name, char *out, size_t cap) {
    char dir[OS_PATH_MAX * 2];
    const char *runtime = os_runtime_dir();
    if (!runtime || !posix_join(dir, sizeof dir, runtime, sub)) return false;
    if (!posix_make_dirs(dir)) return false;
    return posix_join(out, cap, dir, name);
}

bool os_raise_open_files(unsigned want, unsigned *now) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur < want) {
        rlim_t target = lim.rlim_max < want ? lim.rlim_max : want;
        rlimit raised{target, lim.rlim_max};
        if (target > lim.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == 0) lim.rlim_cur = target;
    }
    *now = lim.rlim_cur > 0x7fffffff ? 0x7fffffffu : unsigned(lim.rlim_cur);
    return *now >= want;
}

bool os_runs_as_system() {
    return false;
}

// The file is opened before standard output is touched, so a path that cannot be
// opened leaves standard output as it was (freopen would close it first).
bool os_redirect_stdout(const char *path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::fflush(stdout);
    int r = fd == 1 ? 0 : dup2(fd, 1);
    int e = errno;
    if (fd != 1) close(fd);
    errno = e;
    return r >= 0;
}
