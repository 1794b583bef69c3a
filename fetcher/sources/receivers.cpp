// The live sources: KVT-Sources.txt beside the fetcher, read at start and again
// whenever its content changes, and one receiver thread per network source that
// runs whether or not anyone watches (the channel's broadcast). A receiver opens its
// source, cuts what arrives into whole packets, keeps the stream continuous across
// reconnections and writes it into the cache; every fault of the source is retried
// with a pause that grows from 1 s to 30 s, and logged once per change of state.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "fetcher/cache_writer.h"
#include "fetcher/fetcher.h"
#include "fetcher/sources/av_input.h"
#include "fetcher/sources/sources_file.h"
#include "fetcher/sources/ts_input.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum {
    WATCH_MS = 1000,
    OPEN_TIMEOUT_MS = 10000,
    SILENCE_MS = 5000, // no data this long: the source is waited for
    PAUSE_FIRST_MS = 1000,
    PAUSE_MAX_MS = 30000,
    READ_MAX = 188 * 348,
};

enum source_state { ST_CONNECTING, ST_RECEIVING, ST_WAITING, ST_FAILING };
const char *const state_names[] = {"connecting", "receiving", "waiting", "failing"};

struct receiver {
    bool used;
    source_line line;
    std::atomic<bool> stop{false};
    std::thread thread;
    // what the status shows, under the table lock
    source_state state;
    char why[AV_WHY_MAX];
    uint64_t octets;
    int64_t last_data_ms;  // wall clock
    uint64_t octets_shown; // at the last status write
    int64_t rate_bits;     // per second, over the last status period
};

struct sources_state {
    std::mutex lock; // the table and the receivers' status
    source_table table;
    receiver receivers[SOURCES_MAX];
    char path[OS_PATH_MAX];
    char text[SOURCES_FILE_MAX], before[SOURCES_FILE_MAX];
    size_t before_len;
    bool read_once;
    std::thread watcher;
} g_src;

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool pause_ms(receiver *r, int ms) {
    for (int waited = 0; waited < ms; waited += 100) {
        if (r->stop || g_fetcher.stop_all) return false;
        os_sleep_ms(100);
    }
    return !(r->stop || g_fetcher.stop_all);
}

// One log line per change of state or of its reason, not per try.
void set_state(receiver *r, source_state s, const char *why) {
    std::lock_guard<std::mutex> lock(g_src.lock);
    if (r->state == s && strcmp(r->why, why) == 0) return;
    r->state = s;
    snprintf(r->why, sizeof r->why, "%s", why);
    int sev = s == ST_FAILING ? SEV_E : s == ST_WAITING ? SEV_W : SEV_I;
    log_printf(FETCH, sev, "CID=%d : source '%s' %s (%s)", r->line.cid, r->line.url, state_names[s],
               why);
}

