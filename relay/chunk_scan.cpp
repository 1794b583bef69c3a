// Cache chunk files: the name rules, the newest-file search, the directory watch with
// its sequence-number window, and reading growing files block by block into the busy
// buffers pool (live) or handing one file to the chunk sender (HLS chunk mode).
#include "relay/relay.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"

void wait_zero_tail(os_file *file, long got, int32_t *sum, const char *path, int attempt,
                    const char *op) {
    if (!file_seek(file, -got, FILE_FROM_CURRENT, nullptr))
        RLOG(SEV_E, op, "SetFilePointer() -> %d, errno = %d", -1, os_error());
    *sum -= (int32_t)got;
    RLOG(SEV_W, op, "'%s' - waiting %d milliseconds ... (%d/%d)", path, ZERO_TAIL_WAIT_MS, attempt,
         ZERO_TAIL_ATTEMPTS);
    g_relay.sleep_ms(g_relay.wait_ms);
}

// Whole-name wildcard match: '*' any run (also none), '%' any one character.
bool match_name(const char *name, const char *pattern) {
    return wildcard_match_with(name, pattern, '%');
}

// Decimal signed 32-bit number at *p; advances p. False without digits or on overflow.
static bool parse_int32(const char **p, int32_t *out) {
    const char *s = *p;
    bool neg = false;
    if (*s == '-' || *s == '+') neg = (*s++ == '-');
    if (*s < '0' || *s > '9') return false;
    int64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (*s++ - '0');
        if (v > 2147483648LL) return false;
    }
    if (neg) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    *out = (int32_t)v;
    *p = s;
    return true;
}

// "%d---%d" at the start of the name: the CID and the sequence number.
bool parse_chunk_name(const char *name, int32_t *cid, int32_t *seq) {
    const char *p = name;
    if (!parse_int32(&p, cid)) return false;
    if (strncmp(p, "---", 3) != 0) return false;
    p += 3;
    return parse_int32(&p, seq);
}

// A full block is still being written when its last four packets are all zero.
bool has_zero_tail(const uint8_t *block) {
    uint32_t acc = 0;
    const uint8_t *tail = block + CHUNK_BLOCK - ZERO_TAIL;
    for (int i = 0; i < ZERO_TAIL / 4; i++) {
        uint32_t w;
        memcpy(&w, tail + 4 * i, 4);
        acc |= w;
    }
    return acc == 0;
}

// Sequence window c-120 .. c+120, worked out in 64 bits so that numbers near the
// 32-bit limits neither overflow nor turn the window inside out.
seq_verdict seq_judge(int32_t current, int32_t n) {
    if (n == current) return SEQ_SAME;
    int64_t lo = (int64_t)current - SEQ_WINDOW, hi = (int64_t)current + SEQ_WINDOW;
    if (n < lo || n > hi) return SEQ_RESET;
    return n < current ? SEQ_BEHIND : SEQ_NEXT;
}

bool scan_accept_name(int action, const char *name, int32_t *current, const char *op) {
    if (action != DIRWATCH_ACTION_MODIFIED) return false;
    char pattern[64];
    snprintf(pattern, sizeof pattern, "%d---*.dat", g_relay.cid);
    if (!match_name(name, pattern)) return false;
    int32_t cid = 0, n = 0;
    if (!parse_chunk_name(name, &cid, &n)) return false; // no sequence number: not a chunk
    int32_t c = *current;
    switch (seq_judge(c, n)) {
    case SEQ_SAME:
        return false;
    case SEQ_RESET:
        RLOG(SEV_W, op, "%d out of range [%lld; %lld], reset sequence %d to = %d", n,
             (long long)c - SEQ_WINDOW, (long long)c + SEQ_WINDOW, c, n);
        *current = n;
        return true;
    case SEQ_BEHIND:
        RLOG(SEV_E, op, "%d out of sequence (expected > %u)", n, (unsigned)c);
        return false;
    case SEQ_NEXT:
        RLOG(SEV_I, op, "Current Seq. No = %d, new Seq. No = %d", c, n);
        *current = n;
        return true;
    }
    return false;
}

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

enum newest_result { NEWEST_NONE = 0, NEWEST_LOADED = 1, NEWEST_FAILED = 2 };

// Finds the latest-written chunk file of the channel and hands it on; *status gets the
// hand-on's status.
static newest_result load_newest(const char *dir, const char *op, int32_t *current, char *path,
                                 bool hls, int32_t *status) {
    char pattern[OS_PATH_MAX + 64];
    snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "%d---*.dat", dir, g_relay.cid);
    dir_search search;
    dir_entry entry, best;
    bool found = false;
    if (!dir_search_first(pattern, &search, &entry)) {
        int err = os_error();
        if (os_error_kind_of(err) != OS_E_NOT_FOUND) {
            g_relay.exit_flag = RLOG(SEV_F, op, "FindFirstFile('%s'), errno = %d", pattern, err);
            return NEWEST_FAILED;
        }
    } else {
        best.last_write_ns = 0;
        do {
            if (entry.is_dir) continue;
            if (!found || entry.last_write_ns >= best.last_write_ns) {
                best = entry;
                found = true;
            }
        } while (dir_search_next(&search, &entry));
        dir_search_close(&search);
    }
    if (!found) return NEWEST_NONE;
    snprintf(path, OS_PATH_MAX + 1, "%s" OS_PATH_SEP "%s", dir, best.name);
    os_file file;
    if (!file_open_read(path, &file, FILE_NO_LINKS)) return NEWEST_NONE;
    int32_t cid = 0, n = 0;
    if (parse_chunk_name(best.name, &cid, &n)) {
        *current = n;
        RLOG(SEV_I, op, "'%s', Seq. No = %d", path, n);
    }
    RLOG(SEV_I, op, "Loading '%s' ..., idle_loops = %d", path, g_relay.idle_loops.load());
    g_relay.idle_loops = 0;
    *status = hls ? send_hls_chunk(&file, path) : read_stream_file(&file, path);
    file_close(&file);
    return NEWEST_LOADED;
}

