// The supervisor's start-up, listening socket, accept loop and orderly shutdown:
// one player connection at a time, handed to the request handlers.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "marshal.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/named_object.h"
#include "platform/os.h"
#include "platform/registry.h"

marshal_state g_marshal;

namespace {

enum {
    LISTEN_BACKLOG = 135,
    OPEN_FILES_WANTED = 4096,
    PAUSE_AFTER_REQUEST_S = 3,
    MONITOR_JOIN_LIMIT_MS = 5000,
    RANDOM_TRIES = 1024,
    HLS_LIST_LOW = 3, // a live playlist of fewer segments leaves a player no room
    HLS_LIST_HIGH = 20,
    HANDOVER_HIGH_MS = 10000,
    QI_REUSE_HIGH_S = 3600,
    QI_PAUSE_HIGH_MS = 1000,
    SLOT_WAIT_SLICE_MS = 500, // how often a loop waiting for an idle slot looks at the stop status
};

const char instance_mutex[] = "Varnex KVT-Marshal";
const char channel_name_initial[] = "www.varnex.com"; // the service's web site

option_entry options[] = {
    option_def("port", &g_marshal.port, sizeof(int32_t), OPT_INT),
    option_def("listen", &g_marshal.listen, 255, OPT_TEXT),
    option_def("host", &g_marshal.host, 255, OPT_TEXT),
    option_def("dir", &g_marshal.cache_dir, 255, OPT_TEXT),
    option_def("keep", &g_marshal.keep, sizeof(int32_t), OPT_INT),
    option_def("trace", &g_trace, sizeof(int32_t), OPT_FLAG),
    option_def("port_min", &g_marshal.port_min, sizeof(int32_t), OPT_INT),
    option_def("port_max", &g_marshal.port_max, sizeof(int32_t), OPT_INT),
    option_def("delay", &g_marshal.delay, sizeof(int32_t), OPT_INT),
    option_def("hls_list", &g_marshal.hls_list, sizeof(int32_t), OPT_INT),
    option_def("handover_ms", &g_marshal.handover_ms, sizeof(int32_t), OPT_INT),
    option_def("service", &g_marshal.as_service, sizeof(int32_t), OPT_FLAG),
    option_def("qi_reuse", &g_marshal.qi_reuse, sizeof(int32_t), OPT_INT),
    option_def("qi_pause_ms", &g_marshal.qi_pause_ms, sizeof(int32_t), OPT_INT),
    option_def("admit_threads", &g_marshal.admit_threads, sizeof(int32_t), OPT_INT),
    option_entry{},
};

// The monitor thread and the flag it raises when child_monitor returns.
std::mutex monitor_mutex;
std::condition_variable monitor_cv;
bool monitor_done = false;
std::thread monitor_thread;

void set_text(option_text *t, const char *v, size_t n) {
    if (n > 255) n = 255;
    t->len = uint8_t(n);
    memcpy(t->text, v, n);
    t->text[n] = 0;
}

// Ends the process at once (the monitor thread may still run); the job's members
// die with the supervisor.
[[noreturn]] void end_now(int code) {
    fflush(stdout);
    std::_Exit(code);
}

void cache_dir_from_registry() {
    reg_key k;
    if (!reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", false, &k)) {
        log_printf(MRSHL, SEV_E, "Registry key 'HKLM\\SOFTWARE\\Varnex' not found");
        return;
    }
    char value[1024];
    uint32_t size = sizeof value - 1;
    reg_type type = REG_T_NONE;
    if (!reg_query(&k, "CachePath", &type, value, &size) || type != REG_T_SZ) {
        log_printf(MRSHL, SEV_E, "Registry key 'HKLM\\SOFTWARE\\Varnex\\CachePath' -> %d",
                   os_error());
    } else {
        value[size < sizeof value ? size : sizeof value - 1] = 0;
        char dir[1100];
        int n = snprintf(dir, sizeof dir, "%.*s" OS_PATH_SEP "vcache", int(strlen(value)), value);
        set_text(&g_marshal.cache_dir, dir, size_t(n));
    }
    reg_close(&k);
}

bool make_peer_id() {
    uint8_t octets[8];
    for (int i = 0; i < RANDOM_TRIES; i++) {
        if (!crypto_random(octets, sizeof octets)) continue;
        uint32_t a, b;
        memcpy(&a, octets, 4);
        memcpy(&b, octets + 4, 4);
        char id[32];
        int n = snprintf(id, sizeof id, "%X%XKVT$", a, b);
        g_marshal.peer_id.len = uint8_t(n);
        memcpy(g_marshal.peer_id.text, id, size_t(n));
        return true;
    }
    return false;
}

void monitor_body() {
    child_monitor();
    std::lock_guard<std::mutex> lock(monitor_mutex);
    monitor_done = true;
    monitor_cv.notify_all();
}

// -listen takes one IPv4 address of this machine; text that is none stops the start.
int32_t check_listen_option() {
    marshal_state &g = g_marshal;
    g.listen_addr = net_parse_ipv4(g.listen.text);
    if (g.listen_addr != 0 || strcmp(g.listen.text, "0.0.0.0") == 0) return SEV_S;
    return log_printf(MRSHL, SEV_F,
                      "Illegal address '%s' in option -listen, an IPv4 address is needed",
                      g.listen.text);
}

// An option outside its range stops the start: "Illegal value N in option -NAME,
// allowed ...".
int32_t check_range_options() {
    const marshal_state &g = g_marshal;
    if (g.hls_list != 0 && (g.hls_list < HLS_LIST_LOW || g.hls_list > HLS_LIST_HIGH))
        return log_printf(MRSHL, SEV_F,
                          "Illegal value %d in option -hls_list, allowed 0 or %d to %d",
                          int(g.hls_list), int(HLS_LIST_LOW), int(HLS_LIST_HIGH));
    if (g.handover_ms < 0 || g.handover_ms > HANDOVER_HIGH_MS)
        return log_printf(MRSHL, SEV_F, "Illegal value %d in option -handover_ms, allowed 0 to %d",
                          int(g.handover_ms), int(HANDOVER_HIGH_MS));
    if (g.qi_reuse < 0 || g.qi_reuse > QI_REUSE_HIGH_S)
        return log_printf(MRSHL, SEV_F, "Illegal value %d in option -qi_reuse, allowed 0 to %d",
                          int(g.qi_reuse), int(QI_REUSE_HIGH_S));
    if (g.qi_pause_ms < 0 || g.qi_pause_ms > QI_PAUSE_HIGH_MS)
        return log_printf(MRSHL, SEV_F, "Illegal value %d in option -qi_pause_ms, allowed 0 to %d",
                          int(g.qi_pause_ms), int(QI_PAUSE_HIGH_MS));
    if (g.admit_threads < 1 || g.admit_threads > ADMIT_THREADS_MAX)
        return log_printf(MRSHL, SEV_F,
                          "Illegal value %d in option -admit_threads, allowed 1 to %d",
                          int(g.admit_threads), int(ADMIT_THREADS_MAX));
    return SEV_S;
}

int32_t create_and_listen(net_sock *out) {
    int err = net_startup();
    if (err != 0) return log_printf(MRSHL, SEV_F, "WSAStartup(2.2), errno = %d", err);
    MTRACE("create_and_listen", "MRSHL: WSAStartup(2.2) : SUCCESS");
    net_sock s = net_tcp_socket();
    *out = s;
    if (s == NET_BAD_SOCK) return log_printf(MRSHL, SEV_F, "socket(), errno = %d", net_error());
    MTRACE("create_and_listen", "MRSHL: TCP Socket %d was created", int(s));
    if (!net_set_reuseaddr(s))
        log_printf(MRSHL, SEV_E, "setsockopt(%d, SO_REUSEADDR), errno = %d", int(s), net_error());
    else
        MTRACE("create_and_listen", "MRSHL: setsockopt(%d, SO_REUSEADDR) :  SUCCESS", int(s));
    int port = g_marshal.port;
    if (!net_bind(s, g_marshal.listen_addr, uint16_t(port)))
        return log_printf(MRSHL, SEV_F, "bind(%d, port = %d), errno = %d", int(s), port,
                          net_error());
    MTRACE("create_and_listen", "MRSHL: Socket %d was bound to port %d, start listening ...",
           int(s), port);
    if (!net_listen(s, LISTEN_BACKLOG))
        return log_printf(MRSHL, SEV_F, "[#%d] listen(%d, %d), errno = %d", int(s), int(s),
                          int(LISTEN_BACKLOG), net_error());
    char dotted[16];
    return log_printf(MRSHL, SEV_S, "[#%d] Start listening on %s:%d", int(s),
                      net_format_ipv4(g_marshal.listen_addr, dotted), port);
}

// The stream, movie and HLS requests: QI (unless a sid is given or, with -qi_reuse,
// the CID's session is open for this player), then the child.
bool serve_with_child(admission &a, net_sock s) {
    marshal_state &g = g_marshal;
    a.reused = false;
    if (a.req.sid.len == 0 && g.qi_reuse > 0) {
        std::lock_guard<std::mutex> table(g.table_lock);
        a.reused = qi_session_reusable(a.req.cid, a.peer_addr, &a.duration);
    }
    if (a.reused) {
        log_printf(MRSHL, SEV_I, "CID=%d admitted on its open QI session", a.req.cid);
        a.qi_sock = NET_BAD_SOCK;
    } else if (a.req.sid.len == 0) {
        if (!(qi_start_streaming(a, s) & 1)) return false;
    } else {
        a.qi_sock = NET_BAD_SOCK;
    }
    return register_and_announce(a, s) & 1;
}

// Clears an admission before its next connection.
void admission_clear(admission &a) {
    memset(&a.req, 0, sizeof a.req);
    a.qi_sock = NET_BAD_SOCK;
    a.reused = false;
}

// One -admit_threads slot: handles the connections the accept loop hands it, each
// followed by its own pause, until the pool is told to quit.
void admit_slot_body(uint32_t i) {
    marshal_state &g = g_marshal;
    admit_pool &pool = g.pool;
    for (;;) {
        net_sock s;
        uint32_t addr;
        uint16_t port;
        {
            std::unique_lock<std::mutex> lock(pool.lock);
            pool.changed.wait(lock, [&] { return pool.quit || pool.sock[i] != NET_BAD_SOCK; });
            if (pool.sock[i] == NET_BAD_SOCK) return;
            s = pool.sock[i];
            addr = pool.addr[i];
            port = pool.port[i];
        }
        admission_clear(g.admits[i]);
        int pause = handle_admission(g.admits[i], s, addr, port);
        if (pause) os_sleep_ms(unsigned(pause) * 1000);
        std::lock_guard<std::mutex> lock(pool.lock);
        pool.sock[i] = NET_BAD_SOCK;
        pool.busy[i] = false;
        pool.changed.notify_all();
    }
}

bool admit_pool_start(uint32_t slots) {
    admit_pool &pool = g_marshal.pool;
    pool.slots = 0;
    pool.quit = false;
    for (uint32_t i = 1; i <= slots; i++) {
        pool.busy[i] = false;
        pool.sock[i] = NET_BAD_SOCK;
        try {
            pool.threads[i] = std::thread(admit_slot_body, i);
        } catch (const std::system_error &e) {
            log_printf(MRSHL, SEV_F, "Starting admission thread %u failure : %d", unsigned(i),
                       e.code().value());
            return false;
        }
        pool.slots = i;
    }
    return true;
}

// The slots finish the connections they hold, then end.
void admit_pool_stop() {
    admit_pool &pool = g_marshal.pool;
    {
        std::lock_guard<std::mutex> lock(pool.lock);
        pool.quit = true;
        pool.changed.notify_all();
    }
    for (uint32_t i = 1; i <= pool.slots; i++)
        pool.threads[i].join();
    pool.slots = 0;
}

// The accept loop with slots: waits for an idle slot, accepts one connection and
// hands it over. Returns false when the stop status was set while waiting.
bool accept_into_slot() {
    marshal_state &g = g_marshal;
    admit_pool &pool = g.pool;
    uint32_t idle = 0;
    {
        std::unique_lock<std::mutex> lock(pool.lock);
        while (idle == 0) {
            for (uint32_t i = 1; i <= pool.slots && idle == 0; i++)
                if (!pool.busy[i]) idle = i;
            if (idle == 0) {
                pool.changed.wait_for(lock, std::chrono::milliseconds(SLOT_WAIT_SLICE_MS));
                if (g.stop_status != 0) return false;
            }
        }
        pool.busy[idle] = true;
    }
    uint32_t addr = 0;
    uint16_t port = 0;
    net_sock s = net_accept(g.listen_sock, &addr, &port);
    if (s == NET_BAD_SOCK)
        end_now(log_printf(MRSHL, SEV_F, "Accepting connection failure : %d", net_error()));
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.sock[idle] = s;
    pool.addr[idle] = addr;
    pool.port[idle] = port;
    pool.changed.notify_all();
    return true;
}

} // namespace

