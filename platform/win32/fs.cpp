// Windows files shared between writers and readers: every open allows others to
// read and write but not to delete, so DeleteFile of a file in use fails with the
// sharing violation (32). Folder search is FindFirstFile/FindNextFile itself.
#include "platform/fs.h"
#include "platform/os.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

static HANDLE as_handle(const os_file *f) {
    return reinterpret_cast<HANDLE>(f->handle);
}

static bool open_shared(const char *path, DWORD access, DWORD disposition, file_links links,
                        os_file *out) {
    // With FILE_FLAG_OPEN_REPARSE_POINT a link is opened as itself, and then refused.
    DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (links == FILE_NO_LINKS ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           flags, nullptr);
    out->handle = -1;
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (links == FILE_NO_LINKS && GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(h);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    out->handle = intptr_t(h);
    return true;
}

bool file_open_read(const char *path, os_file *out, file_links links) {
    return open_shared(path, GENERIC_READ, OPEN_EXISTING, links, out);
}

bool file_open_write(const char *path, os_file *out, file_links links) {
    return open_shared(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, links, out);
}

bool file_open_regular(const char *path, os_file *out) {
    if (!open_shared(path, GENERIC_READ, OPEN_EXISTING, FILE_NO_LINKS, out)) return false;
    // A disk file and no folder: no pipe, console or device, whose reads could wait.
    HANDLE h = as_handle(out);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        out->handle = -1;
        SetLastError(FILE_NOT_REGULAR);
        return false;
    }
    return true;
}

static DWORD clamp(size_t len) {
    return len > 0x40000000u ? 0x40000000u : DWORD(len);
}

long file_read(os_file *f, void *data, size_t len) {
    DWORD got = 0;
    if (!ReadFile(as_handle(f), data, clamp(len), &got, nullptr)) return -1;
    return long(got);
}

long file_write(os_file *f, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        DWORD n = 0;
        if (!WriteFile(as_handle(f), p + done, clamp(len - done), &n, nullptr))
            return done ? long(done) : -1;
        if (n == 0) break;
        done += n;
    }
    return long(done);
}

static bool get_pos(os_file *f, LARGE_INTEGER *pos) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(as_handle(f), zero, pos, FILE_CURRENT) != 0;
}

// Positioned transfer on a synchronous handle: the offset in an OVERLAPPED record;
// the file position that this moves is put back afterwards.
static long positioned(os_file *f, void *data, size_t len, uint64_t offset, bool write) {
    LARGE_INTEGER keep;
    if (!get_pos(f, &keep)) return -1;
    char *p = static_cast<char *>(data);
    size_t done = 0;
    bool failed = false;
    while (done < len) {
        OVERLAPPED ov{};
        uint64_t at = offset + done;
        ov.Offset = DWORD(at);
        ov.OffsetHigh = DWORD(at >> 32);
        DWORD n = 0;
        BOOL ok = write ? WriteFile(as_handle(f), p + done, clamp(len - done), &n, &ov)
                        : ReadFile(as_handle(f), p + done, clamp(len - done), &n, &ov);
        if (!ok) {
            if (!write && GetLastError() == ERROR_HANDLE_EOF) break;
            failed = done == 0;
            break;
        }
        if (n == 0) break;
        done += n;
        if (!write) break; // one read, as pread does
    }
    DWORD e = GetLastError();
    SetFilePointerEx(as_handle(f), keep, nullptr, FILE_BEGIN);
    SetLastError(e);
    return failed ? -1 : long(done);
}

long file_pread(os_file *f, void *data, size_t len, uint64_t offset) {
    return positioned(f, data, len, offset, false);
}

long file_pwrite(os_file *f, const void *data, size_t len, uint64_t offset) {
    return positioned(f, const_cast<void *>(data), len, offset, true);
}

