// The service KVT-Keeper ("VarnexService") as the tray sees it: the probe through its
// instance mutex, start, stop, the restart with its fixed pause, and the trace switch.
#include "panel/panel.h"
#include "panel/seams.h"
#include "platform/service.h"
#include "utils/log.h"

uint32_t g_panel_restart_pause_ms = 3000;

bool service_is_running() {
    named_object probe;
    named_result r = named_mutex_create(PANEL_SERVICE_MUTEX, &probe);
    bool running =
        r == NAMED_EXISTS || (r == NAMED_FAILED && os_error_kind_of(os_error()) == OS_E_ACCESS);
    named_object_close(&probe);
    return running;
}

// The line of a failed start or stop names the step that failed: the manager, the
// service there (both lines read "OpenSCManager"), or the control itself.
static void log_failure(service_step step, const char *control_line) {
    int err = os_error();
    if (step == SERVICE_STEP_MANAGER)
        log_printf(UTILS_TAG, SEV_F, "OpenSCManager() -> %d", err);
    else if (step == SERVICE_STEP_SERVICE)
        log_printf(UTILS_TAG, SEV_F, "OpenSCManager(%s) -> %d", PANEL_SERVICE_NAME, err);
    else
        log_printf(UTILS_TAG, SEV_F, control_line, PANEL_SERVICE_NAME, err);
}

static void start_only() {
    service_step step = SERVICE_STEP_CONTROL;
    if (!service_start(PANEL_SERVICE_NAME, g_panel.keeper_program_path, &step))
        log_failure(step, "StartService(%s, 0, 0) -> %d");
}

static void stop_only() {
    service_step step = SERVICE_STEP_CONTROL;
    if (!service_stop(PANEL_SERVICE_NAME, &step))
        log_failure(step, "ControlService(SERVICE_CONTROL_STOP, %s) -> %d");
}

void start_service() {
    start_only();
}

void stop_service() {
    stop_only();
}

void restart_service() {
    stop_only();
    os_sleep_ms(g_panel_restart_pause_ms);
    start_only();
}

void trace_on() {
    panel_state &g = g_panel;
    named_result r = named_mutex_create(PANEL_TRACE_MUTEX, &g.trace_mutex);
    if (r == NAMED_FAILED) {
        g.trace_on = false;
        show_balloon("Error Trace On");
        return;
    }
    g.trace_on = true; // also when another process holds it already
    restart_service();
    show_balloon("Tracing has been switched on");
}

void trace_off() {
    panel_state &g = g_panel;
    named_object_close(&g.trace_mutex);
    g.trace_on = false;
    restart_service();
    show_balloon("Tracing has been switched off");
}
