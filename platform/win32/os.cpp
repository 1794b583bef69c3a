// Windows basics: GetLastError and its kinds, clocks, sleeping, the environment,
// this program's path, and the runtime and registry folders.
#include "platform/os.h"
#include "platform/win32/win32_internal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <winsock2.h>
#include <windows.h>

int os_error() {
    return int(GetLastError()); // WSAGetLastError reads the same value
}

void os_set_error(int native) {
    SetLastError(DWORD(native));
}

os_error_kind os_error_kind_of(int native) {
    switch (native) {
    case 0:
        return OS_E_NONE;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NO_MORE_FILES:
    case ERROR_SERVICE_DOES_NOT_EXIST:
    case ERROR_SERVICE_NOT_ACTIVE:
        return OS_E_NOT_FOUND;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_SERVICE_ALREADY_RUNNING:
    case ERROR_SERVICE_EXISTS:
        return OS_E_EXISTS;
    case ERROR_ACCESS_DENIED:
        return OS_E_ACCESS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return OS_E_SHARING;
    case ERROR_PIPE_BUSY:
        return OS_E_BUSY;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
        return OS_E_CONN_RESET;
    case ERROR_IO_PENDING:
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
        return OS_E_PENDING;
    case WAIT_TIMEOUT:
    case ERROR_TIMEOUT:
    case WSAETIMEDOUT:
        return OS_E_TIMEOUT;
    default:
        return OS_E_OTHER;
    }
}

void os_local_time_now(os_local_time *out) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    out->day = st.wDay;
    out->month = st.wMonth;
    out->year = st.wYear;
    out->hour = st.wHour;
    out->minute = st.wMinute;
    out->second = st.wSecond;
    out->millisecond = st.wMilliseconds;
}

int64_t win32_now_ms() {
    return int64_t(GetTickCount64());
}

uint32_t os_tick_ms() {
    return uint32_t(GetTickCount64());
}

int64_t os_time_seconds() {
    return int64_t(time(nullptr));
}

void os_sleep_ms(unsigned ms) {
    Sleep(ms);
}

int os_process_id() {
    return int(GetCurrentProcessId());
}

bool os_getenv(const char *name, char *out, size_t cap) {
    if (cap == 0 || cap > 0x7fffffff) return false;
    DWORD n = GetEnvironmentVariableA(name, out, DWORD(cap));
    return n > 0 && n < cap;
}

