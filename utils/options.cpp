// Option parsing: the command line, options files, the listing, and the movie
// streamer's reduced parser. All messages are severity lines with the tag UTILS.
#include "utils/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "utils/log.h"

#define UTILS "UTILS"

namespace {

enum { VALUE_MAX = 1024 };

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool same_ignoring_case(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// Command line: the name must have the entry's exact length.
option_entry *find_exact(option_entry *table, const char *name, size_t len) {
    for (option_entry *e = table; e->name_len; e++)
        if (e->name_len == len && same_ignoring_case(e->name, name, len)) return e;
    return nullptr;
}

// Options files and the reduced parser: agreement over the shorter of the two names,
// so an abbreviation selects the first entry it begins. An empty name selects nothing.
option_entry *find_prefix(option_entry *table, const char *name, size_t len) {
    if (len == 0) return nullptr;
    for (option_entry *e = table; e->name_len; e++) {
        size_t n = len < e->name_len ? len : e->name_len;
        if (same_ignoring_case(e->name, name, n)) return e;
    }
    return nullptr;
}

// Splits "name=value" (the text after the dash) into the name's length and the value.
const char *split_value(const char *text, size_t *name_len) {
    const char *eq = strchr(text, '=');
    *name_len = eq ? size_t(eq - text) : strlen(text);
    return eq ? eq + 1 : nullptr;
}

int32_t to_int(const char *value) {
    return int32_t(strtol(value, nullptr, 10));
}

void store_text(void *target, const char *value) {
    option_text *t = static_cast<option_text *>(target);
    size_t n = strlen(value);
    if (n > 255) n = 255;
    memcpy(t->text, value, n);
    t->text[n] = '\0';
    t->len = uint8_t(n);
}

// Stores a value of the types every parser shares (0 to 4 and 6). Returns false for
// a type it does not store; *bad_ip is set when an address converted to 0.
bool store_basic(option_entry *e, const char *value, bool *bad_ip) {
    *bad_ip = false;
    if (e->type == OPT_FLAG) {
        if (e->target) *static_cast<int32_t *>(e->target) = 1;
        return true;
    }
    if (!value || !e->target) // a value type given without a value stores nothing
        return e->type >= OPT_INT && e->type <= OPT_INT64 && e->type != OPT_FILE;
    switch (e->type) {
    case OPT_INT:
        *static_cast<int32_t *>(e->target) = to_int(value);
        return true;
    case OPT_TEXT:
    case OPT_SECRET:
        store_text(e->target, value);
        return true;
    case OPT_SHORT:
        *static_cast<uint16_t *>(e->target) = uint16_t(to_int(value));
        return true;
    case OPT_INT64:
        *static_cast<int64_t *>(e->target) = int64_t(strtoll(value, nullptr, 10));
        return true;
    case OPT_IPV4: {
        uint32_t addr = net_parse_ipv4(value);
        *static_cast<uint32_t *>(e->target) = addr;
        *bad_ip = addr == 0;
        return true;
    }
    default:
        return false;
    }
}

// Copies a value into a writable buffer and trims it when not empty.
const char *trimmed(const char *value, char *buf) {
    if (!value) return nullptr;
    size_t n = strlen(value);
    if (n >= VALUE_MAX) n = VALUE_MAX - 1;
    memcpy(buf, value, n);
    buf[n] = '\0';
    if (n) trim_text(buf, unsigned(n));
    return buf;
}

void list_entry(const option_entry *e, bool lower_hex) {
    const int n = e->name_len;
    const char *name = e->name;
    if (!e->target) return;
    switch (e->type) {
    case OPT_INT: {
        int32_t v = *static_cast<const int32_t *>(e->target);
        log_printf(UTILS, SEV_I, lower_hex ? "%.*s = %d (0x%x)" : "%.*s = %d (0x%X)", n, name, v,
                   unsigned(v));
        break;
    }
    case OPT_TEXT: {
        const option_text *t = static_cast<const option_text *>(e->target);
        log_printf(UTILS, SEV_I, "%.*s[0:%u] ='%.*s'", n, name, unsigned(t->len), int(t->len),
                   t->text);
        break;
    }
    case OPT_FLAG:
        log_printf(UTILS, SEV_I, "%.*s = %s", n, name,
                   *static_cast<const int32_t *>(e->target) ? "ON" : "OFF");
        break;
    case OPT_SHORT: {
        unsigned v = *static_cast<const uint16_t *>(e->target);
        log_printf(UTILS, SEV_I, "%.*s = %d (0x%.4x)", n, name, int(v), v); // same text as %04.4x
        break;
    }
    case OPT_IPV4: {
        char dotted[16];
        net_format_ipv4(*static_cast<const uint32_t *>(e->target), dotted);
        log_printf(UTILS, SEV_I, "%.*s = %s", n, name, dotted);
        break;
    }
    case OPT_INT64: {
        long long v = *static_cast<const int64_t *>(e->target);
        log_printf(UTILS, SEV_I, lower_hex ? "%.*s = %lld (0x%llx)" : "%.*s = %lld (0x%llX)", n,
                   name, v, (unsigned long long)v);
        break;
    }
    case OPT_SECRET:
        log_printf(UTILS, SEV_I, "%.*s[0:%u] ='<password>'", n, name,
                   unsigned(static_cast<const option_text *>(e->target)->len));
        break;
    default:
        break;
    }
}

} // namespace

unsigned trim_text(char *text, unsigned len) {
    if (!text) return 0;
    unsigned start = 0;
    while (start < len && is_blank(text[start]))
        start++;
    unsigned end = len;
    while (end > start && is_blank(text[end - 1]))
        end--;
    unsigned n = end - start;
    if (start) memmove(text, text + start, n);
    text[n] = '\0';
    return n;
}

int32_t parse_command_line(int argc, char **argv, option_entry *table) {
    char value_buf[VALUE_MAX];
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!arg || !arg[0]) continue;
        if (arg[0] != '-' && arg[0] != '/') {
            log_printf(UTILS, SEV_E, "%d: Option must be started with a '-', skip : '%s'", i, arg);
            continue;
        }
        size_t name_len;
        const char *value = split_value(arg + 1, &name_len);
        option_entry *e = find_exact(table, arg + 1, name_len);
        if (!e) {
            log_printf(UTILS, SEV_E, "%d : Skip unrecognized option: '%s'", i, arg + 1);
            continue;
        }
        value = trimmed(value, value_buf);
        if (e->type == OPT_FILE) {
            if (!value) continue;
            if (e->target) store_text(e->target, value);
            read_options_file(value, table);
            continue;
        }
        bool bad_ip;
        if (!store_basic(e, value, &bad_ip))
            log_printf(UTILS, SEV_E, "%d : Unrecognized option's '%.*s' internal type : 0x%X", i,
                       int(e->name_len), e->name, unsigned(e->type));
        else if (bad_ip)
            log_printf(UTILS, SEV_E, "%d : Error conversion '%s' to IP4 address", i, value);
    }
    return SEV_S;
}

