// Fuzz target: the movie streamer's option line. The input, split at zero octets,
// is its command line; then the CID it names is matched against cache-folder names
// (movies, other CIDs, live chunk files), and the position it names is answered
// for files of several sizes with the 206 or the 416 header.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cinema/cinema.h"

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!freopen("/dev/null", "w", stdout)) return 0; // the log lines are not wanted
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char storage[4096];
    static char *argv[128];
    size_t n = size < sizeof storage - 1 ? size : sizeof storage - 1;
    memcpy(storage, data, n);
    storage[n] = '\0';
    int argc = 0;
    argv[argc++] = const_cast<char *>("KVT-Cinema");
    for (size_t i = 0; i < n && argc < 127;) {
        argv[argc++] = storage + i;
        i += strlen(storage + i) + 1;
    }
    argv[argc] = nullptr;

    cinema_state &g = g_cinema;
    cinema_reset_state();
    // The streamer parses and then lists its options; the listing formats a log line
    // per option and would slow every run, so one input in sixteen takes it.
    if (size % 16 == 0)
        parse_and_list_options(argc, argv, g_cinema_options);
    else
        parse_command_line(argc, argv, g_cinema_options);
    if (g.cid.len > 255 || g.dir.len > 255 || strlen(g.cid.text) > g.cid.len) abort();

    static const char *const names[] = {
        "7",          "7.avi",    "77.avi",     "7---3.dat", "7---3.DAT",   "-7.mkv",
        "15---3.dat", "test_avi", "TEST_AVI.x", "1.ts",      "-2147483648", "7a",
    };
    for (const char *name : names) {
        if (!is_movie_name(name)) continue;
        // A movie name begins with the CID text and no digit follows it.
        for (size_t i = 0; i < g.cid.len; i++)
            if (lower(name[i]) != lower(g.cid.text[i])) abort();
        char next = name[g.cid.len];
        if (next >= '0' && next <= '9') abort();
    }

    static const int64_t sizes[] = {0, 1, 4096, 1LL << 32, INT64_MAX};
    for (int64_t file_size : sizes) {
        char header[MOVIE_HEADER_MAX];
        int len = g.pos < 0 || g.pos >= file_size
                      ? format_refusal_header(header, sizeof header, file_size)
                      : format_answer_header(header, sizeof header, file_size, g.pos);
        if (len <= 0 || size_t(len) >= sizeof header) abort(); // the header must fit whole
        if (memcmp(header + len - 4, "\r\n\r\n", 4) != 0) abort();
    }
    return 0;
}
