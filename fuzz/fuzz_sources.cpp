// Fuzz target: what reads a live source's octets and its configuration: the
// sources-file parser, the MPEG-TS sync search, the packet split (fed in pieces of
// every size) and the continuity filter over the packets it gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fetcher/sources/sources_file.h"
#include "fetcher/sources/ts_input.h"

namespace {
void ignore_line(void *, int, const char *) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static source_table table;
    sources_parse(reinterpret_cast<const char *>(data), size, &table, ignore_line, nullptr);
    for (int i = 0; i < table.count; i++)
        if (strlen(table.lines[i].url) >= SOURCE_URL_MAX || !sources_find(&table, table.lines[i].cid))
            abort();

    ts_sync_find(data, size);
    static ts_splitter split;
    static ts_continuity cont;
    static uint8_t out[4096 + TS_SPLIT_CARRY];
    ts_split_reset(&split);
    ts_continuity_reset(&cont);
    // Pieces of 1 to 4096 octets, their lengths taken from the data itself.
    size_t at = 0, total_in = 0, total_out = 0;
    int64_t ms = 0;
    while (at < size) {
        size_t piece = 1 + (data[at] * 37u + at) % 4096;
        if (piece > size - at) piece = size - at;
        size_t n = ts_split(&split, data + at, piece, out, sizeof out);
        if (n % 188 != 0) abort();
        for (size_t p = 0; p < n; p += 188)
            if (out[p] != 0x47) abort();
        ts_continuity_apply(&cont, out, n, ms += 7);
        if (data[at] == 0x47 && (at & 7) == 0) ts_continuity_restart(&cont);
        total_in += piece;
        total_out += n;
        at += piece;
    }
    if (total_out > total_in) abort();
    return 0;
}
