// The channel list KVT-Channels.txt beside the supervisor: one channel a line,
// CID<TAB>NAME or CID<TAB>NAME<TAB>GROUP, '!' starts a comment as in the options
// files. It is read again for every page that uses it, so it can be edited while
// the supervisor runs. It is read on the one accept thread, so nothing about it may
// make that thread wait: it is opened without following a link and without waiting
// for a writer, only as a regular file, and read up to LIST_MAX_OCTETS; and since any
// web page can make requests, a request logs at most one line about skipped lines.
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { LINE_MAX_CHARS = 511, READ_PIECE = 4096, LIST_MAX_OCTETS = 1024 * 1024 };

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

// What one reading of the list skipped, for its one log line.
struct skipped_lines {
    int bad;        // not a channel line
    int over;       // past CHANNELS_MAX channels
    int first_line; // the first skipped line's number
};

void take_line(char *line, size_t n, int line_no, bool too_long, skipped_lines *skipped) {
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
    bool bad = too_long || !channel_line_parse(p, n, &e);
    if (bad || pg.channel_count == CHANNELS_MAX) {
        if (skipped->bad + skipped->over == 0) skipped->first_line = line_no;
        ++*(bad ? &skipped->bad : &skipped->over);
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
    if (!file_open_regular(path, &f)) {
        int e = os_error();
        if (os_error_kind_of(e) != OS_E_NOT_FOUND) // no list is no error: no channels
            log_printf(MRSHL, SEV_E, "%s : not read: a link, a FIFO, a device or unreadable (%d)",
                       list_name, e);
        return;
    }

    char piece[READ_PIECE], line[LINE_MAX_CHARS + 1];
    size_t len = 0, left = LIST_MAX_OCTETS;
    bool too_long = false, cut = false;
    int line_no = 1;
    skipped_lines skipped = {0, 0, 0};
    long got;
    while ((got = file_read(&f, piece, left < sizeof piece ? left : sizeof piece)) > 0) {
        for (long i = 0; i < got; i++) {
            if (piece[i] == '\n') {
                take_line(line, len, line_no++, too_long, &skipped);
                len = 0;
                too_long = false;
            } else if (len < LINE_MAX_CHARS) {
                line[len++] = piece[i];
            } else {
                too_long = true;
            }
        }
        left -= size_t(got);
        if (left == 0) {
            char more;
            cut = file_read(&f, &more, 1) > 0;
            break;
        }
    }
    file_close(&f);
    // A list cut at the limit loses its unfinished last line with the rest.
    if (!cut && (len > 0 || too_long)) take_line(line, len, line_no, too_long, &skipped);
    if (cut)
        log_printf(MRSHL, SEV_E, "%s : longer than %d octets, read up to line %d", list_name,
                   int(LIST_MAX_OCTETS), line_no - 1);
    if (skipped.bad + skipped.over > 0)
        log_printf(MRSHL, SEV_E,
                   "%s : lines skipped: %d not a channel line (CID<TAB>NAME[<TAB>GROUP]), "
                   "%d past %d channels; the first is line %d",
                   list_name, skipped.bad, skipped.over, int(CHANNELS_MAX), skipped.first_line);
}

const channel_entry *channel_find(int32_t cid) {
    const own_pages &pg = g_marshal.pages;
    for (int i = 0; i < pg.channel_count; i++)
        if (pg.channels[i].cid == cid) return &pg.channels[i];
    return nullptr;
}
