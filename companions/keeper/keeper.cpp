// The keeper's start-up, its supervision loop and its stop.
#include "companions/keeper/keeper.h"

#include <cstdio>
#include <cstring>

#include "platform/named_object.h"
#include "platform/os.h"
#include "platform/process.h"
#include "platform/service.h"
#include "utils/log.h"

keeper_state g_keeper;

enum { STOP_POLL_MS = 100, MARSHAL_END_WAIT_MS = 5000, UNDO_TRIES = 10, UNDO_RETRY_MS = 300 };

static const char usage_text[] =
    "KVT-Keeper: the service host of VarnexService. It runs KVT-Marshal from its own\n"
    "folder, restarts it when it ends on its own and stops it on SIGTERM (systemctl --user\n"
    "stop VarnexService, or the tray's Stop). Options are read from KVT-Keeper.options\n"
    "next to the program first (one a line), then from the command line:\n"
    "  -marshal_args=TEXT   more options for KVT-Marshal, e.g. \"-port=6689 -host=127.0.0.1\"\n"
    "  -log=FILE            append the output of the keeper and the supervisor to FILE\n"
    "  -backoff_ms=1000     first pause before a restart; it doubles after each quick end\n"
    "  -backoff_max_ms=30000  longest pause\n"
    "  -steady_s=60         a supervisor that ran this long restarts after the first pause\n"
    "  -install             (Windows) record VarnexService with the service control manager,\n"
    "                       started with the system as this program; options then come from\n"
    "                       KVT-Keeper.options. Interactive users may then start, stop and\n"
    "                       query it, and read and write the values of HKLM\\SOFTWARE\\Varnex,\n"
    "                       which only they, SYSTEM and administrators may read\n"
    "  -uninstall           (Windows) stop VarnexService and remove it from the manager\n"
    "  -service             (Windows) started by the service control manager (-install\n"
    "                       records it; KVT-Marshal then gets -service); without it\n"
    "                       the keeper stops on Ctrl+C\n"
    "Exit status: 1 after a stop, 3 when another keeper runs, 4 when it cannot start;\n"
    "-install and -uninstall: 0 when done, 4 otherwise; an -install that fails after\n"
    "recording the service removes the record again.\n";

static option_entry s_options[] = {
    option_def("marshal_args", &g_keeper.marshal_args, sizeof g_keeper.marshal_args, OPT_TEXT),
    option_def("log", &g_keeper.log, sizeof g_keeper.log, OPT_TEXT),
    option_def("backoff_ms", &g_keeper.backoff_ms, sizeof g_keeper.backoff_ms, OPT_INT),
    option_def("backoff_max_ms", &g_keeper.backoff_max_ms, sizeof g_keeper.backoff_max_ms, OPT_INT),
    option_def("steady_s", &g_keeper.steady_s, sizeof g_keeper.steady_s, OPT_INT),
    option_def("service", &g_keeper.by_manager, sizeof g_keeper.by_manager, OPT_FLAG),
    option_entry{},
};

// Waits until the process ends or a stop is requested; true when it ended.
static bool wait_end_or_stop(const os_process *p) {
    while (!service_host_stop_requested())
        if (proc_wait(p, STOP_POLL_MS)) return true;
    return false;
}

// Sleeps ms unless a stop is requested first; false then.
static bool pause_unless_stopped(int32_t ms) {
    for (int32_t slept = 0; slept < ms; slept += STOP_POLL_MS) {
        if (service_host_stop_requested()) return false;
        os_sleep_ms(STOP_POLL_MS);
    }
    return !service_host_stop_requested();
}

static int32_t start_marshal(os_process *out) {
    char line[sizeof g_keeper.marshal_path + 320];
    // -service: the supervisor of the system's service holds its cache path to the
    // service's rules (a standard user can set CachePath).
    snprintf(line, sizeof line, "\"%s\"%s%.*s%s%s", g_keeper.marshal_path,
             g_keeper.marshal_args.len ? " " : "", int(g_keeper.marshal_args.len),
             g_keeper.marshal_args.text, g_keeper.by_manager ? " -service" : "",
             g_keeper.trace ? " -trace" : "");
    if (!proc_start(g_keeper.marshal_path, line, -1, out))
        return log_printf(KEEPER, SEV_E, "CreateProcess('%s', '%s') : %d", g_keeper.marshal_path,
                          line, os_error());
    return log_printf(KEEPER, SEV_I, "Started KVT-Marshal, pid %d: %s", out->pid, line);
}

// Runs the supervisor until a stop request; returns the exit status of the keeper.
static int supervise() {
    int32_t backoff = g_keeper.backoff_ms;
    for (;;) {
        os_process marshal{};
        int64_t started_at = os_time_seconds();
        if (start_marshal(&marshal) & 1) {
            if (!wait_end_or_stop(&marshal)) {
                log_printf(KEEPER, SEV_I, "Stop requested: ending KVT-Marshal (pid %d)",
                           marshal.pid);
                proc_terminate(&marshal, 0);
                proc_wait(&marshal, MARSHAL_END_WAIT_MS);
                proc_close(&marshal);
                return SEV_S;
            }
            int code = 0, pid = marshal.pid;
            proc_exit_code(&marshal, &code);
            proc_close(&marshal);
            if (os_time_seconds() - started_at >= g_keeper.steady_s) backoff = g_keeper.backoff_ms;
            log_printf(KEEPER, SEV_E,
                       "KVT-Marshal (pid %d) ended with exit code %d; restarting in %d ms", pid,
                       code, int(backoff));
        } else {
            log_printf(KEEPER, SEV_E, "Restarting KVT-Marshal in %d ms", int(backoff));
        }
        if (!pause_unless_stopped(backoff)) return SEV_S;
        backoff = backoff > g_keeper.backoff_max_ms / 2 ? g_keeper.backoff_max_ms : backoff * 2;
    }
}

