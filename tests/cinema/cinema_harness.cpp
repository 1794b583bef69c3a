// Test-side stand-in for the supervisor and the helpers of the movie streamer's
// tests. Linux only, so it speaks POSIX directly.
#include "tests/cinema/cinema_harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/process.h"

std::string movie_bytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; i++) {
        x = x * 1664525u + 1013904223u;
        uint8_t b = uint8_t(x >> 24);
        out[i] = char(b ? b : 0x5a);
    }
    return out;
}

bool write_movie(const std::string &path, const std::string &bytes) {
    return write_text_file(path, bytes);
}

static std::string build_stamp(const std::string &answer) {
    std::smatch m;
    static const std::regex stamp("Build at ([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} "
                                  "[0-9]{2}:[0-9]{2}:[0-9]{2})\r\n");
    if (std::regex_search(answer, m, stamp)) return m[1];
    return "<no build stamp>";
}

std::string expected_header(const std::string &answer, int64_t size, int64_t start) {
    return "HTTP/1.1 206 Partial Content\r\nVersion: HTTP/1.1\r\nContent-Type: "
           "video/x-msvideo\r\nServer: Corvane-TV/Swarm-Node/X.01/Build at " +
           build_stamp(answer) + "\r\nContent-Length: " + std::to_string(size - start) +
           "\r\nContent-Range: bytes " + std::to_string(start) + "-" + std::to_string(size - 1) +
           "/" + std::to_string(size) + "\r\nConnection: close\r\n\r\n";
}

std::string expected_refusal(const std::string &answer, int64_t size) {
    return "HTTP/1.1 416 Range Not Satisfiable\r\nVersion: HTTP/1.1\r\nContent-Type: "
           "video/x-msvideo\r\nServer: Corvane-TV/Swarm-Node/X.01/Build at " +
           build_stamp(answer) + "\r\nContent-Length: 0\r\nContent-Range: bytes */" +
           std::to_string(size) + "\r\nConnection: close\r\n\r\n";
}

mini_supervisor::mini_supervisor(const test_world &world, const std::string &cache_dir, int cid)
    : world_(world), cache_(cache_dir), cid_(cid) {}

mini_supervisor::~mini_supervisor() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    std::lock_guard<std::mutex> hold(lock_);
    children_.clear(); // kills what still runs
}

bool mini_supervisor::start(int max_connections) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    if (bind(listener_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return false;
    port = ntohs(sa.sin_port);
    thread_ = std::thread(&mini_supervisor::accept_loop, this, max_connections);
    return true;
}

std::string mini_supervisor::url() const {
    return "http://127.0.0.1:" + std::to_string(port) + "/movie?cid=" + std::to_string(cid_) +
           "&sid=x";
}

// Reads the request up to its blank line (5 s at most).
static std::string read_request(int fd) {
    std::string req;
    char buf[2048];
    while (req.find("\r\n\r\n") == std::string::npos && req.size() < 16384) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, size_t(n));
    }
    return req;
}

static long long range_start(const std::string &req) {
    for (size_t at = 0; (at = req.find('\n', at)) != std::string::npos; at++) {
        const char *line = req.c_str() + at + 1;
        if (strncasecmp(line, "Range:", 6) != 0) continue;
        const char *b = strstr(line, "bytes=");
        if (b) return strtoll(b + 6, nullptr, 10);
    }
    return 0;
}

void mini_supervisor::accept_loop(int max_connections) {
    for (int served = 0; served < max_connections && !stopping_;) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        // Without close-on-exec: this descriptor is the one the streamer inherits.
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        served++;
        std::string req = read_request(fd);
        char line[1024];
        snprintf(line, sizeof line, "KVT-Cinema -chan=%d -cid=%d -pos=%lld -dir=\"%s\"", fd, cid_,
                 range_start(req), cache_.c_str());
        char storage[2048];
        char *argv[16];
        int argc = cmdline_split(line, storage, sizeof storage, argv, 16);
        std::vector<std::string> args;
        for (int i = 1; i < argc; i++)
            args.push_back(argv[i]);
        auto child = std::make_unique<child_run>();
        std::lock_guard<std::mutex> hold(lock_);
        std::string log = world_.path("cinema-" + std::to_string(children_.size()) + ".log");
        child->start_logged(program, args, log);
        close(fd); // the streamer owns the connection now
        children_.push_back(std::move(child));
        requests_.push_back(req);
    }
}

size_t mini_supervisor::streamers() {
    std::lock_guard<std::mutex> hold(lock_);
    return children_.size();
}

bool mini_supervisor::wait_streamer(size_t i, int timeout_ms, int *code) {
    int64_t end = test_now_ms() + timeout_ms;
    child_run *c = nullptr;
    while (!c) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (i < children_.size()) c = children_[i].get();
        }
        if (!c) {
            if (test_now_ms() >= end) return false;
            usleep(10000);
        }
    }
    int left = int(end - test_now_ms());
    return c->wait_exit(left > 0 ? left : 0, code);
}

std::string mini_supervisor::streamer_log(size_t i) {
    std::lock_guard<std::mutex> hold(lock_);
    return i < children_.size() ? children_[i]->log() : std::string();
}

std::string mini_supervisor::request(size_t i) {
    std::lock_guard<std::mutex> hold(lock_);
    return i < requests_.size() ? requests_[i] : std::string();
}

curl_result run_curl(const test_world &world, const std::string &url, const std::string &range,
                     const std::string &name, int timeout_ms) {
    curl_result r;
    std::string head = world.path(name + ".head"), body = world.path(name + ".body");
    std::vector<std::string> args = {"-s", "-m", "60", "-D", head, "-o", body};
    if (!range.empty()) {
        args.push_back("-H");
        args.push_back("Range: bytes=" + range);
    }
    args.push_back(url);
    child_run curl;
    if (!curl.start(world, "/usr/bin/curl", args, name + ".curl.log")) return r;
    if (!curl.wait_exit(timeout_ms, &r.status)) return r;
    r.header = read_text_file(head);
    r.body = read_text_file(body);
    return r;
}

std::vector<std::string> lines_with(const std::string &log, const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos) out.push_back(line);
    return out;
}

std::vector<std::string> log_messages(const std::string &log) {
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line.size() > 24 ? line.substr(24) : line);
    return out;
}
