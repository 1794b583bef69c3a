// Reads the fetcher's fetcher-swarm.txt: one CID a line, "CID<TAB>role<TAB>peers<TAB>
// down B/s<TAB>up B/s<TAB>octets from peers<TAB>octets from the broadcaster<TAB>newest
// chunk<TAB>hash failures". A line that is not whole (being rewritten) is left out.
#include "swarm_status.h"

#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { TEXT_MAX = 64 * 160 };

struct swarm_row {
    int cid, peers, failures;
    char role[16];
    long long down, up, newest;
    unsigned long long from_peers, from_broadcaster;
};

char g_text[TEXT_MAX]; // the status page is served on the main thread only

size_t read_report() {
    const char *runtime = os_runtime_dir();
    if (!runtime) return 0;
    char path[OS_PATH_MAX];
    snprintf(path, sizeof path, "%.*s" OS_PATH_SEP "fetcher-swarm.txt", 200, runtime);
    os_file f;
    if (!file_open_read(path, &f, FILE_NO_LINKS)) return 0;
    long n = file_read(&f, g_text, sizeof g_text - 1);
    file_close(&f);
    size_t len = n > 0 ? size_t(n) : 0;
    g_text[len] = 0;
    return len;
}

bool next_row(size_t len, size_t *at, swarm_row *r) {
    while (*at < len) {
        const char *p = g_text + *at;
        const char *nl = static_cast<const char *>(memchr(p, '\n', len - *at));
        if (!nl) return false;
        *at = size_t(nl - g_text) + 1;
        char line[200];
        size_t n = size_t(nl - p) < sizeof line - 1 ? size_t(nl - p) : sizeof line - 1;
        memcpy(line, p, n);
        line[n] = 0;
        if (sscanf(line, "%d\t%15[a-z]\t%d\t%lld\t%lld\t%llu\t%llu\t%lld\t%d", &r->cid, r->role,
                   &r->peers, &r->down, &r->up, &r->from_peers, &r->from_broadcaster, &r->newest,
                   &r->failures) == 9)
            return true;
    }
    return false;
}

// The share of a viewer's download that came from peers other than the broadcaster.
double peer_share(const swarm_row &r) {
    unsigned long long all = r.from_peers + r.from_broadcaster;
    return all ? 100.0 * double(r.from_peers) / double(all) : 0.0;
}

} // namespace

void swarm_status_html(page_writer *w) {
    size_t len = read_report(), at = 0;
    swarm_row r;
    bool any = false;
    while (next_row(len, &at, &r)) {
        if (!any)
            page_puts(w, "<h2>Swarm</h2>\n<table>\n<tr><th>CID</th><th>Role</th><th>Peers</th>"
                         "<th>Down</th><th>Up</th><th>From peers</th><th>Newest chunk</th>"
                         "<th>Bad pieces</th></tr>\n");
        any = true;
        page_printf(w,
                    "<tr><td data-l=\"CID\">%d</td><td data-l=\"Role\">%s</td>"
                    "<td data-l=\"Peers\">%d</td><td data-l=\"Down\">%.1f kB/s</td>"
                    "<td data-l=\"Up\">%.1f kB/s</td><td data-l=\"From peers\">%.0f%%</td>"
                    "<td data-l=\"Newest chunk\">%lld</td><td data-l=\"Bad pieces\">%d</td></tr>\n",
                    r.cid, strcmp(r.role, "viewer") == 0 ? "viewer" : "broadcaster", r.peers,
                    double(r.down) / 1000.0, double(r.up) / 1000.0, peer_share(r), r.newest,
                    r.failures);
    }
    if (any) page_puts(w, "</table>\n");
}

void swarm_status_json(page_writer *w) {
    size_t len = read_report(), at = 0;
    swarm_row r;
    bool any = false;
    for (; next_row(len, &at, &r); any = true)
        page_printf(w,
                    "%s{\"cid\":%d,\"role\":\"%s\",\"peers\":%d,\"down_bytes_per_s\":%lld,"
                    "\"up_bytes_per_s\":%lld,\"from_peers\":%llu,\"from_broadcaster\":%llu,"
                    "\"newest_chunk\":%lld,\"hash_failures\":%d}",
                    any ? "," : ",\"swarm\":[", r.cid,
                    strcmp(r.role, "viewer") == 0 ? "viewer" : "broadcaster", r.peers, r.down, r.up,
                    r.from_peers, r.from_broadcaster, r.newest, r.failures);
    if (any) page_puts(w, "]");
}
