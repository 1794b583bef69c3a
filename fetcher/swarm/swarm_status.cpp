// fetcher-swarm.txt: see swarm_status.h.
#include "fetcher/swarm/swarm_status.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/os.h"

void swarm_status_write(const swarm_cid_status *s, int n) {
    static char text[SWARM_STATUS_MAX * 160];
    size_t len = 0;
    for (int i = 0; i < n; i++) {
        if (!s[i].used) continue;
        int k = snprintf(
            text + len, sizeof text - len, "%d\t%s\t%d\t%lld\t%lld\t%llu\t%llu\t%lld\t%d\n",
            s[i].cid, s[i].viewer ? "viewer" : "broadcaster", s[i].peers, (long long)s[i].down_rate,
            (long long)s[i].up_rate, (unsigned long long)s[i].from_peers,
            (unsigned long long)s[i].from_broadcaster, (long long)s[i].newest, s[i].hash_failures);
        if (k < 0 || size_t(k) >= sizeof text - len) break;
        len += size_t(k);
    }
    const char *runtime = os_runtime_dir();
    if (!runtime) return;
    char path[OS_PATH_MAX];
    snprintf(path, sizeof path, "%.*s" OS_PATH_SEP "fetcher-swarm.txt", 200, runtime);
    os_file f;
    if (!file_open_write(path, &f, FILE_NO_LINKS)) return;
    file_set_size(&f, 0);
    file_write(&f, text, len);
    file_close(&f);
}
