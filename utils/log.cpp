// Trace log writers: prefix, message and newline built in one 1024-byte buffer and
// handed to standard output with a single write.
#include "utils/log.h"

#include <cstdio>

#include "platform/os.h"

int32_t g_trace = 0;

namespace {

// Six fixed 16-byte slots indexed by severity; anything outside 0..4 takes the last.
const char level_names[2][6][16] = {
    {"-W: ", "-S: ", "-E: ", "-I: ", "-F: ", "-?: "},
    {"-W:", "-S:", "-E:", "-I:", "-F:", "-?:"},
};

log_style g_style = LOG_STYLE_DEFAULT;
log_clock_fn g_clock = nullptr;

const char *level_name(int32_t sev) {
    int slot = (sev >= 0 && sev <= 4) ? sev : 5;
    return level_names[g_style][slot];
}

void read_clock(log_clock_reading *t) {
    if (g_clock) {
        g_clock(t);
        return;
    }
    os_local_time lt;
    os_local_time_now(&lt);
    *t = {lt.day, lt.month, lt.year, lt.hour, lt.minute, lt.second, lt.millisecond};
}

// Time stamp and, outside the movie streamer, the process identifier.
int put_stamp(char *buf) {
    log_clock_reading t;
    read_clock(&t);
    if (g_style == LOG_STYLE_CINEMA)
        return snprintf(buf, LOG_LINE_MAX, "%02u-%02u-%04u %02u:%02u:%02u.%03u ", t.day, t.month,
                        t.year, t.hour, t.minute, t.second, t.millisecond);
    return snprintf(buf, LOG_LINE_MAX, "%02u-%02u-%04u %02u:%02u:%02u.%03u %6d ", t.day, t.month,
                    t.year, t.hour, t.minute, t.second, t.millisecond, os_process_id());
}

// Appends the message after a prefix of n octets, ends the line and writes it.
// The message is cut where it would not leave room for the newline.
void finish_line(char *buf, int n, bool flush, const char *fmt, va_list ap) {
    if (n < 0) n = 0;
    if (n > LOG_LINE_MAX - 1) n = LOG_LINE_MAX - 1;
    int m = vsnprintf(buf + n, LOG_LINE_MAX - n, fmt, ap);
    if (m < 0) m = 0;
    if (m > LOG_LINE_MAX - 1 - n) m = LOG_LINE_MAX - 1 - n;
    buf[n + m] = '\n';
    fwrite(buf, 1, n + m + 1, stdout);
    if (flush) fflush(stdout);
}

} // namespace

void log_set_style(log_style style) {
    g_style = style;
}
void log_set_clock(log_clock_fn fn) {
    g_clock = fn;
}

int32_t log_vprintf(const char *tag, int32_t sev, const char *fmt, va_list ap) {
    char buf[LOG_LINE_MAX];
    int n = put_stamp(buf);
    n += snprintf(buf + n, LOG_LINE_MAX - n, "%%%s%3s", tag, level_name(sev));
    finish_line(buf, n, sev != SEV_S, fmt, ap);
    return sev;
}

int32_t log_printf(const char *tag, int32_t sev, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vprintf(tag, sev, fmt, ap);
    va_end(ap);
    return sev;
}

void trace_printf(const char *fmt, const char *prog, const char *op, unsigned line, ...) {
    char buf[LOG_LINE_MAX];
    int n = put_stamp(buf);
    if (prog)
        n += snprintf(buf + n, LOG_LINE_MAX - n, "[%s\\%s\\%u] ", prog, op, line);
    else
        n += snprintf(buf + n, LOG_LINE_MAX - n, "[%s\\%u] ", op, line);
    va_list ap;
    va_start(ap, line);
    finish_line(buf, n, true, fmt, ap);
    va_end(ap);
}

int32_t log_trace_printf(const char *tag, int32_t sev, const char *fmt, const char *prog,
                         const char *op, unsigned line, ...) {
    char buf[LOG_LINE_MAX];
    int n = put_stamp(buf);
    if (prog)
        n += snprintf(buf + n, LOG_LINE_MAX - n, "[%s\\%s\\%u] %%%s%3s", prog, op, line, tag,
                      level_name(sev));
    else
        n +=
            snprintf(buf + n, LOG_LINE_MAX - n, "[%s\\%u] %%%s%3s", op, line, tag, level_name(sev));
    va_list ap;
    va_start(ap, line);
    finish_line(buf, n, sev != SEV_S, fmt, ap);
    va_end(ap);
    return sev;
}
