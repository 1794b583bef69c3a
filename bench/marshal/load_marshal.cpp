// Load and soak of one supervisor with real streamers (not run by CI; prints
// figures, never fails on them). The fetcher writes C live channels at 2 Mbit/s
// each (-rate=250000), KVT-Relay serves every player.
//   load_marshal [streams=511] [channels=8]
//     holds that many concurrent live streams with sid requests, measures each
//     player's rate (and whether it still carries the channel in the last 5 s),
//     resident memory per relay and CPU per stream over 20 s, asks once more (the
//     table is full: 403 expected), then ends every player and looks for extra
//     descriptors and zombie children of the supervisor. Relays past the inotify
//     instance limit look at the cache folder instead; their number is printed.
//   load_marshal --soak=SECONDS [streams=40] [channels=8]
//     keeps that many streams going for SECONDS, each player leaving after 1 to 8 s
//     and a new one taking its place; descriptors, memory and children at the start
//     and the end.
// The supervisor is soak_marshal_supervisor (handover pause 0) on 127.0.0.1.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bench/marshal/bench_common.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

namespace {

enum { RATE = 250000, MEASURE_MS = 20000, LAST_MS = 5000 };

struct player {
    int fd = -1;
    uint64_t octets = 0;
    int64_t opened = 0, leaves = 0;
};

struct sample {
    int fds = 0;
    long rss_kib = 0;
    int children = 0, zombies = 0;
};

long status_kib(int pid, const char *field) {
    std::istringstream in(read_text_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, strlen(field), field) == 0) return atol(line.c_str() + strlen(field));
    return 0;
}

// utime + stime of a process in clock ticks.
long long cpu_ticks(int pid) {
    std::string s = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = s.rfind(')');
    if (close_paren == std::string::npos) return 0;
    std::istringstream in(s.substr(close_paren + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14) utime = atoll(field.c_str());
        if (i == 15) stime = atoll(field.c_str());
    }
    return utime + stime;
}

std::vector<int> children_of(int pid) {
    std::vector<int> kids;
    std::error_code ec;
    for (auto it =
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::istringstream in(read_text_file(it->path().string() + "/children"));
        for (int kid; in >> kid;)
            kids.push_back(kid);
    }
    return kids;
}

sample take_sample(int pid) {
    sample s;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        s.fds++;
    s.rss_kib = status_kib(pid, "VmRSS:");
    for (int kid : children_of(pid)) {
        s.children++;
        std::string st = read_text_file("/proc/" + std::to_string(kid) + "/stat");
        size_t p = st.rfind(')');
        if (p != std::string::npos && p + 2 < st.size() && st[p + 2] == 'Z') s.zombies++;
    }
    return s;
}

void print_sample(const char *when, const sample &s, const sample &ref) {
    printf("  %-26s descriptors %4d (%+d)  RSS %7ld KiB (%+ld)  children %3d  zombies %d\n", when,
           s.fds, s.fds - ref.fds, s.rss_kib, s.rss_kib - ref.rss_kib, s.children, s.zombies);
}

bool open_player(player *p, uint16_t port, int cid) {
    p->fd = tcp_connect_loopback(port);
    if (p->fd < 0) return false;
    std::string req = "GET /stream?cid=" + std::to_string(cid) + "&sid=load HTTP/1.1\r\n\r\n";
    p->octets = 0;
    p->opened = test_now_ms();
    return send(p->fd, req.data(), req.size(), MSG_NOSIGNAL) == ssize_t(req.size());
}

void close_player(player *p) {
    if (p->fd >= 0) close(p->fd);
    p->fd = -1;
}

// Reads whatever is waiting on every open player for up to ms.
void drain(std::vector<player> &ps, int ms) {
    static char buf[1 << 16];
    std::vector<pollfd> fds;
    for (const player &p : ps)
        fds.push_back(pollfd{p.fd, POLLIN, 0});
    int64_t end = test_now_ms() + ms;
    do {
        int left = int(end - test_now_ms());
        if (poll(fds.data(), fds.size(), left > 0 ? std::min(left, 100) : 0) <= 0) continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = recv(ps[i].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) ps[i].octets += uint64_t(n);
            if (n == 0) fds[i].fd = -1; // ended: no longer polled
        }
    } while (test_now_ms() < end);
}

