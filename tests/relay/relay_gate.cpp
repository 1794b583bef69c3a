// Stand-in supervisor for the relay's tests: loopback listener, request reading and
// KVT-Relay started with the inherited connection. Linux only, so it speaks POSIX.
#include "tests/relay/relay_gate.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int spawn_with_socket(const std::string &program, const std::vector<std::string> &args, int keep_fd,
                      const std::string &log_path) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (keep_fd >= 0) fcntl(keep_fd, F_SETFD, 0);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

bool wait_child(int pid, int timeout_ms, int *code) {
    int64_t end = now_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        int r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            int c = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (code) *code = c;
            return true;
        }
        if (r < 0) return false;
        if (now_ms() >= end) return false;
        usleep(20000);
    }
}

relay_gate::~relay_gate() {
    stop();
}

bool relay_gate::start(const std::string &relay_program, const std::string &dir,
                       const std::string &log_dir, const std::vector<std::string> &extra_args) {
    program_ = relay_program;
    dir_ = dir;
    log_dir_ = log_dir;
    extra_ = extra_args;
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return false;
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(listen_fd_, (sockaddr *)&a, sizeof a) != 0 || listen(listen_fd_, 16) != 0)
        return false;
    socklen_t len = sizeof a;
    getsockname(listen_fd_, (sockaddr *)&a, &len);
    port = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
    return true;
}

// Value of key in a query "a=1&b=2" ("" when absent).
static std::string query_value(const std::string &query, const std::string &key) {
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        std::string item =
            query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        if (item.compare(0, key.size() + 1, key + "=") == 0) return item.substr(key.size() + 1);
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return "";
}

void relay_gate::serve() {
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Request up to the blank line, within 5 seconds.
        std::string req;
        int64_t end = now_ms() + 5000;
        char buf[2048];
        while (req.find("\r\n\r\n") == std::string::npos && now_ms() < end && req.size() < 16384) {
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 100) <= 0) continue;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            req.append(buf, (size_t)n);
        }
        std::string line = req.substr(0, req.find("\r\n"));
        // "GET /path?query HTTP/1.1"
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        std::string target =
            sp1 != std::string::npos && sp2 > sp1 ? line.substr(sp1 + 1, sp2 - sp1 - 1) : "";
        size_t qm = target.find('?');
        std::string path = target.substr(0, qm),
                    query = qm == std::string::npos ? "" : target.substr(qm + 1);
        std::vector<std::string> args = {"-chan=" + std::to_string(fd),
                                         "-cid=" + query_value(query, "cid"), "-dir=" + dir_,
                                         "-delay=2", "-sid=" + query_value(query, "sid")};
        std::string chunk = query_value(query, "chunk");
        args.push_back("-chunk=" + (chunk.empty() ? std::string("0") : chunk));
        if (path.compare(0, 4, "/hls") == 0) args.push_back("-hls");
        for (const std::string &e : extra_)
            args.push_back(e);
        relay_run run;
        run.request_line = line;
        {
            std::lock_guard<std::mutex> guard(lock_);
            run.log_path = log_dir_ + "/relay-" + std::to_string(runs_.size()) + ".log";
        }
        run.pid = spawn_with_socket(program_, args, fd, run.log_path);
        close(fd);
        std::lock_guard<std::mutex> guard(lock_);
        runs_.push_back(run);
    }
}

void relay_gate::stop() {
    if (thread_.joinable()) {
        stop_ = true;
        thread_.join();
    }
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
    std::lock_guard<std::mutex> guard(lock_);
    for (relay_run &r : runs_) {
        if (r.pid > 0 && !r.reaped) {
            kill(r.pid, SIGKILL);
            wait_child(r.pid, 5000, &r.exit_code);
            r.reaped = true;
        }
    }
}

size_t relay_gate::relay_count() {
    std::lock_guard<std::mutex> guard(lock_);
    return runs_.size();
}

relay_gate::relay_run relay_gate::relay(size_t i) {
    std::lock_guard<std::mutex> guard(lock_);
    return i < runs_.size() ? runs_[i] : relay_run{};
}

bool relay_gate::wait_relay(size_t i, int timeout_ms, int *code) {
    int64_t end = now_ms() + timeout_ms;
    while (relay_count() <= i) {
        if (now_ms() >= end) return false;
        usleep(20000);
    }
    int pid;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (runs_[i].reaped) {
            if (code) *code = runs_[i].exit_code;
            return true;
        }
        pid = runs_[i].pid;
    }
    int c = -1;
    int left = (int)(end - now_ms());
    if (!wait_child(pid, left > 0 ? left : 0, &c)) return false;
    std::lock_guard<std::mutex> guard(lock_);
    runs_[i].reaped = true;
    runs_[i].exit_code = c;
    if (code) *code = c;
    return true;
}

bool relay_gate::wait_relay_log(size_t i, const char *text, int timeout_ms) {
    int64_t end = now_ms() + timeout_ms;
    for (;;) {
        if (relay_count() > i) {
            std::string path = relay(i).log_path;
            FILE *f = fopen(path.c_str(), "rb");
            if (f) {
                std::string s;
                char buf[4096];
                size_t n;
                while ((n = fread(buf, 1, sizeof buf, f)) > 0)
                    s.append(buf, n);
                fclose(f);
                if (s.find(text) != std::string::npos) return true;
            }
        }
        if (now_ms() >= end) return false;
        usleep(50000);
    }
}
