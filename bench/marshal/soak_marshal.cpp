// Soak of one supervisor: drives many child starts (10000 by default; live stream,
// HLS and movie requests with a sid, streamers that end at once) through one running
// KVT-Marshal and prints its open descriptors, resident memory and running children
// at the start, after the first 100 starts and at the end, each next to the start's
// figure. The supervisor is soak_marshal_supervisor: KVT-Marshal with the handover
// pause at 0. Not run by CI; prints figures, never fails on them.
//   soak_marshal [starts]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "bench/marshal/bench_common.h"
#include "platform/os.h"
#include "tests/marshal/request_mix.h"
#include "tests/support/test_support.h"

namespace {

// The monitor watches a child from its next 2-second wait on and then reaps the ended
// ones one a pass: samples are taken once that has happened.
enum { SETTLE_MS = 3000 };
// The monitor also watches a new child only from its next wait, so a burst of more
// than 511 starts within 2 s fills the table (403). At most 100 starts per 700 ms
// keeps well below that while still far above what players ask for.
enum { PACE_STARTS = 100, PACE_MS = 700 };

struct sample {
    int fds = 0;
    long rss_kib = 0;
    int children = 0;
};

// Open descriptors, VmRSS and live children (listed per thread that started them).
sample take_sample(int pid) {
    sample s;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(proc + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        s.fds++;
    std::istringstream status(read_text_file(proc + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) s.rss_kib = atol(line.c_str() + 6);
    for (auto it = std::filesystem::directory_iterator(proc + "/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::istringstream kids(read_text_file(it->path().string() + "/children"));
        for (int kid; kids >> kid;)
            s.children++;
    }
    return s;
}

void print(const char *when, int starts, const sample &s, const sample &ref) {
    fprintf(stderr,
            "  %-22s %6d starts  descriptors %4d (%+d)  RSS %7ld KiB (%+ld)  children %3d\n", when,
            starts, s.fds, s.fds - ref.fds, s.rss_kib, s.rss_kib - ref.rss_kib, s.children);
}

} // namespace

int main(int argc, char **argv) {
    const int starts = argc > 1 ? atoi(argv[1]) : 10000;
    if (starts < 100) {
        fprintf(stderr, "usage: %s [starts, at least 100]\n", argv[0]);
        return 2;
    }
    test_world world;
    const std::string bin = world.path("bin");
    make_dirs(bin);
    const std::pair<const char *, const char *> programs[] = {
        {"soak_marshal_supervisor", "KVT-Marshal"}, {"KVT-Fetcher", "KVT-Fetcher"},
        {"test-channel.ts", "test-channel.ts"},     {"bench_marshal_child", "KVT-Relay"},
        {"bench_marshal_child", "KVT-Cinema"},
    };
    if (!bench_install(bin, programs)) return 2;
    const uint16_t port = free_tcp_port();
    child_run sup;
    if (!sup.start_logged(bin + "/KVT-Marshal", {"-port=" + std::to_string(port)},
                          world.path("marshal.log")) ||
        !sup.wait_for_log("Start listening on", 30000)) {
        fprintf(stderr, "the supervisor did not start:\n%s\n", sup.log().c_str());
        return 2;
    }
    os_sleep_ms(500);
    const sample first = take_sample(sup.pid);
    sample warm;
    int answered = 0;
    int64_t mark = test_now_ms();
    int64_t t0 = test_now_ms();
    const int64_t begin = t0;
    int64_t t100 = t0;
    for (int i = 0; i < starts; i++) {
        // The streamer ends without a word: the answer is the connection closing.
        if (!http_exchange(port, mixed_request(i), 10000).empty()) answered++;
        if (i % PACE_STARTS == PACE_STARTS - 1) {
            int64_t due = mark + PACE_MS;
            while (test_now_ms() < due)
                os_sleep_ms(5);
            mark = test_now_ms();
        }
        if (i == 99) {
            t100 = test_now_ms();
            os_sleep_ms(SETTLE_MS);
            warm = take_sample(sup.pid);
            t0 += test_now_ms() - t100; // the settling is no part of the rate
        }
        if (!sup.running()) break;
    }
    const int64_t t1 = test_now_ms();
    os_sleep_ms(SETTLE_MS);
    const sample last = take_sample(sup.pid);
    const std::string log = sup.log();
    const int started = count_in(log, " was started: PID = ");
    const int ended = count_in(log, "KVT-Relay/KVT-Cinema has stopped");

    fprintf(stderr,
            "KVT-Marshal soak: %d child starts through one supervisor (handover 0 ms, at most "
            "%d starts per %d ms)\n",
            starts, int(PACE_STARTS), int(PACE_MS));
    print("start (listening)", 0, first, first);
    print("after the first 100", 100, warm, first);
    print("end", started, last, first);
    fprintf(stderr, "  streamers started %d, ended and reaped %d, supervisor %s\n", started, ended,
            sup.running() ? "running" : "ENDED");
    fprintf(stderr, "  %.1f ms per start over the run (first 100: %.1f ms)\n",
            double(t1 - t0) / starts, double(t100 - begin) / 100.0);
    fprintf(stderr, "  failures in the log (errno = 24, Start Relay process failure): %d, %d\n",
            count_in(log, "errno = 24"), count_in(log, "Start Relay process failure"));
    fprintf(stderr, "  requests not read: %d, refused for a full table: %d, answered: %d\n",
            count_in(log, "%MRSHL-S: Receive from "), count_in(log, "process count limit"),
            answered);
    return 0;
}
