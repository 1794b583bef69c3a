// /status (HTML that reloads itself every 10 s) and /status.json: the supervisor's
// start and version, its listening address, the fetcher, and one row per running
// streamer. The page tells who watches what, so only players on this machine see it.
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "sources_status.h"
#include "swarm_status.h"

namespace {

struct status_facts {
    char version[64]; // the registry's Version, empty when there is none
    char listen[24];
    bool fetcher_running;
    int fetcher_pid;
    uint32_t fetcher_restarts;
};

const char *kind_text(const child_view &v) {
    if (v.kind == 3) return "stream";
    if (v.kind == 4) return "movie";
    return "HLS";
}

// Whether the supervisor still holds a QI connection for cid (a streamer's, or one
// kept for an HLS player's next request). Table lock held.
bool qi_open(int32_t cid) {
    const child_table &t = g_marshal.children;
    for (uint32_t j = 1; j < t.count; j++)
        if (t.records[j].cid == cid && t.records[j].qi_sock > 0) return true;
    for (const held_stop &h : t.held)
        if (h.used && h.rec.cid == cid && h.rec.qi_sock > 0) return true;
    return false;
}

void take_snapshot(status_facts *f) {
    marshal_state &g = g_marshal;
    own_pages &pg = g.pages;
    std::lock_guard<std::mutex> table(g.table_lock);
    uint32_t count = g.children.count;
    pg.row_count = 0;
    // A live or movie streamer is a row of its own; HLS relays are their viewers' rows.
    for (uint32_t i = 1; i < count && pg.row_count < STATUS_ROWS_MAX; i++) {
        if (g.children.views[i].kind == 5) continue;
        status_row &r = pg.rows[pg.row_count++];
        r.cid = g.children.records[i].cid;
        r.qi_open = qi_open(r.cid);
        r.segments = 0;
        r.view = g.children.views[i];
    }
    const uint32_t now = os_tick_ms();
    for (const hls_viewer &h : g.children.hls_viewers) {
        if (!hls_viewer_watching(h, now) || pg.row_count == STATUS_ROWS_MAX) continue;
        status_row &r = pg.rows[pg.row_count++];
        r.cid = h.cid;
        r.qi_open = qi_open(h.cid);
        r.segments = h.segments;
        memset(&r.view, 0, sizeof r.view);
        r.view.kind = 5;
        r.view.started_s = h.started_s;
        snprintf(r.view.viewer, sizeof r.view.viewer, "%s", h.viewer);
    }
    f->fetcher_restarts = pg.fetcher_restarts;
    std::lock_guard<std::mutex> pipe(g.pipe_lock);
    f->fetcher_pid = g.fetcher_pid;
    f->fetcher_running = g.fetcher_pid != 0;
}

static void read_version(char *out, size_t cap) {
    out[0] = 0;
    reg_key k;
    if (!reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", false, &k)) return;
    reg_type type = REG_T_NONE;
    uint32_t size = uint32_t(cap - 1);
    if (reg_query(&k, "Version", &type, out, &size) && type == REG_T_SZ)
        out[size < cap ? size : cap - 1] = 0;
    else
        out[0] = 0;
    reg_close(&k);
}

// The installed version, else (a build run in place, the Debian package) the build's own.
static void installed_version(char *out, size_t cap) {
    read_version(out, cap);
    if (!out[0]) snprintf(out, cap, "%s", VARNEX_VERSION);
}

// ISO 8601 for the JSON page: "YYYY-MM-DDThh:mm:ssZ".
const char *iso_text(int64_t seconds, char *out) {
    utc_text(seconds, out);
    out[10] = 'T';
    out[19] = 'Z';
    out[20] = 0;
    return out;
}

void put_text(page_writer *w, const char *text, text_escape esc) {
    page_put_text(w, text, strlen(text), esc);
}

void json_page(page_writer *w, const status_facts &f) {
    const own_pages &pg = g_marshal.pages;
    char when[24];
    page_printf(w, "{\"started\":\"%s\",\"version\":\"", iso_text(pg.started_s, when));
    put_text(w, f.version, ESC_JSON);
    page_printf(w,
                "\",\"build\":\"%s\",\"listen\":\"%s\",\"fetcher\":{\"running\":%s,\"pid\":%d,"
                "\"restarts\":%u},\"streamers\":[",
                marshal_build_stamp, f.listen, f.fetcher_running ? "true" : "false", f.fetcher_pid,
                f.fetcher_restarts);
    for (int i = 0; i < pg.row_count; i++) {
        const status_row &r = pg.rows[i];
        const channel_entry *c = channel_find(r.cid);
        page_printf(w, "%s{\"cid\":%d,\"name\":", i ? "," : "", r.cid);
        if (c) {
            page_puts(w, "\"");
            put_text(w, c->name, ESC_JSON);
            page_puts(w, "\"");
        } else {
            page_puts(w, "null");
        }
        page_printf(w, ",\"kind\":\"%s\",\"viewer\":\"", kind_text(r.view));
        put_text(w, r.view.viewer, ESC_JSON);
        page_printf(w, "\",\"started\":\"%s\"", iso_text(r.view.started_s, when));
        if (r.view.kind == 5) page_printf(w, ",\"segments\":%u", unsigned(r.segments));
        page_printf(w, ",\"qi_session\":%s}", r.qi_open ? "true" : "false");
    }
    page_puts(w, "]");
    sources_status_json(w);
    swarm_status_json(w);
    page_puts(w, "}\n");
}

void html_page(page_writer *w, const status_facts &f) {
    const own_pages &pg = g_marshal.pages;
    char when[20];
    page_puts(w, "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                 "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                 "<meta http-equiv=\"refresh\" content=\"10\"><title>Varnex status</title>"
                 "<style>body{font-family:sans-serif;margin:1em;color:#222}"
                 "table{border-collapse:collapse;width:100%}"
                 "th,td{border:1px solid #bbb;padding:.35em .5em;text-align:left}"
                 "th{background:#e8eef4}"
                 // A phone shows each streamer as a card of labelled lines.
                 "@media (max-width:640px){table,tbody,tr,td{display:block}"
                 "tr:first-child{display:none}tr{border:1px solid #bbb;margin:.6em 0}"
                 "td{border:0;padding:.2em .5em}td::before{content:attr(data-l) \": \";"
                 "font-weight:bold}}</style></head><body>\n"
                 "<h1>Varnex status</h1>\n<p>Started ");
    page_printf(w, "%s UTC<br>Version ", utc_text(pg.started_s, when));
    put_text(w, f.version[0] ? f.version : "-", ESC_HTML);
    page_printf(w, " (built %s)<br>Listening on %s<br>Fetcher: ", marshal_build_stamp, f.listen);
    if (f.fetcher_running)
        page_printf(w, "running (PID %d)", f.fetcher_pid);
    else
        page_puts(w, "restarting");
    page_printf(w, ", %u restart%s</p>\n<h2>Viewers: %d</h2>\n", f.fetcher_restarts,
                f.fetcher_restarts == 1 ? "" : "s", pg.row_count);
    if (pg.row_count == 0) {
        page_puts(w, "<p>No one watches.</p>\n");
        sources_status_html(w);
        swarm_status_html(w);
        page_puts(w, "</body></html>\n");
        return;
    }
    page_puts(w, "<table>\n<tr><th>CID</th><th>Channel</th><th>Kind</th>"
                 "<th>Viewer</th><th>Since (UTC)</th><th>QI session</th><th>Segments</th></tr>\n");
    for (int i = 0; i < pg.row_count; i++) {
        const status_row &r = pg.rows[i];
        const channel_entry *c = channel_find(r.cid);
        page_printf(w, "<tr><td data-l=\"CID\">%d</td><td data-l=\"Channel\">", r.cid);
        put_text(w, c ? c->name : "", ESC_HTML);
        page_printf(w, "</td><td data-l=\"Kind\">%s</td><td data-l=\"Viewer\">", kind_text(r.view));
        put_text(w, r.view.viewer, ESC_HTML);
        page_printf(w, "</td><td data-l=\"Since (UTC)\">%s</td><td data-l=\"QI session\">%s</td>",
                    utc_text(r.view.started_s, when), r.qi_open ? "open" : "-");
        if (r.view.kind == 5)
            page_printf(w, "<td data-l=\"Segments\">%u</td></tr>\n", unsigned(r.segments));
        else
            page_puts(w, "<td data-l=\"Segments\">-</td></tr>\n");
    }
    page_puts(w, "</table>\n");
    sources_status_html(w);
    swarm_status_html(w);
    page_puts(w, "</body></html>\n");
}

void json_body(page_writer *w, const void *facts) {
    json_page(w, *static_cast<const status_facts *>(facts));
}

void html_body(page_writer *w, const void *facts) {
    html_page(w, *static_cast<const status_facts *>(facts));
}

#define STATUS_HEADERS "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"

} // namespace

bool status_peer_allowed(uint32_t peer_addr, uint32_t local_addr) {
    uint8_t first;
    memcpy(&first, &peer_addr, 1); // network order: the first octet comes first
    return first == 127 || (peer_addr != 0 && peer_addr == local_addr);
}

int32_t serve_status(net_sock s, uint32_t peer_addr, bool json) {
    marshal_state &g = g_marshal;
    uint32_t local = 0;
    uint16_t local_port = 0;
    net_local_name(s, &local, &local_port);
    char dotted[16];
    if (!status_peer_allowed(peer_addr, local)) {
        send_ans(s, 3);
        log_printf(MRSHL, SEV_E, "[#%d] Status page refused to %s: not this machine", int(s),
                   net_format_ipv4(peer_addr, dotted));
        return REQUEST_DONE;
    }
    channel_list_read();
    status_facts f;
    installed_version(f.version, sizeof f.version);
    snprintf(f.listen, sizeof f.listen, "%s:%d", net_format_ipv4(g.listen_addr, dotted),
             int(g.port));
    take_snapshot(&f);

    // No Access-Control-Allow-Origin: a web page from elsewhere must not read who watches.
    size_t octets = 0;
    bool sent = page_answer(s,
                            json ? "Content-Type: application/json\r\n" STATUS_HEADERS
                                 : "Content-Type: text/html; charset=utf-8\r\n" STATUS_HEADERS,
                            json ? json_body : html_body, &f, &octets);
    if (!sent)
        log_printf(MRSHL, SEV_E, "[#%d] Send status page (%u octets) failure -> %d", int(s),
                   unsigned(octets), net_error());
    return REQUEST_ANSWERED_AT_ONCE;
}
