// Windows child processes: CreateProcess with the command line passed as it is.
// A child is created suspended, put into the kill-on-close job and then resumed, so
// it never runs outside the job. Only the standard handles and the one socket
// handed over cross into it (an explicit handle list; the socket is made
// inheritable for the moment of the call). Waits take any number of processes up to
// PROC_WAIT_MAX: up to 64 with WaitForMultipleObjects, more through wait callbacks.
#include "platform/process.h"
#include "platform/win32/win32_internal.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <windows.h>

enum { CMDLINE_CAP = 32768 };

static std::mutex s_start_lock; // one start at a time: the inherit flag is shared state

// Adds h to list when it is a real handle not already there, and makes it inheritable.
static void add_handle(HANDLE *list, DWORD *count, HANDLE h) {
    if (!h || h == INVALID_HANDLE_VALUE) return;
    for (DWORD i = 0; i < *count; i++)
        if (list[i] == h) return;
    if (!SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return;
    list[(*count)++] = h;
}

static bool start_common(const char *program_path, const char *command_line, intptr_t inherit,
                         bool detached, os_process *out) {
    out->pid = 0;
    out->handle = -1;
    static thread_local char cmd[CMDLINE_CAP];
    int n = (command_line && *command_line) ? snprintf(cmd, sizeof cmd, "%s", command_line)
                                            : snprintf(cmd, sizeof cmd, "\"%s\"", program_path);
    if (n < 0 || size_t(n) >= sizeof cmd) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::lock_guard<std::mutex> one(s_start_lock);
    STARTUPINFOEXA si{};
    si.StartupInfo.cb = sizeof si;
    HANDLE handles[4];
    DWORD count = 0;
    DWORD flags = CREATE_SUSPENDED;
    BOOL inherit_any = FALSE;
    alignas(8) char attr_store[256];
    LPPROC_THREAD_ATTRIBUTE_LIST attrs = nullptr;
    HANDLE sock = reinterpret_cast<HANDLE>(inherit);
    if (detached) {
        flags |= CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS | CREATE_BREAKAWAY_FROM_JOB;
    } else {
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        add_handle(handles, &count, si.StartupInfo.hStdInput);
        add_handle(handles, &count, si.StartupInfo.hStdOutput);
        add_handle(handles, &count, si.StartupInfo.hStdError);
        if (inherit != -1) {
            if (!SetHandleInformation(sock, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return false;
            handles[count++] = sock;
        }
        inherit_any = count > 0;
        SIZE_T size = sizeof attr_store;
        if (count > 0 && InitializeProcThreadAttributeList(nullptr, 1, 0, &size) == FALSE &&
            size <= sizeof attr_store) {
            attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_store);
            if (InitializeProcThreadAttributeList(attrs, 1, 0, &size) &&
                UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                          count * sizeof(HANDLE), nullptr, nullptr)) {
                si.lpAttributeList = attrs;
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            }
        }
    }
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessA(program_path, cmd, nullptr, nullptr, inherit_any, flags, nullptr,
                             nullptr, &si.StartupInfo, &pi);
    if (!ok && detached && GetLastError() == ERROR_ACCESS_DENIED) {
        // This process is in a job that allows no breakaway: start it there.
        flags &= ~DWORD(CREATE_BREAKAWAY_FROM_JOB);
        ok = CreateProcessA(program_path, cmd, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                            &si.StartupInfo, &pi);
    }
    DWORD err = GetLastError();
    if (si.lpAttributeList) DeleteProcThreadAttributeList(attrs);
    if (inherit != -1) SetHandleInformation(sock, HANDLE_FLAG_INHERIT, 0);
    if (!ok) {
        SetLastError(err);
        return false;
    }
    if (!detached) {
        HANDLE job = win32_child_job();
        if (!job || !AssignProcessToJobObject(job, pi.hProcess)) {
            err = GetLastError();
            TerminateProcess(pi.hProcess, 1);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
            SetLastError(err);
            return false;
        }
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    out->pid = int(pi.dwProcessId);
    out->handle = intptr_t(pi.hProcess);
    return true;
}

bool proc_start(const char *program_path, const char *command_line, intptr_t inherit,
                os_process *out) {
    return start_common(program_path, command_line, inherit, false, out);
}

bool proc_start_detached(const char *program_path, const char *command_line, os_process *out) {
    return start_common(program_path, command_line, -1, true, out);
}

static HANDLE handle_of(const os_process *p) {
    return reinterpret_cast<HANDLE>(p->handle);
}

// Index of the first ended process, -1 when none has ended, PROC_WAIT_FAILED on failure.
static int first_ended(const os_process *procs, unsigned count) {
    HANDLE group[MAXIMUM_WAIT_OBJECTS];
    for (unsigned base = 0; base < count; base += MAXIMUM_WAIT_OBJECTS) {
        unsigned n = count - base < MAXIMUM_WAIT_OBJECTS ? count - base : MAXIMUM_WAIT_OBJECTS;
        for (unsigned i = 0; i < n; i++)
            group[i] = handle_of(&procs[base + i]);
        DWORD r = WaitForMultipleObjects(n, group, FALSE, 0);
        if (r < WAIT_OBJECT_0 + n) return int(base + (r - WAIT_OBJECT_0));
        if (r != WAIT_TIMEOUT) return PROC_WAIT_FAILED;
    }
    return -1;
}

// More than 64 processes: a wait callback per process sets one event.
static void CALLBACK on_ended(void *event, BOOLEAN timed_out) {
    if (!timed_out) SetEvent(static_cast<HANDLE>(event));
}

static bool wait_many(const os_process *procs, unsigned count, DWORD timeout_ms, bool *failed) {
    *failed = false;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        *failed = true;
        return false;
    }
    static thread_local HANDLE waits[PROC_WAIT_MAX];
    unsigned made = 0;
    for (; made < count; made++) {
        if (!RegisterWaitForSingleObject(&waits[made], handle_of(&procs[made]), on_ended, event,
                                         INFINITE, WT_EXECUTEONLYONCE)) {
            *failed = true;
            break;
        }
    }
    bool ended = false;
    if (!*failed) ended = WaitForSingleObject(event, timeout_ms) == WAIT_OBJECT_0;
    DWORD err = GetLastError();
    for (unsigned i = 0; i < made; i++)
        UnregisterWaitEx(waits[i], INVALID_HANDLE_VALUE); // waits for running callbacks
    CloseHandle(event);
    SetLastError(err);
    return ended;
}

int proc_wait_any(const os_process *procs, unsigned count, unsigned timeout_ms) {
    if (count == 0 || count > PROC_WAIT_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return PROC_WAIT_FAILED;
    }
    for (unsigned i = 0; i < count; i++) {
        if (procs[i].handle == -1 || !procs[i].handle) {
            SetLastError(ERROR_INVALID_HANDLE);
            return PROC_WAIT_FAILED;
        }
    }
    int found = first_ended(procs, count);
    if (found != -1) return found;
    DWORD timeout = timeout_ms == 0xFFFFFFFFu ? INFINITE : DWORD(timeout_ms);
    if (count <= MAXIMUM_WAIT_OBJECTS) {
        HANDLE group[MAXIMUM_WAIT_OBJECTS];
        for (unsigned i = 0; i < count; i++)
            group[i] = handle_of(&procs[i]);
        DWORD r = WaitForMultipleObjects(count, group, FALSE, timeout);
        if (r < WAIT_OBJECT_0 + count) return int(r - WAIT_OBJECT_0);
        return r == WAIT_TIMEOUT ? PROC_WAIT_TIMEOUT : PROC_WAIT_FAILED;
    }
    bool failed = false;
    if (!wait_many(procs, count, timeout, &failed))
        return failed ? PROC_WAIT_FAILED : PROC_WAIT_TIMEOUT;
    found = first_ended(procs, count);
    return found >= 0 ? found : PROC_WAIT_FAILED;
}

bool proc_wait(const os_process *p, unsigned timeout_ms) {
    return proc_wait_any(p, 1, timeout_ms) == 0;
}

bool proc_exit_code(os_process *p, int *code) {
    DWORD c = 0;
    if (!GetExitCodeProcess(handle_of(p), &c)) return false;
    *code = int(c);
    return true;
}

bool proc_terminate(const os_process *p, int exit_code) {
    return TerminateProcess(handle_of(p), UINT(exit_code)) != 0;
}

void proc_close(os_process *p) {
    if (p->handle != -1 && p->handle) CloseHandle(handle_of(p));
    p->handle = -1;
    p->pid = 0;
}
