// The supervisor's own cost per request, from accept to the answer or to the child
// start (the fixed pauses left out: no 3-second pause is slept and the 1-second
// handover pause is set to 0 in this process), next to the cost of a bare start of
// a small program (proc_start: fork + exec, returning once exec has succeeded) in
// the same run. Prints figures; never fails on time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "marshal/marshal.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { ROUNDS = 200 };

struct stats {
    std::vector<double> us;
    double median() const { return us[us.size() / 2]; }
};

// Microseconds of a monotonic clock (the platform's millisecond tick is too coarse).
double clock_us() {
    using namespace std::chrono;
    return double(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count()) /
           1000.0;
}

bool copy_program(const std::string &from, const std::string &to) {
    os_file in, out;
    uint64_t size = 0;
    if (!file_open_read(from.c_str(), &in) || !file_size(&in, &size)) return false;
    std::vector<char> data(size);
    bool ok = file_pread(&in, data.data(), size, 0) == long(size);
    file_close(&in);
    if (!ok || !file_open_write(to.c_str(), &out)) return false;
    ok = file_write(&out, data.data(), size) == long(size);
    file_close(&out);
    return ok;
}

// One request through handle_connection; the client side sends it first so the
// measurement starts at the accept.
double one_request(net_sock listener, uint16_t port, const char *request) {
    net_sock c = net_tcp_socket();
    net_connect(c, net_parse_ipv4("127.0.0.1"), port);
    net_send(c, request, strlen(request));
    double t0 = clock_us();
    uint32_t addr;
    uint16_t peer;
    net_sock s = net_accept(listener, &addr, &peer);
    memset(&g_marshal.req, 0, sizeof g_marshal.req);
    handle_connection(s, addr, peer);
    double t1 = clock_us();
    net_close(c);
    return t1 - t0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <path of bench_marshal_child>\n", argv[0]);
        return 2;
    }
    // The supervisor's log lines (standard output) would bury the figures, which go
    // to standard error.
    FILE *figures = stderr;
    if (!freopen("/dev/null", "w", stdout)) return 2;

    char tmp[OS_PATH_MAX];
    if (!os_temp_root(tmp, sizeof tmp)) return 2;
    std::string dir = std::string(tmp) + "/bench-marshal-" + std::to_string(os_process_id());
    dir_create(dir.c_str());
    std::string relay = dir + "/KVT-Relay";
    if (!copy_program(argv[1], relay)) return 2;
    std::error_code ec;
    std::filesystem::permissions(relay, std::filesystem::perms::owner_all, ec);
    if (ec) return 2;

    marshal_set_defaults();
    marshal_state &g = g_marshal;
    snprintf(g.module_dir, sizeof g.module_dir, "%s", dir.c_str());
    g.cache_dir.len = uint8_t(snprintf(g.cache_dir.text, 255, "%s", dir.c_str()));
    g.handover_ms = 0;
    if (!job_create(&g.job) || !msgpipe_create("dwnldr-pipe", &g.fetcher_pipe)) return 2;
    msg_pipe reader;
    if (!msgpipe_open("dwnldr-pipe", &reader) || !msgpipe_wait_client(&g.fetcher_pipe, 1000))
        return 2;
    std::thread drain([&reader] {
        char m[1024];
        while (msgpipe_read(&reader, m, sizeof m) > 0) {
        }
    });

    net_startup();
    net_sock listener = net_tcp_socket();
    uint16_t port = 0;
    for (uint16_t p = 30000 + uint16_t(os_process_id() % 20000); p < 65000; p++)
        if (net_bind_any(listener, p)) {
            port = p;
            break;
        }
    if (!port || !net_listen(listener, 135)) return 2;

    stats verify, refused, child, reference;
    for (int i = 0; i < ROUNDS; i++) {
        verify.us.push_back(one_request(listener, port, "GET /verify HTTP/1.1\r\n\r\n"));
        refused.us.push_back(one_request(listener, port, "GET /radio?cid=1 HTTP/1.1\r\n\r\n"));
        child.us.push_back(one_request(
            listener, port, "GET /stream?cid=7&sid=b HTTP/1.1\r\nUser-Agent: b\r\n\r\n"));
        // The started child is not part of the figure: end and reap it, empty the slot.
        os_process &p = g.children.procs[1];
        proc_wait(&p, 5000);
        proc_close(&p);
        g.children.count = 1;

        double t0 = clock_us();
        os_process bare{};
        bool ok = proc_start(relay.c_str(), "KVT-Relay", -1, &bare);
        double t1 = clock_us();
        if (ok) {
            reference.us.push_back(t1 - t0);
            proc_wait(&bare, 5000);
            proc_close(&bare);
        }
    }
    fprintf(figures, "KVT-Marshal cost per request, accept to answer or child start (%d rounds)\n",
            ROUNDS);
    auto print = [&](stats &s, const char *what) {
        std::sort(s.us.begin(), s.us.end());
        double sum = 0;
        for (double v : s.us)
            sum += v;
        fprintf(figures, "  %-40s median %8.1f us  mean %8.1f us  p90 %8.1f us\n", what,
                s.us[s.us.size() / 2], sum / double(s.us.size()), s.us[s.us.size() * 9 / 10]);
    };
    print(verify, "verify (answer 0)");
    print(refused, "unrecognised (answer 400)");
    print(child, "stream with sid (child start + message)");
    print(reference, "reference: bare fork+exec (proc_start)");
    fprintf(figures, "  ratio child start / bare fork+exec (medians): %.2f (target <= 2)\n",
            child.median() / reference.median());
    fflush(figures);

    msgpipe_close(&g.fetcher_pipe);
    drain.join();
    msgpipe_close(&reader);
    job_close(&g.job);
    net_close(listener);
    std::filesystem::remove_all(dir, ec);
    return 0;
}