bool install(const std::string &bin) {
    const std::pair<const char *, const char *> programs[] = {
        {"soak_marshal_supervisor", "KVT-Marshal"},
        {"KVT-Fetcher", "KVT-Fetcher"},
        {"test-channel.ts", "test-channel.ts"},
        {"KVT-Relay", "KVT-Relay"},
    };
    return bench_install(bin, programs) &&
           write_text_file(bin + "/KVT-Fetcher.options",
                           "-rate=" + std::to_string(RATE) + "\n-chunk_ms=2000\n");
}

} // namespace

int main(int argc, char **argv) {
    int soak_s = 0, arg = 1;
    if (argc > 1 && strncmp(argv[1], "--soak=", 7) == 0) {
        soak_s = atoi(argv[1] + 7);
        arg = 2;
    }
    const int streams = argc > arg ? atoi(argv[arg]) : (soak_s ? 40 : 511);
    const int channels = argc > arg + 1 ? atoi(argv[arg + 1]) : 8;
    if (streams < 1 || streams > 511 || channels < 1 || (argc > 1 && arg == 2 && soak_s < 10)) {
        fprintf(stderr,
                "usage: %s [streams 1..511] [channels]\n"
                "       %s --soak=SECONDS (at least 10) [streams] [channels]\n",
                argv[0], argv[0]);
        return 2;
    }
    // Every live relay watches the cache folder with an inotify instance of its own;
    // the relays past the per-user limit look at the folder instead.
    const int instances = atoi(read_text_file("/proc/sys/fs/inotify/max_user_instances").c_str());
    // One descriptor per player and a few more.
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < rlim_t(streams) + 64) {
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, rlim_t(streams) + 256);
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    test_world world;
    const std::string bin = world.path("bin");
    make_dirs(bin);
    if (!install(bin)) return 2;
    const uint16_t port = free_tcp_port();
    child_run sup;
    if (!sup.start_logged(bin + "/KVT-Marshal",
                          {"-port=" + std::to_string(port), "-listen=127.0.0.1"},
                          world.path("marshal.log")) ||
        !sup.wait_for_log("Start listening on", 30000)) {
        fprintf(stderr, "the supervisor did not start:\n%s\n", sup.log().c_str());
        return 2;
    }
    os_sleep_ms(1000);
    const sample first = take_sample(sup.pid);
    std::vector<player> ps(static_cast<size_t>(streams));

    if (soak_s) {
        printf("KVT-Marshal soak: %d streams kept going for %d s over %d channels at 2 Mbit/s\n",
               streams, soak_s, channels);
        print_sample("start (listening)", first, first);
        unsigned seed = 12345;
        int started = 0;
        const int64_t end = test_now_ms() + int64_t(soak_s) * 1000;
        sample mid{};
        bool mid_taken = false;
        while (test_now_ms() < end) {
            for (player &p : ps) {
                if (p.fd >= 0 && test_now_ms() < p.leaves) continue;
                close_player(&p);
                seed = seed * 1103515245u + 12345u;
                if (!open_player(&p, port, 100 + int(seed >> 8) % channels)) continue;
                p.leaves = p.opened + 1000 + int64_t((seed >> 4) % 7000);
                started++;
            }
            drain(ps, 200);
            if (!mid_taken && test_now_ms() > end - int64_t(soak_s) * 500) {
                mid = take_sample(sup.pid);
                mid_taken = true;
            }
            if (!sup.running()) break;
        }
        const sample running = take_sample(sup.pid);
        for (player &p : ps)
            close_player(&p);
        os_sleep_ms(8000); // the relays see their players gone, the monitor reaps them
        const sample last = take_sample(sup.pid);
        print_sample("half way", mid, first);
        print_sample("end, streams running", running, first);
        print_sample("end, all players gone", last, first);
        const std::string log = sup.log();
        printf("  streams started %d (%d by the log), ended and reaped %d, supervisor %s\n",
               started, count_in(log, "KVT-Relay -chan="),
               count_in(log, "KVT-Relay/KVT-Cinema has stopped"),
               sup.running() ? "running" : "ENDED");
        printf("  failures in the log (Start Relay process failure, count limit): %d, %d\n",
               count_in(log, "Start Relay process failure"), count_in(log, "process count limit"));
        return 0;
    }

    printf("KVT-Marshal load: %d concurrent live streams over %d channels at 2 Mbit/s each\n",
           streams, channels);
    const int64_t t0 = test_now_ms();
    int opened = 0;
    for (int i = 0; i < streams; i++) {
        if (open_player(&ps[size_t(i)], port, 100 + i % channels)) opened++;
        if (i % 50 == 49) drain(ps, 300);
    }
    const int64_t t_open = test_now_ms();
    // Until every player has its relay's header and first data, at most 90 s.
    for (int64_t end = test_now_ms() + 90000; test_now_ms() < end;) {
        drain(ps, 500);
        int ready = 0;
        for (const player &p : ps)
            ready += p.octets > 276 + 188 * 100;
        if (ready == streams) break;
    }
    std::vector<int> relays = children_of(sup.pid);
    std::vector<uint64_t> before;
    for (const player &p : ps)
        before.push_back(p.octets);
    long long ticks0 = 0;
    for (int pid : relays)
        ticks0 += cpu_ticks(pid);
    const int64_t m0 = test_now_ms();
    drain(ps, MEASURE_MS - LAST_MS);
    std::vector<uint64_t> before_last;
    for (const player &p : ps)
        before_last.push_back(p.octets);
    drain(ps, LAST_MS);
    const double secs = double(test_now_ms() - m0) / 1000.0;
    // Carrying to the end: at least half the channel's rate in the last seconds.
    int to_end = 0;
    for (size_t i = 0; i < ps.size(); i++)
        to_end += ps[i].octets - before_last[i] >= uint64_t(RATE) / 2 * LAST_MS / 1000;
    long long ticks1 = 0;
    long rss_sum = 0;
    int counted = 0;
    for (int pid : relays) {
        ticks1 += cpu_ticks(pid);
        long rss = status_kib(pid, "VmRSS:");
        if (rss > 0 &&
            read_text_file("/proc/" + std::to_string(pid) + "/comm").find("KVT-Relay") == 0) {
            rss_sum += rss;
            counted++;
        }
    }
    std::vector<double> rates;
    for (size_t i = 0; i < ps.size(); i++)
        rates.push_back(double(ps[i].octets - before[i]) * 8 / secs / 1e6);
    std::sort(rates.begin(), rates.end());
    const sample loaded = take_sample(sup.pid);

    // One more: the table holds the fetcher and 511 streamers.
    std::string extra = http_exchange(port, "GET /stream?cid=100&sid=load HTTP/1.1\r\n\r\n", 10000);

    for (player &p : ps)
        close_player(&p);
    os_sleep_ms(10000); // the relays see their players gone, the monitor reaps them
    const sample last = take_sample(sup.pid);

    const long ticks_per_s = sysconf(_SC_CLK_TCK);
    printf("  players connected %d, all %d started in %.1f s\n", opened, streams,
           double(t_open - t0) / 1000.0);
    printf("  per-player rate over %.0f s: min %.2f, median %.2f, max %.2f Mbit/s (channel 2.00)\n",
           secs, rates.front(), rates[rates.size() / 2], rates.back());
    printf("  players carrying the channel in the last %d s: %d of %d\n", LAST_MS / 1000, to_end,
           streams);
    printf("  relays looking at the cache folder (no inotify instance left of %d): %d\n", instances,
           count_in(sup.log(), "No change watch of '"));
    printf("  relays running %d; resident memory per relay %.0f KiB (mean of %d)\n",
           int(relays.size()) - 1, counted ? double(rss_sum) / counted : 0.0, counted);
    printf("  CPU of all relays %.1f %% of one core; per stream %.3f %% of one core\n",
           100.0 * double(ticks1 - ticks0) / ticks_per_s / secs,
           100.0 * double(ticks1 - ticks0) / ticks_per_s / secs / streams);
    printf("  request %d: %s\n", streams + 1,
           extra.compare(0, 22, "HTTP/1.1 403 Forbidden") == 0
               ? "403 Forbidden"
               : ("'" + extra.substr(0, 40) + "'").c_str());
    print_sample("supervisor at start", first, first);
    print_sample("with all streams", loaded, first);
    print_sample("after all ended", last, first);
    const std::string log = sup.log();
    printf("  failures in the log (Start Relay process failure, count limit): %d, %d\n",
           count_in(log, "Start Relay process failure"), count_in(log, "process count limit"));
    printf("  supervisor log: %d connections accepted, %d relays started, %d requests not read, "
           "%d relay lines with errors\n",
           count_in(log, "Accepted new connection"), count_in(log, "KVT-Relay -chan="),
           count_in(log, "Did not get HTTP"),
           count_in(log, "%RELAY-E") + count_in(log, "%RELAY-F"));
    if (getenv("VARNEX_BENCH_LOG")) write_text_file(getenv("VARNEX_BENCH_LOG"), log);
    return 0;
}