void marshal_set_defaults() {
    marshal_state &g = g_marshal;
    g.port = 6689;
    set_text(&g.listen, "0.0.0.0", 7);
    g.listen_addr = 0;
    set_text(&g.host, QI_DEFAULT_SERVERS, sizeof QI_DEFAULT_SERVERS - 1);
    g.cache_dir.len = 0;
    g.cache_dir.text[0] = 0;
    g.keep = 67;
    g.port_min = 6881;
    g.port_max = 6889;
    g.delay = 5;
    g.hls_list = 0;
    g.handover_ms = 1000;
    g.qi_reuse = 0;
    g.qi_pause_ms = 1000;
    g.admit_threads = 1;
    g.as_service = 0;
    g.stop_status = 0;
    g.children.count = 1;
    g.fetcher_pipe.conn = g.fetcher_pipe.listen = g.fetcher_pipe.owner = -1;
    g.listen_sock = NET_BAD_SOCK;
    for (admission &a : g.admits) {
        a.qi_sock = NET_BAD_SOCK;
        a.channel_name.len = uint8_t(strlen(channel_name_initial));
        memcpy(a.channel_name.text, channel_name_initial, a.channel_name.len);
    }
}

int handle_connection(net_sock s, uint32_t addr, uint16_t port) {
    return handle_admission(g_marshal.admits[0], s, addr, port);
}

