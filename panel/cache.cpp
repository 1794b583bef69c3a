// clear_cache: deletes the chunk and movie files of the cache folder under the
// temporary root; files in use (held by a streamer or the fetcher) stay, silently.
#include <cstdio>

#include "panel/panel.h"
#include "platform/fs.h"
#include "utils/log.h"

void clear_cache() {
    char root[OS_PATH_MAX] = "";
    char dir[OS_PATH_MAX + 16];
    if (os_temp_root(root, sizeof root))
        snprintf(dir, sizeof dir, "%s" OS_PATH_SEP "vcache", root);
    else
        snprintf(dir, sizeof dir, "vcache");

    char pattern[sizeof dir + 16];
    snprintf(pattern, sizeof pattern, "%s" OS_PATH_SEP "*---*.*", dir);
    dir_search search;
    dir_entry entry;
    if (dir_search_first(pattern, &search, &entry)) {
        do {
            char path[sizeof dir + 260];
            snprintf(path, sizeof path, "%s" OS_PATH_SEP "%s", dir, entry.name);
            if (!file_delete(path) && os_error_kind_of(os_error()) != OS_E_SHARING)
                log_printf(UTILS_TAG, SEV_E, "DeleteFile('%s') : errno = %d", path, os_error());
        } while (dir_search_next(&search, &entry));
        dir_search_close(&search);
    } else if (os_error_kind_of(os_error()) != OS_E_NOT_FOUND) {
        log_printf(UTILS_TAG, SEV_E, "FindFirstFile('%s') failure : %d", dir, os_error());
    }
    show_balloon("Cache has been cleared");
}
