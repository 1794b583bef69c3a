// The swarm with 1, 4, 8 and 16 viewers (or the counts given), each round in a network
// namespace of its own: a player on every viewer's /stream for the window, then
//   - the broadcaster's upload as a multiple of the stream's bit rate (what it sent
//     to the viewers over what one viewer needed);
//   - the share of the viewers' download that came from other viewers;
//   - the swarm delay (a chunk published by the broadcaster -> verified and written
//     by a viewer), and the live delay it gives: one chunk + swarm delay + the relay's
//     256 ms before it reads a new file;
//   - each viewer's first packet (ffprobe on /stream), CPU and memory per fetcher.
//   - how many copies of each chunk the broadcaster sent (from the viewers' trace of
//     what each peer sent them): their mean over the run is its upload as a multiple
//     of the stream too, counted chunk by chunk rather than over a window;
// and then a movie's first picture and seek to its middle on viewers (movie_round).
// Usage: swarm_bench [SECONDS] [COUNT...]; SWARM_SUPERSEED=1 makes the broadcaster
// super-seed, SWARM_SLOTS=N sends a chunk to N viewers at once (-swarm_slots),
// SWARM_NO_MOVIE=1 leaves the movie out, SWARM_LOGS=DIR keeps the logs. It prints
// figures and never fails on them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "tests/system/swarm_world.h"

