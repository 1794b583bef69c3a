// The supervisor's own pages, answered without QI and without a child: the channel
// playlist /playlist.m3u from the channel list KVT-Channels.txt, and the status
// page /status (HTML) and /status.json for players on this machine.
//   channel_list.cpp  reading KVT-Channels.txt into the channel table
//   page_writer.cpp   the answer writer: counts, then sends through one fixed buffer
//   host_header.cpp   the Host header: its exact forms, the status page's check
//   playlist.cpp      /playlist.m3u
//   status.cpp        /status, /status.json, who may see them
//   pages.cpp         which path is one of these pages, the start of a streamer's row
//   hls_viewers.cpp   HLS viewers: a player's series of short requests as one row
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

enum {
    CHANNELS_MAX = 1024,
    CHANNEL_NAME_MAX = 127,
    CHANNEL_GROUP_MAX = 63,
    VIEWER_TAG_MAX = 127,
    PAGE_BUF_SIZE = 8192,
    HLS_VIEWERS_MAX = 512,
    STATUS_ROWS_MAX = 512 + HLS_VIEWERS_MAX, // a row per streamer slot and per HLS viewer
    REQUEST_ANSWERED_AT_ONCE = 11101,        // answered completely, no pause before the next accept
};

struct channel_entry {
    int32_t cid;
    char name[CHANNEL_NAME_MAX + 1];   // as written in the file, zero-ended
    char group[CHANNEL_GROUP_MAX + 1]; // empty when the line has none
};

// What the status page shows of a running streamer, per slot of the child table.
struct child_view {
    int32_t kind;                    // the request code: 3 stream, 4 movie, 5 HLS
    int32_t chunk;                   // an HLS segment's chunk number, 0 for the playlist
    bool segment;                    // an HLS segment request (it carries a sid or a chunk)
    uint32_t addr;                   // the player's address, network order
    int64_t started_s;               // wall clock, seconds since the epoch
    char agent[VIEWER_TAG_MAX + 1];  // the User-Agent word, empty without one
    char viewer[VIEWER_TAG_MAX + 1]; // "address:port" and the User-Agent word
};

// An HLS player: a playlist request, its segments, the next playlist, each through a
// relay that ends at once. The requests of one address and User-Agent word for one
// CID are one viewer while they keep coming: while one of its relays runs or within
// window_ms of its latest request or relay end.
struct hls_viewer {
    bool used;
    int32_t cid;
    uint32_t addr;                   // network order
    uint32_t last_ms;                // os_tick_ms() of its latest request or relay end
    uint32_t window_ms;              // two target durations
    int32_t running;                 // its relays that still run
    uint32_t segments;               // its segment relays that ended
    int64_t started_s;               // its first request, wall clock
    char agent[VIEWER_TAG_MAX + 1];  // the User-Agent word
    char viewer[VIEWER_TAG_MAX + 1]; // "address word" (each request has its own port)
};

// A row of the status page, copied out of the child table under its lock.
struct status_row {
    int32_t cid;
    bool qi_open;
    uint32_t segments; // an HLS viewer's segments served
    child_view view;
};

// The pages' share of the supervisor's state; used by the main thread only, but
// fetcher_restarts, written by the monitor, is read and written under the table lock.
struct own_pages {
    int64_t started_s;         // the supervisor's start, wall clock
    uint32_t fetcher_restarts; // successful restarts of the fetcher
    int channel_count;
    channel_entry channels[CHANNELS_MAX];
    int row_count;
    status_row rows[STATUS_ROWS_MAX];
    char out[PAGE_BUF_SIZE]; // the answer being sent
};

