// The watch loops: after the newest file, every chunk file the channel's writer goes
// on to write, taken by the sequence rules (live: all of them, in turn; HLS chunk
// mode: the first one). The cache folder is watched by the system, or looked at when
// the system has no watch to give.
#include "relay/relay.h"

#include <cstdio>

#include "platform/os.h"

// Opens a notified file; a file in use by a deleter is skipped silently.
static bool open_notified(const char *dir, const char *name, const char *op, char *path,
                          os_file *file) {
    snprintf(path, OS_PATH_MAX + 1, "%s" OS_PATH_SEP "%s", dir, name);
    if (file_open_read(path, file, FILE_NO_LINKS)) return true;
    int err = os_error();
    if (os_error_kind_of(err) != OS_E_SHARING)
        RLOG(SEV_E, op, "Opening file '%s', errno = %d", path, err);
    return false;
}

// Change records of the scanning thread (change buffer of 4096 octets) and of send_hls
// (131072 octets); the two never run in the same process.
static dirwatch_record s_records[DIRWATCH_MAX_RECORDS];

// The watch of the cache folder: the system's change watch or, when the system has
// none to give (on Linux every relay takes an inotify instance, and the per-user
// limit is usually 128), a look at the channel's chunk files every LOOK_INTERVAL_MS.
// The records go through the same name and sequence rules either way.
enum { LOOK_INTERVAL_MS = 200 };
struct cache_watch {
    dir_watch watch;
    bool looking;
};
static dir_poll s_poll;

static bool cache_watch_open(const char *dir, size_t buffer_size, const char *op, cache_watch *w) {
    w->looking = false;
    if (dirwatch_open(dir, buffer_size, &w->watch)) return true;
    int err = os_error();
    if (!dirwatch_unavailable(err)) return false;
    char pattern[64];
    snprintf(pattern, sizeof pattern, "%d---*.dat", g_relay.cid);
    if (!dirpoll_open(dir, pattern, LOOK_INTERVAL_MS, &s_poll)) return false;
    w->looking = true;
    RLOG(SEV_W, op, "No change watch of '%s' to be had (errno = %d): looking at it every %d ms",
         dir, err, LOOK_INTERVAL_MS);
    return true;
}

static int cache_watch_read(cache_watch *w, int timeout_ms, bool *signalled) {
    if (w->looking)
        return dirpoll_read(&s_poll, timeout_ms, s_records, DIRWATCH_MAX_RECORDS, signalled);
    return dirwatch_read(&w->watch, timeout_ms, s_records, DIRWATCH_MAX_RECORDS, signalled);
}

static void cache_watch_close(cache_watch *w) {
    if (!w->looking) dirwatch_close(&w->watch);
}

void read_stream(const char *dir) {
    static const char op[] = "read_stream";
    char pattern[OS_PATH_MAX + 64];
    snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "%d---*.dat", dir, g_relay.cid);
    RLOG(SEV_S, op, "Start scanning thread for '%s' ...", dir);
    cache_watch watch;
    if (!cache_watch_open(dir, 4096, op, &watch)) {
        int err = os_error();
        g_relay.exit_flag = RLOG(SEV_F, op, "CreateFile('%s'), errno = %d", dir, err);
        wake_signal(&g_data_available);
        return;
    }
    int32_t current = 0;
    static char path[OS_PATH_MAX + 1];
    int32_t status = 1;
    newest_result nr = g_relay.hls_list ? load_newest_complete(dir, op, &current, path, &status)
                                        : load_newest(dir, op, &current, path, false, &status);
    if (nr == NEWEST_FAILED) {
        cache_watch_close(&watch);
        wake_signal(&g_data_available);
        return;
    }
    if (nr == NEWEST_LOADED) {
        if (!(status & 1))
            RLOG(SEV_E, op, "Error while reading from file '%s', errno = %d", path, os_error());
        RLOG(SEV_I, op, "Transferring '%s' finished", path);
    } else {
        RLOG(SEV_I, op, "Delay %d sec ... ", g_relay.delay);
        g_relay.sleep_ms((unsigned)g_relay.delay * 1000u);
    }
    RLOG(SEV_I, op, "Start waiting new files ...");
    // The wait of -duration seconds is taken in slices so that a stop is seen soon;
    // a time-out only means waiting again.
    while (g_relay.exit_flag == 0) {
        bool signalled = false;
        int n = cache_watch_read(&watch, 500, &signalled);
        if (n < 0) {
            // A failed wait ends the thread with its own message only.
            int err = os_error();
            g_relay.exit_flag = RLOG(SEV_E, op, "WaitForSingleObject(), errno = %d", err);
            cache_watch_close(&watch);
            wake_signal(&g_data_available);
            return;
        }
        for (int i = 0; i < n && g_relay.exit_flag == 0; i++) {
            if (!scan_accept_name(s_records[i].action, s_records[i].name, &current, op)) continue;
            os_file file;
            if (!open_notified(dir, s_records[i].name, op, path, &file)) continue;
            RLOG(SEV_I, op, "Loading '%s', idle_loops = %d", path, g_relay.idle_loops.load());
            g_relay.idle_loops = 0;
            int32_t st = read_stream_file(&file, path);
            file_close(&file);
            if (!(st & 1)) RLOG(SEV_E, op, "Reading from file '%s', errno = %d", path, os_error());
            RLOG(SEV_I, op, "Transferring '%s' finished.", path);
        }
    }
    cache_watch_close(&watch);
    wake_signal(&g_data_available);
    int32_t sev = g_relay.exit_flag;
    log_trace_printf(RELAY_TAG, sev, "[#%d] CID=%d : Scanning thread for '%s' was stopped",
                     RELAY_PROG, op, __LINE__, g_relay.chan, g_relay.cid, pattern);
}

