// Linux services: through `systemctl --user` when a unit "<name>.service" is
// installed and the user manager runs, otherwise by starting the host program
// detached and signalling it through the pid file it holds locked while it runs.
#include "platform/service.h"
#include "platform/os.h"
#include "platform/posix/posix_internal.h"
#include "platform/process.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

enum { HOST_START_WAIT_MS = 5000, STARTED_MAX = 8 };

// The host holds two locks on its pid file: octet 0 claims the name (one host at a
// time), octet 1 says the pid in it is complete. Readers look at octet 1 only, so
// they never read a file being rewritten, nor the pid a previous host left there.
enum { PID_CLAIM_BYTE = 0, PID_WRITTEN_BYTE = 1 };

static bool pid_file_path(const char *name, char *out, size_t cap) {
    char file[128];
    if (snprintf(file, sizeof file, "%s.pid", name) >= int(sizeof file) || strchr(name, '/')) {
        errno = EINVAL;
        return false;
    }
    return posix_runtime_path("service", file, out, cap);
}

// The pid of the live host of name, 0 when none runs.
static int host_pid(const char *name) {
    char path[OS_PATH_MAX * 2];
    if (!pid_file_path(name, path, sizeof path)) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = PID_WRITTEN_BYTE;
    fl.l_len = 1;
    int pid = 0;
    if (fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) {
        char text[32] = {};
        if (pread(fd, text, sizeof text - 1, 0) > 0) pid = atoi(text);
    }
    close(fd);
    return pid > 0 ? pid : 0;
}

bool service_running(const char *name) {
    return host_pid(name) != 0;
}

// ---- systemd user manager

static bool file_exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// The unit is installed where the user manager looks, and that manager runs.
static bool systemd_unit_usable(const char *name) {
    char runtime[OS_PATH_MAX], path[OS_PATH_MAX * 2];
    if (!os_getenv("XDG_RUNTIME_DIR", runtime, sizeof runtime)) return false;
    snprintf(path, sizeof path, "%s/systemd/private", runtime);
    if (!file_exists(path)) return false;

    char home[OS_PATH_MAX - 32] = "", config[OS_PATH_MAX] = "", data[OS_PATH_MAX] = "";
    os_getenv("HOME", home, sizeof home);
    if (!os_getenv("XDG_CONFIG_HOME", config, sizeof config))
        snprintf(config, sizeof config, "%s/.config", home);
    if (!os_getenv("XDG_DATA_HOME", data, sizeof data))
        snprintf(data, sizeof data, "%s/.local/share", home);
    const char *dirs[] = {config,     data,        "/etc", "/usr/local/lib", "/usr/local/share",
                          "/usr/lib", "/usr/share"};
    for (const char *d : dirs) {
        if (!d[0]) continue;
        snprintf(path, sizeof path, "%s/systemd/user/%s.service", d, name);
        if (file_exists(path)) return true;
    }
    return false;
}

// Runs `systemctl --user verb name.service`; true when it succeeded.
static bool systemctl(const char *verb, const char *name) {
    const char *program =
        file_exists("/usr/bin/systemctl") ? "/usr/bin/systemctl" : "/bin/systemctl";
    char line[256];
    snprintf(line, sizeof line, "systemctl --user %s \"%s.service\"", verb, name);
    os_process p;
    if (!proc_start(program, line, -1, &p)) return false;
    int code = 1;
    proc_wait(&p, 0xFFFFFFFFu);
    proc_exit_code(&p, &code);
    proc_close(&p);
    if (code != 0) errno = ECHILD;
    return code == 0;
}

// ---- direct start and stop

// Hosts started here, reaped once they end so that none stays a zombie.
static std::atomic_flag s_started_lock = ATOMIC_FLAG_INIT;
static os_process s_started[STARTED_MAX];

static void reap_started() {
    for (os_process &p : s_started)
        if (p.pid != 0 && proc_wait(&p, 0)) proc_close(&p);
}

static void remember_started(const os_process *p) {
    for (os_process &slot : s_started)
        if (slot.pid == 0) {
            slot = *p;
            return;
        }
    close(int(p->handle)); // no room: the host stays unreaped until this process ends
}

bool service_start(const char *name, const char *host_program, service_step *failed) {
    if (failed) *failed = SERVICE_STEP_CONTROL;
    if (systemd_unit_usable(name)) return systemctl("start", name);
    if (host_pid(name) != 0) {
        errno = EEXIST;
        return false;
    }
    while (s_started_lock.test_and_set())
        usleep(1000);
    reap_started();
    char line[OS_PATH_MAX + 8];
    snprintf(line, sizeof line, "\"%s\"", host_program);
    os_process p;
    bool ok = proc_start_detached(host_program, line, &p);
    int e = errno;
    if (ok) {
        // Started means registered as the host, or ended already (its start failed).
        int waited = 0;
        while (host_pid(name) == 0 && !proc_wait(&p, 0) && waited < HOST_START_WAIT_MS) {
            usleep(10000);
            waited += 10;
        }
        if (host_pid(name) == 0) {
            ok = false;
            e = ECHILD;
        }
        remember_started(&p);
    }
    s_started_lock.clear();
    errno = e;
    return ok;
}

bool service_stop(const char *name, service_step *failed) {
    if (failed) *failed = SERVICE_STEP_CONTROL;
    while (s_started_lock.test_and_set())
        usleep(1000);
    reap_started(); // hosts that ended since the last call
    s_started_lock.clear();
    bool via_systemd = systemd_unit_usable(name) && systemctl("stop", name);
    int pid = host_pid(name);
    if (pid == 0) {
        if (via_systemd) return true;
        errno = ENOENT;
        return false;
    }
    if (kill(pid, SIGTERM) != 0) return false;
    return true;
}

bool service_install(const char *, const char *) {
    errno = ENOTSUP;
    return false;
}

bool service_uninstall(const char *) {
    errno = ENOTSUP;
    return false;
}

// ---- host side

static volatile sig_atomic_t s_stop_requested = 0;
static int s_host_fd = -1;

static void on_stop_signal(int) {
    s_stop_requested = 1;
}

bool service_host_register(const char *name, bool) {
    char path[OS_PATH_MAX * 2];
    if (!pid_file_path(name, path, sizeof path)) return false;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = PID_CLAIM_BYTE;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        int e = errno;
        close(fd);
        errno = (e == EAGAIN || e == EACCES) ? EEXIST : e;
        return false;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "%d\n", int(getpid()));
    fl.l_start = PID_WRITTEN_BYTE;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, size_t(n), 0) != n ||
        fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    s_host_fd = fd;
    return true;
}

bool service_host_stop_requested() {
    return s_stop_requested != 0;
}