int32_t read_options_file(const char *file_name, option_entry *table) {
    const bool use_stdin = !file_name || !file_name[0];
    const char *shown = use_stdin ? "<stdin>" : file_name;
    FILE *f = use_stdin ? stdin : fopen(file_name, "r");
    if (!f) {
        log_printf(UTILS, SEV_F, "Error open file '%s', errno = %d", shown, errno);
        return SEV_S;
    }
    char line[256];
    for (int line_no = 1; fgets(line, sizeof line, f); line_no++) {
        char *bang = strchr(line, '!');
        if (bang) *bang = '\0';
        unsigned len = trim_text(line, unsigned(strlen(line)));
        if (!len) continue;
        if (line[0] != '-' && line[0] != '/') {
            log_printf(UTILS, SEV_E, "%s : %d : Option must be started with a '-', skip : '%s'",
                       shown, line_no, line);
            continue;
        }
        size_t name_len;
        char *value = const_cast<char *>(split_value(line + 1, &name_len));
        option_entry *e = find_prefix(table, line + 1, name_len);
        if (!e) {
            log_printf(UTILS, SEV_W, "%s : %d : Skip unrecognized or unused option", shown,
                       line_no);
            continue;
        }
        if (value && value[0]) trim_text(value, unsigned(strlen(value)));
        bool bad_ip;
        if (e->type == OPT_FILE || !store_basic(e, value, &bad_ip))
            log_printf(UTILS, SEV_E, "%s : %d : Unrecognized option's '%.*s' internal type : 0x%X",
                       shown, line_no, int(e->name_len), e->name, unsigned(e->type));
        else if (bad_ip)
            log_printf(UTILS, SEV_E, "%s : %d : Error conversion '%s' to IP4 address", shown,
                       line_no, value);
    }
    if (!use_stdin) fclose(f);
    return SEV_S;
}

int32_t list_options(const option_entry *table) {
    for (const option_entry *e = table; e->name_len; e++)
        list_entry(e, false);
    return SEV_S;
}

int32_t parse_and_list_options(int argc, char **argv, option_entry *table) {
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i] ? argv[i] : "";
        if (arg[0] != '-' && arg[0] != '/') {
            log_printf(UTILS, SEV_E, "Option must be started with a '-', skip : '%s'", arg);
            continue;
        }
        size_t name_len;
        const char *value = split_value(arg + 1, &name_len);
        option_entry *e = find_prefix(table, arg + 1, name_len);
        if (!e) {
            log_printf(UTILS, SEV_E, "Skip unrecognized option: '%s'", arg);
            continue;
        }
        bool bad_ip;
        bool reduced_type = e->type <= OPT_IPV4 || e->type == OPT_INT64;
        if (!reduced_type || !store_basic(e, value, &bad_ip))
            log_printf(UTILS, SEV_E, "Unrecognized option's '%.*s' internal type : %x",
                       int(e->name_len), e->name, unsigned(e->type));
        else if (bad_ip)
            log_printf(UTILS, SEV_E, "Error conversion '%s' to IP4 address", value);
    }
    for (const option_entry *e = table; e->name_len; e++)
        if ((e->type >= OPT_INT && e->type <= OPT_IPV4) || e->type == OPT_INT64)
            list_entry(e, true);
    return SEV_S;
}

int32_t check_port_option(const char *tag, const char *name, int32_t value) {
    if (value >= 1 && value <= 65535) return SEV_S;
    return log_printf(tag, SEV_F, "Illegal port %d in option -%s, allowed 1 to 65535", int(value),
                      name);
}
