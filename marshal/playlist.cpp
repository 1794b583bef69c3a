// /playlist.m3u: every channel of the channel list as an extended M3U playlist, each
// with its /stream address (or /hls with ?hls=1) on the host and port the player
// used, so one address gives a player the whole channel list.
#include <cstdio>
#include <cstring>

#include "marshal.h"

namespace {

// Channel names and groups go into one line of the playlist: a line break would end
// the entry, a comma would end the attributes early for the simpler readers, a double
// quote would end group-title. They become blanks (a quote an apostrophe), and runs
// of blanks one blank.
size_t m3u_safe(const char *in, char *out, size_t cap) {
    size_t n = 0;
    for (; *in && n + 1 < cap; in++) {
        char c = *in;
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ',') c = ' ';
        if (c == '"') c = '\'';
        if (c == ' ' && (n == 0 || out[n - 1] == ' ')) continue;
        out[n++] = c;
    }
    while (n > 0 && out[n - 1] == ' ')
        n--;
    out[n] = 0;
    return n;
}

struct playlist_page {
    const char *host; // HOST:PORT of the addresses
    bool hls;         // /hls addresses instead of /stream
};

void playlist_body(page_writer *w, const void *ctx) {
    const char *host = static_cast<const playlist_page *>(ctx)->host;
    bool hls = static_cast<const playlist_page *>(ctx)->hls;
    const own_pages &pg = g_marshal.pages;
    page_puts(w, "#EXTM3U\n");
    for (int i = 0; i < pg.channel_count; i++) {
        const channel_entry &c = pg.channels[i];
        char name[CHANNEL_NAME_MAX + 1], group[CHANNEL_GROUP_MAX + 1];
        size_t name_len = m3u_safe(c.name, name, sizeof name);
        size_t group_len = m3u_safe(c.group, group, sizeof group);
        page_printf(w, "#EXTINF:-1 tvg-id=\"%d\"", c.cid);
        if (group_len) {
            page_puts(w, " group-title=\"");
            page_put_text(w, group, group_len, ESC_NONE);
            page_puts(w, "\"");
        }
        page_puts(w, ",");
        page_put_text(w, name, name_len, ESC_NONE);
        page_printf(w, "\nhttp://%s/%s?cid=%d\n", host, hls ? "hls" : "stream", c.cid);
    }
}

} // namespace

int32_t serve_playlist(net_sock s, const char *request, size_t n) {
    marshal_state &g = g_marshal;
    channel_list_read();

    // ?hls=1 (any value but 0) lists the HLS addresses.
    bool hls = false;
    const char *q = static_cast<const char *>(memchr(request, '?', n));
    const char *line_end = static_cast<const char *>(memchr(request, '\n', n));
    if (q && (!line_end || q < line_end)) {
        size_t qlen = 1;
        while (q + qlen < request + n && q[qlen] != ' ' && q[qlen] != '\n' && qlen < 256)
            qlen++;
        const char *v;
        int vl = scan_key_value(q + 1, int(qlen - 1), "hls", &v);
        hls = vl > 0 && !(vl == 1 && v[0] == '0');
    }

    // The player's own Host header, else the address the connection arrived on.
    char host[264];
    if (host_header_authority(request, n, host, sizeof host) == 0) {
        uint32_t local = g.listen_addr;
        uint16_t port = 0;
        net_local_name(s, &local, &port);
        char dotted[16];
        snprintf(host, sizeof host, "%s:%d", net_format_ipv4(local, dotted), int(g.port));
    }

    playlist_page page = {host, hls};
    size_t octets = 0;
    bool sent = page_answer(s,
                            "Content-Type: audio/x-mpegurl\r\nCache-Control: no-cache\r\n"
                            "Access-Control-Allow-Origin: *\r\n",
                            playlist_body, &page, &octets);
    if (!sent)
        log_printf(MRSHL, SEV_E, "[#%d] Send playlist (%u octets) failure -> %d", int(s),
                   unsigned(octets), net_error());
    else
        log_printf(MRSHL, SEV_I, "[#%d] Sent playlist of %d channels for %s", int(s),
                   g.pages.channel_count, host);
    return REQUEST_DONE;
}
