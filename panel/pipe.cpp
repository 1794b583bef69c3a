// The tray pipe: the listener thread only waits for a client and posts; the window
// thread reads the one message, disconnects and shows it as a balloon.
#include <cstring>

#include "panel/panel.h"
#include "utils/log.h"

void pipe_message_to_balloon(const char *data, long len, char out[BALLOON_TEXT_SIZE]) {
    long n = 0;
    while (n < len && n < BALLOON_TEXT_SIZE - 1 && data[n] != 0) {
        out[n] = data[n];
        n++;
    }
    out[n] = 0;
}

void pipe_listener() {
    panel_state &g = g_panel;
    if (!msgpipe_create(PANEL_TRAY_PIPE, &g.tray_pipe)) {
        char path[OS_PATH_MAX];
        msgpipe_path(PANEL_TRAY_PIPE, path, sizeof path);
        log_printf(UTILS_TAG, SEV_F, "Named pipe '%.*s' creation failed : %d", int(strlen(path)),
                   path, os_error());
        return;
    }
    for (;;) {
        // A client stays connected until the window thread has read it; waiting again
        // before that would post the same message twice and race its disconnect.
        if (!g.pipe_data_posted.load() && msgpipe_wait_client(&g.tray_pipe, -1) &&
            msgpipe_peek(&g.tray_pipe) > 0) {
            g.pipe_data_posted = true;
            if (g.face && g.face->post_pipe_data) g.face->post_pipe_data();
        }
        os_sleep_ms(PIPE_LISTENER_PAUSE_MS);
    }
}

void panel_on_pipe_data() {
    panel_state &g = g_panel;
    static char data[PIPE_MESSAGE_MAX];
    long n = msgpipe_read(&g.tray_pipe, data, sizeof data, nullptr, 0);
    if (n <= 0)
        log_printf(UTILS_TAG, SEV_F, "Reading from Named Pipe failure, errno = %d", os_error());
    msgpipe_disconnect(&g.tray_pipe);
    g.pipe_data_posted = false;
    if (n > 0) pipe_message_to_balloon(data, n, g.icon.balloon_text);
    show_balloon(g.icon.balloon_text);
}
