// Which request paths are the supervisor's own pages, and what the status page
// keeps of each streamer when it is registered.
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/os.h"

namespace {

bool path_is(const char *path, int path_len, const char *name) {
    return size_t(path_len) == strlen(name) && memcmp(path, name, size_t(path_len)) == 0;
}

} // namespace

int32_t serve_own_page(net_sock s, const char *path, int path_len, const char *request, size_t n,
                       uint32_t peer_addr) {
    if (path_is(path, path_len, "playlist.m3u")) return serve_playlist(s, request, n);
    bool json = path_is(path, path_len, "status.json");
    if (!json && !path_is(path, path_len, "status")) return 0;
    if (!status_host_allowed(request, n, g_marshal.port)) {
        send_ans(s, 3);
        log_printf(MRSHL, SEV_E, "[#%d] Status page refused: Host is a foreign name", int(s));
        return REQUEST_DONE;
    }
    return serve_status(s, peer_addr, json);
}

void child_view_note(uint32_t slot, const admission &a) {
    const request_record &rq = a.req;
    child_view &v = g_marshal.children.views[slot];
    v.kind = rq.code;
    v.chunk = rq.chunk;
    v.segment = rq.code == 5 && (rq.sid.len > 0 || rq.chunk != 0);
    v.addr = a.peer_addr;
    v.started_s = os_time_seconds();
    // The viewer tag "[count]address:port" with ",\"word\"" when a User-Agent came.
    const char *t = rq.vtid.text, *end = t + rq.vtid.len;
    const char *p = static_cast<const char *>(memchr(t, ']', rq.vtid.len));
    p = p ? p + 1 : t;
    const char *comma = static_cast<const char *>(memchr(p, ',', size_t(end - p)));
    const char *addr_end = comma ? comma : end;
    char agent[VIEWER_TAG_MAX + 1] = "";
    if (comma && end - comma >= 3 && comma[1] == '"' && end[-1] == '"')
        snprintf(agent, sizeof agent, "%.*s", int(end - comma - 3), comma + 2);
    memcpy(v.agent, agent, sizeof agent);
    if (agent[0])
        snprintf(v.viewer, sizeof v.viewer, "%.*s %.100s", int(addr_end - p), p, agent);
    else
        snprintf(v.viewer, sizeof v.viewer, "%.*s", int(addr_end - p), p);
    if (v.kind == 5) hls_viewer_request(v, rq.cid, a.duration);
}
