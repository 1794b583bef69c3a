// The channel list KVT-Channels.txt beside the supervisor: one channel a line,
// CID<TAB>NAME or CID<TAB>NAME<TAB>GROUP, '!' starts a comment as in the options
// files. It is read again for every page that uses it, so it can be edited while
// the supervisor runs.
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { LINE_MAX_CHARS = 511, READ_PIECE = 4096 };

const char list_name[] = "KVT-Channels.txt";

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Trims blanks (not tabs, which separate the fields) off both ends of [*p, *p + *n).
void trim_blanks(const char **p, size_t *n) {
    while (*n > 0 && (**p == ' ' || **p == '\r'))
        ++*p, --*n;
    while (*n > 0 && ((*p)[*n - 1] == ' ' || (*p)[*n - 1] == '\r'))
        --*n;
}

// A CID: optional sign and decimal digits, within the signed 32 bits, not 0 (the
// supervisor refuses a request without a CID).
bool parse_cid(const char *p, size_t n, int32_t *out) {
    bool neg = false;
    if (n > 0 && (*p == '-' || *p == '+')) {
        neg = *p == '-';
        p++, n--;
    }
    if (n == 0 || n > 10) return false;
    int64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    if (neg) v = -v;
    if (v == 0 || v < INT32_MIN || v > INT32_MAX) return false;
    *out = int32_t(v);
    return true;
}

bool copy_field(const char *p, size_t n, char *out, size_t max) {
    trim_blanks(&p, &n);
    if (n > max) return false;
    memcpy(out, p, n);
    out[n] = 0;
    return true;
}

void take_line(char *line, size_t n, int line_no, bool too_long) {
    own_pages &pg = g_marshal.pages;
    char *bang = static_cast<char *>(memchr(line, '!', n));
    if (bang) {
        n = size_t(bang - line);
        too_long = false; // what was cut off is comment
    }
    const char *p = line;
    if (line_no == 1 && n >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) { // Notepad's UTF-8 mark
        p += 3;
        n -= 3;
    }
    while (n > 0 && blank(*p))
        p++, n--;
    while (n > 0 && blank(p[n - 1]))
        n--;
    if (n == 0 && !too_long) return;
    channel_entry e;
    if (too_long || !channel_line_parse(p, n, &e)) {
        log_printf(MRSHL, SEV_E, "%s : %d : Not a channel line (CID<TAB>NAME[<TAB>GROUP]), skip",
                   list_name, line_no);
        return;
    }
    if (pg.channel_count == CHANNELS_MAX) {
        log_printf(MRSHL, SEV_E, "%s : %d : More than %d channels, skip", list_name, line_no,
                   int(CHANNELS_MAX));
        return;
    }
    pg.channels[pg.channel_count++] = e;
}

} // namespace

bool channel_line_parse(const char *line, size_t n, channel_entry *out) {
    const char *tab1 = static_cast<const char *>(memchr(line, '\t', n));
    if (!tab1) return false;
    const char *name = tab1 + 1, *end = line + n;
    const char *tab2 = static_cast<const char *>(memchr(name, '\t', size_t(end - name)));
    const char *name_end = tab2 ? tab2 : end;
    if (tab2 && memchr(tab2 + 1, '\t', size_t(end - tab2 - 1))) return false; // a fourth field
    const char *cid = line;
    size_t cid_len = size_t(tab1 - line);
    trim_blanks(&cid, &cid_len);
    out->group[0] = 0;
    if (!parse_cid(cid, cid_len, &out->cid) ||
        !copy_field(name, size_t(name_end - name), out->name, CHANNEL_NAME_MAX) ||
        out->name[0] == 0)
        return false;
    return !tab2 || copy_field(tab2 + 1, size_t(end - tab2 - 1), out->group, CHANNEL_GROUP_MAX);
}

void channel_list_read() {
    own_pages &pg = g_marshal.pages;
    pg.channel_count = 0;
    char path[sizeof g_marshal.module_dir + sizeof list_name + 1];
    if (g_marshal.module_dir[0])
        snprintf(path, sizeof path, "%s" OS_PATH_SEP "%s", g_marshal.module_dir, list_name);
    else
        snprintf(path, sizeof path, "%s", list_name);
    os_file f;
    if (!file_open_read(path, &f)) return; // no list: no channels

    char piece[READ_PIECE], line[LINE_MAX_CHARS + 1];
    size_t len = 0;
    bool too_long = false;
    int line_no = 1;
    long got;
    while ((got = file_read(&f, piece, sizeof piece)) > 0) {
        for (long i = 0; i < got; i++) {
            if (piece[i] == '\n') {
                take_line(line, len, line_no++, too_long);
                len = 0;
                too_long = false;
            } else if (len < LINE_MAX_CHARS) {
                line[len++] = piece[i];
            } else {
                too_long = true;
            }
        }
    }
    if (len > 0 || too_long) take_line(line, len, line_no, too_long);
    file_close(&f);
}

const channel_entry *channel_find(int32_t cid) {
    const own_pages &pg = g_marshal.pages;
    for (int i = 0; i < pg.channel_count; i++)
        if (pg.channels[i].cid == cid) return &pg.channels[i];
    return nullptr;
}
