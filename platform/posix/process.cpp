// Linux child processes: fork and exec of the arguments that cmdline_split
// (cmdline.cpp) makes, with exactly one inherited descriptor, exec failures reported back
// over a close-on-exec pipe, and pidfds as process handles for waits and signals.
//
// Children get PR_SET_PDEATHSIG(SIGKILL). The kernel sends that signal when the
// *thread* that forked ends, so every fork happens on one spawner thread that lives
// as long as the process: children then die with the process, not with whichever
// worker thread happened to start them.
#include "platform/process.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

enum { STILL_ACTIVE_CODE = 259, CMDLINE_STORAGE = 32768, CMDLINE_MAX_ARGS = 1024 };

static int pidfd_open_call(pid_t pid) {
    return int(syscall(SYS_pidfd_open, pid, 0));
}

static int pidfd_signal(int pidfd, int sig) {
    return int(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// ---- the spawner thread

struct spawn_request {
    const char *program;
    char **argv;
    int inherit;
    bool detached;
    pid_t pid; // result
    int error; // errno of the failure, 0 on success
};

struct spawner_state {
    std::mutex call; // one request at a time
    std::mutex lock;
    std::condition_variable cv;
    spawn_request *pending = nullptr;
    bool done = false;
    bool started = false;
};

// Never destroyed: the spawner thread waits on it until the process ends, and
// destroying a condition variable with a waiter blocks exit() for good.
static spawner_state &spawner = *new spawner_state;

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] static void child_exec(const spawn_request *r, pid_t parent, int report_fd) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        sigaction(sig, &dfl, nullptr);
    }
    if (r->detached) {
        setsid();
    } else {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may have ended before the request above took effect.
        if (getppid() != parent) _exit(127);
    }
    // Whatever the rest of the program opened, only the standard streams and the
    // chosen descriptor cross the exec.
    syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
    if (r->inherit >= 0) {
        int flags = fcntl(r->inherit, F_GETFD);
        if (flags < 0 || fcntl(r->inherit, F_SETFD, flags & ~FD_CLOEXEC) < 0) {
            int e = errno;
            (void)!write(report_fd, &e, sizeof e);
            _exit(127);
        }
    }
    // A standard stream that is closed here, or held by a close-on-exec descriptor of
    // this program, would leave its number free in the child, whose first open file
    // would then take it (a lock file becoming its standard output): /dev/null
    // stands in for it.
    if (report_fd <= 2) {
        int moved = fcntl(report_fd, F_DUPFD_CLOEXEC, 3);
        if (moved >= 0) report_fd = moved;
    }
    for (int fd = 0; fd <= 2; fd++) {
        int flags = fcntl(fd, F_GETFD);
        if (fd == r->inherit || (flags >= 0 && !(flags & FD_CLOEXEC))) continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    execv(r->program, r->argv);
    int e = errno;
    (void)!write(report_fd, &e, sizeof e);
    _exit(127);
}

static void run_request(spawn_request *r) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        r->error = errno;
        return;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) child_exec(r, parent, report[1]);
    int fork_errno = errno;
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        r->error = fork_errno;
        return;
    }
    int child_errno = 0;
    ssize_t n;
    do {
        n = read(report[0], &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == ssize_t(sizeof child_errno)) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r->error = child_errno ? child_errno : ENOEXEC;
        return;
    }
    r->pid = pid;
    r->error = 0;
}

static void spawner_main() {
    std::unique_lock<std::mutex> hold(spawner.lock);
    for (;;) {
        spawner.cv.wait(hold, [] { return spawner.pending != nullptr && !spawner.done; });
        run_request(spawner.pending);
        spawner.done = true;
        spawner.cv.notify_all();
    }
}

static bool spawn(spawn_request *r) {
    std::lock_guard<std::mutex> one(spawner.call);
    std::unique_lock<std::mutex> hold(spawner.lock);
    if (!spawner.started) {
        std::thread(spawner_main).detach();
        spawner.started = true;
    }
    spawner.done = false;
    spawner.pending = r;
    spawner.cv.notify_all();
    spawner.cv.wait(hold, [] { return spawner.done; });
    spawner.pending = nullptr;
    spawner.done = false;
    if (r->error) {
        errno = r->error;
        return false;
    }
    return true;
}

