// The Host header of a player's request, read by its exact forms: a host name
// (dot-separated labels of letters, digits and inner hyphens), a dotted IPv4 address
// or a bracketed IPv6 address, each with an optional port of decimal digits without
// a leading zero. Anything else is no host: a name with '_', a label starting with
// '-', an empty port or "016689" would be read differently by a resolver or a
// browser than by a plain comparison.
#include <cstring>

#include "marshal.h"

namespace {

enum { HOST_NAME_MAX_CHARS = 253, LABEL_MAX_CHARS = 63 };

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

bool hex_digit(char c) {
    return digit(c) || (lower(c) >= 'a' && lower(c) <= 'f');
}

// The value of the header line "Host:" (any case), or nullptr.
const char *host_value(const char *text, size_t n, size_t *len) {
    for (size_t i = 0; i + 6 <= n; i++) {
        if (text[i] != '\n') continue;
        const char *h = text + i + 1;
        if (lower(h[0]) != 'h' || lower(h[1]) != 'o' || lower(h[2]) != 's' || lower(h[3]) != 't' ||
            h[4] != ':')
            continue;
        const char *p = h + 5, *end = text + n;
        while (p < end && (*p == ' ' || *p == '\t'))
            p++;
        size_t k = 0;
        while (p + k < end && p[k] != '\r' && p[k] != '\n' && p[k] != ' ' && p[k] != '\t')
            k++;
        *len = k;
        return p;
    }
    return nullptr;
}

// Four decimal numbers 0 to 255 without leading zeros ("0" itself is one), dotted.
bool is_ipv4(const char *p, size_t n) {
    size_t i = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (i >= n || p[i] != '.') return false;
            i++;
        }
        size_t start = i;
        int value = 0;
        while (i < n && digit(p[i]) && i - start < 3)
            value = value * 10 + (p[i++] - '0');
        size_t len = i - start;
        if (len == 0 || value > 255 || (len > 1 && p[start] == '0')) return false;
    }
    return i == n;
}

// The inside of the brackets: eight groups of 1 to 4 hex digits, one "::" standing
// for one or more zero groups, the last two groups optionally an IPv4 address.
bool is_ipv6(const char *p, size_t n) {
    int groups = 0;
    bool gap = false;
    size_t i = 0;
    if (n >= 2 && p[0] == ':' && p[1] == ':') {
        gap = true;
        i = 2;
    } else if (n > 0 && p[0] == ':') {
        return false;
    }
    while (i < n) {
        size_t start = i;
        while (i < n && hex_digit(p[i]) && i - start < 5)
            i++;
        if (i < n && p[i] == '.') { // an IPv4 address ends it
            if (!is_ipv4(p + start, n - start)) return false;
            groups += 2;
            i = n;
            break;
        }
        if (i == start || i - start > 4) return false;
        groups++;
        if (i == n) break;
        if (p[i] != ':') return false;
        i++;
        if (i < n && p[i] == ':') {
            if (gap) return false;
            gap = true;
            i++;
        } else if (i == n) {
            return false; // a single ':' at the end
        }
    }
    return gap ? groups <= 7 : groups == 8;
}

// Labels of 1 to 63 letters, digits and hyphens, not starting or ending with a
// hyphen, one dot between them; the last not all digits (that would be an address).
bool is_host_name(const char *p, size_t n) {
    if (n == 0 || n > HOST_NAME_MAX_CHARS) return false;
    size_t start = 0;
    bool all_digits = true;
    for (size_t i = 0; i <= n; i++) {
        if (i < n && p[i] != '.') {
            char c = lower(p[i]);
            if (!((c >= 'a' && c <= 'z') || digit(c) || c == '-')) return false;
            if (!digit(c)) all_digits = false;
            continue;
        }
        size_t len = i - start;
        if (len == 0 || len > LABEL_MAX_CHARS || p[start] == '-' || p[i - 1] == '-') return false;
        if (i < n) all_digits = true;
        start = i + 1;
    }
    return !all_digits;
}

// "localhost" or a name ending in ".localhost", any case.
bool is_localhost(const char *p, size_t n) {
    static const char word[] = "localhost";
    const size_t w = sizeof word - 1;
    if (n < w || (n > w && p[n - w - 1] != '.')) return false;
    for (size_t i = 0; i < w; i++)
        if (lower(p[n - w + i]) != word[i]) return false;
    return true;
}

} // namespace

int host_header_read(const char *request, size_t n, host_authority *out) {
    out->form = HOST_ABSENT;
    out->len = 0;
    out->port = 0;
    out->text[0] = 0;
    size_t len;
    const char *v = host_value(request, n, &len);
    if (!v) return HOST_ABSENT;
    out->form = HOST_BAD;
    if (len == 0 || len >= sizeof out->text) return HOST_BAD;

    // The host ends at the closing bracket of an IPv6 literal, else at the first ':'.
    size_t host_len;
    int form;
    if (v[0] == '[') {
        const char *close = static_cast<const char *>(memchr(v, ']', len));
        if (!close) return HOST_BAD;
        host_len = size_t(close - v) + 1;
        if (!is_ipv6(v + 1, host_len - 2)) return HOST_BAD;
        form = HOST_IPV6;
    } else {
        const char *colon = static_cast<const char *>(memchr(v, ':', len));
        host_len = colon ? size_t(colon - v) : len;
        if (is_ipv4(v, host_len))
            form = HOST_IPV4;
        else if (is_host_name(v, host_len))
            form = is_localhost(v, host_len) ? HOST_LOCALHOST : HOST_NAME;
        else
            return HOST_BAD;
    }
    if (host_len < len) { // ":port": 1 to 65535, decimal, no leading zero
        const char *port = v + host_len + 1;
        size_t port_len = len - host_len - 1;
        if (v[host_len] != ':' || port_len == 0 || port_len > 5 || port[0] == '0') return HOST_BAD;
        int32_t value = 0;
        for (size_t k = 0; k < port_len; k++) {
            if (!digit(port[k])) return HOST_BAD;
            value = value * 10 + (port[k] - '0');
        }
        if (value > 65535) return HOST_BAD;
        out->port = value;
    }
    memcpy(out->text, v, len);
    out->text[len] = 0;
    out->len = len;
    out->form = form;
    return form;
}

size_t host_header_authority(const char *request, size_t n, char *out, size_t cap) {
    host_authority a;
    if (host_header_read(request, n, &a) <= HOST_BAD || a.len + 1 > cap) return 0;
    memcpy(out, a.text, a.len + 1);
    return a.len;
}

bool status_host_allowed(const char *request, size_t n, int32_t listen_port) {
    host_authority a;
    switch (host_header_read(request, n, &a)) {
    case HOST_ABSENT:
        return true; // every browser sends one: a request without it is no web page's
    case HOST_LOCALHOST:
    case HOST_IPV4:
    case HOST_IPV6:
        return a.port == 0 || a.port == listen_port;
    default:
        return false;
    }
}
