// Movie copies: the file given for a CID with -movie is copied front to back into
// "<dir>/<CID><extension>" at -copy_rate. The file takes its final size at once,
// zero-filled, because the movie streamer answers with the size it finds when it
// opens the file and then waits on the zero-filled regions until they are written.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetcher.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { MOVIE_SLICE_MS = 50, TAIL_CHECK = 4096 };

// A copy is complete when its last octets are the source's: it is written front to back.
bool tail_matches(os_file *in, os_file *out, uint64_t size) {
    static thread_local uint8_t a[TAIL_CHECK], b[TAIL_CHECK];
    size_t n = size_t(std::min<uint64_t>(TAIL_CHECK, size));
    return file_pread(in, a, n, size - n) == long(n) &&
           file_pread(out, b, n, size - n) == long(n) && memcmp(a, b, n) == 0;
}

} // namespace

void movie_writer(cid_entry *e, const char *source) {
    fetcher_state &g = g_fetcher;
    const int32_t cid = e->cid;
    os_file in;
    uint64_t size = 0;
    if (!file_open_read(source, &in) || !file_size(&in, &size)) {
        log_printf(FETCH, SEV_E, "CID=%d : movie '%s' cannot be read : %d", cid, source,
                   os_error());
        return;
    }
    const char *slash = strrchr(source, OS_PATH_SEP[0]);
    const char *dot = strrchr(slash ? slash : source, '.');
    char name[OS_PATH_MAX + 32];
    snprintf(name, sizeof name, "%.*s" OS_PATH_SEP "%d%s", int(g.dir.len), g.dir.text, cid,
             dot ? dot : ".avi");
    os_file out;
    if (!file_open_write(name, &out, FILE_NO_LINKS)) {
        log_printf(FETCH, SEV_E, "CID=%d : open '%s' : %d", cid, name, os_error());
        file_close(&in);
        return;
    }
    uint64_t have = 0;
    file_size(&out, &have);
    if (have == size && size > 0 && tail_matches(&in, &out, size)) {
        log_printf(FETCH, SEV_I, "CID=%d : movie '%s' is complete (%llu octets)", cid, name,
                   (unsigned long long)size);
        file_close(&out);
        file_close(&in);
        return;
    }
    if (have != size) file_set_size(&out, size);
    log_printf(FETCH, SEV_I, "CID=%d : copying movie '%s' to '%s' (%llu octets, %d octets/s)", cid,
               source, name, (unsigned long long)size, g.movie_rate);
    size_t slice = size_t(std::max<int64_t>(4096, int64_t(g.movie_rate) * MOVIE_SLICE_MS / 1000));
    if (slice > (4u << 20)) slice = 4u << 20;
    uint8_t *buf = static_cast<uint8_t *>(malloc(slice));
    const uint32_t start = os_tick_ms();
    uint64_t done = 0;
    while (buf && done < size && !e->stop && !g.stop_all) {
        size_t piece = size_t(std::min<uint64_t>(slice, size - done));
        long r = file_pread(&in, buf, piece, done);
        if (r <= 0) break;
        if (file_pwrite(&out, buf, size_t(r), done) != r) {
            log_printf(FETCH, SEV_E, "CID=%d : write '%s' : %d", cid, name, os_error());
            break;
        }
        done += uint64_t(r);
        uint64_t due = done * 1000 / uint64_t(g.movie_rate);
        while (!e->stop && !g.stop_all && uint64_t(os_tick_ms() - start) < due)
            os_sleep_ms(20);
    }
    free(buf);
    file_close(&out);
    file_close(&in);
    log_printf(FETCH, SEV_I, "CID=%d : movie copy %s (%llu of %llu octets)", cid,
               done == size ? "finished" : "stopped", (unsigned long long)done,
               (unsigned long long)size);
}
