// Test infrastructure: temporary worlds, built-program paths, logged child processes
// and loopback TCP clients. Linux only, so it speaks POSIX directly.
#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int64_t test_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool make_dirs(const std::string &path) {
    std::string part;
    for (size_t i = 0; i <= path.size(); i++) {
        if (i == path.size() || (path[i] == '/' && i > 0)) {
            part = path.substr(0, i);
            if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

test_world::test_world() {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/varnex-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) {
        perror("mkdtemp");
        abort();
    }
    root_ = buf.data();
    runtime_ = root_ + "/run";
    registry_ = root_ + "/registry";
    temp_ = root_ + "/temp";
    make_dirs(runtime_);
    make_dirs(registry_);
    make_dirs(temp_);
    setenv("VARNEX_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("VARNEX_REGISTRY_DIR", registry_.c_str(), 1);
    setenv("TEMP", temp_.c_str(), 1);
    setenv("TMP", temp_.c_str(), 1);
}

test_world::~test_world() {
    if (!root_.empty()) nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string bin_path(const char *program) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return program;
    exe[n] = 0;
    std::string dir(exe);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos) dir.resize(slash);
    return dir + "/" + program;
}

std::string read_text_file(const std::string &path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    close(fd);
    return out;
}

bool write_text_file(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    close(fd);
    return done == text.size();
}

// ---- child processes

child_run::~child_run() {
    if (running()) kill_now();
}

bool child_run::start(const test_world &world, const std::string &program,
                      const std::vector<std::string> &args, const std::string &log_name) {
    static int serial = 0;
    std::string name = log_name;
    if (name.empty()) {
        size_t slash = program.rfind('/');
        name = (slash == std::string::npos ? program : program.substr(slash + 1)) + "-" +
               std::to_string(++serial) + ".log";
    }
    return start_logged(program, args, world.path(name));
}

bool child_run::start_logged(const std::string &program, const std::vector<std::string> &args,
                             const std::string &path) {
    if (running()) return false;
    log_path = path;
    exit_code = -1;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    // Everything the child needs is prepared before the fork.
    int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int report[2] = {-1, -1};
    if (log_fd < 0 || null_fd < 0 || pipe2(report, O_CLOEXEC) != 0) {
        int e = errno;
        if (log_fd >= 0) close(log_fd);
        if (null_fd >= 0) close(null_fd);
        errno = e;
        return false;
    }
    // From the main thread the child also dies with the test process, even when a
    // crash or a time-out ends it (the signal follows the thread that forked).
    bool tie = gettid() == getpid();
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        if (tie) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
        }
        dup2(null_fd, 0);
        dup2(log_fd, 1);
        dup2(log_fd, 2);
        execv(program.c_str(), argv.data());
        int e = errno;
        (void)!write(report[1], &e, sizeof e);
        _exit(127);
    }
    int fork_errno = errno;
    close(report[1]);
    close(log_fd);
    close(null_fd);
    if (child < 0) {
        close(report[0]);
        errno = fork_errno;
        pid = 0;
        return false;
    }
    int child_errno = 0;
    ssize_t n;
    do {
        n = read(report[0], &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == ssize_t(sizeof child_errno)) {
        int status;
        waitpid(child, &status, 0);
        errno = child_errno;
        pid = 0;
        return false;
    }
    pid = child;
    return true;
}

static int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool child_run::wait_exit(int timeout_ms, int *code) {
    if (pid <= 0) {
        if (code) *code = exit_code;
        return exit_code != -1;
    }
    int64_t end = test_now_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            exit_code = decode_status(status);
            pid = 0;
            if (code) *code = exit_code;
            return true;
        }
        if (r < 0 && errno != EINTR) {
            pid = 0;
            return false;
        }
        if (test_now_ms() >= end) return false;
        usleep(5000);
    }
}

bool child_run::running() {
    if (pid <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        exit_code = decode_status(status);
        pid = 0;
        return false;
    }
    return r == 0;
}

void child_run::kill_now() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    exit_code = decode_status(status);
    pid = 0;
}

bool child_run::signal(int sig) {
    return pid > 0 && kill(pid, sig) == 0;
}

bool child_run::wait_for_log(const char *text, int timeout_ms) const {
    int64_t end = test_now_ms() + timeout_ms;
    for (;;) {
        if (log().find(text) != std::string::npos) return true;
        if (test_now_ms() >= end) return false;
        usleep(10000);
    }
}

std::string child_run::log() const {
    return read_text_file(log_path);
}

// ---- loopback TCP

int tcp_connect_loopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

std::string http_exchange(uint16_t port, const std::string &request, int timeout_ms) {
    std::string out;
    int fd = tcp_connect_loopback(port);
    if (fd < 0) return out;
    size_t done = 0;
    while (done < request.size()) {
        ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    int64_t end = test_now_ms() + timeout_ms;
    char buf[16384];
    for (;;) {
        int64_t left = end - test_now_ms();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    close(fd);
    return out;
}

uint16_t free_tcp_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    close(fd);
    return port;
}

unsigned spare_uid() {
    for (unsigned uid = 50000 + unsigned(getpid()) % 10000;; uid++)
        if (!getpwuid(uid)) return uid;
}

std::string as_user_program() {
    return "/usr/bin/env";
}

std::vector<std::string> as_user_without_folders(unsigned uid, const std::string &program,
                                                 const std::vector<std::string> &args) {
    std::vector<std::string> all = {"-u",
                                    "VARNEX_RUNTIME_DIR",
                                    "-u",
                                    "VARNEX_REGISTRY_DIR",
                                    "-u",
                                    "XDG_RUNTIME_DIR",
                                    "-u",
                                    "HOME",
                                    "setpriv",
                                    "--reuid=" + std::to_string(uid),
                                    "--regid=" + std::to_string(uid),
                                    "--clear-groups",
                                    program};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

int run_command(const std::string &command, std::string *output) {
    std::string cmd = "timeout -k 5 60 " + command + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    std::string out;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = pclose(p);
    if (output) *output = out;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string without_inotify(const test_world &world, const std::string &program, std::string *why) {
    const std::string limit_zero = "echo 0 > /proc/sys/user/max_inotify_instances";
    if (run_command("unshare --user --map-root-user sh -c '" + limit_zero + "'", why) != 0)
        return "";
    const std::string wrapper =
        world.path("without-inotify-" + program.substr(program.find_last_of('/') + 1));
    if (!write_text_file(wrapper, "#!/bin/sh\nexec unshare --user --map-root-user sh -c '" +
                                      limit_zero + " && exec \"$0\" \"$@\"' '" + program +
                                      "' \"$@\"\n") ||
        chmod(wrapper.c_str(), 0755) != 0) {
        *why = "cannot write " + wrapper;
        return "";
    }
    return wrapper;
}
