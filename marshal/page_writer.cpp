// The writer of the supervisor's own pages: an answer is produced twice, once only
// counted and once sent through one fixed buffer, so its header can carry the
// body's length without a buffer as large as the page. Text from outside is made
// safe for the page it goes into.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/os.h"
#include "utils/utf8.h"

namespace {
const size_t SEND_PIECE = 1024;
const uint32_t PAGE_SEND_LIMIT_MS = 10000;
} // namespace

bool page_flush(page_writer *w) {
    if (!w->send || w->used == 0) return !w->failed;
    // Small sends, each after the socket has room, within the page's deadline: a
    // player that stops reading cannot hold the supervisor's one accept loop.
    for (size_t done = 0; done < w->used && !w->failed;) {
        int32_t left = int32_t(w->deadline_ms - os_tick_ms());
        size_t k = w->used - done < SEND_PIECE ? w->used - done : SEND_PIECE;
        long sent = 0;
        if (left > 0 && net_wait_writable(w->sock, left) > 0)
            sent = net_send(w->sock, g_marshal.pages.out + done, k);
        if (sent <= 0)
            w->failed = true;
        else
            done += size_t(sent);
    }
    w->used = 0;
    return !w->failed;
}

bool page_answer(net_sock s, const char *headers, void (*body)(page_writer *, const void *),
                 const void *ctx, size_t *octets) {
    page_writer w;
    page_start(&w, s, false);
    body(&w, ctx);
    size_t length = w.total;
    page_start(&w, s, true);
    page_printf(&w, "HTTP/1.1 200 OK\r\n%sContent-Length: %u\r\nConnection: close\r\n\r\n", headers,
                unsigned(length));
    body(&w, ctx);
    bool sent = page_flush(&w);
    net_shutdown(s);
    net_close(s);
    *octets = w.total;
    return sent;
}

void page_start(page_writer *w, net_sock s, bool send) {
    w->sock = s;
    w->send = send;
    w->failed = send && s == NET_BAD_SOCK; // nothing to wait for
    w->total = 0;
    w->used = 0;
    w->deadline_ms = os_tick_ms() + PAGE_SEND_LIMIT_MS;
}

void page_put(page_writer *w, const char *data, size_t n) {
    w->total += n;
    if (!w->send) return;
    while (n > 0) {
        size_t room = sizeof g_marshal.pages.out - w->used;
        size_t k = n < room ? n : room;
        memcpy(g_marshal.pages.out + w->used, data, k);
        w->used += k;
        data += k;
        n -= k;
        if (w->used == sizeof g_marshal.pages.out) page_flush(w);
    }
}

void page_puts(page_writer *w, const char *text) {
    page_put(w, text, strlen(text));
}

void page_printf(page_writer *w, const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    page_put(w, line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

void page_put_text(page_writer *w, const char *text, size_t n, text_escape esc) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c >= 0x80) {
            size_t consumed;
            size_t k = utf8_character(p + i, n - i, &consumed);
            if (k == 0) {
                page_put(w, "?", 1);
                i++;
            } else {
                page_put(w, text + i, k);
                i += k;
            }
            continue;
        }
        i++;
        if (c < 0x20 || c == 0x7F) c = ' ';
        const char *rep = nullptr;
        if (esc == ESC_HTML) {
            if (c == '&') rep = "&amp;";
            if (c == '<') rep = "&lt;";
            if (c == '>') rep = "&gt;";
            if (c == '"') rep = "&quot;";
            if (c == '\'') rep = "&#39;";
        } else if (esc == ESC_JSON) {
            if (c == '"') rep = "\\\"";
            if (c == '\\') rep = "\\\\";
        }
        if (rep)
            page_puts(w, rep);
        else
            page_put(w, reinterpret_cast<const char *>(&c), 1);
    }
}

const char *utc_text(int64_t seconds, char *out) {
    // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2);
    // Written digit by digit: "YYYY-MM-DD hh:mm:ss".
    const int64_t parts[6] = {year, month, day, rest / 3600, rest / 60 % 60, rest % 60};
    const char seps[6] = {'-', '-', ' ', ':', ':', 0};
    char *o = out;
    for (int i = 0; i < 6; i++) {
        int64_t v = parts[i] < 0 ? 0 : parts[i];
        for (int64_t div = i == 0 ? 1000 : 10; div > 0; div /= 10)
            *o++ = char('0' + v / div % 10);
        *o++ = seps[i];
    }
    return out;
}
