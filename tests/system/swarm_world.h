// A swarm inside a network namespace of the test's own: a tracker (opentracker,
// which tracks the info-hashes the broadcaster lists), an ffmpeg sender, a
// broadcaster system with that real source and viewer systems that fetch the channel
// from the swarm, each its own demo world (supervisor, fetcher, cache, runtime,
// registry) with its own address 127.0.0.N on the namespace's loopback. Nothing can
// leave the namespace; every process in it is killed at the end.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/system/real_source.h"

// A player: ffprobe lists every packet as it reads the address, with its arrival time.
struct swarm_player {
    struct packet {
        int64_t at_ms;
        int stream;
        double dts;
    };
    std::string url;
    std::vector<packet> got;
    std::mutex lock;
    std::thread reader;
    FILE *pipe = nullptr;

    void start(const std::string &u, const std::string &err_path, int seconds,
               const std::string &in_net) {
        url = u;
        std::string cmd = in_net + "timeout -s KILL " + std::to_string(seconds) +
                          " ffprobe -v error -show_entries packet=stream_index,dts_time -of "
                          "csv=p=0 '" +
                          url + "' 2>" + err_path;
        pipe = popen(cmd.c_str(), "r");
        reader = std::thread([this] {
            char line[256];
            while (pipe && fgets(line, sizeof line, pipe)) {
                int s = 0;
                double d = 0;
                if (sscanf(line, "%d,%lf", &s, &d) != 2) continue;
                std::lock_guard<std::mutex> l(lock);
                got.push_back({test_now_ms(), s, d});
            }
        });
    }
    void join() {
        if (reader.joinable()) reader.join();
        if (pipe) pclose(pipe);
        pipe = nullptr;
    }
    ~swarm_player() { join(); }
    size_t count() {
        std::lock_guard<std::mutex> l(lock);
        return got.size();
    }
    // The longest wait with nothing to play of a player that starts prebuffer_ms after
    // its first packet, and the timestamp steps that go back or jump over 2 s.
    void judge(int64_t prebuffer_ms, int64_t *stall_ms, int *bad_steps) {
        std::lock_guard<std::mutex> l(lock);
        *stall_ms = got.empty() ? 1 << 30 : 0;
        *bad_steps = 0;
        std::map<int, double> last;
        double first = -1, newest = -1;
        for (const packet &p : got) {
            if (last.count(p.stream)) {
                double step = p.dts - last[p.stream];
                if (step < 0 || step > 2.0) (*bad_steps)++;
            }
            last[p.stream] = p.dts;
            if (first < 0) first = p.dts;
            int64_t play = p.at_ms - got[0].at_ms - prebuffer_ms;
            int64_t have = int64_t((newest - first) * 1000);
            if (newest >= 0 && play - have > *stall_ms) *stall_ms = play - have;
            newest = std::max(newest, p.dts);
        }
    }
};

// A movie of about 23 MB (60 s of 640x360 MPEG-4 at 3 Mbit/s and MP2) at path: to be
// the broadcaster's movie, written before the world starts (the demo keeps it).
inline bool make_big_movie(const std::string &path) {
    std::string out;
    make_dirs(std::filesystem::path(path).parent_path().string());
    return run_command("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                       "testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate="
                       "44100 -t 60 -c:v mpeg4 -b:v 3M -g 25 -c:a mp2 -b:a 96k -f avi '" +
                           path + "'",
                       &out) == 0;
}

struct swarm_world {
    test_world world;
    child_run ns; // the namespace's shell: everything else runs under it
    std::string build, pub;
    int viewers = 0;
    std::string broadcaster_options;     // more fetcher options of the broadcaster
    std::map<int, std::string> registry; // more registry values of viewer N ("name"=dword:HEX)
    uint16_t base_port = 0;

    std::string dir(int i) const { return world.path(i ? "v" + std::to_string(i) : "b"); }
    std::string cache(int i) const { return dir(i) + "/cache/vcache"; }
    std::string log(int i) const { return read_text_file(dir(i) + "/logs/marshal.log"); }
    uint16_t port(int i) const { return uint16_t(base_port + 2 * i); }
    std::string ip(int i) const { return "127.0.0." + std::to_string(i ? 10 + i : 2); }
    std::string in_net() const { return "nsenter --target " + std::to_string(ns.pid) + " --net "; }

