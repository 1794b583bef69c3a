// Options, start-up and the pipe loop of KVT-Fetcher.
#include <cstdio>
#include <cstring>

#include "fetcher.h"
#include "fetcher/swarm/swarm.h"
#include "platform/fs.h"
#include "platform/msgpipe.h"
#include "platform/net.h"
#include "platform/os.h"

fetcher_state g_fetcher;

namespace {

enum { PIPE_OPEN_TRIES = 100, PIPE_RETRY_MS = 100 };

option_entry options[] = {
    option_def("dir", &g_fetcher.dir, 255, OPT_TEXT),
    option_def("keep", &g_fetcher.keep, sizeof(int32_t), OPT_INT),
    option_def("peer_id", &g_fetcher.peer_id, 255, OPT_TEXT),
    option_def("trace", &g_trace, sizeof(int32_t), OPT_FLAG),
    option_def("source", &g_fetcher.source, 255, OPT_TEXT),
    option_def("signal", &g_fetcher.signal, 255, OPT_TEXT),
    option_def("chunk_ms", &g_fetcher.chunk_ms, sizeof(int32_t), OPT_INT),
    option_def("rate", &g_fetcher.rate, sizeof(int32_t), OPT_INT),
    option_def("history", &g_fetcher.history, sizeof(int32_t), OPT_INT),
    option_def("movie", &g_fetcher.movie, 255, OPT_TEXT),
    option_def("copy_rate", &g_fetcher.movie_rate, sizeof(int32_t), OPT_INT),
    option_def("dump", &g_fetcher.dump, 255, OPT_TEXT),
    option_def("help", &g_fetcher.help, sizeof(int32_t), OPT_FLAG),
    option_def("swarm_listen", &g_fetcher.swarm_listen, 255, OPT_TEXT),
    option_def("swarm_tracker", &g_fetcher.swarm_tracker, 255, OPT_TEXT),
    option_def("swarm_feed", &g_fetcher.swarm_feed, 255, OPT_TEXT),
    option_def("swarm_key", &g_fetcher.swarm_key, 255, OPT_TEXT),
    option_def("swarm_whitelist", &g_fetcher.swarm_whitelist, 255, OPT_TEXT),
    option_def("swarm_discovery", &g_fetcher.swarm_discovery, sizeof(int32_t), OPT_INT),
    option_def("swarm_superseed", &g_fetcher.swarm_superseed, sizeof(int32_t), OPT_INT),
    option_def("swarm_slots", &g_fetcher.swarm_slots, sizeof(int32_t), OPT_INT),
    option_entry{},
};

const char usage[] =
    "KVT-Fetcher: the local fetcher started by KVT-Marshal.\n"
    "  -dir=PATH          cache folder to write chunk and movie files into\n"
    "  -keep=N            seconds to keep files before deleting them (default 67)\n"
    "  -peer_id=TEXT      the supervisor's peer identifier\n"
    "  -trace             more trace lines\n"
    "  -source=LIST       transport-stream sources: PATH for every CID, or\n"
    "                     CID:PATH;CID:PATH... (a .ts file or a folder of .ts files, looped)\n"
    "  -signal=PATH       the generated test signal used when no source fits\n"
    "                     (default: test-channel.ts next to this program)\n"
    "  -chunk_ms=N        duration of one chunk file in milliseconds (default 2000),\n"
    "                     rounded to whole 65424-octet blocks\n"
    "  -rate=N            octets per second; 0 plays the source at its own pace\n"
    "  -history=N         complete chunks written at once on a start (default 1, 1 to 20)\n"
    "  -movie=LIST        CID:PATH;... copied front to back into DIR/<CID><ext>, which\n"
    "                     has its final size (zero-filled) from the start\n"
    "  -copy_rate=N       octets per second of the movie copies (default 8000000)\n"
    "  -dump=FOLDER       write every received 640-octet message to FOLDER/msg-NNNN.bin\n"
    "  -swarm_listen=A:P  join the swarm: the engine listens on (and connects from) A:P\n"
    "  -swarm_tracker=URL the tracker's announce URL in the torrents this broadcaster makes\n"
    "  -swarm_feed=A:P    serve this broadcaster's signed feeds on A:P (GET /CID)\n"
    "  -swarm_key=PATH    the broadcaster's ed25519 key (default KVT-Swarm.key next to\n"
    "                     this program; made when missing, its public key in PATH.pub)\n"
    "  -swarm_whitelist=PATH  append each published info-hash to PATH (a tracker that\n"
    "                     tracks listed torrents only)\n"
    "  -swarm_discovery=1 also the DHT, local peer discovery, UPnP and NAT-PMP\n"
    "  -swarm_superseed=1 the broadcaster super-seeds (each piece sent out about once)\n"
    "  -swarm_slots=N     viewers the broadcaster sends a live chunk to at once (default 0:\n"
    "                     one, and one more each second it has not left; -1: every viewer)\n"
    "Options are read from KVT-Fetcher.options next to the program first (one a line),\n"
    "then from the command line.\n";

void set_text(option_text *t, const char *v) {
    size_t n = strnlen(v, 255);
    t->len = uint8_t(n);
    memcpy(t->text, v, n);
    t->text[n] = 0;
}

void set_defaults() {
    fetcher_state &g = g_fetcher;
    g.keep = 67;
    g.chunk_ms = 2000;
    g.rate = 0;
    g.history = 1;
    g.movie_rate = 8000000;
    char module[OS_PATH_MAX];
    if (os_module_path(module, sizeof module)) {
        char *cut = strrchr(module, OS_PATH_SEP[0]);
        if (cut) *cut = 0;
        char path[OS_PATH_MAX + 32];
        snprintf(path, sizeof path, "%s" OS_PATH_SEP "test-channel.ts", module);
        set_text(&g.signal, path);
    }
    char tmp[OS_PATH_MAX];
    if (os_temp_root(tmp, sizeof tmp)) {
        char path[OS_PATH_MAX + 16];
        snprintf(path, sizeof path, "%s" OS_PATH_SEP "vcache", tmp);
        set_text(&g.dir, path);
    }
}

} // namespace

