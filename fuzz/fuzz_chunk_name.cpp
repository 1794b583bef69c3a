// Fuzz target: chunk file names as the relay sees them in the cache directory
// (whole-name wildcard match, "%d---%d" parsing and the sequence-number window).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "relay/relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // First part up to a zero octet: the pattern; the rest: the name.
    char pattern[64] = {0}, name[256] = {0};
    size_t i = 0;
    for (; i < size && data[i] != 0 && i < sizeof pattern - 1; i++)
        pattern[i] = (char)data[i];
    size_t j = 0;
    for (i++; i < size && j < sizeof name - 1; i++)
        name[j++] = data[i] ? (char)data[i] : 'x';
    match_name(name, pattern);
    match_name(name, "7---*.dat");
    int32_t cid = 0, seq = 0;
    if (parse_chunk_name(name, &cid, &seq)) {
        // Every current number against the parsed one: no overflow anywhere.
        static const int32_t currents[] = {
            0, 11, -1, INT32_MAX, INT32_MIN, INT32_MAX - 119, INT32_MIN + 119, seq};
        for (int32_t c : currents)
            seq_judge(c, seq);
    }
    return 0;
}
