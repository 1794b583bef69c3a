// Child processes: starting the fetcher with its pipe, starting one streamer per
// served request, and registering and announcing a new streamer to the fetcher.
// Path values in command lines are quoted so a cache directory with blanks arrives
// whole (by the C run-time's rules: a double quote inside, and backslashes before a
// double quote or the closing quote, are escaped); every other character of the
// lines is as the children expect it.
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/os.h"

namespace {

enum { FETCHER_CONNECT_LIMIT_MS = 30000, FETCHER_POLL_MS = 200, QUOTED_MAX = 2 * 255 + 3 };

const char fetcher_pipe_name[] = "dwnldr-pipe";

void program_path(const char *name, char *out, size_t cap) {
    snprintf(out, cap, "%s" OS_PATH_SEP "%s" OS_EXE_SUFFIX, g_marshal.module_dir, name);
}

// The cache directory as one quoted command-line argument. A plain copy would turn a
// last backslash into an escaped quote and join the following arguments to the path.
void quoted_cache_dir(char out[QUOTED_MAX]) {
    const char *v = g_marshal.cache_dir.text;
    int n = g_marshal.cache_dir.len, o = 0;
    out[o++] = '"';
    for (int i = 0; i < n;) {
        int slashes = 0;
        while (i < n && v[i] == '\\') {
            slashes++;
            i++;
        }
        if (i == n || v[i] == '"') slashes *= 2; // they stand before a quote
        while (slashes-- > 0)
            out[o++] = '\\';
        if (i == n) break;
        if (v[i] == '"') out[o++] = '\\';
        out[o++] = v[i++];
    }
    out[o++] = '"';
    out[o] = 0;
}

// Waits until the fetcher opens its pipe; an ended fetcher or the time limit is a
// failed start.
bool wait_fetcher_connect(const os_process *p) {
    for (int waited = 0; waited < FETCHER_CONNECT_LIMIT_MS; waited += FETCHER_POLL_MS) {
        if (msgpipe_wait_client(&g_marshal.fetcher_pipe, FETCHER_POLL_MS)) return true;
        if (os_error_kind_of(os_error()) != OS_E_TIMEOUT) return false;
        if (proc_wait(p, 0)) return false;
    }
    os_set_error(0);
    return false;
}

// A fetcher that cannot be used is ended and reaped, so a failed restart attempt
// leaves no zombie and slot 0 no stale handle.
void discard_fetcher(os_process *p) {
    proc_terminate(p, 1);
    proc_wait(p, 1000);
    proc_close(p);
    g_marshal.children.procs[0] = *p;
    g_marshal.fetcher_pid = 0;
}

} // namespace

int32_t start_fetcher_process() {
    marshal_state &g = g_marshal;
    char pipe_path[OS_PATH_MAX];
    msgpipe_path(fetcher_pipe_name, pipe_path, sizeof pipe_path);
    if (!msgpipe_create(fetcher_pipe_name, &g.fetcher_pipe))
        return log_printf(MRSHL, SEV_F, "Named pipe '%s' creation failed : %d", pipe_path,
                          os_error());
    MTRACE("start_fetcher_process", "MRSHL: Named pipe '%s' is created", pipe_path);

    char cmd[1024], dir[QUOTED_MAX];
    quoted_cache_dir(dir);
    snprintf(cmd, sizeof cmd, "KVT-Fetcher" OS_EXE_SUFFIX " -dir=%s -keep=%d -peer_id=%.*s%s", dir,
             g.keep, int(g.peer_id.len), g.peer_id.text, g_trace ? " -trace" : "");
    MTRACE("start_fetcher_process", "MRSHL: Command Line for KVT-Fetcher: %s", cmd);

    char path[OS_PATH_MAX + 32];
    program_path("KVT-Fetcher", path, sizeof path);
    os_process p{};
    if (!proc_start(path, cmd, -1, &p)) {
        int err = os_error();
        msgpipe_close(&g.fetcher_pipe);
        return log_printf(MRSHL, SEV_F, "CreateProcess('KVT-Fetcher" OS_EXE_SUFFIX "') : %d", err);
    }
    g.children.procs[0] = p;
    g.fetcher_pid = p.pid;
    if (!job_assign(&g.job, &p)) {
        int err = os_error();
        msgpipe_close(&g.fetcher_pipe);
        discard_fetcher(&p);
        return log_printf(MRSHL, SEV_F, "AssignProcessToJobObject(), errno = %d", err);
    }
    log_printf(MRSHL, SEV_S, "%s was started with PID = %d, handle=%d/0x%x", path, p.pid,
               int(p.handle), unsigned(p.handle));
    if (!wait_fetcher_connect(&p)) {
        int err = os_error();
        msgpipe_close(&g.fetcher_pipe);
        discard_fetcher(&p); // a fetcher that never opened its pipe is of no use
        return log_printf(MRSHL, SEV_F, "ConnectNamedPipe('%s') : errno = %d", pipe_path, err);
    }
    return log_printf(MRSHL, SEV_S, "Fetcher connected to Marshal");
}