int fetcher_main(int argc, char **argv) {
    fetcher_state &g = g_fetcher;
    set_defaults();
    // Options kept next to the program (for the demo and the tests), then the
    // command line the supervisor gives.
    char module[OS_PATH_MAX], opt_file[OS_PATH_MAX + 32];
    if (os_module_path(module, sizeof module)) {
        // KVT-Fetcher.options also beside KVT-Fetcher.exe.
        size_t len = strlen(module), suffix = strlen(OS_EXE_SUFFIX);
        if (suffix && len > suffix && strcmp(module + len - suffix, OS_EXE_SUFFIX) == 0)
            module[len - suffix] = 0;
        snprintf(opt_file, sizeof opt_file, "%s.options", module);
        os_file f;
        if (file_open_read(opt_file, &f)) {
            file_close(&f);
            read_options_file(opt_file, options);
        }
    }
    parse_command_line(argc, argv, options);
    if (g.help) {
        fputs(usage, stdout);
        return SEV_S;
    }
    list_options(options);
    if (g.chunk_ms < 100) g.chunk_ms = 100;
    if (g.history < 1) g.history = 1;
    if (g.history > 20) g.history = 20;
    if (g.movie_rate <= 0) g.movie_rate = 8000000;
    // The same rule as the supervisor's: never write into a folder another user made.
    int safety = dir_make_private(g.dir.text);
    if (safety == DIR_PRIVATE_FAILED)
        log_printf(FETCH, SEV_E, "Creation dir '%s' failure : %d", g.dir.text, os_error());
    else if (safety != DIR_PRIVATE_OK)
        return log_printf(FETCH, SEV_F, CACHE_DIR_REFUSED, int(g.dir.len), g.dir.text,
                          dir_private_reason(safety));

    // Windows Sockets must be started before the passed QI sockets are taken over.
    int err = net_startup();
    if (err != 0) return log_printf(FETCH, SEV_F, "WSAStartup(2.2) : %d", err);

    char pipe_path[OS_PATH_MAX];
    msgpipe_path("dwnldr-pipe", pipe_path, sizeof pipe_path);
    msg_pipe pipe;
    int tries = 0;
    while (!msgpipe_open("dwnldr-pipe", &pipe)) {
        if (++tries >= PIPE_OPEN_TRIES)
            return log_printf(FETCH, SEV_F, "Open '%s' : %d", pipe_path, os_error());
        os_sleep_ms(PIPE_RETRY_MS);
    }
    log_printf(FETCH, SEV_S, "Opened '%s', cache '%s', keep %d s, peer id '%s'", pipe_path,
               g.dir.text, g.keep, g.peer_id.text);

    if (!swarm_start()) return log_printf(FETCH, SEV_F, "The swarm cannot start");
    sources_start();
    std::thread cleaner(keep_cleaner);
    int32_t status = SEV_I;
    for (;;) {
        fetch_message m;
        uint8_t raw[1024];
        intptr_t passed = -1;
        long n = msgpipe_read(&pipe, raw, sizeof raw, &passed);
        if (n <= 0) {
            status =
                log_printf(FETCH, SEV_I, "dwnldr-pipe closed (%ld) : %d, ending", n, os_error());
            break;
        }
        memset(&m, 0, sizeof m);
        memcpy(&m, raw, size_t(n) < sizeof m ? size_t(n) : sizeof m);
        handle_message(&m, n, passed);
    }
    g.stop_all = 1;
    stop_everything();
    sources_stop();
    swarm_stop();
    cleaner.join();
    msgpipe_close(&pipe);
    return status;
}
