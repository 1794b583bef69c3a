// Benchmark of the movie streamer: the throughput of one movie answer from a cached
// file to a client that discards what it reads, next to the same figure for a plain
// loop with the same pattern (8192-byte reads, 4096-byte sends, 4096 bytes back) and
// for nginx serving the same range, all in the same run; and the peak resident
// memory of KVT-Cinema. Prints figures only; it never fails on time.
//
//   cinema_bench [megabytes=256] [rounds=3]
//
// Linux only, so it speaks POSIX directly besides the platform's process start.
#include <algorithm>
#include <filesystem>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/process.h"
#include "tests/support/test_support.h"

static double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static std::string g_dir;   // the bench's temporary folder
static std::string g_cache; // the cache folder inside it
static const int CID = 7000;

static std::string exe_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string d(buf);
    return d.substr(0, d.rfind('/'));
}

static bool make_movie(const std::string &path, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::vector<unsigned char> block(1 << 20);
    uint32_t x = 12345;
    for (size_t done = 0; done < size;) {
        for (auto &b : block) {
            x = x * 1664525u + 1013904223u;
            b = (unsigned char)((x >> 24) | 1);
        }
        size_t n = std::min(block.size(), size - done);
        if (write(fd, block.data(), n) != ssize_t(n)) return false;
        done += n;
    }
    close(fd);
    // Read it once so that every run serves it from the page cache.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (read(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
    return true;
}

static int listen_loopback(uint16_t *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(fd, (sockaddr *)&sa, sizeof sa) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, (sockaddr *)&sa, &len) != 0)
        return -1;
    *port = ntohs(sa.sin_port);
    return fd;
}

// The discarding player: sends the request, reads until the end of the connection.
struct drained {
    long long bytes = 0;
    double seconds = 0;
};
static drained drain(uint16_t port, const std::string &request) {
    drained d;
    static char sink[1 << 20];
    double t0 = now_s();
    int fd = tcp_connect_loopback(port);
    if (fd < 0) return d;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        close(fd);
        return d;
    }
    for (;;) {
        ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n <= 0) break;
        d.bytes += n;
    }
    d.seconds = now_s() - t0;
    close(fd);
    return d;
}

static std::string movie_request(long long pos) {
    return "GET /" + std::to_string(CID) +
           ".avi HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=" + std::to_string(pos) +
           "-\r\nConnection: close\r\n\r\n";
}

static void read_request(int fd) {
    char buf[4096];
    std::string req;
    while (req.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, size_t(n));
    }
}

static long peak_rss_kb(int pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "re");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0) kb = atol(line + 6);
    fclose(f);
    return kb;
}

// One answer by KVT-Cinema, started on the accepted connection as the supervisor does.
static drained run_cinema(long long pos, long *rss_kb) {
    uint16_t port = 0;
    int lst = listen_loopback(&port);
    drained d;
    std::thread player([&] { d = drain(port, movie_request(pos)); });
    int fd = accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
    read_request(fd);
    char line[1024];
    snprintf(line, sizeof line, "KVT-Cinema -chan=%d -cid=%d -pos=%lld -dir=\"%s\"", fd, CID, pos,
             g_cache.c_str());
    std::string exe = exe_dir() + "/KVT-Cinema";
    // Its log goes to a file, not into the figures.
    std::string log = g_dir + "/cinema.log";
    int saved = dup(1);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    dup2(out, 1);
    os_process p{};
    bool started = proc_start(exe.c_str(), line, fd, &p);
    dup2(saved, 1);
    close(saved);
    close(out);
    close(fd);
    close(lst);
    if (!started) {
        fprintf(stderr, "cannot start %s\n", exe.c_str());
        player.join();
        return d;
    }
    long peak = 0;
    while (!proc_wait(&p, 5)) {
        long kb = peak_rss_kb(p.pid);
        if (kb > peak) peak = kb;
    }
    player.join();
    proc_close(&p);
    *rss_kb = peak;
    return d;
}

// The plain loop: the same reads, sends and moves back, on one thread, no pool.
static drained run_plain(const std::string &path, long long pos) {
    uint16_t port = 0;
    int lst = listen_loopback(&port);
    drained d;
    std::thread player([&] { d = drain(port, movie_request(pos)); });
    int fd = accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
    read_request(fd);
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    off_t size = lseek(file, 0, SEEK_END);
    lseek(file, pos, SEEK_SET);
    char header[512];
    int hl = snprintf(header, sizeof header,
                      "HTTP/1.1 206 Partial Content\r\nContent-Length: %lld\r\nContent-Range: "
                      "bytes %lld-%lld/%lld\r\nConnection: close\r\n\r\n",
                      (long long)(size - pos), pos, (long long)size - 1, (long long)size);
    send(fd, header, size_t(hl), MSG_NOSIGNAL);
    char buf[8192];
    for (;;) {
        ssize_t n = read(file, buf, sizeof buf);
        if (n <= 0) break;
        ssize_t chunk = std::min<ssize_t>(n, 4096);
        if (send(fd, buf, size_t(chunk), MSG_NOSIGNAL) != chunk) break;
        if (n > chunk) lseek(file, -(n - chunk), SEEK_CUR);
    }
    close(file);
    close(fd);
    close(lst);
    player.join();
    return d;
}

