// Pipe notifications: one zero-terminated text per tray-pipe connection, and the
// 640-octet messages written to the fetcher's dwnldr-pipe.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "marshal.h"
#include "platform/os.h"

int32_t tray_notify(const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) n = 0;
    if (n > 1023) n = 1023;
    text[n] = 0;

    char name[OS_PATH_MAX];
    msgpipe_path("tray-pipe", name, sizeof name);
    msg_pipe p;
    if (!msgpipe_open("tray-pipe", &p))
        return log_printf(MRSHL, SEV_F, "Open  '%s' : %d", name, os_error());
    int32_t status = SEV_S;
    if (msgpipe_write(&p, text, size_t(n) + 1) != long(n) + 1)
        status = log_printf(MRSHL, SEV_F, "Write to  #%d/'%.*s' : %d", int(p.conn),
                            int(strlen(name)), name, os_error());
    msgpipe_close(&p);
    return status;
}

long fetcher_pipe_write(const child_record *rec, net_sock pass_sock) {
    long w = msgpipe_write(&g_marshal.fetcher_pipe, rec, sizeof *rec, pass_sock);
    return w < 0 ? 0 : w;
}
