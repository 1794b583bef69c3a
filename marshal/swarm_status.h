// The swarm section of the status page: what the fetcher reports per CID of its swarm
// in the runtime folder (fetcher-swarm.txt, rewritten every second).
#pragma once

#include "pages.h"

void swarm_status_html(page_writer *w);
// ,"swarm":[...] for /status.json; nothing when the fetcher has no swarm.
void swarm_status_json(page_writer *w);
