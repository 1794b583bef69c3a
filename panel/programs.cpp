// run_program and the two commands that use it or the Version value: About and
// Check for Updates.
#include <cstdio>
#include <cstring>

#include "companions/update/update_deadline.h"
#include "panel/panel.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "utils/log.h"

bool run_program(const char *path, const char *command_line, bool wait, int *exit_code,
                 const char *shown) {
    if (!command_line) command_line = "";
    if (!shown) shown = command_line;
    os_process p;
    if (!proc_start(path, command_line, -1, &p)) {
        log_printf(UTILS_TAG, SEV_F, "CreateProcess('%s', '%s') : %d", path, shown, os_error());
        return false;
    }
    log_printf(UTILS_TAG, SEV_F, "CreateProcess('%s', '%s') : %d", path, shown, os_error());
    if (wait) {
        // The program ends itself at its deadline; one that outlasts it by the margin
        // is ended here and counts as failed, so the tray never freezes for longer.
        if (!proc_wait(&p, UPDATE_DEADLINE_MS + UPDATE_WAIT_MARGIN_MS)) {
            log_printf(UTILS_TAG, SEV_E, "'%s' did not end within %d s: ended it", path,
                       (UPDATE_DEADLINE_MS + UPDATE_WAIT_MARGIN_MS) / 1000);
            proc_terminate(&p, 1);
            proc_wait(&p, UPDATE_WAIT_MARGIN_MS);
            proc_close(&p);
            return false;
        }
        int code = 0;
        proc_exit_code(&p, &code);
        if (exit_code) *exit_code = code;
    }
    proc_close(&p);
    return true;
}

void about() {
    char version[32] = "";
    uint32_t size = 0;
    reg_key key;
    if (reg_open(PANEL_SETTINGS_KEY, false, &key)) {
        reg_type type = REG_T_NONE;
        size = sizeof version;
        if (!reg_query(&key, "Version", &type, version, &size) || type != REG_T_SZ) {
            log_printf(UTILS_TAG, SEV_E,
                       "Error querying registry key of type REG_SZ: HKLM\\SOFTWARE\\Varnex\\%s, "
                       "errno = %d",
                       "Version", os_error());
            size = 0;
        }
        reg_close(&key);
    } else {
        log_printf(
            UTILS_TAG, SEV_E,
            "Error querying registry key of type REG_SZ: HKLM\\SOFTWARE\\Varnex\\%s, errno = %d",
            "Version", os_error());
    }
    // The query's count includes the terminating zero; the text shows without it.
    int shown = int(strnlen(version, size > sizeof version ? sizeof version : size));
    char text[BALLOON_TEXT_SIZE];
    snprintf(text, sizeof text, "Varnex Swarm Node, Version: %.*s", shown, version);
    show_balloon(text);
}

void check_for_updates() {
    int code = -1;
    if (run_program(g_panel.update_program_path, nullptr, true, &code) && code == 0)
        show_balloon("You already have the latest version of Varnex");
}