bool file_seek(os_file *f, int64_t distance, file_whence from, int64_t *new_pos) {
    DWORD method = from == FILE_FROM_BEGIN     ? FILE_BEGIN
                   : from == FILE_FROM_CURRENT ? FILE_CURRENT
                                               : FILE_END;
    LARGE_INTEGER d, pos;
    d.QuadPart = distance;
    if (!SetFilePointerEx(as_handle(f), d, &pos, method)) return false;
    if (new_pos) *new_pos = pos.QuadPart;
    return true;
}

bool file_size(os_file *f, uint64_t *size) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(as_handle(f), &s)) return false;
    *size = uint64_t(s.QuadPart);
    return true;
}

// The fetcher's key lies in its own install folder, whose access list it inherits;
// nothing narrower is set here yet.
bool file_owner_only(os_file *) {
    return true;
}

bool file_set_size(os_file *f, uint64_t size) {
    LARGE_INTEGER keep, want;
    if (!get_pos(f, &keep)) return false;
    want.QuadPart = int64_t(size);
    bool ok =
        SetFilePointerEx(as_handle(f), want, nullptr, FILE_BEGIN) && SetEndOfFile(as_handle(f));
    DWORD e = GetLastError();
    SetFilePointerEx(as_handle(f), keep, nullptr, FILE_BEGIN);
    SetLastError(e);
    return ok;
}

void file_close(os_file *f) {
    if (f->handle != -1) CloseHandle(as_handle(f));
    f->handle = -1;
}

bool file_delete(const char *path) {
    return DeleteFileA(path) != 0;
}

bool dir_create(const char *path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

bool dir_delete_matching(const char *dir, const char *pattern,
                         void (*on_failure)(const char *name, int native)) {
    // The folder itself is opened as what it is (a link is refused) and held without
    // delete sharing, so it cannot be renamed or replaced by a link meanwhile.
    HANDLE h = CreateFileA(dir, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    char search[OS_PATH_MAX * 2];
    snprintf(search, sizeof search, "%s\\%s", dir, pattern);
    WIN32_FIND_DATAA d;
    HANDLE found = FindFirstFileA(search, &d);
    if (found != INVALID_HANDLE_VALUE) {
        do {
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            char path[OS_PATH_MAX * 2];
            snprintf(path, sizeof path, "%s\\%s", dir, d.cFileName);
            // DeleteFile removes a symbolic link itself, never its target.
            if (!DeleteFileA(path) && GetLastError() != ERROR_SHARING_VIOLATION && on_failure)
                on_failure(d.cFileName, int(GetLastError()));
        } while (FindNextFileA(found, &d));
        FindClose(found);
    }
    CloseHandle(h);
    return true;
}

static void fill_entry(const WIN32_FIND_DATAA *d, dir_entry *e) {
    snprintf(e->name, sizeof e->name, "%s", d->cFileName);
    // 100 ns units since 1601 to nanoseconds since 1970.
    uint64_t t =
        (uint64_t(d->ftLastWriteTime.dwHighDateTime) << 32) | d->ftLastWriteTime.dwLowDateTime;
    e->last_write_ns = (int64_t(t) - 116444736000000000LL) * 100;
    e->size = (uint64_t(d->nFileSizeHigh) << 32) | d->nFileSizeLow;
    e->is_dir = (d->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool dir_search_first(const char *path_pattern, dir_search *s, dir_entry *e) {
    s->dir = nullptr;
    snprintf(s->pattern, sizeof s->pattern, "%s", path_pattern);
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA(path_pattern, &d);
    if (h == INVALID_HANDLE_VALUE) return false;
    s->dir = h;
    fill_entry(&d, e);
    return true;
}

bool dir_search_next(dir_search *s, dir_entry *e) {
    if (!s->dir) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    WIN32_FIND_DATAA d;
    if (!FindNextFileA(static_cast<HANDLE>(s->dir), &d)) return false;
    fill_entry(&d, e);
    return true;
}

void dir_search_close(dir_search *s) {
    if (s->dir) FindClose(static_cast<HANDLE>(s->dir));
    s->dir = nullptr;
}