// -install: the service runs this very program, told that the manager started it.
static int install_service() {
    char path[OS_PATH_MAX], line[OS_PATH_MAX + 16];
    if (!os_module_path(path, sizeof path))
        return log_printf(KEEPER, SEV_F, "Cannot find this program's path -> %d", os_error());
    snprintf(line, sizeof line, "\"%s\" -service", path);
    if (!service_install(KEEPER_SERVICE_NAME, line))
        return log_printf(KEEPER, SEV_F, "Installing %s (%s) -> %d", KEEPER_SERVICE_NAME, line,
                          os_error());
    log_printf(KEEPER, SEV_I, "Installed %s: %s", KEEPER_SERVICE_NAME, line);
    if (keeper_grant_access() & 1) return 0;
    // A half-made install is worse than none: the record goes again, so that the
    // installer can stop with nothing left behind.
    // (The manager that did not know it yet may need the same patience.)
    bool removed = false;
    for (int i = 0; i < UNDO_TRIES && !removed; i++) {
        if (i) os_sleep_ms(UNDO_RETRY_MS);
        removed = service_uninstall(KEEPER_SERVICE_NAME);
    }
    if (!removed)
        log_printf(KEEPER, SEV_F, "Removing %s after the failed install -> %d", KEEPER_SERVICE_NAME,
                   os_error());
    else
        log_printf(KEEPER, SEV_I, "Removed %s again: the install failed", KEEPER_SERVICE_NAME);
    return 4;
}

static int uninstall_service() {
    if (!service_uninstall(KEEPER_SERVICE_NAME))
        return log_printf(KEEPER, SEV_F, "Removing %s -> %d", KEEPER_SERVICE_NAME, os_error());
    log_printf(KEEPER, SEV_I, "Removed %s", KEEPER_SERVICE_NAME);
    return 0;
}

int keeper_main(int argc, char **argv) {
    g_keeper.backoff_ms = 1000;
    g_keeper.backoff_max_ms = 30000;
    g_keeper.steady_s = 60;
    for (int i = 1; i < argc; i++)
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "-help") ||
            !std::strcmp(argv[i], "--help")) {
            std::fputs(usage_text, stdout);
            return 0;
        }
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "-install")) return install_service();
        if (!std::strcmp(argv[i], "-uninstall")) return uninstall_service();
    }

    named_object instance;
    named_result r = named_mutex_create(KEEPER_INSTANCE_MUTEX, &instance);
    if (r == NAMED_EXISTS) {
        log_printf(KEEPER, SEV_I, "CreateMutex (%s) -> %d", KEEPER_INSTANCE_MUTEX, os_error());
        return SEV_I;
    }
    if (r == NAMED_FAILED)
        log_printf(KEEPER, SEV_F, "CreateMutex (%s) -> %d", KEEPER_INSTANCE_MUTEX, os_error());

    char dir[400] = "";
    os_program_dir(dir, sizeof dir);
    char options_file[sizeof dir + 32];
    snprintf(options_file, sizeof options_file, "%s" OS_PATH_SEP "KVT-Keeper.options", dir);
    FILE *f = std::fopen(options_file, "r");
    if (f) {
        std::fclose(f);
        read_options_file(options_file, s_options);
    }
    parse_command_line(argc, argv, s_options);
    // A log that cannot be opened leaves standard output as it was: the service runs
    // on, logging there, rather than failing for want of a log file.
    if (g_keeper.log.len && !os_redirect_stdout(g_keeper.log.text))
        log_printf(KEEPER, SEV_E,
                   "Cannot open the log file '%s', errno = %d: logging to standard output instead",
                   g_keeper.log.text, os_error());
    // Few lines, each in the file at once: a service manager may end the process as
    // soon as it has reported its stop, before buffered lines would be written.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (g_keeper.backoff_ms < 1) g_keeper.backoff_ms = 1;
    if (g_keeper.backoff_max_ms < g_keeper.backoff_ms)
        g_keeper.backoff_max_ms = g_keeper.backoff_ms;
    list_options(s_options);
    if (!service_host_register(KEEPER_SERVICE_NAME, g_keeper.by_manager))
        return log_printf(KEEPER, SEV_F, "Registering as the host of %s -> %d", KEEPER_SERVICE_NAME,
                          os_error());
    snprintf(g_keeper.marshal_path, sizeof g_keeper.marshal_path,
             "%s" OS_PATH_SEP "KVT-Marshal" OS_EXE_SUFFIX, dir);

    // The tray switches tracing by holding this mutex; it counts at the keeper's start.
    g_keeper.trace = named_object_exists(KEEPER_TRACE_MUTEX);
    log_printf(KEEPER, SEV_I, "KVT-Keeper started (pid %d), tracing %s", os_process_id(),
               g_keeper.trace ? "on" : "off");
    int status = supervise();
    log_printf(KEEPER, SEV_I, "KVT-Keeper stopped");
    named_object_close(&instance);
    return status;
}