// An answer written twice: first only counted (send false), then sent in pieces of
// the fixed buffer, so the header can carry the body's length.
struct page_writer {
    net_sock sock;
    bool send;
    bool failed;
    size_t total;         // octets written so far
    size_t used;          // octets waiting in the buffer
    uint32_t deadline_ms; // os_tick_ms() by which the page must be sent
};
void page_start(page_writer *w, net_sock s, bool send);
void page_put(page_writer *w, const char *data, size_t n);
void page_puts(page_writer *w, const char *text);
void page_printf(page_writer *w, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Text from outside (a player's header, the channel file): control characters become
// blanks and bytes that are no UTF-8 become '?'; html escapes & < > " ', json
// escapes for a JSON string.
enum text_escape { ESC_NONE, ESC_HTML, ESC_JSON };
void page_put_text(page_writer *w, const char *text, size_t n, text_escape esc);
// Sends what the buffer holds; false when the player is gone.
bool page_flush(page_writer *w);
// Answers 200 with the header lines `headers` (each ending in CRLF) and the body that
// body writes from ctx (called twice: counted, then sent), then closes the
// connection. False when the player is gone; *octets is what was written.
bool page_answer(net_sock s, const char *headers, void (*body)(page_writer *, const void *),
                 const void *ctx, size_t *octets);

// Reads KVT-Channels.txt beside the supervisor into g_marshal.pages.channels; a
// missing file gives an empty list, a bad line is skipped with a log line.
void channel_list_read();
// The channel of cid in the table read last, or nullptr.
const channel_entry *channel_find(int32_t cid);
// Parses one line of the channel list (comment already cut); false for a bad line.
bool channel_line_parse(const char *line, size_t n, channel_entry *out);

// The Host header's forms; a port is decimal without a leading zero, 1 to 65535.
enum host_form {
    HOST_ABSENT = 0,    // no Host header
    HOST_BAD = 1,       // one that is none of the forms below
    HOST_NAME = 2,      // labels of letters, digits and inner hyphens, not localhost
    HOST_LOCALHOST = 3, // localhost or NAME.localhost
    HOST_IPV4 = 4,      // four dotted decimal numbers without leading zeros
    HOST_IPV6 = 5,      // a bracketed IPv6 address
};
struct host_authority {
    int form;
    size_t len;     // of text
    int32_t port;   // 0 when the header names none
    char text[264]; // host and port as written, zero-ended
};
// Reads the Host header of request into *out; returns out->form.
int host_header_read(const char *request, size_t n, host_authority *out);
// The authority (host and port) of the Host header when it has one of the forms
// name, IPv4 or IPv6 with an optional port; 0 otherwise.
size_t host_header_authority(const char *request, size_t n, char *out, size_t cap);
// Whether a status page may be answered: a request without Host (no browser's), or
// one whose Host is localhost, NAME.localhost, an IPv4 or a bracketed IPv6 address
// with no port or listen_port. Any other name is a web site pointed at this machine
// (DNS rebinding), which must not read who watches what.
bool status_host_allowed(const char *request, size_t n, int32_t listen_port);
// /playlist.m3u: answers the player and returns REQUEST_DONE.
int32_t serve_playlist(net_sock s, const char *request, size_t n);

// A player address may see the status page when it is a loopback address or the
// address the connection arrived on (this machine's own address on the LAN).
bool status_peer_allowed(uint32_t peer_addr, uint32_t local_addr);
// /status and /status.json; REQUEST_ANSWERED_AT_ONCE when answered, REQUEST_DONE
// after the 403 to a player on another machine.
int32_t serve_status(net_sock s, uint32_t peer_addr, bool json);

// The pages' paths (the whole path token); 0 when the path is none of them, else the
// status of the answered request.
int32_t serve_own_page(net_sock s, const char *path, int path_len, const char *request, size_t n,
                       uint32_t peer_addr);
struct admission;
// A streamer of admission a was registered in slot: its row's kind, start and viewer
// (table lock held).
void child_view_note(uint32_t slot, const admission &a);
// Table lock held for these three. An HLS relay of v was started: its viewer is
// found (same CID, address and User-Agent word, still watching) or begins.
// qi_duration: the QI duration its relay was started with.
void hls_viewer_request(const child_view &v, int32_t cid, int32_t qi_duration);
// An HLS relay of v ended: its viewer's last sign of life, a segment served.
void hls_viewer_relay_ended(const child_view &v, int32_t cid);
// Whether viewer h still watches at os_tick_ms() now.
bool hls_viewer_watching(const hls_viewer &h, uint32_t now);
// UTC "YYYY-MM-DD hh:mm:ss" of seconds since the epoch; out holds at least 20 octets.
const char *utc_text(int64_t seconds, char *out);
