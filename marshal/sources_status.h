// The live sources section of the status page: what the fetcher reports of its
// receivers in the runtime folder (fetcher-sources.txt, rewritten every second).
#pragma once

#include "pages.h"

void sources_status_html(page_writer *w);
// ,"sources":[...] for /status.json; nothing when no source is configured.
void sources_status_json(page_writer *w);