void receive(receiver *r) {
    const int32_t cid = r->line.cid;
    av_source *av = av_source_new(&r->stop);
    cache_stream *cs = static_cast<cache_stream *>(calloc(1, sizeof(cache_stream)));
    ts_splitter *sp = static_cast<ts_splitter *>(calloc(1, sizeof(ts_splitter)));
    ts_continuity *tc = static_cast<ts_continuity *>(calloc(1, sizeof(ts_continuity)));
    uint8_t *in = static_cast<uint8_t *>(malloc(READ_MAX));
    uint8_t *out = static_cast<uint8_t *>(malloc(READ_MAX + TS_SPLIT_CARRY));
    if ((!av && av_available()) || !cs || !sp || !tc || !in || !out ||
        !cache_stream_open(cs, cid, g_fetcher.chunk_ms)) {
        log_printf(FETCH, SEV_E, "CID=%d : no memory for its source", cid);
    } else {
        ts_continuity_reset(tc);
        int pause = PAUSE_FIRST_MS;
        char why[AV_WHY_MAX];
        while (!r->stop && !g_fetcher.stop_all) {
            av_mode mode = av_source_open(av, r->line.url, OPEN_TIMEOUT_MS, why);
            bool failed = mode == AV_FAILED;
            if (!failed) {
                ts_split_reset(sp);
                ts_continuity_restart(tc);
                const char *how = mode == AV_RAW ? "passed through" : "remuxed";
                for (;;) {
                    int64_t clock = -1;
                    long n = av_source_read(av, in, READ_MAX, SILENCE_MS, &clock, why);
                    if (r->stop || g_fetcher.stop_all) break;
                    if (n == 0) {
                        cache_stream_flush(cs);
                        set_state(r, ST_WAITING, "no data for 5 s");
                        break; // opened again at once
                    }
                    if (n < 0) {
                        failed = true;
                        break;
                    }
                    size_t m = size_t(n);
                    uint8_t *data = in;
                    if (mode == AV_RAW) {
                        m = ts_split(sp, in, size_t(n), out, READ_MAX + TS_SPLIT_CARRY);
                        if (!sp->synced && sp->unsynced >= TS_SYNC_LIMIT && m == 0) {
                            snprintf(why, sizeof why, "no MPEG-TS sync in %d octets, refused",
                                     int(TS_SYNC_LIMIT));
                            failed = true;
                            break;
                        }
                        ts_continuity_apply(tc, out, m, steady_ms());
                        clock = ts_continuity_clock(tc);
                        data = out;
                    }
                    if (m == 0) continue;
                    if (!cache_stream_put(cs, data, m, clock)) {
                        snprintf(why, sizeof why, "the cache cannot be written");
                        failed = true;
                        break;
                    }
                    {
                        std::lock_guard<std::mutex> lock(g_src.lock);
                        r->octets += m;
                        r->last_data_ms = wall_ms();
                    }
                    if (r->state != ST_RECEIVING) set_state(r, ST_RECEIVING, how);
                    pause = PAUSE_FIRST_MS;
                }
                av_source_close(av);
            }
            if (failed && !r->stop && !g_fetcher.stop_all) {
                cache_stream_flush(cs);
                set_state(r, ST_FAILING, why);
                if (!pause_ms(r, pause)) break;
                pause = pause * 2 > PAUSE_MAX_MS ? PAUSE_MAX_MS : pause * 2;
            }
        }
        cache_stream_close(cs);
    }
    av_source_free(av);
    free(cs);
    free(sp);
    free(tc);
    free(in);
    free(out);
    log_printf(FETCH, SEV_I, "CID=%d : source '%s' stopped", cid, r->line.url);
}

void on_bad_line(void *ctx, int line, const char *why) {
    log_printf(FETCH, SEV_W, "'%s' line %d skipped: %s", static_cast<const char *>(ctx), line, why);
}

bool is_network(const source_line &l) {
    return l.kind != SOURCE_FILE && l.kind != SOURCE_SWARM;
}

// Receivers for the table's network sources: the ones no longer listed (or with
// another URL) end, new ones start. The lock is held.
void apply_table() {
    for (receiver &r : g_src.receivers) {
        if (!r.used) continue;
        const source_line *l = sources_find(&g_src.table, r.line.cid);
        if (l && is_network(*l) && strcmp(l->url, r.line.url) == 0) continue;
        r.stop = true;
        g_src.lock.unlock(); // the receiver takes the lock for its status
        r.thread.join();
        g_src.lock.lock();
        r.used = false;
    }
    for (int i = 0; i < g_src.table.count; i++) {
        const source_line &l = g_src.table.lines[i];
        if (!is_network(l)) continue;
        bool running = false;
        for (receiver &r : g_src.receivers)
            if (r.used && r.line.cid == l.cid) running = true;
        if (running) continue;
        for (receiver &r : g_src.receivers) {
            if (r.used) continue;
            r.used = true;
            r.line = l;
            r.stop = false;
            r.state = ST_CONNECTING;
            r.why[0] = 0;
            r.octets = 0;
            r.last_data_ms = 0;
            r.thread = std::thread(receive, &r);
            break;
        }
    }
}

