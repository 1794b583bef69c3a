// Windows folder watching: ReadDirectoryChangesW for last-write changes, kept armed
// between reads (the first request is made when the watch opens, and each completed
// one is renewed at once), and FindFirstChangeNotificationA for the one-shot
// notification. A buffer overflow completes with no records, which is reported as
// "signalled, no records"; repeated writes to one file within one read give one
// record.
#include "platform/fs.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>

struct watch_state {
    OVERLAPPED ov;
    bool pending;
    DWORD size;
    alignas(DWORD) unsigned char buffer[1];
};

static bool arm(HANDLE dir, watch_state *st) {
    ResetEvent(st->ov.hEvent);
    DWORD unused = 0;
    st->pending =
        ReadDirectoryChangesW(dir, st->buffer, st->size, FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE,
                              &unused, &st->ov, nullptr) != 0;
    return st->pending;
}

bool dirwatch_open(const char *dir, size_t buffer_size, dir_watch *w) {
    w->handle = -1;
    w->watch = -1;
    w->buffer_size = buffer_size;
    if (buffer_size < 16 || buffer_size > 0x100000) buffer_size = 0x10000;
    HANDLE h = CreateFileA(
        dir, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    watch_state *st = static_cast<watch_state *>(calloc(1, sizeof(watch_state) + buffer_size));
    if (!st) {
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    st->size = DWORD(buffer_size) & ~DWORD(3);
    st->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!st->ov.hEvent || !arm(h, st)) {
        DWORD e = GetLastError();
        if (st->ov.hEvent) CloseHandle(st->ov.hEvent);
        free(st);
        CloseHandle(h);
        SetLastError(e);
        return false;
    }
    w->handle = intptr_t(h);
    w->watch = intptr_t(st);
    return true;
}

bool dirwatch_unavailable(int native) {
    // No resources for the handle or the request, or a file system (some network
    // shares) that gives no change notification.
    return native == ERROR_TOO_MANY_OPEN_FILES || native == ERROR_NOT_ENOUGH_MEMORY ||
           native == ERROR_OUTOFMEMORY || native == ERROR_NO_SYSTEM_RESOURCES ||
           native == ERROR_NOT_ENOUGH_QUOTA || native == ERROR_INVALID_FUNCTION ||
           native == ERROR_NOT_SUPPORTED;
}

// Turns the completed buffer into records; -1 when they do not fit (overflow).
static int parse(const watch_state *st, DWORD got, dirwatch_record *recs, int max_recs) {
    int count = 0;
    DWORD off = 0;
    while (off < got) {
        const FILE_NOTIFY_INFORMATION *fi =
            reinterpret_cast<const FILE_NOTIFY_INFORMATION *>(st->buffer + off);
        char name[sizeof recs[0].name];
        int n =
            WideCharToMultiByte(CP_ACP, 0, fi->FileName, int(fi->FileNameLength / sizeof(WCHAR)),
                                name, int(sizeof name - 1), nullptr, nullptr);
        if (n <= 0 && fi->FileNameLength > 0) return -1;
        name[n] = 0;
        if (fi->Action == FILE_ACTION_MODIFIED && n > 0) {
            bool seen = false;
            for (int i = 0; i < count && !seen; i++)
                seen = strcmp(recs[i].name, name) == 0;
            if (!seen) {
                if (count >= max_recs) return -1;
                recs[count].action = DIRWATCH_ACTION_MODIFIED;
                memcpy(recs[count].name, name, size_t(n) + 1);
                count++;
            }
        }
        if (fi->NextEntryOffset == 0) break;
        off += fi->NextEntryOffset;
    }
    return count;
}

int dirwatch_read(dir_watch *w, int timeout_ms, dirwatch_record *recs, int max_recs,
                  bool *signalled) {
    *signalled = false;
    if (w->handle == -1) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    HANDLE dir = reinterpret_cast<HANDLE>(w->handle);
    watch_state *st = reinterpret_cast<watch_state *>(w->watch);
    ULONGLONG end = GetTickCount64() + ULONGLONG(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (!st->pending && !arm(dir, st)) return -1;
        DWORD wait = INFINITE;
        if (timeout_ms >= 0) {
            ULONGLONG now = GetTickCount64();
            wait = now >= end ? 0 : DWORD(end - now);
        }
        DWORD r = WaitForSingleObject(st->ov.hEvent, wait);
        if (r == WAIT_TIMEOUT) return 0;
        if (r != WAIT_OBJECT_0) return -1;
        DWORD got = 0;
        st->pending = false;
        if (!GetOverlappedResult(dir, &st->ov, &got, FALSE)) {
            if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) return -1;
            got = 0; // the system's own buffer overflowed
        }
        int n = got == 0 ? -1 : parse(st, got, recs, max_recs < 0 ? 0 : max_recs);
        if (!arm(dir, st)) return -1;
        if (n != 0) {
            *signalled = true;
            return n < 0 ? 0 : n;
        }
        // Only changes that make no record: wait on for the time that is left.
    }
}

void dirwatch_close(dir_watch *w) {
    if (w->handle != -1) {
        HANDLE dir = reinterpret_cast<HANDLE>(w->handle);
        watch_state *st = reinterpret_cast<watch_state *>(w->watch);
        if (st && st->pending) {
            DWORD got;
            CancelIoEx(dir, &st->ov);
            GetOverlappedResult(dir, &st->ov, &got, TRUE);
        }
        CloseHandle(dir);
        if (st) {
            CloseHandle(st->ov.hEvent);
            free(st);
        }
    }
    w->handle = -1;
    w->watch = -1;
}

bool dirnotify_open(const char *dir, dir_watch *w) {
    w->watch = -1;
    w->buffer_size = 0;
    HANDLE h = FindFirstChangeNotificationA(dir, FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE);
    w->handle = h == INVALID_HANDLE_VALUE ? -1 : intptr_t(h);
    return h != INVALID_HANDLE_VALUE;
}

int dirnotify_wait(dir_watch *w, int timeout_ms) {
    HANDLE h = reinterpret_cast<HANDLE>(w->handle);
    DWORD r = WaitForSingleObject(h, timeout_ms < 0 ? INFINITE : DWORD(timeout_ms));
    if (r == WAIT_TIMEOUT) return 0;
    if (r != WAIT_OBJECT_0) return -1;
    return FindNextChangeNotification(h) ? 1 : -1;
}

void dirnotify_close(dir_watch *w) {
    if (w->handle != -1) FindCloseChangeNotification(reinterpret_cast<HANDLE>(w->handle));
    w->handle = -1;
}
