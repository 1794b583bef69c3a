// The tray pipe: the listener thread only waits for a client and posts; the window
// thread reads the one message, disconnects and shows it as a balloon.
#include <cstring>

#include "panel/panel.h"
#include "utils/log.h"

void pipe_listener() {
    panel_state &g = g_panel;
    if (!msgpipe_create(PANEL_TRAY_PIPE, &g.tray_pipe)) {
        char path[OS_PATH_MAX];
        msgpipe_path(PANEL_TRAY_PIPE, path, sizeof path);
        log_printf(UTILS_TAG, SEV_F, "Named pipe '%.*s' creation failed : %d", int(strlen(path)),
                   path, os_error());
        return;
    }
    uint32_t connected_at = 0;
    bool waiting_for_text = false;
    for (;;) {
        // A client stays connected until the window thread has read it; waiting again
        // before that would post the same message twice and race its disconnect.
        if (!g.pipe_data_posted.load() && msgpipe_wait_client(&g.tray_pipe, -1)) {
            if (!waiting_for_text) connected_at = os_tick_ms();
            waiting_for_text = true;
            long waiting = msgpipe_peek(&g.tray_pipe);
            if (waiting > 0) {
                waiting_for_text = false;
                g.pipe_data_posted = true;
                if (g.face && g.face->post_pipe_data) g.face->post_pipe_data();
            } else if (waiting < 0 || os_tick_ms() - connected_at >= PIPE_SILENT_CLIENT_MS) {
                // The client left without a text, or keeps the one instance without
                // writing: drop it, or every later client would be told busy.
                waiting_for_text = false;
                msgpipe_disconnect(&g.tray_pipe);
            }
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
    if (n > 0) balloon_text_of(data, size_t(n), g.icon.balloon_text);
    show_balloon(g.icon.balloon_text);
}
