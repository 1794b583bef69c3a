// Portable basics: native error numbers and their kinds, clocks, sleeping, the
// environment, this program's path and the runtime and registry folders.
// Every failing platform call leaves its native error number (errno here,
// GetLastError/WSAGetLastError on Windows) for os_error() to read.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define OS_PATH_SEP "\\"
#define OS_EXE_SUFFIX ".exe"
#else
#define OS_PATH_SEP "/"
#define OS_EXE_SUFFIX ""
#endif

enum { OS_PATH_MAX = 260 };

// Outcomes that callers decide on, mapped from the native numbers in one place.
enum os_error_kind {
    OS_E_NONE = 0,
    OS_E_NOT_FOUND,  // file not found, no matching file, no such pipe
    OS_E_EXISTS,     // already exists (183)
    OS_E_ACCESS,     // access denied (5)
    OS_E_SHARING,    // sharing violation (32): the file is in use
    OS_E_BUSY,       // all pipe instances are busy
    OS_E_CONN_RESET, // connection reset by the peer (10054)
    OS_E_PENDING,    // I/O pending (997)
    OS_E_TIMEOUT,
    OS_E_OTHER,
};

int os_error();                // native error number of the calling thread's last failure
void os_set_error(int native); // sets it, for layers that report their own failures
os_error_kind os_error_kind_of(int native);

struct os_local_time {
    unsigned day, month, year, hour, minute, second, millisecond;
};
void os_local_time_now(os_local_time *out);
uint32_t os_tick_ms();     // milliseconds of a monotonic clock, wrapping at 32 bits
int64_t os_time_seconds(); // wall clock, whole seconds since the epoch
void os_sleep_ms(unsigned ms);
int os_process_id();

// Copies the variable's value; false when it is unset or empty or does not fit.
bool os_getenv(const char *name, char *out, size_t cap);

// Full path of this program's executable.
bool os_module_path(char *out, size_t cap);
// The folder of this program's executable, without a trailing separator.
bool os_program_dir(char *out, size_t cap);
// Sends standard output (the log) to the end of the file path, children started
// afterwards included. Works also in a process started without standard handles
// (a Windows service). On Windows the file is opened as itself: a path that names a
// reparse point (junction, symbolic link), a folder, a device or pipe, or a file with
// more than one name (a hard link) is refused, so the log cannot be pointed at
// another file through its folder.
bool os_redirect_stdout(const char *path);

// True when this process runs as LocalSystem (Windows; never elsewhere).
bool os_runs_as_system();

// Root of the cache folders: TEMP, TMP, TMPDIR, then the system's temporary folder.
bool os_temp_root(char *out, size_t cap);

// Raises this process's limit of open files (descriptors, handles) to want, or as
// far as the system lets it; *now gets the limit in force afterwards.
bool os_raise_open_files(unsigned want, unsigned *now);

// $VARNEX_RUNTIME_DIR (pipes, lock files, service pid) and $VARNEX_REGISTRY_DIR,
// with per-user defaults; created on first use. A default in the shared temporary
// folder is used only when it is a real folder of this user with mode 0700:
// otherwise nullptr, with the reason in os_error().
const char *os_runtime_dir();
const char *os_registry_dir();
// True when both folders can be used; otherwise the refused folder goes to refused.
bool os_check_private_dirs(char *refused, size_t cap);
