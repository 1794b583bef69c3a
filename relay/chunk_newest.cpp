// The newest chunk file of the channel, found by a search of the cache folder when a
// relay starts, and handed to the block reader or the chunk sender.
#include "relay/relay.h"

#include <cstdio>

#include "platform/os.h"

// Finds the latest-written chunk file of the channel and hands it on; *status gets the
// hand-on's status.
newest_result load_newest(const char *dir, const char *op, int32_t *current, char *path, bool hls,
                          int32_t *status) {
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
// through the directory watch. A new channel's relay starts in the moment the fetcher
// is told of it, and the fetcher's first complete chunks follow a few milliseconds
// later: without one, the search is repeated for a short while (a relay that found
// nothing at all would sleep its start delay of seconds instead). Still without a
// complete chunk, the newest file as usual.
newest_result load_newest_complete(const char *dir, const char *op, int32_t *current, char *path,
                                   int32_t *status) {
    enum : unsigned { FIRST_LOOK_MS = 600, FIRST_LOOK_SLICE_MS = 20 };
    list_chunk newest;
    bool growing = false;
    for (unsigned waited = 0; collect_list(dir, 1, &newest, &growing) != 1;
         waited += FIRST_LOOK_SLICE_MS) {
        if (waited >= FIRST_LOOK_MS || g_relay.exit_flag != 0)
            return load_newest(dir, op, current, path, false, status);
        g_relay.sleep_ms(FIRST_LOOK_SLICE_MS);
    }
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