// nginx on 127.0.0.1 with the cache folder as its root, one worker, in the foreground.
static bool start_nginx(uint16_t *port, os_process *p) {
    int lst = listen_loopback(port); // a port that was free a moment ago
    close(lst);
    std::string conf = g_dir + "/nginx.conf";
    FILE *f = fopen(conf.c_str(), "we");
    if (!f) return false;
    fprintf(f,
            "daemon off;\nmaster_process off;\nworker_processes 1;\npid %s/nginx.pid;\n"
            "error_log %s/nginx-error.log;\nevents { worker_connections 64; }\n"
            "http {\n  access_log off;\n  sendfile on;\n"
            "  client_body_temp_path %s/t1;\n  proxy_temp_path %s/t2;\n"
            "  fastcgi_temp_path %s/t3;\n  uwsgi_temp_path %s/t4;\n  scgi_temp_path %s/t5;\n"
            "  server { listen 127.0.0.1:%u; root %s; }\n}\n",
            g_dir.c_str(), g_dir.c_str(), g_dir.c_str(), g_dir.c_str(), g_dir.c_str(),
            g_dir.c_str(), g_dir.c_str(), unsigned(*port), g_cache.c_str());
    fclose(f);
    std::string line =
        "nginx -p \"" + g_dir + "\" -e \"" + g_dir + "/nginx-error.log\" -c \"" + conf + "\"";
    if (!proc_start("/usr/sbin/nginx", line.c_str(), -1, p)) return false;
    for (int i = 0; i < 200; i++) {
        int fd = tcp_connect_loopback(*port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        usleep(10000);
    }
    return false;
}

static double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main(int argc, char **argv) {
    long long mb = argc > 1 ? atoll(argv[1]) : 256;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    char tmpl[] = "/tmp/cinema-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = tmpl;
    g_cache = g_dir + "/vcache";
    mkdir(g_cache.c_str(), 0700);
    std::string movie = g_cache + "/" + std::to_string(CID) + ".avi";
    size_t size = size_t(mb) << 20;
    if (!make_movie(movie, size)) return 1;
    long long pos = 1000000; // a ranged answer, as a player seeking into the movie asks

    uint16_t nginx_port = 0;
    os_process nginx{};
    bool have_nginx = start_nginx(&nginx_port, &nginx);
    if (!have_nginx) fprintf(stderr, "nginx did not start: its figure is left out\n");

    std::vector<double> cinema, plain, web;
    long rss_kb = 0;
    for (int r = 0; r < rounds; r++) {
        long kb = 0;
        drained c = run_cinema(pos, &kb);
        rss_kb = std::max(rss_kb, kb);
        drained p = run_plain(movie, pos);
        cinema.push_back(c.bytes / c.seconds / 1e6);
        plain.push_back(p.bytes / p.seconds / 1e6);
        if (c.bytes < (long long)(size - pos) || p.bytes < (long long)(size - pos))
            fprintf(stderr, "short answer: cinema %lld, plain %lld bytes\n", c.bytes, p.bytes);
        if (have_nginx) {
            drained n = drain(nginx_port, movie_request(pos));
            web.push_back(n.bytes / n.seconds / 1e6);
        }
    }
    if (have_nginx) {
        proc_terminate(&nginx, 0);
        proc_wait(&nginx, 5000);
        proc_close(&nginx);
    }

    printf("movie: %lld MiB from the page cache, range from %lld, %d rounds (median)\n", mb, pos,
           rounds);
    printf("KVT-Cinema          %8.1f MB/s\n", median(cinema));
    printf("plain loop          %8.1f MB/s   (8192-byte reads, 4096-byte sends, 4096 back)\n",
           median(plain));
    if (have_nginx) printf("nginx (sendfile)    %8.1f MB/s\n", median(web));
    printf("KVT-Cinema / plain  %8.1f %%   (target at least 85 %%)\n",
           100.0 * median(cinema) / median(plain));
    printf("KVT-Cinema peak RSS %8.2f MiB (target at most 8 MiB)\n", rss_kb / 1024.0);
    std::error_code ec; // what cannot be removed is left behind
    std::filesystem::remove_all(g_dir, ec);
    // The platform's process starter keeps a thread waiting on a static condition
    // variable; leaving through exit() would wait on its destruction for ever.
    fflush(stdout);
    _exit(0);
}
