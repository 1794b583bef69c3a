// clear_cache: deletes the chunk and movie files of the cache folder under the
// temporary root; files in use (held by a streamer or the fetcher) stay, silently.
// The folder is never left: a cache folder that is a link is not entered.
#include <cstdio>

#include "panel/panel.h"
#include "platform/fs.h"
#include "utils/log.h"

static char s_cache_dir[OS_PATH_MAX + 16];

static void log_delete_failure(const char *name, int native) {
    log_printf(UTILS_TAG, SEV_E, "DeleteFile('%s" OS_PATH_SEP "%s') : errno = %d", s_cache_dir,
               name, native);
}

void clear_cache() {
    char root[OS_PATH_MAX] = "";
    if (os_temp_root(root, sizeof root))
        snprintf(s_cache_dir, sizeof s_cache_dir, "%s" OS_PATH_SEP "vcache", root);
    else
        snprintf(s_cache_dir, sizeof s_cache_dir, "vcache");

    if (!dir_delete_matching(s_cache_dir, "*---*.*", log_delete_failure))
        log_printf(UTILS_TAG, SEV_E, "FindFirstFile('%s') failure : %d", s_cache_dir, os_error());
    show_balloon("Cache has been cleared");
}
