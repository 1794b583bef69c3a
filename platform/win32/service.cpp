// Windows services through the service control manager. The host side connects
// the process to the manager from a thread of its own (the control dispatcher),
// so the host's main thread keeps its own loop and only asks whether a stop came.
// A host started from a console instead (not by the manager) stops on Ctrl+C: it is
// told which it is, since a dispatcher started outside the manager is not refused at
// once everywhere (Wine waits for a manager that never comes).
#include "platform/service.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

enum { HOST_CONNECT_WAIT_MS = 30000, STOP_WAIT_HINT_MS = 10000 };

// ---- client side

// Opens the manager and the service with the given rights; false with the error and
// the step that failed.
static bool open_service(const char *name, DWORD rights, SC_HANDLE *manager, SC_HANDLE *service,
                         service_step *failed = nullptr) {
    if (failed) *failed = SERVICE_STEP_MANAGER;
    *manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!*manager) return false;
    if (failed) *failed = SERVICE_STEP_SERVICE;
    *service = OpenServiceA(*manager, name, rights);
    if (*service) {
        if (failed) *failed = SERVICE_STEP_CONTROL;
        return true;
    }
    DWORD e = GetLastError();
    CloseServiceHandle(*manager);
    SetLastError(e);
    return false;
}

static void close_service(SC_HANDLE manager, SC_HANDLE service) {
    DWORD e = GetLastError(); // the caller's result stays readable
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetLastError(e);
}

bool service_start(const char *name, const char *, service_step *failed) {
    SC_HANDLE manager, service;
    if (!open_service(name, SERVICE_START, &manager, &service, failed)) return false;
    bool ok = StartServiceA(service, 0, nullptr) != 0;
    close_service(manager, service);
    return ok;
}

bool service_stop(const char *name, service_step *failed) {
    SC_HANDLE manager, service;
    if (!open_service(name, SERVICE_STOP, &manager, &service, failed)) return false;
    SERVICE_STATUS status;
    bool ok = ControlService(service, SERVICE_CONTROL_STOP, &status) != 0;
    close_service(manager, service);
    return ok;
}

bool service_running(const char *name) {
    SC_HANDLE manager, service;
    if (!open_service(name, SERVICE_QUERY_STATUS, &manager, &service)) return false;
    SERVICE_STATUS status;
    bool running = QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
    close_service(manager, service);
    return running;
}

bool service_install(const char *name, const char *command_line) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) return false;
    SC_HANDLE service = CreateServiceA(
        manager, name, name, SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, command_line, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        DWORD e = GetLastError();
        CloseServiceHandle(manager);
        SetLastError(e);
        return false;
    }
    close_service(manager, service);
    return true;
}

bool service_uninstall(const char *name) {
    SC_HANDLE manager, service;
    if (!open_service(name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, &manager, &service))
        return false;
    // Removal takes effect once the service has stopped; the stop is asked for here.
    SERVICE_STATUS status;
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED)
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    bool ok = DeleteService(service) != 0;
    close_service(manager, service);
    return ok;
}

// ---- host side

static std::atomic<bool> s_stop_requested{false};
static char s_host_name[256];
static SERVICE_STATUS_HANDLE s_status_handle = nullptr;
static HANDLE s_connected = nullptr; // set once the manager knows this host, or cannot
static std::atomic<DWORD> s_dispatcher_error{0};

static void report(DWORD state, DWORD wait_hint) {
    if (!s_status_handle) return;
    SERVICE_STATUS st{};
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    st.dwWaitHint = wait_hint;
    SetServiceStatus(s_status_handle, &st);
}

static DWORD WINAPI on_control(DWORD control, DWORD, void *, void *) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
        s_stop_requested = true;
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Runs on the dispatcher thread; returns once the manager knows the service runs,
// the dispatcher then goes on serving controls until the process ends.
static void WINAPI service_main(DWORD, char **) {
    s_status_handle = RegisterServiceCtrlHandlerExA(s_host_name, on_control, nullptr);
    if (!s_status_handle) s_dispatcher_error = GetLastError();
    report(SERVICE_RUNNING, 0);
    SetEvent(s_connected);
}

static DWORD WINAPI dispatcher_thread(void *) {
    SERVICE_TABLE_ENTRYA table[] = {{s_host_name, service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        s_dispatcher_error = GetLastError();
        SetEvent(s_connected);
    }
    return 0;
}

static BOOL WINAPI on_console_control(DWORD) {
    s_stop_requested = true;
    return TRUE;
}

// The manager learns of the end from here, so that it does not take the process's
// end for a failure.
static void report_stopped() {
    report(SERVICE_STOPPED, 0);
}

bool service_host_register(const char *name, bool by_manager) {
    if (snprintf(s_host_name, sizeof s_host_name, "%s", name) >= int(sizeof s_host_name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // One host per name, whoever started it: a mutex held for the life of the process.
    char mutex_name[sizeof s_host_name + 32];
    snprintf(mutex_name, sizeof mutex_name, "Global\\%s host", name);
    HANDLE m = CreateMutexA(nullptr, TRUE, mutex_name);
    if (!m) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(m);
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    if (!by_manager) {
        SetConsoleCtrlHandler(on_console_control, TRUE);
        return true;
    }
    s_connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s_connected) return false;
    HANDLE t = CreateThread(nullptr, 0, dispatcher_thread, nullptr, 0, nullptr);
    if (!t) return false;
    CloseHandle(t);
    if (WaitForSingleObject(s_connected, HOST_CONNECT_WAIT_MS) != WAIT_OBJECT_0) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (s_dispatcher_error != 0) {
        SetLastError(s_dispatcher_error);
        return false;
    }
    std::atexit(report_stopped);
    return true;
}

bool service_host_stop_requested() {
    return s_stop_requested;
}
