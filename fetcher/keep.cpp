// Deletion of cache files older than -keep seconds: chunk files "*---*.dat" and the
// movie copies "<CID>.*" of the -movie list. Files in use are refused by the
// platform and tried again on a later pass.
#include <cstdio>
#include <cstring>

#include "fetcher.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { PASS_MS = 1000 };

bool is_movie_copy(const char *name) {
    int cid = 0, used = 0;
    if (sscanf(name, "%d%n", &cid, &used) != 1 || name[used] != '.') return false;
    char path[OS_PATH_MAX];
    return lookup_source(&g_fetcher.movie, cid, false, path, sizeof path);
}

void clean_once() {
    fetcher_state &g = g_fetcher;
    char pattern[OS_PATH_MAX + 8];
    snprintf(pattern, sizeof pattern, "%.*s" OS_PATH_SEP "*", int(g.dir.len), g.dir.text);
    dir_search s;
    dir_entry e;
    if (!dir_search_first(pattern, &s, &e)) return;
    const int64_t now_ns = os_time_seconds() * 1000000000LL;
    const int64_t limit_ns = int64_t(g.keep) * 1000000000LL;
    do {
        if (e.is_dir) continue;
        if (!wildcard_match(e.name, "*---*.dat") && !is_movie_copy(e.name)) continue;
        if (now_ns - e.last_write_ns <= limit_ns) continue;
        char path[OS_PATH_MAX + 264];
        snprintf(path, sizeof path, "%.*s" OS_PATH_SEP "%.*s", int(g.dir.len), g.dir.text, 255,
                 e.name);
        if (file_delete(path))
            log_printf(FETCH, SEV_I, "Deleted '%s' (older than %d s)", path, g.keep);
    } while (dir_search_next(&s, &e));
    dir_search_close(&s);
}

} // namespace

void keep_cleaner() {
    if (g_fetcher.keep <= 0) return;
    while (!g_fetcher.stop_all) {
        clean_once();
        for (int waited = 0; waited < PASS_MS && !g_fetcher.stop_all; waited += 100)
            os_sleep_ms(100);
    }
}
