// Fuzz target: folder-change records as the relay reads them. The input is a batch
// of raw change events as the folder watch reads them from the system; each record
// decoded from it goes through the relay's record rules (action, channel pattern,
// "%d---%d.dat" and the sequence window), carrying the current number along.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/relay.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!freopen("/dev/null", "w", stdout)) return 0; // the log lines are not wanted
    g_relay.cid = 7;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static dirwatch_record recs[DIRWATCH_MAX_RECORDS];
    // The first octet picks how many records the reader has room for (as the
    // relay's 256, the movie streamer's 8, or fewer).
    int room = size ? 1 + data[0] % DIRWATCH_MAX_RECORDS : DIRWATCH_MAX_RECORDS;
    // A copy of exactly the input's size, so any read beyond it is caught.
    size_t n = size ? size - 1 : 0;
    uint8_t *events = static_cast<uint8_t *>(malloc(n ? n : 1));
    if (n) memcpy(events, data + 1, n);
    dirwatch_batch batch{recs, room, 0, 0, false, false};
    dirwatch_decode(events, n, &batch);
    free(events);
    if (batch.count < 0 || batch.count > room) abort();
    int32_t current = 0;
    for (int i = 0; i < batch.count; i++) {
        size_t len = strnlen(recs[i].name, sizeof recs[i].name);
        if (len == 0 || len == sizeof recs[i].name) abort(); // empty or unterminated
        if (recs[i].action != DIRWATCH_ACTION_MODIFIED) abort();
        int32_t before = current;
        if (scan_accept_name(recs[i].action, recs[i].name, &current, "fuzz")) {
            int32_t cid = 0, seq = 0;
            if (!parse_chunk_name(recs[i].name, &cid, &seq) || cid != 7 || seq != current) abort();
        } else if (current != before) {
            abort(); // a refused name must leave the current number alone
        }
    }
    return 0;
}
