// Windows message pipes: "\\.\pipe\NAME", message type and message read mode on
// both ends, one instance, 1024-octet buffers. Every handle is opened overlapped so
// that waits and reads can end on a time-out; each call waits for its own I/O.
// A socket does not travel beside a message here: its share record is inside it.
#include "platform/msgpipe.h"
#include "platform/os.h"
#include "platform/win32/win32_internal.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

enum { PIPE_BUFFER = 1024, PIPE_DEFAULT_TIMEOUT_MS = 10000 };

void msgpipe_path(const char *name, char *out, size_t cap) {
    int n = snprintf(out, cap, "\\\\.\\pipe\\%s", name);
    if ((n < 0 || size_t(n) >= cap) && cap) out[0] = 0;
}

static HANDLE as_handle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

static void set_closed(msg_pipe *p, const char *name) {
    p->conn = p->listen = p->owner = -1;
    p->pending_admission = 0; // a Windows pipe admits its client itself
    snprintf(p->name, sizeof p->name, "%s", name);
}

bool msgpipe_create(const char *name, msg_pipe *out) {
    set_closed(out, name);
    char path[OS_PATH_MAX];
    if (strlen(name) >= sizeof out->name) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    msgpipe_path(name, path, sizeof path);
    HANDLE h = CreateNamedPipeA(
        path, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, PIPE_BUFFER, PIPE_BUFFER,
        PIPE_DEFAULT_TIMEOUT_MS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Another server has the name: the first-instance flag refuses it as access
        // denied, the one-instance limit as busy.
        DWORD e = GetLastError();
        SetLastError(e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY ? ERROR_ALREADY_EXISTS : e);
        return false;
    }
    out->listen = intptr_t(h);
    return true;
}

// Waits for overlapped I/O started on h; true when it completed (bytes in *done).
// On time-out the I/O is cancelled (unless it completed meanwhile) with WAIT_TIMEOUT.
static bool finish_io(HANDLE h, OVERLAPPED *ov, int timeout_ms, DWORD *done) {
    DWORD wait = timeout_ms < 0 ? INFINITE : DWORD(timeout_ms);
    if (WaitForSingleObject(ov->hEvent, wait) != WAIT_OBJECT_0) {
        CancelIoEx(h, ov);
        if (GetOverlappedResult(h, ov, done, TRUE)) return true;
        DWORD e = GetLastError();
        SetLastError(e == ERROR_OPERATION_ABORTED ? WAIT_TIMEOUT : e);
        return false;
    }
    return GetOverlappedResult(h, ov, done, FALSE) != 0;
}

bool msgpipe_wait_client(msg_pipe *p, int timeout_ms) {
    if (p->conn != -1) return true;
    if (p->listen == -1) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    HANDLE h = as_handle(p->listen);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return false;
    DWORD start = GetTickCount();
    bool ok;
    for (;;) {
        ResetEvent(ov.hEvent);
        ok = ConnectNamedPipe(h, &ov) != 0;
        if (ok) break;
        DWORD e = GetLastError();
        DWORD done = 0;
        if (e == ERROR_PIPE_CONNECTED) { // the client came before the wait
            ok = true;
            break;
        }
        if (e == ERROR_IO_PENDING) {
            ok = finish_io(h, &ov, timeout_ms, &done);
            break;
        }
        if (e != ERROR_NO_DATA) break;
        // A client came before the wait and has already gone: the instance is free
        // only after a disconnect. Then wait for the next client.
        DisconnectNamedPipe(h);
        if (timeout_ms >= 0 && GetTickCount() - start >= DWORD(timeout_ms)) {
            SetLastError(WAIT_TIMEOUT);
            break;
        }
    }
    DWORD e = GetLastError();
    CloseHandle(ov.hEvent);
    if (!ok) {
        SetLastError(e);
        return false;
    }
    p->conn = p->listen;
    return true;
}

void msgpipe_disconnect(msg_pipe *p) {
    if (p->listen != -1 && p->conn != -1) DisconnectNamedPipe(as_handle(p->listen));
    p->conn = -1;
}

bool msgpipe_open(const char *name, msg_pipe *out) {
    set_closed(out, name);
    char path[OS_PATH_MAX];
    msgpipe_path(name, path, sizeof path);
    // Both directions where the server allows it; a one-way pipe of another server
    // takes the one direction it offers (with the right to set the read mode).
    static const DWORD access[] = {GENERIC_READ | GENERIC_WRITE,
                                   GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                   GENERIC_READ | FILE_WRITE_ATTRIBUTES};
    // Identification only: whoever holds the pipe name (another account may have made
    // it first) can learn who connects but never act as this process's account.
    const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (DWORD want : access) {
        h = CreateFileA(path, want, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
        DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
        return false;
    }
    out->conn = intptr_t(h);
    return true;
}

long msgpipe_write(msg_pipe *p, const void *data, size_t len, intptr_t pass_sock) {
    (void)pass_sock; // the share record travels inside the message
    if (p->conn == -1 || len == 0 || len > 0x7fffffff) {
        SetLastError(p->conn == -1 ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_PARAMETER);
        return -1;
    }
    HANDLE h = as_handle(p->conn);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return -1;
    DWORD done = 0;
    bool ok = WriteFile(h, data, DWORD(len), &done, &ov) != 0;
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = finish_io(h, &ov, -1, &done);
    DWORD e = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(e);
    return ok ? long(done) : -1;
}

// One overlapped read; true when a whole message (or its first part, with
// ERROR_MORE_DATA) came.
static bool read_once(HANDLE h, void *data, DWORD cap, int timeout_ms, DWORD *done) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return false;
    *done = 0;
    bool ok = ReadFile(h, data, cap, done, &ov) != 0;
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = finish_io(h, &ov, timeout_ms, done);
    DWORD e = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(e);
    return ok;
}

long msgpipe_read(msg_pipe *p, void *data, size_t cap, intptr_t *got_sock, int timeout_ms) {
    if (got_sock) *got_sock = -1;
    if (p->conn == -1) {
        SetLastError(ERROR_PIPE_NOT_CONNECTED);
        return -1;
    }
    HANDLE h = as_handle(p->conn);
    DWORD done = 0;
    if (cap > 0x7fffffff) cap = 0x7fffffff;
    if (read_once(h, data, DWORD(cap), timeout_ms, &done)) return long(done);
    DWORD e = GetLastError();
    if (e == WAIT_TIMEOUT) return 0;
    if (e != ERROR_MORE_DATA) return -1;
    // Longer than cap: the rest of the message is dropped, as on the other platform.
    char rest[PIPE_BUFFER];
    while (!read_once(h, rest, sizeof rest, -1, &done) && GetLastError() == ERROR_MORE_DATA) {
    }
    SetLastError(ERROR_MORE_DATA);
    return -1;
}

long msgpipe_peek(msg_pipe *p) {
    if (p->conn == -1) {
        SetLastError(ERROR_PIPE_NOT_CONNECTED);
        return -1;
    }
    DWORD avail = 0, left = 0;
    if (!PeekNamedPipe(as_handle(p->conn), nullptr, 0, nullptr, &avail, &left)) return -1;
    if (avail == 0) return 0;
    return long(left ? left : avail);
}

void msgpipe_close(msg_pipe *p) {
    if (p->listen != -1)
        CloseHandle(as_handle(p->listen));
    else if (p->conn != -1)
        CloseHandle(as_handle(p->conn));
    p->listen = p->conn = p->owner = -1;
}
