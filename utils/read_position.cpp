// The movie streamers' read positions: see read_position.h.
#include "utils/read_position.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"

namespace {

const char MAGIC[4] = {'K', 'V', 'T', 'p'};

bool fresh(const read_pos &r, uint32_t now_ms) {
    return uint32_t(now_ms - r.tick_ms) < uint32_t(READ_POS_FRESH_MS);
}

void write_record(read_pos_writer *w) {
    uint8_t rec[READ_POS_RECORD];
    read_pos_encode(w->last, rec);
    file_pwrite(&w->f, rec, sizeof rec, uint64_t(w->slot) * READ_POS_RECORD);
}

} // namespace

bool read_pos_path(int32_t cid, char *out, size_t cap) {
    const char *runtime = os_runtime_dir();
    if (!runtime) return false;
    int n = snprintf(out, cap, "%.*s" OS_PATH_SEP "cinema-%d.pos", OS_PATH_MAX, runtime, int(cid));
    return n > 0 && size_t(n) < cap;
}

void read_pos_encode(const read_pos &r, uint8_t out[READ_POS_RECORD]) {
    memcpy(out, MAGIC, 4);
    memcpy(out + 4, &r.pid, 4);
    memcpy(out + 8, &r.tick_ms, 4);
    memcpy(out + 12, &r.flags, 4);
    memcpy(out + 16, &r.offset, 8);
    memcpy(out + 24, &r.size, 8);
}

bool read_pos_decode(const uint8_t in[READ_POS_RECORD], read_pos *r) {
    if (memcmp(in, MAGIC, 4) != 0) return false;
    memcpy(&r->pid, in + 4, 4);
    memcpy(&r->tick_ms, in + 8, 4);
    memcpy(&r->flags, in + 12, 4);
    memcpy(&r->offset, in + 16, 8);
    memcpy(&r->size, in + 24, 8);
    return r->pid != 0;
}

bool read_pos_open(read_pos_writer *w, int32_t cid, uint32_t pid, uint32_t now_ms) {
    memset(w, 0, sizeof *w);
    w->slot = -1;
    w->f.handle = -1;
    char path[OS_PATH_MAX + 32];
    if (!read_pos_path(cid, path, sizeof path) || !file_open_write(path, &w->f, FILE_NO_LINKS))
        return false;
    // The file has its fixed size from the first run on (never more: no record cut).
    uint64_t have = 0;
    if (file_size(&w->f, &have) && have < READ_POS_FILE) file_set_size(&w->f, READ_POS_FILE);
    uint8_t all[READ_POS_FILE] = {0};
    long n = file_pread(&w->f, all, sizeof all, 0);
    int mine = -1, free_one = -1;
    const int home = int(pid % READ_POS_SLOTS);
    for (int k = 0; k < READ_POS_SLOTS; k++) {
        const int i = (home + k) % READ_POS_SLOTS;
        read_pos r;
        const bool used = n >= long((i + 1) * READ_POS_RECORD) &&
                          read_pos_decode(all + i * READ_POS_RECORD, &r) && fresh(r, now_ms);
        if (used && r.pid == pid && mine < 0) mine = i;
        if (!used && free_one < 0) free_one = i;
    }
    w->slot = mine >= 0 ? mine : free_one >= 0 ? free_one : home;
    w->last.pid = pid;
    return true;
}

void read_pos_note(read_pos_writer *w, uint64_t offset, uint64_t size, bool waiting,
                   uint32_t now_ms) {
    if (w->slot < 0) return;
    const uint32_t flags = waiting ? uint32_t(READ_POS_WAITING) : 0u;
    const bool first = w->last.tick_ms == 0 && w->last.offset == 0 && w->last.size == 0;
    const bool changed = flags != w->last.flags || (waiting && offset != w->last.offset);
    if (!first && !changed && uint32_t(now_ms - w->last.tick_ms) < uint32_t(READ_POS_EVERY_MS))
        return;
    w->last.tick_ms = now_ms ? now_ms : 1;
    w->last.flags = flags;
    w->last.offset = offset;
    w->last.size = size;
    write_record(w);
}

void read_pos_close(read_pos_writer *w) {
    if (w->slot < 0) return;
    static const uint8_t zero[READ_POS_RECORD] = {0};
    file_pwrite(&w->f, zero, sizeof zero, uint64_t(w->slot) * READ_POS_RECORD);
    file_close(&w->f);
    w->slot = -1;
}

int read_pos_fresh(int32_t cid, uint64_t size, uint32_t now_ms, uint64_t *offsets, int cap) {
    char path[OS_PATH_MAX + 32];
    os_file f;
    if (size == 0 || !read_pos_path(cid, path, sizeof path) || !file_open_regular(path, &f))
        return 0;
    uint8_t all[READ_POS_FILE];
    long n = file_pread(&f, all, sizeof all, 0);
    file_close(&f);
    int count = 0;
    for (int pass = 0; pass < 2; pass++) // the waiting ones first
        for (int i = 0; i < READ_POS_SLOTS && count < cap; i++) {
            read_pos r;
            if (n < long((i + 1) * READ_POS_RECORD) ||
                !read_pos_decode(all + i * READ_POS_RECORD, &r) || !fresh(r, now_ms))
                continue;
            if (((r.flags & READ_POS_WAITING) != 0) != (pass == 0)) continue;
            offsets[count++] = r.offset < size ? r.offset : size - 1;
        }
    return count;
}