    // The demo command of system i (0: the broadcaster) with its sources and options.
    std::string demo(int i, const std::string &sources, const std::string &options) {
        const std::string tag = i ? "v" + std::to_string(i) : "b";
        write_text_file(world.path(tag + "-sources.txt"), sources);
        write_text_file(world.path(tag + "-options.txt"), options);
        std::string values;
        if (registry.count(i)) {
            write_text_file(world.path(tag + "-registry.txt"), registry[i]);
            values = "VARNEX_DEMO_REGISTRY=" + world.path(tag + "-registry.txt") + " ";
        }
        return values + "VARNEX_DEMO_SOURCES=" + world.path(tag + "-sources.txt") +
               " VARNEX_DEMO_FETCHER_OPTIONS=" + world.path(tag + "-options.txt") + " '" +
               std::string(VARNEX_DEMO_SCRIPT) + "' --no-setup --modern --build-dir=" + build +
               " --dir=" + dir(i) + " --port=" + std::to_string(port(i)) +
               " --qi-port=" + std::to_string(port(i) + 1) + " >" + world.path(tag + ".log") +
               " 2>&1 &\n";
    }

    // Viewer i started inside the namespace (again, after a kill).
    std::string viewer_line(int i) {
        return demo(i,
                    "7\tswarm:http://" + ip(0) + ":7000/7\tkey=" + pub + "\n900\tswarm:http://" +
                        ip(0) + ":7000/900\tkey=" + pub + "\n",
                    "-swarm_listen=" + ip(i) + ":6881\n-trace\n");
    }

    bool start(int n) {
        viewers = n;
        build = std::filesystem::path(bin_path("KVT-Marshal")).parent_path().parent_path().string();
        base_port = 20000 + uint16_t(getpid() % 200) * 100; // a namespace of its own: free
        const std::string ot = world.path("ot"), wl = ot + "/wl", key = world.path("bkey");
        make_dirs(ot);
        chmod(world.root().c_str(), 0755);
        chmod(ot.c_str(), 0755); // the tracker reads its list as nobody, chrooted there
        write_text_file(wl, "");
        chmod(wl.c_str(), 0644);
        std::string sender = "ffmpeg";
        for (const std::string &a :
             sender_args("mpegts", "", "udp://127.0.0.1:5555?pkt_size=1316", 600))
            sender += " '" + a + "'";
        std::string script = "set -u\nip link set lo up\n";
        for (int i = 0; i <= 9; i++) // viewers started later have theirs too
            script += "ip addr add " + ip(i) + "/8 dev lo\n";
        script += "ip addr add 127.0.0.50/8 dev lo\nip addr add 127.0.0.51/8 dev lo\n";
        script += "opentracker -i 127.0.0.1 -p 6969 -P 6969 -w /wl -d " + ot + " >" +
                  world.path("tracker.log") + " 2>&1 &\nOT=$!\n";
        // The tracker reads its list again on SIGHUP: whenever the broadcaster adds a line.
        script += "( n=0; while kill -0 $OT 2>/dev/null; do m=$(wc -l <" + wl +
                  "); [ \"$m\" != \"$n\" ] && kill -HUP $OT && n=$m; sleep 0.1; done ) &\n";
        script += sender + " >" + world.path("sender.log") + " 2>&1 &\n";
        script += demo(0, "7\tudp://127.0.0.1:5555\n",
                       "-swarm_listen=" + ip(0) +
                           ":6881\n-swarm_tracker=http://127.0.0.1:6969/"
                           "announce\n-swarm_feed=" +
                           ip(0) + ":7000\n-swarm_whitelist=" + wl + "\n-swarm_key=" + key +
                           "\n-trace\n" + broadcaster_options);
        script += "while [ ! -s " + key + ".pub ]; do sleep 0.1; done\n";
        // Viewers are started by the test, through start-viewer-N.sh files it writes.
        script += "trap 'kill $(jobs -p) 2>/dev/null; wait; exit 0' TERM\n";
        script += "while :; do for f in " + world.path("start-*.sh") +
                  "; do [ -f \"$f\" ] && . \"$f\" && rm -f \"$f\"; done; sleep 0.2; done &\nwait\n";
        write_text_file(world.path("ns.sh"), script);
        if (!ns.start(world, "/usr/bin/unshare", {"--net", "bash", world.path("ns.sh")}, "ns.log"))
            return false;
        if (!wait_until([&] { return read_text_file(key + ".pub").size() >= 64; }, 30000))
            return false;
        pub = read_text_file(key + ".pub").substr(0, 64);
        for (int i = 1; i <= n; i++)
            start_viewer(i);
        for (int i = 0; i <= n; i++)
            if (!wait_until(
                    [&] {
                        return read_text_file(
                                   world.path((i ? "v" + std::to_string(i) : "b") + ".log"))
                                   .find("Press Ctrl-C to stop.") != std::string::npos;
                    },
                    90000))
                return false;
        return true;
    }
    void start_viewer(int i) { run_inside(std::to_string(i), viewer_line(i)); }
    // Viewer i with sources of its own.
    void start_viewer_with(int i, const std::string &sources) {
        run_inside(std::to_string(i),
                   demo(i, sources, "-swarm_listen=" + ip(i) + ":6881\n-trace\n"));
    }
    // Runs a shell line inside the namespace (the namespace's shell picks it up).
    void run_inside(const std::string &name, const std::string &line) {
        const std::string f = world.path("start-" + name + ".sh");
        write_text_file(f + ".part", line);
        std::filesystem::rename(f + ".part", f);
    }