static bool start_common(const char *program_path, const char *command_line, intptr_t inherit,
                         bool detached, os_process *out) {
    out->pid = 0;
    out->handle = -1;
    static thread_local char storage[CMDLINE_STORAGE];
    static thread_local char *argv[CMDLINE_MAX_ARGS];
    int argc = cmdline_split(command_line, storage, sizeof storage, argv, CMDLINE_MAX_ARGS);
    if (argc < 0) return false;
    if (argc == 0) {
        argv[0] = const_cast<char *>(program_path);
        argv[1] = nullptr;
    }
    spawn_request r{program_path, argv, int(inherit), detached, 0, 0};
    if (!spawn(&r)) return false;
    int fd = pidfd_open_call(r.pid);
    if (fd < 0) {
        int e = errno;
        kill(r.pid, SIGKILL);
        int status;
        while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
        }
        errno = e;
        return false;
    }
    out->pid = int(r.pid);
    out->handle = fd;
    return true;
}

bool proc_start(const char *program_path, const char *command_line, intptr_t inherit,
                os_process *out) {
    return start_common(program_path, command_line, inherit, false, out);
}

bool proc_start_detached(const char *program_path, const char *command_line, os_process *out) {
    return start_common(program_path, command_line, -1, true, out);
}

static int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int proc_wait_any(const os_process *procs, unsigned count, unsigned timeout_ms) {
    if (count == 0 || count > PROC_WAIT_MAX) {
        errno = EINVAL;
        return PROC_WAIT_FAILED;
    }
    pollfd fds[PROC_WAIT_MAX];
    for (unsigned i = 0; i < count; i++) {
        if (procs[i].handle < 0) {
            errno = EBADF; // poll would skip it and wait for nothing
            return PROC_WAIT_FAILED;
        }
        fds[i].fd = int(procs[i].handle);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    bool forever = timeout_ms == 0xFFFFFFFFu;
    int64_t end = now_ms() + int64_t(timeout_ms);
    for (;;) {
        int64_t left = forever ? -1 : end - now_ms();
        if (!forever && left < 0) left = 0;
        if (left > 0x7fffffff) left = 0x7fffffff;
        int r = poll(fds, count, int(left));
        if (r < 0) {
            if (errno == EINTR) continue;
            return PROC_WAIT_FAILED;
        }
        if (r == 0) {
            if (forever || now_ms() < end) continue;
            return PROC_WAIT_TIMEOUT;
        }
        for (unsigned i = 0; i < count; i++) {
            if (fds[i].revents & POLLNVAL) {
                errno = EBADF;
                return PROC_WAIT_FAILED;
            }
            if (fds[i].revents) return int(i);
        }
    }
}

bool proc_wait(const os_process *p, unsigned timeout_ms) {
    return proc_wait_any(p, 1, timeout_ms) == 0;
}

bool proc_exit_code(os_process *p, int *code) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(idtype_t(P_PIDFD), id_t(p->handle), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    if (info.si_pid == 0)
        *code = STILL_ACTIVE_CODE;
    else if (info.si_code == CLD_EXITED)
        *code = info.si_status;
    else
        *code = 128 + info.si_status;
    return true;
}

bool proc_terminate(const os_process *p, int exit_code) {
    (void)exit_code; // a killed process reports 128 + SIGKILL here
    return pidfd_signal(int(p->handle), SIGKILL) == 0;
}

// A child whose handle is closed before it has ended would stay a zombie for good
// once it ends: it is reaped in the background instead (a killed child within
// moments, a running one whenever it ends), as a closed Windows handle lets go.
static void reap_later(int pidfd) {
    try {
        std::thread([pidfd] {
            siginfo_t info;
            memset(&info, 0, sizeof info);
            while (waitid(idtype_t(P_PIDFD), id_t(pidfd), &info, WEXITED) != 0 && errno == EINTR) {
            }
            close(pidfd);
        }).detach();
        return;
    } catch (const std::system_error &) {
    }
    // No thread to be had: give a child that has just been killed a moment to end.
    pollfd ended{pidfd, POLLIN, 0};
    poll(&ended, 1, 1000);
    siginfo_t info;
    memset(&info, 0, sizeof info);
    waitid(idtype_t(P_PIDFD), id_t(pidfd), &info, WEXITED | WNOHANG);
    close(pidfd);
}

void proc_close(os_process *p) {
    if (p->handle >= 0) {
        int fd = int(p->handle);
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (waitid(idtype_t(P_PIDFD), id_t(fd), &info, WEXITED | WNOHANG) == 0 && info.si_pid == 0)
            reap_later(fd); // still running
        else
            close(fd);
    }
    p->handle = -1;
    p->pid = 0;
}