int handle_admission(admission &a, net_sock s, uint32_t addr, uint16_t port) {
    marshal_state &g = g_marshal;
    char dotted[16];
    net_format_ipv4(addr, dotted);
    a.peer_addr = addr;
    a.peer_port = port;
    if (!net_set_nodelay(s))
        log_printf(MRSHL, SEV_E, "setsockopt(%d, TCP_NODELAY), errno = %d", int(s), net_error());
    log_printf(MRSHL, SEV_I, "Accepted new connection on port %d from %s:%d, sd = %d", g.port,
               dotted, int(port), int(s));

    int32_t len = 0;
    if (!(read_request(s, a.req_buf, &len) & 1)) {
        log_printf(MRSHL, SEV_S, "Receive from %s:%d, sd = %d, errno = %d", dotted, int(port),
                   int(s), net_error());
        net_close(s);
        return PAUSE_AFTER_REQUEST_S;
    }
    int32_t st = parse_request_in(a.req, s, a.req_buf, len, addr, port);
    if (st == REQUEST_ANSWERED_AT_ONCE) return 0; // the status page holds no player back
    if (st == REQUEST_DONE || !(st & 1)) return PAUSE_AFTER_REQUEST_S;

    switch (a.req.code) {
    case 2:
        handle_link(a, s);
        break;
    case 3:
    case 4:
    case 5:
        if (serve_with_child(a, s)) return 0;
        break;
    default:
        log_printf(MRSHL, SEV_E, "Unhandled request, code = %d", a.req.code);
        send_ans(s, 1);
        break;
    }
    return PAUSE_AFTER_REQUEST_S;
}

