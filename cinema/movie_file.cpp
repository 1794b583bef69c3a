// Finding the movie file: the first name in the cache directory that is the CID text
// followed by a character other than a decimal digit (or by nothing), and is no live
// chunk file. When there is none yet, the directory is watched for written files and
// searched again after each change, for at most 300000 ms. When the system has no
// change watch to give (the user's inotify instances are all taken), the directory is
// looked at every 200 ms instead.
#include "cinema/cinema.h"

#include <cstdio>
#include <cstring>

enum { FOUND = 1, NOT_FOUND = 0, SEARCH_FAILED = -1 };
enum { LOOK_INTERVAL_MS = 200 };

static void close_watch(dir_watch *w, bool looking) {
    if (!looking) dirwatch_close(w);
}

static bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
static char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Skips "%d" (an optional minus and at least one digit); nullptr when there is none.
static const char *skip_number(const char *p) {
    if (*p == '-') p++;
    if (!is_digit(*p)) return nullptr;
    while (is_digit(*p))
        p++;
    return p;
}

// A live chunk file "%d---%d.dat" of the fetcher.
static bool is_chunk_name(const char *name) {
    const char *p = skip_number(name);
    if (!p || strncmp(p, "---", 3) != 0) return false;
    p = skip_number(p + 3);
    if (!p) return false;
    static const char dat[] = ".dat";
    for (int i = 0; i < 5; i++)
        if (lower(p[i]) != dat[i]) return false;
    return true;
}

// The wildcard search finds every name that begins with the CID text: "1*" also
// finds the movie 15 and the chunk file "15---3.dat". Only a name where the CID
// ends (no digit follows) is this movie's.
bool is_movie_name(const char *name) {
    const cinema_state &g = g_cinema;
    size_t n = g.cid.len;
    for (size_t i = 0; i < n; i++)
        if (lower(name[i]) != lower(g.cid.text[i])) return false;
    return !is_digit(name[n]) && !is_chunk_name(name);
}

// Searches the pattern; on FOUND the movie's path is in g_cinema.path. Folders and
// names of other CIDs are passed over. On SEARCH_FAILED *err holds the error number.
static int search_movie(const char *pattern, int *err) {
    cinema_state &g = g_cinema;
    dir_search s;
    dir_entry e;
    bool ok = dir_search_first(pattern, &s, &e);
    while (ok && (e.is_dir || !is_movie_name(e.name)))
        ok = dir_search_next(&s, &e);
    if (!ok) {
        *err = os_error();
        dir_search_close(&s);
        return os_error_kind_of(*err) == OS_E_NOT_FOUND ? NOT_FOUND : SEARCH_FAILED;
    }
    // Both parts are at most 255 characters, so the path always fits.
    int n = snprintf(g.path, sizeof g.path, "%s" OS_PATH_SEP "%s", g.dir.text, e.name);
    dir_search_close(&s);
    return n > 0 ? FOUND : SEARCH_FAILED;
}

static int32_t search_failed(int err) {
    cinema_state &g = g_cinema;
    net_close(net_sock(g.chan));
    CINEMA_LOG(SEV_E, "FindFirstFile('%s') failure : %d", g.dir.text, err);
    g.stop_code.store(SEV_E);
    return SEV_E;
}

int32_t find_movie() {
    cinema_state &g = g_cinema;
    char pattern[2 * OS_PATH_MAX];
    int err = 0;
    if (snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "%s*", g.dir.text, g.cid.text) < 0)
        return search_failed(err);
    int found = search_movie(pattern, &err);
    if (found == FOUND) return SEV_S;
    if (found == SEARCH_FAILED) return search_failed(err);

    static dirwatch_record records[8];
    static dir_poll poll; // large: not on the stack
    dir_watch w;
    bool looking = false;
    if (!dirwatch_open(g.dir.text, 4096, &w)) {
        err = os_error();
        char name_pattern[sizeof g.cid.text + 1];
        snprintf(name_pattern, sizeof name_pattern, "%.255s*", g.cid.text);
        if (!dirwatch_unavailable(err) ||
            !dirpoll_open(g.dir.text, name_pattern, LOOK_INTERVAL_MS, &poll)) {
            net_close(net_sock(g.chan));
            return log_printf(CINEMA, SEV_F, "FindFirstChangeNotification('%s') : %d", g.dir.text,
                              err);
        }
        looking = true;
        CINEMA_LOG(SEV_W,
                   "No change watch of '%s' to be had (errno = %d): looking at it every %d ms",
                   g.dir.text, err, LOOK_INTERVAL_MS);
    }
    uint32_t begin = g.tick();

    // A file written between the first search and the arming of the watch leaves no
    // change behind: look once more now that the watch is armed.
    found = search_movie(pattern, &err);
    for (;;) {
        if (found == FOUND) {
            close_watch(&w, looking);
            return SEV_S;
        }
        if (found == SEARCH_FAILED) {
            close_watch(&w, looking);
            return search_failed(err);
        }
        bool signalled = false;
        int n = looking ? dirpoll_read(&poll, int(g.wait_slice_ms), records, 8, &signalled)
                        : dirwatch_read(&w, int(g.wait_slice_ms), records, 8, &signalled);
        if (n < 0) {
            err = os_error();
            close_watch(&w, looking);
            net_close(net_sock(g.chan));
            return CINEMA_LOG(SEV_F, "WaitForSingleObject() failure : %d", err);
        }
        if (signalled) {
            found = search_movie(pattern, &err);
            if (found != NOT_FOUND) continue;
        }
        if (uint32_t(g.tick() - begin) > g.wait_limit_ms) {
            close_watch(&w, looking);
            net_close(net_sock(g.chan));
            CINEMA_LOG(SEV_E, "Waiting files timeout, aborting...");
            g.stop_code.store(SEV_E);
            return SEV_E;
        }
    }
}
