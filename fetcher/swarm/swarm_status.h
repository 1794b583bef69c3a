// The swarm's state per CID for the supervisor's status page, rewritten every second
// into fetcher-swarm.txt in the runtime folder, one CID a line:
// "CID<TAB>role<TAB>peers<TAB>down B/s<TAB>up B/s<TAB>from peers<TAB>from the
// broadcaster<TAB>newest chunk<TAB>hash failures".
#pragma once

#include <cstdint>

enum { SWARM_STATUS_MAX = 64 };

struct swarm_cid_status {
    bool used;
    bool viewer; // else the broadcaster
    int32_t cid;
    int peers;
    int64_t down_rate, up_rate;            // payload octets per second
    uint64_t from_peers, from_broadcaster; // octets of the written chunks
    int64_t newest;                        // chunk number, -1 none
    int hash_failures;
};

void swarm_status_write(const swarm_cid_status *s, int n);