// List mode (-hls_list): the newest complete chunk file instead of the one being written,
// so that a player joining a running channel gets a whole chunk at once rather than the
// written part and then one block per zero-tail wait; the chunk being written follows
// through the directory watch. Without a complete chunk, the newest file as usual.
static newest_result load_newest_complete(const char *dir, const char *op, int32_t *current,
                                          char *path, int32_t *status) {
    list_chunk newest;
    bool growing = false;
    if (collect_list(dir, 1, &newest, &growing) != 1)
        return load_newest(dir, op, current, path, false, status);
    snprintf(path, OS_PATH_MAX + 1, "%s" OS_PATH_SEP "%d---%d.dat", dir, g_relay.cid, newest.seq);
    os_file file;
    if (!file_open_read(path, &file, FILE_NO_LINKS))
        return load_newest(dir, op, current, path, false, status);
    *current = newest.seq;
    RLOG(SEV_I, op, "'%s', Seq. No = %d", path, newest.seq);
    RLOG(SEV_I, op, "Loading '%s' ..., idle_loops = %d", path, g_relay.idle_loops.load());
    g_relay.idle_loops = 0;
    *status = read_stream_file(&file, path);
    file_close(&file);
    return NEWEST_LOADED;
}

// Gives a held buffer back to the free pool.
static void return_held(stream_buffer **held) {
    if (*held) free_append(*held);
    *held = nullptr;
}

int32_t read_stream_file(os_file *file, const char *path) {
    static const char op[] = "read_stream_file";
    g_relay.sleep_ms(256);
    stream_buffer *buf = nullptr;
    int32_t sum = 0, attempts = 0;
    while (g_relay.exit_flag == 0) {
        if (!buf && !(pool_take(&g_free_pool, &buf) & 1)) {
            buf = nullptr;
            if (!wake_wait(&g_space_available, &g_free_pool)) {
                int err = os_error();
                g_relay.exit_flag = RLOG(SEV_F, op, "SleepConditionVariableCS(), errno = %d", err);
                return SEV_F;
            }
            continue;
        }
        long got = file_read(file, buf->data, CHUNK_BLOCK);
        if (got < 0) {
            int err = os_error();
            return_held(&buf);
            return RLOG(SEV_E, op, "ReadFile(), errno = %d", err);
        }
        buf->length = (int32_t)got;
        if (got == 0) break;
        sum += (int32_t)got;
        if (got < CHUNK_BLOCK) {
            int32_t st = pool_put(&g_busy_pool, buf);
            if (!(st & 1)) {
                return_held(&buf);
                g_relay.exit_flag =
                    RLOG(SEV_F, op, "Insert to busy buffers pool, status = %08x", st);
                return SEV_F;
            }
            buf = nullptr;
            break;
        }
        if (!has_zero_tail(buf->data)) {
            int32_t st = busy_append_full(buf);
            if (!(st & 1)) {
                return_held(&buf);
                g_relay.exit_flag =
                    RLOG(SEV_E, op, "Insert to busy buffers pool, status = %08x", st);
                return SEV_E;
            }
            buf = nullptr;
            attempts = 0;
            continue;
        }
        if (++attempts > ZERO_TAIL_ATTEMPTS) {
            return_held(&buf);
            return RLOG(SEV_E, op, "'%s' - stop reading file after %d attempts (zero-blocks).",
                        path, ZERO_TAIL_ATTEMPTS);
        }
        wait_zero_tail(file, got, &sum, path, attempts, op);
    }
    return_held(&buf);
    return RLOG(SEV_S, op, "Loaded from '%s' %d octets", path, sum);
}

// Change records of the scanning thread (change buffer of 4096 octets) and of send_hls
// (131072 octets); the two never run in the same process.
static dirwatch_record s_records[DIRWATCH_MAX_RECORDS];

void read_stream(const char *dir) {
    static const char op[] = "read_stream";
    char pattern[OS_PATH_MAX + 64];
    snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "%d---*.dat", dir, g_relay.cid);
    RLOG(SEV_S, op, "Start scanning thread for '%s' ...", dir);
    dir_watch watch;
    if (!dirwatch_open(dir, 4096, &watch)) {
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
        dirwatch_close(&watch);
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
        int n = dirwatch_read(&watch, 500, s_records, DIRWATCH_MAX_RECORDS, &signalled);
        if (n < 0) {
            // A failed wait ends the thread with its own message only.
            int err = os_error();
            g_relay.exit_flag = RLOG(SEV_E, op, "WaitForSingleObject(), errno = %d", err);
            dirwatch_close(&watch);
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
    dirwatch_close(&watch);
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
    dir_watch watch;
    if (!dirwatch_open(dir, 131072, &watch)) {
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
        int n = dirwatch_read(&watch, g_relay.duration * 1000, s_records, DIRWATCH_MAX_RECORDS,
                              &signalled);
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
    dirwatch_close(&watch);
    return result;
}