    // Viewer i's system killed at once: its demo script and every program it runs.
    void kill_viewer(int i) {
        const std::string bin = dir(i) + "/bin/", arg = "--dir=" + dir(i);
        DIR *d = opendir("/proc");
        while (dirent *e = d ? readdir(d) : nullptr) {
            int pid = atoi(e->d_name);
            if (pid <= 1) continue;
            std::string cmd = read_text_file("/proc/" + std::to_string(pid) + "/cmdline");
            cmd.push_back('\0');
            if (cmd.find(bin) != std::string::npos || cmd.find(arg + '\0') != std::string::npos)
                kill(pid, SIGKILL);
        }
        if (d) closedir(d);
    }

    // Every process in the namespace ends; the namespace with them.
    void stop() {
        if (!ns.pid) return;
        char link[64];
        std::string mine = ns_of(ns.pid, link);
        if (mine == ns_of(getpid(), link)) mine.clear(); // never the test's own network
        ns.signal(SIGTERM);
        ns.wait_exit(20000);
        for (int round = 0; round < 2 && !mine.empty(); round++) {
            DIR *d = opendir("/proc");
            while (dirent *e = d ? readdir(d) : nullptr) {
                int pid = atoi(e->d_name);
                if (pid > 1 && ns_of(pid, link) == mine) kill(pid, SIGKILL);
            }
            if (d) closedir(d);
            os_sleep_ms(300);
        }
        ns.pid = 0;
    }
    static std::string ns_of(int pid, char *buf) {
        std::string p = "/proc/" + std::to_string(pid) + "/ns/net";
        ssize_t n = readlink(p.c_str(), buf, 63);
        return n > 0 ? std::string(buf, size_t(n)) : std::string();
    }
    ~swarm_world() { stop(); }

    // Octets of viewer i's chunk files that are neither the broadcaster's nor zero
    // (a region not written yet): what a reader could have read that is not the channel.
    long corrupted(int i) {
        long bad = 0;
        std::map<int, std::string> b = chunk_files(cache(0), 7);
        for (const auto &f : chunk_files(cache(i), 7)) {
            if (!b.count(f.first)) continue;
            const std::string x = read_text_file(f.second), y = read_text_file(b[f.first]);
            if (x.size() != y.size()) continue; // one of them deleted by -keep meanwhile
            for (size_t k = 0; k < x.size(); k++)
                if (x[k] != y[k] && x[k] != 0) bad++;
        }
        return bad;
    }

    // Chunk files of viewer i that the broadcaster also still has, and how many of them
    // differ from its copy.
    void compare(int i, int *same, int *differ) {
        *same = *differ = 0;
        std::map<int, std::string> b = chunk_files(cache(0), 7);
        for (const auto &f : chunk_files(cache(i), 7)) {
            if (!b.count(f.first)) continue;
            const std::string x = read_text_file(f.second), y = read_text_file(b[f.first]);
            if (x.empty() || y.empty()) continue; // deleted by -keep meanwhile
            (x == y ? *same : *differ) += 1;
        }
    }
};
