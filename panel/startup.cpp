// Start-up of the tray program: the one-instance guard, the program paths, the icon
// record and the pipe listener thread.
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "panel/panel.h"
#include "utils/log.h"

panel_state g_panel;

void panel_program_dir_of(const char *module_path, char *dir, unsigned cap) {
    const char *cut = std::strrchr(module_path, OS_PATH_SEP[0]);
    size_t n = cut ? size_t(cut - module_path) : 0;
    if (n >= cap) n = cap - 1;
    std::memcpy(dir, module_path, n);
    dir[n] = 0;
}

int panel_startup(const panel_face *face) {
    panel_state &g = g_panel;
    g.face = face;
    g.trace_mutex.handle = -1;
    g.instance.handle = -1;
    g.tray_pipe.conn = g.tray_pipe.listen = g.tray_pipe.owner = -1;
    g.pipe_data_posted = false;

    named_result r = named_mutex_create(PANEL_INSTANCE_MUTEX, &g.instance);
    if (r == NAMED_FAILED)
        log_printf(UTILS_TAG, SEV_F, "CreateMutex (%s) -> %d", PANEL_INSTANCE_MUTEX, os_error());
    if (r == NAMED_EXISTS) {
        log_printf(UTILS_TAG, SEV_I, "CreateMutex (%s) -> %d", PANEL_INSTANCE_MUTEX, os_error());
        return SEV_I;
    }

    char module[OS_PATH_MAX] = "";
    os_module_path(module, sizeof module);
    panel_program_dir_of(module, g.program_dir, sizeof g.program_dir);
    snprintf(g.update_program_path, sizeof g.update_program_path, "%.259s" OS_PATH_SEP "%s",
             g.program_dir, "varnex-update" OS_EXE_SUFFIX);
    snprintf(g.keeper_program_path, sizeof g.keeper_program_path, "%.259s" OS_PATH_SEP "%s",
             g.program_dir, "KVT-Keeper" OS_EXE_SUFFIX);
    return -1;
}

void panel_fill_icon() {
    panel_icon_record &icon = g_panel.icon;
    std::memset(&icon, 0, sizeof icon);
    icon.id = 107;
    icon.flags = PANEL_NIF_MESSAGE | PANEL_NIF_ICON | PANEL_NIF_TIP;
    snprintf(icon.tip, sizeof icon.tip, "%s", PANEL_TIP_TEXT);
}

int panel_start_listener() {
    try {
        std::thread(pipe_listener).detach();
    } catch (const std::system_error &e) {
        log_printf(UTILS_TAG, SEV_F, "Starting process monitor failure : %d", e.code().value());
        return SEV_F;
    }
    return -1;
}
