// Background services started and stopped by name ("VarnexService"), and the side
// of the program that hosts one. Windows: the service control manager. Here: the
// systemd user manager when a unit "<name>.service" is installed for this user and
// that manager runs; otherwise directly: the host program is started detached and
// found again through "$VARNEX_RUNTIME_DIR/service/<name>.pid", which the running
// host holds locked, so a stale file never names a live process.
#pragma once

// The step of a start or stop that failed, for the caller's log line: opening the
// manager, opening the service there, or the start or stop control itself (the only
// step where no manager is asked).
enum service_step { SERVICE_STEP_MANAGER = 0, SERVICE_STEP_SERVICE = 1, SERVICE_STEP_CONTROL = 2 };

// Starts the service. host_program is the program that hosts it when no service
// manager knows the name (ignored on Windows). Fails with OS_E_EXISTS when it runs.
bool service_start(const char *name, const char *host_program, service_step *failed = nullptr);
// Asks the running service to stop and returns without waiting for it.
// Fails with OS_E_NOT_FOUND when it does not run.
bool service_stop(const char *name, service_step *failed = nullptr);
// True while a host of the service runs.
bool service_running(const char *name);

// Windows: records the service with the manager, started with the system, run as
// command_line (the quoted host program and its options); fails with OS_E_EXISTS
// when the name is taken. Uninstall asks a running service to stop and removes it.
// Linux: the systemd user unit comes with the install target; both fail with ENOTSUP.
bool service_install(const char *name, const char *command_line);
bool service_uninstall(const char *name);

// Host side: marks this process as the running host of name, for the life of the
// process. Fails with OS_E_EXISTS when another host runs. by_manager (Windows): the
// service control manager started this process, which then reports to it; otherwise
// the host runs in a console and stops on Ctrl+C. Linux ignores it.
bool service_host_register(const char *name, bool by_manager);
// True once a stop request has reached this host (SIGTERM here; the manager's stop
// control or Ctrl+C on Windows).
bool service_host_stop_requested();
