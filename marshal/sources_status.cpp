// Reads the fetcher's fetcher-sources.txt and shows one row per configured channel:
// its source, state (and why), bit rate and the time of its last data. A line that
// is not whole (the fetcher rewriting the file) is left out.
#include "sources_status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/os.h"

namespace {

enum { TEXT_MAX = 256 * 800, FIELDS = 6 };

struct source_row {
    const char *f[FIELDS];
    size_t n[FIELDS];
};

char g_text[TEXT_MAX]; // the status page is served on the main thread only

size_t read_report() {
    const char *runtime = os_runtime_dir();
    if (!runtime) return 0;
    char path[OS_PATH_MAX];
    snprintf(path, sizeof path, "%.*s" OS_PATH_SEP "fetcher-sources.txt", 200, runtime);
    os_file f;
    if (!file_open_read(path, &f, FILE_NO_LINKS)) return 0;
    long n = file_read(&f, g_text, sizeof g_text);
    file_close(&f);
    return n > 0 ? size_t(n) : 0;
}

// The next whole line from *at; false at the end.
bool next_row(size_t len, size_t *at, source_row *r) {
    while (*at < len) {
        const char *p = g_text + *at;
        const char *nl = static_cast<const char *>(memchr(p, '\n', len - *at));
        if (!nl) return false;
        *at = size_t(nl - g_text) + 1;
        int k = 0;
        const char *start = p;
        for (const char *q = p; q <= nl && k < FIELDS; q++)
            if (q == nl || *q == '\t') {
                r->f[k] = start;
                r->n[k++] = size_t(q - start);
                start = q + 1;
            }
        if (k == FIELDS) return true;
    }
    return false;
}

void put_field(page_writer *w, const source_row &r, int i, text_escape esc) {
    page_put_text(w, r.f[i], r.n[i], esc);
}

} // namespace

void sources_status_html(page_writer *w) {
    size_t len = read_report(), at = 0;
    source_row r;
    bool any = false;
    while (next_row(len, &at, &r)) {
        if (!any)
            page_puts(w, "<h2>Live sources</h2>\n<table>\n<tr><th>CID</th><th>Source</th>"
                         "<th>State</th><th>Bit rate</th><th>Last data (UTC)</th></tr>\n");
        any = true;
        page_puts(w, "<tr><td data-l=\"CID\">");
        put_field(w, r, 0, ESC_HTML);
        page_puts(w, "</td><td data-l=\"Source\">");
        put_field(w, r, 4, ESC_HTML);
        page_puts(w, "</td><td data-l=\"State\">");
        put_field(w, r, 1, ESC_HTML);
        if (r.n[5]) {
            page_puts(w, " (");
            put_field(w, r, 5, ESC_HTML);
            page_puts(w, ")");
        }
        char when[24];
        long long last = atoll(r.f[3]); // the field ends at a tab
        page_printf(w,
                    "</td><td data-l=\"Bit rate\">%.2f Mbit/s</td><td data-l=\"Last data "
                    "(UTC)\">%s</td></tr>\n",
                    atof(r.f[2]) / 1e6, last > 0 ? utc_text(last, when) : "-");
    }
    if (any) page_puts(w, "</table>\n");
}

void sources_status_json(page_writer *w) {
    size_t len = read_report(), at = 0;
    source_row r;
    // Without configured sources the page stays as it was.
    bool any = false;
    for (; next_row(len, &at, &r); any = true) {
        page_printf(w, "%s{\"cid\":%d,\"url\":\"", any ? "," : ",\"sources\":[", atoi(r.f[0]));
        put_field(w, r, 4, ESC_JSON);
        page_puts(w, "\",\"state\":\"");
        put_field(w, r, 1, ESC_JSON);
        page_puts(w, "\",\"reason\":\"");
        put_field(w, r, 5, ESC_JSON);
        page_printf(w, "\",\"bits_per_s\":%lld,\"last_data\":%lld}", atoll(r.f[2]), atoll(r.f[3]));
    }
    if (any) page_puts(w, "]");
}