bool os_module_path(char *out, size_t cap) {
    if (cap < 2 || cap > 0x7fffffff) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    DWORD n = GetModuleFileNameA(nullptr, out, DWORD(cap));
    if (n == 0) return false;
    if (n >= cap - 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    out[n] = 0;
    return true;
}

bool os_program_dir(char *out, size_t cap) {
    if (!os_module_path(out, cap)) return false;
    char *slash = strrchr(out, '\\');
    if (slash && slash != out) *slash = 0;
    return true;
}

bool os_temp_root(char *out, size_t cap) {
    if (os_getenv("TEMP", out, cap) || os_getenv("TMP", out, cap) || os_getenv("TMPDIR", out, cap))
        return true;
    if (cap > 0x7fffffff) cap = 0x7fffffff;
    DWORD n = GetTempPathA(DWORD(cap), out);
    if (n == 0 || n >= cap) return false;
    if (n > 3 && out[n - 1] == '\\') out[n - 1] = 0; // no trailing separator
    return true;
}

bool win32_make_dirs(const char *path) {
    char buf[OS_PATH_MAX * 4];
    size_t n = strlen(path);
    if (n == 0 || n >= sizeof buf) {
        SetLastError(n ? ERROR_FILENAME_EXCED_RANGE : ERROR_PATH_NOT_FOUND);
        return false;
    }
    memcpy(buf, path, n + 1);
    // Skip the drive ("C:\") or the server and share of a UNC name.
    size_t start = 1;
    if (n >= 3 && buf[1] == ':') start = 3;
    for (size_t i = start; i <= n; i++) {
        if (buf[i] != '\\' && buf[i] != '/' && buf[i] != 0) continue;
        char keep = buf[i];
        buf[i] = 0;
        if (!CreateDirectoryA(buf, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
            GetLastError() != ERROR_ACCESS_DENIED)
            return false;
        buf[i] = keep;
    }
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES) return false;
    if (!(attr & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return true;
}

bool win32_join(char *out, size_t cap, const char *a, const char *b, const char *c) {
    int n = c ? snprintf(out, cap, "%s\\%s\\%s", a, b, c) : snprintf(out, cap, "%s\\%s", a, b);
    if (n < 0 || size_t(n) >= cap) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// One folder chosen from a variable or a default under the local application data
// (or the temporary folder). Kept per thread and recomputed when the variable
// changes; the folder is created when the text changes.
struct dir_cache {
    char path[OS_PATH_MAX * 2];
};

static const char *cached_dir(dir_cache *cache, const char *var, const char *sub) {
    char want[sizeof cache->path], base[sizeof cache->path];
    int n;
    if (os_getenv(var, want, sizeof want))
        n = int(strlen(want));
    else if (os_getenv("LOCALAPPDATA", base, sizeof base) || os_temp_root(base, sizeof base))
        n = snprintf(want, sizeof want, "%s\\Varnex\\%s", base, sub);
    else
        n = snprintf(want, sizeof want, "C:\\Varnex\\%s", sub);
    if (n < 0 || size_t(n) >= sizeof want) n = snprintf(want, sizeof want, "C:\\Varnex\\%s", sub);
    if (strcmp(want, cache->path) != 0) {
        win32_make_dirs(want);
        memcpy(cache->path, want, size_t(n) + 1);
    }
    return cache->path;
}

const char *os_runtime_dir() {
    static thread_local dir_cache cache;
    return cached_dir(&cache, "VARNEX_RUNTIME_DIR", "runtime");
}

// The settings themselves live in the system registry; this folder is kept for
// what the programs may place beside it.
const char *os_registry_dir() {
    static thread_local dir_cache cache;
    return cached_dir(&cache, "VARNEX_REGISTRY_DIR", "registry");
}

// Windows keeps the runtime and registry folders under the user's own local
// application data (or their own temporary folder), which other users cannot write:
// the takeover of a shared temporary folder that Linux guards against does not
// arise, so there is nothing to refuse.
bool os_check_private_dirs(char *refused, size_t cap) {
    if (cap) refused[0] = '\0';
    return true;
}

// Kernel handles have no per-process limit that a program could raise here: the
// table of 512 children fits as it is.
bool os_raise_open_files(unsigned want, unsigned *now) {
    *now = want;
    return true;
}

bool os_runs_as_system() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(8) char user[256], system[SECURITY_MAX_SID_SIZE];
    DWORD n = 0, size = sizeof system;
    bool is_system = GetTokenInformation(token, TokenUser, user, sizeof user, &n) &&
                     CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) &&
                     EqualSid(reinterpret_cast<TOKEN_USER *>(user)->User.Sid, system);
    CloseHandle(token);
    return is_system;
}

// The log file opened as itself for appending, inheritable (children write to it
// through their standard output); INVALID_HANDLE_VALUE for a path that is no plain
// file of one name. A refusal reports ERROR_CANT_ACCESS_FILE.
static HANDLE open_log_file(const char *path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info;
    bool plain = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                 !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT |
                                            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) &&
                 info.nNumberOfLinks == 1;
    // Wine follows a Unix symbolic link on open and shows it only in the path's
    // attributes.
    DWORD attr = GetFileAttributesA(path);
    if (plain && attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_REPARSE_POINT))
        return h;
    CloseHandle(h);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
}

bool os_redirect_stdout(const char *path) {
    // The file is opened before standard output is touched: a path that cannot be
    // opened leaves standard output as it was.
    HANDLE h = open_log_file(path);
    if (h == INVALID_HANDLE_VALUE) return false;
    int fd = _open_osfhandle(intptr_t(h), _O_WRONLY | _O_APPEND | _O_TEXT);
    if (fd < 0) {
        CloseHandle(h);
        return false;
    }
    std::fflush(stdout);
    // Descriptor 1 becomes the file, which also makes it the process's standard
    // output handle, which children inherit.
    if (fd != 1) {
        int moved = _dup2(fd, 1);
        _close(fd);
        if (moved != 0) return false;
    }
    if (_fileno(stdout) == 1) return true;
#ifdef _UCRT
    return false;
#else
    // A service starts without standard handles: its stdout stream has no
    // descriptor, and the runtime will not reopen it; the stream is pointed at 1.
    stdout->_file = 1;
    stdout->_flag = _IOWRT;
    stdout->_ptr = stdout->_base = nullptr;
    stdout->_cnt = 0;
    return true;
#endif
}
