// The version source of the update check: a local file, or one plain HTTP GET.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "companions/update/update.h"
#include "companions/update/update_deadline.h"
#include "platform/net.h"
#include "platform/os.h"
#include "utils/log.h"

enum { HTTP_REPLY_MAX = 8192, HTTP_WAIT_MS = 10000 };

int version_compare(const char *a, const char *b) {
    for (;;) {
        bool more_a = *a >= '0' && *a <= '9', more_b = *b >= '0' && *b <= '9';
        if (!more_a && !more_b) return 0;
        unsigned long na = more_a ? std::strtoul(a, const_cast<char **>(&a), 10) : 0;
        unsigned long nb = more_b ? std::strtoul(b, const_cast<char **>(&b), 10) : 0;
        if (na != nb) return na < nb ? -1 : 1;
        // A number continues only after a dot followed by a digit.
        if (a[0] == '.' && a[1] >= '0' && a[1] <= '9')
            a++;
        else
            a = "";
        if (b[0] == '.' && b[1] >= '0' && b[1] <= '9')
            b++;
        else
            b = "";
    }
}

// The first line of text, without blanks around it.
static bool first_line(const char *text, size_t len, char *out, size_t cap) {
    size_t i = 0;
    while (i < len && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
        i++;
    size_t n = 0;
    while (i < len && text[i] != '\r' && text[i] != '\n' && n + 1 < cap)
        out[n++] = text[i++];
    while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '\t'))
        n--;
    out[n] = 0;
    return n > 0;
}

static bool read_file_source(const char *path, char *out, size_t cap) {
    FILE *f = std::fopen(path, "rb");
    if (!f) {
        log_printf(UPDATE, SEV_E, "Cannot open the version source '%s', errno = %d", path,
                   os_error());
        return false;
    }
    char text[1024];
    size_t n = std::fread(text, 1, sizeof text, f);
    std::fclose(f);
    if (!first_line(text, n, out, cap)) {
        log_printf(UPDATE, SEV_E, "The version source '%s' names no version", path);
        return false;
    }
    return true;
}

static bool read_http_source(const char *url, char *out, size_t cap) {
    char host[128] = "", path[512] = "/";
    unsigned port = 80;
    const char *p = url + 7; // after "http://"
    size_t h = std::strcspn(p, ":/");
    if (h == 0 || h >= sizeof host) {
        log_printf(UPDATE, SEV_E, "Bad version source address '%s'", url);
        return false;
    }
    std::memcpy(host, p, h);
    p += h;
    if (*p == ':') {
        char *end;
        port = unsigned(std::strtoul(p + 1, &end, 10));
        p = end;
        if (port == 0 || port > 65535 || (*p && *p != '/')) {
            log_printf(UPDATE, SEV_E, "Bad port in version source address '%s'", url);
            return false;
        }
    }
    if (*p == '/') snprintf(path, sizeof path, "%s", p);

    uint32_t addrs[NET_MAX_ADDRS];
    uint32_t addr = net_parse_ipv4(host);
    if (addr == 0) {
        if (net_resolve(host, addrs, NET_MAX_ADDRS) < 1) {
            log_printf(UPDATE, SEV_E, "Cannot resolve '%s', errno = %d", host, os_error());
            return false;
        }
        addr = addrs[0];
    }
    net_startup();
    net_sock s = net_tcp_socket();
    if (s == NET_BAD_SOCK || !net_connect_within(s, addr, uint16_t(port), deadline_left_ms())) {
        log_printf(UPDATE, SEV_E, "connect(%s:%u) -> %d", host, port, net_error());
        if (s != NET_BAD_SOCK) net_close(s);
        return false;
    }
    char request[700];
    int n =
        snprintf(request, sizeof request,
                 "GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: varnex-update\r\n\r\n", path, host);
    static char reply[HTTP_REPLY_MAX];
    size_t got = 0;
    bool ok = net_send_all(s, request, size_t(n)) == n;
    bool late = false;
    while (ok && got < HTTP_REPLY_MAX) {
        // Each wait ends at the run's deadline at the latest, however the answer trickles.
        int left = deadline_left_ms();
        int w = net_wait_readable(s, left < HTTP_WAIT_MS ? left : HTTP_WAIT_MS);
        if (w != 1) {
            late = w == 0 && left < HTTP_WAIT_MS;
            ok = false;
            break;
        }
        long r = net_recv(s, reply + got, HTTP_REPLY_MAX - got);
        if (r <= 0) break;
        got += size_t(r);
    }
    net_close(s);
    if (late) {
        log_printf(UPDATE, SEV_E, "No complete answer from '%s' within %d s (%u octets of answer)",
                   url, UPDATE_DEADLINE_MS / 1000, unsigned(got));
        return false;
    }
    if (!ok || !version_from_http_answer(reply, got, out, cap)) {
        log_printf(UPDATE, SEV_E, "No version from '%s' (%u octets of answer)", url, unsigned(got));
        return false;
    }
    return true;
}

bool version_from_http_answer(const char *answer, size_t len, char *out, size_t cap) {
    // A "200" status line, then the body's first line after the blank line.
    if (len < 12 || std::memcmp(answer, "HTTP/1.", 7) != 0 ||
        std::memcmp(answer + 9, "200", 3) != 0)
        return false;
    for (size_t i = 12; i + 4 <= len; i++)
        if (std::memcmp(answer + i, "\r\n\r\n", 4) == 0)
            return first_line(answer + i + 4, len - i - 4, out, cap);
    return false;
}

bool read_version_source(const char *source, char *out, size_t cap) {
    if (std::strncmp(source, "http://", 7) == 0) return read_http_source(source, out, cap);
    return read_file_source(source, out, cap);
}
