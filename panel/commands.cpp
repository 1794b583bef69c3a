// The popup menu, built anew at each right click from the probed service state and
// the trace switch, and the command table that runs the chosen item.
#include "panel/panel.h"
#include "utils/log.h"

int panel_build_menu(bool service_running, bool trace_on, panel_menu_item out[MENU_ITEMS_MAX]) {
    int n = 0;
    auto item = [&](uint32_t id, const char *text) { out[n++] = {id, text, false}; };
    auto separator = [&]() { out[n++] = {CMD_SEPARATOR, "SEP", true}; };
    item(CMD_ABOUT, "About");
    separator();
    if (service_running)
        item(CMD_STOP, "Stop");
    else
        item(CMD_START, "Start");
    item(CMD_CHECK_UPDATES, "Check for Updates");
    item(CMD_SET_ACCOUNT, "Set UID, Password");
    separator();
    item(CMD_CLEAR_CACHE, "Clear Cache");
    if (trace_on)
        item(CMD_TRACE_OFF, "Trace Off");
    else
        item(CMD_TRACE_ON, "Trace On");
    separator();
    item(CMD_SET_LIMITS, "Set Limits");
    separator();
    item(CMD_EXIT, "Exit");
    return n;
}

// Runs a dialog; after OK with settings_changed set, the service restarts.
static void run_dialog(int (*dialog)()) {
    panel_state &g = g_panel;
    g.settings_changed = false;
    int result = dialog ? dialog() : DIALOG_CANCEL;
    if (result == DIALOG_OK && g.settings_changed) restart_service();
    g.settings_changed = false;
}

bool panel_command(uint32_t id) {
    panel_state &g = g_panel;
    switch (id) {
    case CMD_ABOUT:
        about();
        return true;
    case CMD_START:
        start_service();
        show_balloon("Starting Varnex Swarm Node ...");
        return true;
    case CMD_STOP:
        stop_service();
        show_balloon("Stoping Varnex Swarm Node ...");
        return true;
    case CMD_CHECK_UPDATES:
        check_for_updates();
        return true;
    case CMD_SET_ACCOUNT:
        run_dialog(g.face ? g.face->account_dialog : nullptr);
        return true;
    case CMD_CLEAR_CACHE:
        clear_cache();
        return true;
    case CMD_TRACE_ON:
        trace_on();
        return true;
    case CMD_TRACE_OFF:
        trace_off();
        return true;
    case CMD_SET_LIMITS:
        run_dialog(g.face ? g.face->limits_dialog : nullptr);
        return true;
    case CMD_EXIT:
        if (g.face && g.face->quit) g.face->quit();
        return true;
    default:
        return false;
    }
}