namespace {

// Milliseconds of the day of a log line "DD-MM-YYYY HH:MM:SS.mmm ...".
int64_t line_ms(const std::string &log, size_t at) {
    size_t start = log.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    int h = 0, m = 0, s = 0, ms = 0;
    if (sscanf(log.c_str() + start + 11, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) return -1;
    return ((h * 60 + m) * 60 + s) * 1000LL + ms;
}

// Chunk number -> time of the line "TEXT<number>" in log.
std::map<long long, int64_t> times_of(const std::string &log, const std::string &text) {
    std::map<long long, int64_t> t;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        t[atoll(log.c_str() + at + text.size())] = line_ms(log, at);
    return t;
}

struct fetcher_use {
    int pid = 0;
    long long ticks = 0;
    long rss_kib = 0;
};

fetcher_use fetcher_of(const std::string &bin) {
    fetcher_use u;
    DIR *d = opendir("/proc");
    while (dirent *e = d ? readdir(d) : nullptr) {
        int pid = atoi(e->d_name);
        char link[512];
        std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        ssize_t n = pid > 1 ? readlink(exe.c_str(), link, sizeof link - 1) : -1;
        if (n <= 0 || std::string(link, size_t(n)) != bin + "/KVT-Fetcher") continue;
        u.pid = pid;
        std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        long long ut = 0, st = 0;
        if (close != std::string::npos)
            sscanf(stat.c_str() + close + 2,
                   "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &ut, &st);
        u.ticks = ut + st;
        std::string status = read_text_file("/proc/" + std::to_string(pid) + "/status");
        size_t rss = status.find("VmRSS:");
        if (rss != std::string::npos) u.rss_kib = atol(status.c_str() + rss + 6);
    }
    if (d) closedir(d);
    return u;
}

void totals(swarm_world &sw, unsigned long long *peers, unsigned long long *broadcaster) {
    *peers = *broadcaster = 0;
    for (int i = 1; i <= sw.viewers; i++) {
        unsigned long long p = 0, b = 0;
        const std::string st = read_text_file(sw.dir(i) + "/runtime/fetcher-swarm.txt");
        if (sscanf(st.c_str(), "7\tviewer\t%*d\t%*d\t%*d\t%llu\t%llu", &p, &b) == 2) {
            *peers += p;
            *broadcaster += b;
        }
    }
}

// Copies of each chunk the broadcaster sent, from the viewers' trace lines "chunk N came
// from IP=OCTETS ..." (what each peer sent of it) and the sizes it published.
std::vector<double> copies_sent(swarm_world &sw) {
    std::map<long long, double> size, sent;
    const std::string blog = sw.log(0), tag = "swarm: CID=7 : chunk ";
    for (size_t at = blog.find(tag); at != std::string::npos; at = blog.find(tag, at + 1)) {
        long long n = 0, octets = 0;
        if (sscanf(blog.c_str() + at + tag.size(), "%lld published (%lld", &n, &octets) == 2)
            size[n] = double(octets);
    }
    const std::string from = " " + sw.ip(0) + "=";
    for (int i = 1; i <= sw.viewers; i++) {
        const std::string log = sw.log(i);
        for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
            long long n = 0;
            char word[8] = {0};
            if (sscanf(log.c_str() + at + tag.size(), "%lld %7s", &n, word) != 2 ||
                strcmp(word, "came") != 0)
                continue;
            const size_t end = log.find('\n', at), b = log.find(from, at);
            sent[n] += b < end ? atof(log.c_str() + b + from.size()) : 0.0;
        }
    }
    std::vector<double> copies;
    for (const auto &c : sent)
        if (size.count(c.first) && size[c.first] > 0) copies.push_back(c.second / size[c.first]);
    return copies;
}

double mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? -1 : sum / double(v.size());
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void round_of(int n, int window_s) {
    swarm_world sw;
    if (getenv("SWARM_SUPERSEED")) sw.broadcaster_options = "-swarm_superseed=1\n";
    if (getenv("SWARM_SLOTS"))
        sw.broadcaster_options += "-swarm_slots=" + std::string(getenv("SWARM_SLOTS")) + "\n";
    if (!sw.start(n)) {
        printf("%2d viewers: the swarm did not start (%s)\n", n, sw.world.path("ns.log").c_str());
        return;
    }
    // Viewers join a running channel: the broadcaster has published its first chunk.
    wait_until([&] { return sw.log(0).find("swarm: CID=7 : chunk ") != std::string::npos; }, 30000);
    std::vector<std::unique_ptr<swarm_player>> players;
    const int64_t t0 = test_now_ms();
    for (int i = 1; i <= n; i++) {
        players.emplace_back(new swarm_player);
        players.back()->start("http://127.0.0.1:" + std::to_string(sw.port(i)) + "/stream?cid=7",
                              "/dev/null", window_s, sw.in_net());
    }
    os_sleep_ms(10000); // past the first chunks
    unsigned long long p0, b0, p1, b1;
    totals(sw, &p0, &b0);
    std::vector<fetcher_use> use0;
    for (int i = 0; i <= n; i++)
        use0.push_back(fetcher_of(sw.dir(i) + "/bin"));
    const int64_t m0 = test_now_ms();
    os_sleep_ms(unsigned(window_s - 14) * 1000);
    totals(sw, &p1, &b1);
    const double span_s = double(test_now_ms() - m0) / 1000.0;
    double cpu_sum = 0, rss_sum = 0, cpu_b = 0, rss_b = 0;
    const long hz = sysconf(_SC_CLK_TCK);
    for (int i = 0; i <= n; i++) {
        fetcher_use u = fetcher_of(sw.dir(i) + "/bin");
        double cpu = 100.0 * double(u.ticks - use0[size_t(i)].ticks) / double(hz) / span_s;
        if (i == 0) {
            cpu_b = cpu;
            rss_b = double(u.rss_kib);
        } else {
            cpu_sum += cpu;
            rss_sum += double(u.rss_kib);
        }
    }
    for (auto &p : players)
        p->join();
    std::vector<double> first;
    for (auto &p : players) {
        std::lock_guard<std::mutex> l(p->lock);
        if (!p->got.empty()) first.push_back(double(p->got[0].at_ms - t0));
    }
    // Swarm delay per chunk and viewer.
    const std::string blog = sw.log(0);
    std::map<long long, int64_t> published = times_of(blog, "swarm: CID=7 : chunk ");
    std::vector<double> delays;
    for (int i = 1; i <= n; i++)
        for (const auto &w : times_of(sw.log(i), "swarm: CID=7 : chunk "))
            if (published.count(w.first) && w.second > published[w.first])
                delays.push_back(double(w.second - published[w.first]));
    const std::vector<double> copies = copies_sent(sw);
    const unsigned long long got = (p1 - p0) + (b1 - b0);
    const double per_viewer = n ? double(got) / n : 0;
    printf("%2d viewers | broadcaster upload %.2fx the stream | from peers %5.1f %% | swarm delay "
           "median %4.0f ms | live delay about 6.0 s + %.2f s | first packet median %5.0f ms, "
           "worst %5.0f ms | per viewer fetcher %.1f %% CPU, %.0f KiB | broadcaster fetcher "
           "%.1f %% CPU, %.0f KiB | copies of a chunk sent by the broadcaster: mean %.2f, "
           "median %.2f, worst %.2f, over %zu chunks\n",
           n, per_viewer > 0 ? double(b1 - b0) / per_viewer : 0.0,
           got ? 100.0 * double(p1 - p0) / double(got) : 0.0, median(delays),
           (median(delays) + 256) / 1000.0, median(first),
           first.empty() ? -1.0 : *std::max_element(first.begin(), first.end()), cpu_sum / n,
           rss_sum / n, cpu_b, rss_b, mean(copies), median(copies),
           copies.empty() ? -1.0 : *std::max_element(copies.begin(), copies.end()), copies.size());
    // SWARM_LOGS=DIR keeps every system's log as DIR/N-I.log (I = 0: the broadcaster).
    if (const char *keep = getenv("SWARM_LOGS"))
        for (int i = 0; i <= n; i++)
            write_text_file(std::string(keep) + "/" + std::to_string(n) + "-" + std::to_string(i) +
                                ".log",
                            sw.log(i));
    fflush(stdout);
    sw.stop();
}

// Milliseconds from launching command (inside the namespace) to its end; -1 when it
// failed or ran out of limit_s.
int64_t timed(swarm_world &sw, const std::string &command, int limit_s) {
    std::string out;
    const int64_t t0 = test_now_ms();
    int rc = run_command(sw.in_net() + "timeout " + std::to_string(limit_s) + " " + command, &out);
    return rc == 0 ? test_now_ms() - t0 : -1;
}

std::string seconds(int64_t ms, int limit_s) {
    char text[32];
    if (ms < 0)
        snprintf(text, sizeof text, "over %d s", limit_s);
    else
        snprintf(text, sizeof text, "%.1f s", double(ms) / 1000.0);
    return text;
}

// The broadcaster's movie (23 MB, 60 s) on three viewers, the broadcaster seeding it:
// ffmpeg's first decoded frame from the start, then a seek to the middle (-ss 30), each
// timed from ffmpeg's launch. Viewer 1 fetches freely; viewers 2 and 3 at 100 KB/s (the
// tray's downrate), viewer 3 without the read position (its cinema-900.pos is a folder,
// so its streamers cannot note where they read).
void movie_round() {
    enum { LIMIT_S = 55 }; // run_command ends everything after 60 s
    swarm_world sw;
    if (!make_big_movie(sw.dir(0) + "/media/movie.avi")) {
        printf("movie: ffmpeg could not make the movie\n");
        return;
    }
    sw.registry[2] = sw.registry[3] = "\"downrate\"=dword:00019000\n";
    if (!sw.start(3)) {
        printf("movie: the swarm did not start (%s)\n", sw.world.path("ns.log").c_str());
        return;
    }
    make_dirs(sw.dir(3) + "/runtime/cinema-900.pos");
    const char *what[3] = {"unlimited", "100 KB/s", "100 KB/s, no read position"};
    for (int i = 1; i <= 3; i++) {
        const std::string url =
            "'http://127.0.0.1:" + std::to_string(sw.port(i)) + "/movie?cid=900'";
        // A decoded frame is a framecrc line of stream 0 (ffmpeg ends well without one
        // when it gives up on its input).
        const std::string ffmpeg = "sh -c \"ffmpeg -nostdin -v error ";
        const std::string one = " -map 0:v:0 -frames:v 1 -f framecrc - | grep -q '^0,'\"";
        const int64_t first = timed(sw, ffmpeg + "-i " + url + one, LIMIT_S);
        const int64_t seek = timed(sw, ffmpeg + "-ss 30 -i " + url + one, LIMIT_S);
        // What the viewer held by then: its movie file's 4 KiB blocks that are not zero.
        const std::string held = read_text_file(sw.cache(i) + "/900.avi");
        size_t blocks = 0;
        for (size_t k = 0; k + 4096 <= held.size(); k += 4096)
            if (held.find_first_not_of('\0', k) < k + 4096) blocks++;
        printf("movie, viewer %d (%s): first picture %s, seek to the middle %s, %.1f of %.1f MB "
               "held by then\n",
               i, what[i - 1], seconds(first, LIMIT_S).c_str(), seconds(seek, LIMIT_S).c_str(),
               double(blocks) * 4096 / 1e6, double(held.size()) / 1e6);
        fflush(stdout);
    }
    sw.stop();
}

} // namespace

int main(int argc, char **argv) {
    if (geteuid() != 0) {
        fprintf(stderr, "swarm_bench makes network namespaces: run it as root\n");
        return 2;
    }
    int window = argc > 1 ? atoi(argv[1]) : 40;
    if (window < 20) window = 20;
    std::vector<int> counts;
    for (int i = 2; i < argc; i++)
        counts.push_back(atoi(argv[i]));
    if (counts.empty()) counts = {1, 4, 8, 16};
    printf("swarm_bench: %d s per round, chunks of about 6 s, a 600 kbit/s H.264/AAC source%s\n",
           window, getenv("SWARM_SUPERSEED") ? ", the broadcaster super-seeding" : "");
    for (int n : counts)
        if (n > 0) round_of(n, window); // 0: the movie alone
    if (!getenv("SWARM_NO_MOVIE")) movie_round();
    return 0;
}