// Reads the file; when its content changed, parses it and applies it.
void read_sources() {
    size_t len = 0;
    os_file f;
    bool present = file_open_read(g_src.path, &f, FILE_NO_LINKS);
    if (present) {
        long n = file_read(&f, g_src.text, sizeof g_src.text);
        file_close(&f);
        len = n > 0 ? size_t(n) : 0;
    }
    if (g_src.read_once && len == g_src.before_len && memcmp(g_src.text, g_src.before, len) == 0)
        return;
    g_src.read_once = true;
    memcpy(g_src.before, g_src.text, len);
    g_src.before_len = len;
    static source_table fresh; // only this thread parses
    sources_parse(g_src.text, len, &fresh, on_bad_line, g_src.path);
    std::lock_guard<std::mutex> lock(g_src.lock);
    g_src.table = fresh;
    if (present || fresh.count)
        log_printf(FETCH, SEV_I, "'%s': %d channel(s) with a source", g_src.path, fresh.count);
    apply_table();
}

// The receivers' state for the supervisor's status page, rewritten every period:
// "CID<TAB>state<TAB>bit/s<TAB>last data (Unix s, 0 none)<TAB>URL<TAB>reason" a line.
void write_status(int64_t period_ms) {
    static char text[SOURCES_MAX * (SOURCE_URL_MAX + AV_WHY_MAX + 64)];
    size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(g_src.lock);
        for (receiver &r : g_src.receivers) {
            if (!r.used) continue;
            r.rate_bits = int64_t((r.octets - r.octets_shown) * 8000 / uint64_t(period_ms));
            r.octets_shown = r.octets;
            int k = snprintf(text + n, sizeof text - n, "%d\t%s\t%lld\t%lld\t%s\t%s\n", r.line.cid,
                             state_names[r.state], (long long)r.rate_bits,
                             (long long)(r.last_data_ms / 1000), r.line.url, r.why);
            if (k < 0 || size_t(k) >= sizeof text - n) break;
            n += size_t(k);
        }
    }
    const char *runtime = os_runtime_dir();
    if (!runtime) return;
    char path[OS_PATH_MAX];
    snprintf(path, sizeof path, "%.*s" OS_PATH_SEP "fetcher-sources.txt", 200, runtime);
    os_file f;
    if (!file_open_write(path, &f, FILE_NO_LINKS)) return;
    file_set_size(&f, 0);
    file_write(&f, text, n);
    file_close(&f);
}

void watch_sources() {
    while (!g_fetcher.stop_all) {
        read_sources();
        write_status(WATCH_MS);
        for (int waited = 0; waited < WATCH_MS && !g_fetcher.stop_all; waited += 100)
            os_sleep_ms(100);
    }
}

} // namespace

void sources_start() {
    char module[OS_PATH_MAX];
    if (!os_module_path(module, sizeof module)) return;
    char *cut = strrchr(module, OS_PATH_SEP[0]);
    if (cut) *cut = 0;
    snprintf(g_src.path, sizeof g_src.path, "%.*s" OS_PATH_SEP "KVT-Sources.txt", 200, module);
    read_sources(); // before the first start message is read
    g_src.watcher = std::thread(watch_sources);
}

void sources_stop() {
    if (g_src.watcher.joinable()) g_src.watcher.join();
    std::lock_guard<std::mutex> lock(g_src.lock);
    g_src.table.count = 0;
    apply_table();
}

bool swarm_source_of(int32_t cid, char *url, size_t cap, char *key, size_t key_cap) {
    std::lock_guard<std::mutex> lock(g_src.lock);
    const source_line *l = sources_find(&g_src.table, cid);
    if (!l || l->kind != SOURCE_SWARM) return false;
    snprintf(url, cap, "%s", l->url + 6); // after "swarm:"
    snprintf(key, key_cap, "%s", l->key);
    return true;
}

bool source_of(int32_t cid, char *url, size_t cap, bool *network) {
    std::lock_guard<std::mutex> lock(g_src.lock);
    const source_line *l = sources_find(&g_src.table, cid);
    if (!l) return false;
    snprintf(url, cap, "%s", l->url);
    *network = is_network(*l);
    return true;
}
