// Benchmark: KVT-Fetcher receiving 8 Mbit/s MPEG-TS channels over UDP on loopback,
// its CPU time and resident memory per channel, beside `ffmpeg -c copy -f mpegts` of
// the same source (the same file sent at the same rate) in the same run; then 20
// channels at once. Prints the figures; asserts nothing on speed.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/msgpipe.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

namespace {

// CPU seconds (user + system) and resident KiB of a process from /proc.
bool usage(int pid, double *cpu, long *rss_kib) {
    std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    unsigned long ut = 0, st = 0;
    // Fields after the name: state is field 3; utime 14, stime 15.
    const char *p = stat.c_str() + close + 2;
    int field = 3;
    while (*p && field < 14) {
        if (*p++ == ' ') field++;
    }
    if (sscanf(p, "%lu %lu", &ut, &st) != 2) return false;
    *cpu = double(ut + st) / double(sysconf(_SC_CLK_TCK));
    std::string status = read_text_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    *rss_kib = at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
    return true;
}

std::vector<std::string> sender(const std::string &file, uint16_t port) {
    return {
        "-nostdin", "-loglevel",    "error",
        "-re",      "-stream_loop", "-1",
        "-i",       file,           "-t",
        "60",       "-c",           "copy",
        "-f",       "mpegts",       "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316"};
}

struct figures {
    double cpu_s;
    long rss_kib;
};

// channels fetcher channels (and one reference when with_reference), measured over
// seconds after a warm-up.
void run(const std::string &file, int channels, int seconds, figures *fetch, figures *ref) {
    test_world world;
    const std::string bin = world.path("bin"), dir = world.path("cache");
    make_dirs(bin);
    make_dirs(dir);
    std::filesystem::copy_file(bin_path("KVT-Fetcher"), bin + "/KVT-Fetcher");
    std::string sources;
    std::vector<uint16_t> ports;
    for (int i = 0; i < channels + 1; i++)
        ports.push_back(uint16_t(free_tcp_port()));
    for (int i = 0; i < channels; i++)
        sources += std::to_string(100 + i) + "\tudp://127.0.0.1:" + std::to_string(ports[i]) + "\n";
    write_text_file(bin + "/KVT-Sources.txt", sources);
    msg_pipe pipe;
    if (!msgpipe_create("dwnldr-pipe", &pipe)) return;
    child_run f;
    f.start(world, bin + "/KVT-Fetcher", {"-dir=" + dir, "-keep=20", "-peer_id=1FFKVT$"});
    msgpipe_wait_client(&pipe, 10000);
    std::vector<child_run> senders(size_t(channels + 1));
    for (int i = 0; i < channels; i++)
        senders[size_t(i)].start(world, "/usr/bin/ffmpeg", sender(file, ports[size_t(i)]));
    child_run reference;
    if (ref) {
        senders[size_t(channels)].start(world, "/usr/bin/ffmpeg",
                                        sender(file, ports[size_t(channels)]));
        reference.start(world, "/usr/bin/ffmpeg",
                        {"-nostdin", "-loglevel", "error", "-i",
                         "udp://127.0.0.1:" + std::to_string(ports[size_t(channels)]) +
                             "?overrun_nonfatal=1&fifo_size=65536",
                         "-c", "copy", "-f", "mpegts", "-y", world.path("reference.ts")});
    }
    os_sleep_ms(5000);
    double f0 = 0, r0 = 0;
    long rss = 0;
    usage(f.pid, &f0, &rss);
    if (ref) usage(reference.pid, &r0, &rss);
    os_sleep_ms(unsigned(seconds) * 1000);
    double f1 = 0, r1 = 0;
    long frss = 0, rrss = 0;
    usage(f.pid, &f1, &frss);
    *fetch = {f1 - f0, frss};
    if (ref) {
        usage(reference.pid, &r1, &rrss);
        *ref = {r1 - r0, rrss};
    }
    msgpipe_close(&pipe);
}

} // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? atoi(argv[1]) : 15;
    test_world world;
    const std::string file = world.path("8mbit.ts");
    std::string cmd =
        "ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=25 "
        "-f lavfi -i sine -t 10 -c:v libx264 -preset ultrafast -g 25 -b:v 7600k "
        "-maxrate 7600k -bufsize 4M -c:a aac -b:a 128k -muxrate 8000k -f mpegts -y '" +
        file + "'";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "ffmpeg could not make the 8 Mbit/s source\n");
        return 1;
    }
    figures one{}, ref{}, many{};
    run(file, 1, seconds, &one, &ref);
    run(file, 20, seconds, &many, nullptr);
    printf("8 Mbit/s MPEG-TS over UDP on loopback, %d s measured after 5 s\n", seconds);
    printf("%-40s %12s %12s\n", "", "CPU %", "RSS KiB");
    printf("%-40s %12.2f %12ld\n", "KVT-Fetcher, 1 channel", 100 * one.cpu_s / seconds,
           one.rss_kib);
    printf("%-40s %12.2f %12ld\n", "ffmpeg -c copy -f mpegts, same source",
           100 * ref.cpu_s / seconds, ref.rss_kib);
    printf("%-40s %12.2f %12ld\n", "KVT-Fetcher, 20 channels: per channel",
           100 * many.cpu_s / seconds / 20, many.rss_kib / 20);
    printf("%-40s %12.2f %12ld\n", "KVT-Fetcher, 20 channels: whole process",
           100 * many.cpu_s / seconds, many.rss_kib);
    printf("ratio fetcher / ffmpeg (1 channel): CPU %.2f, memory %.2f\n",
           ref.cpu_s > 0 ? one.cpu_s / ref.cpu_s : 0.0,
           ref.rss_kib > 0 ? double(one.rss_kib) / double(ref.rss_kib) : 0.0);
    return 0;
}