int marshal_main(int argc, char **argv) {
    marshal_state &g = g_marshal;
    marshal_set_defaults();
    g.pages.started_s = os_time_seconds();
    log_printf(MRSHL, SEV_I, "Starting ... (built  at %s)", marshal_build_stamp);

    // Pipes and locks must live where no other local user can reach them.
    char refused[OS_PATH_MAX];
    if (!os_check_private_dirs(refused, sizeof refused))
        return log_printf(MRSHL, SEV_F,
                          "Folder '%s' is not a private folder of this user (mode 0700) : %d",
                          refused, os_error());

    named_object guard;
    switch (named_mutex_create(instance_mutex, &guard)) {
    case NAMED_FAILED:
        log_printf(MRSHL, SEV_F, "CreateMutex (%s) -> %d", instance_mutex, os_error());
        break;
    case NAMED_EXISTS:
        return log_printf(MRSHL, SEV_I, "CreateMutex (%s) -> %d", instance_mutex, os_error());
    default:
        break;
    }

    cache_dir_from_registry();
    parse_command_line(argc, argv, options);
    list_options(options);
    if (!(check_port_option(MRSHL, "port", g.port) & 1) ||
        !(check_port_option(MRSHL, "port_min", g.port_min) & 1) ||
        !(check_port_option(MRSHL, "port_max", g.port_max) & 1) || !(check_listen_option() & 1) ||
        !(check_range_options() & 1))
        return SEV_F;
    g_qi_req_pause_ms = uint32_t(g.qi_pause_ms);

    // Each running streamer takes two descriptors here (its process handle and the
    // job's), so a full table needs more than the usual limit of 1024.
    unsigned open_files = 0;
    if (!os_raise_open_files(OPEN_FILES_WANTED, &open_files))
        log_printf(MRSHL, SEV_W, "Open files limit %u is below %u: fewer than %d streamers may run",
                   open_files, unsigned(OPEN_FILES_WANTED), CHILD_SLOTS - 1);

    if (!job_create(&g.job))
        return log_printf(MRSHL, SEV_F, "CreateJobObject() failure -> %d", os_error());

    char module[OS_PATH_MAX];
    if (!os_module_path(module, sizeof module))
        return log_printf(MRSHL, SEV_F, "GetModuleFileName() error -> %d", os_error());
    log_printf(MRSHL, SEV_I, "Path to module : %s", module);
    char *cut = strrchr(module, OS_PATH_SEP[0]);
    if (cut)
        *cut = 0;
    else
        module[0] = 0;
    snprintf(g.module_dir, sizeof g.module_dir, "%s", module);

    if (g.cache_dir.len == 0) {
        char root[OS_PATH_MAX];
        if (!os_temp_root(root, sizeof root)) {
            size_t n = strnlen(g.module_dir, sizeof root - 1);
            memcpy(root, g.module_dir, n);
            root[n] = 0;
        }
        char dir[OS_PATH_MAX + 16];
        int n = snprintf(dir, sizeof dir, "%s" OS_PATH_SEP "vcache", root);
        set_text(&g.cache_dir, dir, size_t(n));
    }
    log_printf(MRSHL, SEV_I, "Cache dir path : %.*s", int(g.cache_dir.len), g.cache_dir.text);
    // The cache often lies in a temporary folder that every local user can write:
    // files planted there, or links to elsewhere, must not be taken as ours. The
    // service's path may come from a value every user can set (CachePath): the
    // folders above it are checked too, and held so that none is swapped afterwards.
    if (os_runs_as_system()) g.as_service = 1;
    char refused_dir[OS_PATH_MAX] = "";
    int safety = g.as_service
                     ? dir_make_service_private(g.cache_dir.text, refused_dir, sizeof refused_dir)
                     : dir_make_private(g.cache_dir.text);
    if (safety != DIR_PRIVATE_OK) {
        int err = os_error();
        tray_notify("Cache directory problem detected!");
        if (safety == DIR_PRIVATE_FAILED)
            return log_printf(MRSHL, SEV_F, "Creation dir '%.*s' failure : %d",
                              int(g.cache_dir.len), g.cache_dir.text, err);
        if (g.as_service)
            return log_printf(MRSHL, SEV_F, CACHE_DIR_REFUSED_SERVICE, int(g.cache_dir.len),
                              g.cache_dir.text, dir_private_reason(safety), refused_dir);
        return log_printf(MRSHL, SEV_F, CACHE_DIR_REFUSED, int(g.cache_dir.len), g.cache_dir.text,
                          dir_private_reason(safety));
    }
    MTRACE("main", "MRSHL: Directory %.*s was created", int(g.cache_dir.len), g.cache_dir.text);

    if (!make_peer_id())
        return log_printf(MRSHL, SEV_F, "No random octets for the peer identifier after %d tries",
                          int(RANDOM_TRIES));

    if (!(start_fetcher_process() & 1))
        return log_printf(MRSHL, SEV_F, "Failed to start KVT-Fetcher");

    try {
        monitor_thread = std::thread(monitor_body);
    } catch (const std::system_error &e) { // the one place the run-time library throws
        return log_printf(MRSHL, SEV_F, "Starting process monitor failure : %d", e.code().value());
    }

    if (!(create_and_listen(&g.listen_sock) & 1))
        end_now(log_printf(MRSHL, SEV_F, "Error creation passive socket on port %d", g.port));

    tray_notify("Varnex SwarmNode is Up & Running");

    // With -admit_threads=N the loop only accepts: each connection goes to an idle slot.
    if (g.admit_threads > 1 && !admit_pool_start(uint32_t(g.admit_threads))) {
        admit_pool_stop();
        end_now(SEV_F);
    }
    int pause = 0;
    while (g.stop_status == 0 && g.pool.slots > 0)
        accept_into_slot();
    while (g.stop_status == 0 && g.pool.slots == 0) {
        admission_clear(g.admits[0]);
        if (pause) os_sleep_ms(unsigned(pause) * 1000);
        pause = PAUSE_AFTER_REQUEST_S;
        uint32_t addr = 0;
        uint16_t port = 0;
        net_sock s = net_accept(g.listen_sock, &addr, &port);
        if (s == NET_BAD_SOCK)
            end_now(log_printf(MRSHL, SEV_F, "Accepting connection failure : %d", net_error()));
        pause = handle_connection(s, addr, port);
    }

    admit_pool_stop();
    tray_notify("Varnex SwarmNode stopped");
    bool joined;
    {
        std::unique_lock<std::mutex> lock(monitor_mutex);
        joined = monitor_cv.wait_for(lock, std::chrono::milliseconds(MONITOR_JOIN_LIMIT_MS),
                                     [] { return monitor_done; });
    }
    int32_t status = g.stop_status;
    {
        std::lock_guard<std::mutex> lock(g.pipe_lock);
        msgpipe_close(&g.fetcher_pipe);
    }
    job_close(&g.job);
    net_close(g.listen_sock);
    if (!joined) end_now(status);
    monitor_thread.join();
    named_object_close(&guard);
    return status;
}
