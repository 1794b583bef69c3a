// Trace log: the three line forms every program writes to standard output.
// A line is built in a 1024-byte buffer on the caller's stack and written with one
// fwrite, so lines of concurrent threads never mix.
#pragma once

#include <cstdarg>
#include <cstdint>

enum severity : int32_t { SEV_W = 0, SEV_S = 1, SEV_E = 2, SEV_I = 3, SEV_F = 4 };

enum { LOG_LINE_MAX = 1024 };

// Process-wide trace switch, set by the option "trace" before any thread starts.
extern int32_t g_trace;

// Style of the prefix: the movie streamer writes no process identifier and level
// names without a trailing blank.
enum log_style { LOG_STYLE_DEFAULT = 0, LOG_STYLE_CINEMA = 1 };
void log_set_style(log_style style);

// Wall-clock reading used for the time stamp; tests replace it to know the stamp.
struct log_clock_reading {
    unsigned day, month, year, hour, minute, second, millisecond;
};
using log_clock_fn = void (*)(log_clock_reading *out);
void log_set_clock(log_clock_fn fn); // nullptr restores the system clock

// Severity line "%<tag>-X: message"; returns the severity unchanged.
int32_t log_printf(const char *tag, int32_t sev, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Trace line "[prog\op\line] message"; prog may be nullptr.
void trace_printf(const char *fmt, const char *prog, const char *op, unsigned line, ...)
    __attribute__((format(printf, 1, 5)));

// Combined line "[prog\op\line] %<tag>-X: message"; returns the severity unchanged.
int32_t log_trace_printf(const char *tag, int32_t sev, const char *fmt, const char *prog,
                         const char *op, unsigned line, ...) __attribute__((format(printf, 3, 7)));

int32_t log_vprintf(const char *tag, int32_t sev, const char *fmt, va_list ap);