int32_t send_hls(const char *dir) {
    static const char op[] = "send_hls";
    char pattern[OS_PATH_MAX + 64];
    snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "%d---*.dat", dir, g_relay.cid);
    RLOG(SEV_S, op, "Scaning '%s' ...", dir);
    int32_t current = 0, status = 1;
    static char path[OS_PATH_MAX + 1];
    newest_result nr = load_newest(dir, op, &current, path, true, &status);
    if (nr == NEWEST_FAILED) return g_relay.exit_flag;
    if (nr == NEWEST_LOADED) {
        if (!(status & 1))
            g_relay.exit_flag =
                RLOG(SEV_E, op, "Error while reading from file '%s', errno = %d", path, os_error());
        return 1;
    }
    RLOG(SEV_I, op, "Start waiting new files ...");
    cache_watch watch;
    if (!cache_watch_open(dir, 131072, op, &watch)) {
        int err = os_error();
        return g_relay.exit_flag = RLOG(SEV_F, op, "CreateFile('%s'), errno = %d", dir, err);
    }
    RLOG(SEV_I, op, "Delay %d sec ... ", g_relay.delay);
    g_relay.sleep_ms((unsigned)g_relay.delay * 1000u);
    int32_t result = 1;
    for (;;) {
        if (g_relay.exit_flag != 0) {
            int32_t sev = g_relay.exit_flag;
            result = log_trace_printf(RELAY_TAG, sev,
                                      "[#%d] CID=%d : Scanning thread for '%s' was stopped",
                                      RELAY_PROG, op, __LINE__, g_relay.chan, g_relay.cid, pattern);
            break;
        }
        bool signalled = false;
        int n = cache_watch_read(&watch, g_relay.duration * 1000, &signalled);
        if (n < 0) {
            int err = os_error();
            result = g_relay.exit_flag = RLOG(SEV_E, op, "WaitForSingleObject(), errno = %d", err);
            break;
        }
        if (!signalled) {
            result = RLOG(SEV_E, op, "No new files");
            break;
        }
        bool served = false;
        for (int i = 0; i < n && !served; i++) {
            if (!scan_accept_name(s_records[i].action, s_records[i].name, &current, op)) continue;
            os_file file;
            if (!open_notified(dir, s_records[i].name, op, path, &file)) continue;
            RLOG(SEV_I, op, "Loading '%s', idle_loops = %d", path, g_relay.idle_loops.load());
            g_relay.idle_loops = 0;
            int32_t st = send_hls_chunk(&file, path);
            if (!(st & 1))
                g_relay.exit_flag =
                    RLOG(SEV_E, op, "Reading from file '%s', errno = %d", path, os_error());
            file_close(&file);
            served = true;
        }
        if (served) break;
    }
    cache_watch_close(&watch);
    return result;
}
