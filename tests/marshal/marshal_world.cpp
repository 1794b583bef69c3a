// Test installation of the supervisor; see marshal_world.h.
#include "marshal_world.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/net.h"
#include "platform/os.h"

namespace fs = std::filesystem;

marshal_world::marshal_world() {
    bin = world.path("bin");
    make_dirs(bin);
    install("KVT-Marshal", "KVT-Marshal");
    install("KVT-Fetcher", "KVT-Fetcher");
    install("test-channel.ts", "test-channel.ts");
    install("marshal_test_child", "KVT-Relay");
    install("marshal_test_child", "KVT-Cinema");
    port = free_tcp_port();
}

bool marshal_world::install(const char *built, const char *as) {
    // Programs carry the system's suffix (".exe" on Windows), data files keep their names.
    std::string name = as;
    if (name.find('.') == std::string::npos) name += OS_EXE_SUFFIX;
    std::error_code ec;
    fs::copy_file(bin_path(built), bin + "/" + name, fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
    fs::permissions(bin + "/" + name, fs::status(bin_path(built)).permissions(), ec);
    return !ec;
}

std::string marshal_world::log() const {
    std::string text = sup ? sup->log() : std::string();
#ifdef _WIN32
    // The run-time's text mode wrote every "\n" as "\r\n".
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
#else
    return text;
#endif
}

#ifdef _WIN32
// True when some socket listens on the TCP port: binding it is refused.
static bool port_listening(uint16_t port) {
    net_sock s = net_tcp_socket();
    bool taken = !net_bind_any(s, port);
    net_close(s);
    return taken;
}
#else
// True when some socket listens on the TCP port (from /proc/net/tcp, without
// connecting: a connection would be a request to the supervisor).
static bool port_listening(uint16_t port) {
    std::istringstream in(read_text_file("/proc/net/tcp"));
    char want[16];
    snprintf(want, sizeof want, ":%04X", unsigned(port));
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::string slot, local, remote, state;
        f >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0)
            return true;
    }
    return false;
}
#endif

bool marshal_world::start(const std::vector<std::string> &extra, const std::string &log_name) {
    std::vector<std::string> args{"-port=" + std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    sup.reset();
    sup = std::make_unique<child_run>();
    if (!sup->start_logged(bin + "/KVT-Marshal" OS_EXE_SUFFIX, args, world.path(log_name)))
        return false;
    int64_t end = test_now_ms() + 40000;
    while (test_now_ms() < end) {
        // Severity-1 lines such as "Start listening on" may still sit in the
        // supervisor's output buffer, so the port itself is looked at too.
        if (log().find("Start listening on") != std::string::npos || port_listening(port))
            return true;
        if (!sup->running()) return false;
        os_sleep_ms(50);
    }
    return false;
}

int marshal_world::last_sd() const {
    std::string l = log();
    size_t at = l.rfind("Accepted new connection");
    if (at == std::string::npos) return -1;
    size_t sd = l.find("sd = ", at);
    return sd == std::string::npos ? -1 : atoi(l.c_str() + sd + 5);
}

int marshal_world::descriptors() const {
    int n = 0;
    std::error_code ec;
    for (auto it =
             fs::directory_iterator("/proc/" + std::to_string(sup ? sup->pid : 0) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        n++;
    return n;
}

int marshal_world::count(const std::string &text) const {
    std::string l = log();
    int n = 0;
    for (size_t at = l.find(text); at != std::string::npos; at = l.find(text, at + 1))
        n++;
    return n;
}

bool marshal_world::wait_count(const std::string &text, int n, int timeout_ms) const {
    int64_t end = test_now_ms() + timeout_ms;
    do {
        if (count(text) >= n) return true;
        os_sleep_ms(50);
    } while (test_now_ms() < end);
    return false;
}

std::vector<std::vector<std::string>> marshal_world::started() const {
    std::vector<std::pair<fs::file_time_type, std::string>> files;
    std::error_code ec;
    for (auto &e : fs::directory_iterator(bin + "/started", ec))
        if (e.path().extension() == ".args")
            files.push_back({e.last_write_time(), e.path().string()});
    std::sort(files.begin(), files.end());
    std::vector<std::vector<std::string>> out;
    for (auto &f : files) {
        std::istringstream in(read_text_file(f.second));
        std::vector<std::string> args;
        for (std::string line; std::getline(in, line);)
            args.push_back(line);
        out.push_back(args);
    }
    return out;
}

bool marshal_world::wait_started(size_t n, int timeout_ms) const {
    int64_t end = test_now_ms() + timeout_ms;
    do {
        if (started().size() >= n) return true;
        os_sleep_ms(50);
    } while (test_now_ms() < end);
    return false;
}

tray_listener::tray_listener(bool start_reading) {
    ok = msgpipe_create("tray-pipe", &pipe);
    if (ok && start_reading) reader = std::thread([this] { run(); });
}

tray_listener::~tray_listener() {
    stop = true;
    if (reader.joinable()) reader.join();
    msgpipe_close(&pipe);
}

void tray_listener::run() {
    while (!stop) {
        if (!msgpipe_wait_client(&pipe, 100)) continue;
        char buf[1100];
        long n = msgpipe_read(&pipe, buf, sizeof buf, nullptr, 2000);
        if (n > 0) {
            // Each notification is its text and one zero octet.
            std::lock_guard<std::mutex> g(lock);
            if (buf[n - 1] == 0)
                got.emplace_back(buf, size_t(n - 1));
            else
                got.emplace_back(std::string(buf, size_t(n)) + "<unterminated>");
        }
        msgpipe_disconnect(&pipe);
    }
}

std::vector<std::string> tray_listener::texts() {
    std::lock_guard<std::mutex> g(lock);
    return got;
}

bool tray_listener::wait_text(const std::string &text, int timeout_ms) {
    int64_t end = test_now_ms() + timeout_ms;
    do {
        for (auto &t : texts())
            if (t == text) return true;
        os_sleep_ms(50);
    } while (test_now_ms() < end);
    return false;
}

bool player_conn::open(uint16_t port, const std::string &request) {
    fd = tcp_connect_loopback(port);
    if (fd < 0) return false;
    return net_send_all(fd, request.data(), request.size()) == long(request.size());
}

std::string player_conn::read_some(int timeout_ms) {
    std::string out;
    int64_t end = test_now_ms() + timeout_ms;
    while (fd >= 0 && test_now_ms() < end) {
        int w = net_wait_readable(fd, 100);
        if (w < 0) break;
        if (w == 0) continue;
        char buf[4096];
        long n = net_recv(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

bool player_conn::read_until(const std::string &text, int timeout_ms) {
    std::string out;
    int64_t end = test_now_ms() + timeout_ms;
    while (fd >= 0 && test_now_ms() < end) {
        if (out.find(text) != std::string::npos) return true;
        int w = net_wait_readable(fd, 50);
        if (w < 0) break;
        if (w == 0) continue;
        char buf[4096];
        long n = net_recv(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out.find(text) != std::string::npos;
}

void player_conn::close() {
    if (fd >= 0) net_close(fd);
    fd = -1;
}
