// A stand-in streamer for the supervisor's tests, installed as KVT-Relay and
// KVT-Cinema in a test's program folder. It writes its arguments, one a line, to
// "<its folder>/started/<pid>-<ns>.args" (the time tells apart the children of one
// pid when the machine's pids wrap during a long test), greets the player on the inherited -chan
// socket and holds the connection until the player closes it (or 300 s pass); with a file
// "end-at-once" in its folder it ends right after the greeting.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/os.h"

int main(int argc, char **argv) {
    char module[OS_PATH_MAX];
    if (!os_module_path(module, sizeof module)) return 2;
    char *cut = strrchr(module, OS_PATH_SEP[0]);
    if (cut) *cut = 0;
    char folder[OS_PATH_MAX + 16];
    snprintf(folder, sizeof folder, "%s/started", module);
    dir_create(folder);

    long chan = -1;
    char text[8192];
    size_t n = 0;
    for (int i = 0; i < argc; i++) {
        n += size_t(snprintf(text + n, sizeof text - n, "%s\n", argv[i]));
        if (n >= sizeof text) n = sizeof text - 1;
        if (strncmp(argv[i], "-chan=", 6) == 0) chan = strtol(argv[i] + 6, nullptr, 10);
    }
    const long long ns = (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    char path[OS_PATH_MAX + 64];
    snprintf(path, sizeof path, "%s/%d-%lld.tmp", folder, os_process_id(), ns);
    os_file f;
    if (file_open_write(path, &f)) {
        file_write(&f, text, n);
        file_close(&f);
        char final_path[OS_PATH_MAX + 64];
        snprintf(final_path, sizeof final_path, "%s/%d-%lld.args", folder, os_process_id(), ns);
        rename(path, final_path); // the test sees whole files only
    }
    if (chan < 0) return 1;
    net_startup();
    chan = long(net_adopt_inherited(net_sock(chan)));

    char hello[64];
    int hl = snprintf(hello, sizeof hello, "HTTP/1.1 200 OK\r\n\r\nchild %d\n", os_process_id());
    net_send(net_sock(chan), hello, size_t(hl));
    snprintf(path, sizeof path, "%s/end-at-once", module);
    os_file quick;
    if (file_open_read(path, &quick)) {
        file_close(&quick);
        return 0;
    }
    for (int waited = 0; waited < 300; waited++) {
        int w = net_wait_readable(net_sock(chan), 1000);
        if (w < 0) break;
        if (w == 0) continue;
        char buf[256];
        if (net_recv(net_sock(chan), buf, sizeof buf) <= 0) break;
    }
    return 0;
}