int32_t start_relay(os_process *out, const admission &a, net_sock chan) {
    marshal_state &g = g_marshal;
    char path[OS_PATH_MAX + 32];
    char cmd[1024], dir[QUOTED_MAX];
    quoted_cache_dir(dir);
    const request_record &rq = a.req;
    const int32_t cid = rq.cid, code = rq.code;
    const int64_t pos = rq.range_start;
    if (code == 3 || code == 5) {
        program_path("KVT-Relay", path, sizeof path);
        int n = snprintf(cmd, sizeof cmd,
                         "KVT-Relay" OS_EXE_SUFFIX
                         " -chan=%d -cid=%d -dir=%s -delay=%d -sid=%.*s -chunk=%d %s %s",
                         int(chan), cid, dir, g.delay, int(rq.sid.len), rq.sid.text, rq.chunk,
                         g_trace ? "-trace" : "", code == 5 ? "-hls" : "");
        if (a.duration != 0 && n > 0 && size_t(n) < sizeof cmd)
            n += snprintf(cmd + n, sizeof cmd - size_t(n), " -duration=%d", a.duration);
        // List mode reaches the stream relays too: they start at the newest complete chunk.
        if (g.hls_list != 0 && n > 0 && size_t(n) < sizeof cmd)
            snprintf(cmd + n, sizeof cmd - size_t(n), " -hls_list=%d", g.hls_list);
    } else if (code == 4) {
        program_path("KVT-Cinema", path, sizeof path);
        snprintf(cmd, sizeof cmd, "KVT-Cinema" OS_EXE_SUFFIX " -chan=%d -cid=%d -pos=%lld -dir=%s",
                 int(chan), cid, (long long)pos, dir);
    } else {
        return log_printf(MRSHL, SEV_F, "Illegal/unhandled relay type code = %d", code);
    }
    MTRACE("start_relay", "MRSHL: RUN /DETACH : '%s' ARGS: '%s'", path, cmd);

    os_process p{};
    if (!proc_start(path, cmd, chan, &p))
        return log_printf(MRSHL, SEV_F, "CreateProcess(%s, %s), errno = %d", path, cmd, os_error());
    if (!job_assign(&g.job, &p)) {
        int err = os_error();
        proc_terminate(&p, 1);
        proc_close(&p);
        return log_printf(MRSHL, SEV_F, "AssignProcessToJobObject(), errno = %d", err);
    }
    *out = p;
    char dotted[16];
    return log_printf(
        MRSHL, SEV_S, "%s was started: PID = %d (handle = %d), sd = %d, remote address %s:%d", cmd,
        p.pid, int(p.handle), int(chan), net_format_ipv4(a.peer_addr, dotted), int(a.peer_port));
}

int32_t register_and_announce(net_sock player) {
    return register_and_announce(g_marshal.admits[0], player);
}

// The child table is full: the request's QI session (its own, not a reused one) is
// closed and the player gets answer 3.
static int32_t refuse_table_full(admission &a, net_sock player, bool with_qi) {
    int32_t st =
        log_printf(MRSHL, SEV_E, "Failed to start relay, process count limit %d", int(CHILD_SLOTS));
    if (with_qi) net_close(a.qi_sock);
    a.qi_sock = NET_BAD_SOCK;
    send_ans(player, 3);
    return st;
}

int32_t register_and_announce(admission &a, net_sock player) {
    marshal_state &g = g_marshal;
    const request_record &rq = a.req;
    // A reused session stays with the streamer that holds it: this one starts as a
    // sid request's does.
    const bool with_qi = rq.sid.len == 0 && !a.reused;
    child_table &t = g.children;

    if (t.count >= CHILD_SLOTS) return refuse_table_full(a, player, with_qi);

    child_record rec;
    memset(&rec, 0, sizeof rec);
    rec.cid = rq.cid;
    rec.qi_sock = with_qi ? int32_t(a.qi_sock) : -1;
    rec.command = 1;
    rec.qi_list = rq.qi;

    os_process p{};
    {
        std::unique_lock<std::mutex> lock(g.table_lock);
        if (t.count >= CHILD_SLOTS) {
            // Another admission took the last slot since the look above.
            lock.unlock();
            return refuse_table_full(a, player, with_qi);
        }
        if (!(start_relay(&p, a, player) & 1)) {
            lock.unlock();
            g.stop_status = log_printf(MRSHL, SEV_F, "Start Relay process failure");
            if (with_qi) net_close(a.qi_sock);
            a.qi_sock = NET_BAD_SOCK;
            send_ans(player, 5);
            return SEV_F;
        }
        uint32_t slot = t.count;
        t.records[slot] = rec;
        t.hold_ms[slot] = rq.code == 5 ? hls_hold_ms(a.duration) : 0;
        t.durations[slot] = a.duration;
        child_view_note(slot, a);
        t.procs[slot] = p;
        t.count = slot + 1;
    }

    {
        std::lock_guard<std::mutex> lock(g.pipe_lock);
        if (with_qi && !net_share_for_process(a.qi_sock, g.fetcher_pid, rec.share_info)) {
            log_printf(MRSHL, SEV_E, "WSADuplicateSocket failure : %d", net_error());
            proc_terminate(&p, 1);
            send_ans(player, 5);
            return SEV_E;
        }
        MTRACE("register_and_announce", "MRSHL: Sent 'start downloading' CID=%d (%d bytes)",
               rec.cid, int(CHILD_RECORD_SIZE));
        long w = fetcher_pipe_write(&rec, with_qi ? a.qi_sock : NET_BAD_SOCK);
        if (w != CHILD_RECORD_SIZE)
            g.stop_status =
                log_printf(MRSHL, SEV_F, "Writing CID=%d to Named pipe failure (%d bytes) : %d",
                           rec.cid, int(w), os_error());
    }
    a.qi_sock = NET_BAD_SOCK; // lives on in the table record

    if (with_qi) {
        if (a.channel_name.len)
            tray_notify("Start streaming CID=%d (%.*s)", rec.cid, int(a.channel_name.len),
                        a.channel_name.text);
        else
            tray_notify("Start streaming CID=%d", rec.cid);
    }
    // The child holds its own copy of the connection from its creation on (inherited at
    // the fork, or by CreateProcess on Windows), so any pause here only delays the
    // next accept.
    if (g.handover_ms > 0) os_sleep_ms(uint32_t(g.handover_ms));
    net_close(player);
    return SEV_S;
}
