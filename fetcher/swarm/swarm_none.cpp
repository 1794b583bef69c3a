// A build without libtorrent (a Windows build made before its library): no swarm. A
// configured one is refused with the reason; swarm: sources are not fetched.
#include "fetcher/fetcher.h"
#include "fetcher/swarm/swarm.h"

bool swarm_start() {
    if (g_fetcher.swarm_listen.len)
        log_printf(FETCH, SEV_W,
                   "swarm: this build has no swarm (no libtorrent), -swarm_listen ignored");
    return true;
}
void swarm_stop() {}
bool swarm_configured() {
    return false;
}
void swarm_chunk_complete(int32_t, uint64_t, uint64_t, int32_t) {}
bool swarm_view_start(int32_t cid, const char *, const char *) {
    log_printf(FETCH, SEV_E, "CID=%d : a swarm: source, but this build has no swarm", cid);
    return false;
}
void swarm_view_stop(int32_t) {}
