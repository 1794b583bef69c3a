// Files shared between the fetcher (writer) and the streamers (readers), folder
// search with wildcards, and watching a folder for written files.
// Readers and writers hold a shared lock on the file; file_delete takes an exclusive
// try-lock first, so a file in use is refused as a sharing violation.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_file {
    intptr_t handle; // -1 when closed
};

enum file_whence { FILE_FROM_BEGIN = 0, FILE_FROM_CURRENT = 1, FILE_FROM_END = 2 };

// Whether an open goes through a symbolic link (a reparse point on Windows) named by
// the path's last component. The cache's chunk and movie files are opened with
// FILE_NO_LINKS: a link there fails the open (ELOOP here, ERROR_CANT_ACCESS_FILE on
// Windows) instead of reaching a file elsewhere.
enum file_links { FILE_FOLLOW_LINKS = 0, FILE_NO_LINKS = 1 };

// Existing file for reading, others may read and write it meanwhile.
bool file_open_read(const char *path, os_file *out, file_links links = FILE_FOLLOW_LINKS);
// File for writing (created when missing, kept otherwise), others may read it meanwhile.
bool file_open_write(const char *path, os_file *out, file_links links = FILE_FOLLOW_LINKS);
// A file read on a thread that must never wait (the supervisor's channel list):
// opened for reading without following a link in its last component and without
// waiting for a writer, and kept only when it is a regular file. A link fails as in
// file_open_read with FILE_NO_LINKS; a FIFO, device or folder fails with
// FILE_NOT_REGULAR (EINVAL here, ERROR_BAD_FILE_TYPE on Windows).
bool file_open_regular(const char *path, os_file *out);
#ifdef _WIN32
enum { FILE_NOT_REGULAR = 222 };
#else
enum { FILE_NOT_REGULAR = 22 };
#endif
long file_read(os_file *f, void *data, size_t len);
long file_write(os_file *f, const void *data, size_t len);
// Positioned access that leaves the file position alone.
long file_pread(os_file *f, void *data, size_t len, uint64_t offset);
long file_pwrite(os_file *f, const void *data, size_t len, uint64_t offset);
bool file_seek(os_file *f, int64_t distance, file_whence from, int64_t *new_pos);
bool file_size(os_file *f, uint64_t *size);
bool file_set_size(os_file *f, uint64_t size); // zero-filled when it grows
// Only the file's owner may read or write it (a private key). Windows: the file keeps
// the access list it inherits from its folder.
bool file_owner_only(os_file *f);
void file_close(os_file *f);

bool file_delete(const char *path); // OS_E_SHARING when the file is in use
bool dir_create(const char *path);  // one level; OS_E_EXISTS when it is there

// A folder that only this user can fill (the cache folder, often in a temporary
// folder that every local user can write). Made when missing (one level; mode 0700,
// on Windows an access list of this user, SYSTEM and the administrators only); an
// existing one is used only when it is a real folder (not a link or reparse point)
// owned by this user that no other user may write into.
enum dir_private_result {
    DIR_PRIVATE_FAILED = 0, // could not be made or examined: os_error()
    DIR_PRIVATE_OK = 1,
    DIR_PRIVATE_LINK = 2,      // a link, a reparse point, or no folder at all
    DIR_PRIVATE_FOREIGN = 4,   // owned by another user
    DIR_PRIVATE_SHARED = 6,    // other users may write into it
    DIR_PRIVATE_NOT_LOCAL = 8, // not a path on a local drive (UNC, device, relative)
    DIR_PRIVATE_ABOVE = 10,    // a folder above it is a link or can be changed by others
};
int dir_make_private(const char *path);

// The same for a program that runs as the system's service (Windows), where the
// path may come from a value that standard users can set: path must be a local
// absolute path ("X:\a\b" on a fixed drive; no UNC or device path, no "." or ".."
// part), and each folder from the volume root down to path must be a real folder (no
// link or reparse point; the root aside) owned by this account, SYSTEM, the
// administrators or TrustedInstaller, of which no other account may rename, replace
// or delete entries (adding new entries is fine: C:\ProgramData). path itself then
// follows dir_make_private's rules, with SYSTEM and the administrators also trusted
// owners. Every folder of the chain stays open, not shared for deletion, for the
// life of the process, so that none can be renamed or swapped for a junction after
// the check. The folder refused goes to refused (path itself for its own faults).
// Linux: dir_make_private (the service runs as the user there).
int dir_make_service_private(const char *path, char *refused, size_t cap);
// Why a folder was refused, for a log line: "... is a link or not a folder".
inline const char *dir_private_reason(int result) {
    switch (result) {
    case DIR_PRIVATE_LINK:
        return "is a link or not a folder";
    case DIR_PRIVATE_FOREIGN:
        return "belongs to another user";
    case DIR_PRIVATE_SHARED:
        return "can be written by other users";
    case DIR_PRIVATE_NOT_LOCAL:
        return "is not a path on a local drive";
    case DIR_PRIVATE_ABOVE:
        return "lies in a folder that is a link or that other users can rename, replace or empty";
    default:
        return "cannot be made or examined";
    }
}

// The start-up error of a refused cache folder: its path (%.*s) and the reason.
#define CACHE_DIR_REFUSED                                                                          \
    "Cache folder '%.*s' %s: the cache must be a real folder of this user that no other "          \
    "user can write"
// The same for the system's service: the path, the reason and the folder refused.
#define CACHE_DIR_REFUSED_SERVICE                                                                  \
    "Cache folder '%.*s' %s ('%s'): the service's cache must be a local folder of the system "     \
    "or the administrators that no other user can write, in folders no other user can "            \
    "rename, replace or empty"

// Deletes the files of folder dir whose names match pattern (wildcard_match) without
// ever leaving the folder: a dir that is itself a link is not entered (the open
// fails), the folder is opened once and every delete is made relative to it, and a
// link inside is deleted as a link. Files in use and subfolders stay silently;
// on_failure gets the name and native error of any other file that could not be
// deleted. False when the folder cannot be opened (a link included).
bool dir_delete_matching(const char *dir, const char *pattern,
                         void (*on_failure)(const char *name, int native));

// Windows wildcards over a whole name, case-sensitive here: '*' any run, '?' one character.
bool wildcard_match(const char *name, const char *pattern);
// The same over a whole name with another character standing for any one character.
bool wildcard_match_with(const char *name, const char *pattern, char any_one);

struct dir_entry {
    char name[256];
    int64_t last_write_ns; // last-write time
    uint64_t size;
    bool is_dir;
};

struct dir_search {
    void *dir; // DIR* here, search HANDLE on Windows
    char pattern[256];
};

// Starts a search for "folder/pattern" (the pattern may hold wildcards in its last
// component only). False with OS_E_NOT_FOUND when nothing matches; a missing folder
// is another error (the "path not found" of Windows). As on Windows, "*" also
// lists "." and "..".
bool dir_search_first(const char *path_pattern, dir_search *s, dir_entry *e);
bool dir_search_next(dir_search *s, dir_entry *e); // false with OS_E_NOT_FOUND at the end
void dir_search_close(dir_search *s);

// Watch of one folder (no subfolders) for files written. Records are reported as
// Windows does: action 3 (modified) with the file name. When more has happened
// than buffer_size octets of records hold, the read reports no records.
enum { DIRWATCH_ACTION_MODIFIED = 3, DIRWATCH_MAX_RECORDS = 256 };
struct dirwatch_record {
    int action;
    char name[256];
};
struct dir_watch {
    intptr_t handle;
    intptr_t watch;
    size_t buffer_size;
};
bool dirwatch_open(const char *dir, size_t buffer_size, dir_watch *w);
// Waits up to timeout_ms (< 0 forever) for changes. Returns the number of records
// (0 on time-out or overflow), -1 on failure. *signalled says whether the wait
// ended through a change (true also on overflow). More changed files than
// max_recs counts as an overflow too. Repeated writes to one file within one read
// give one record.
int dirwatch_read(dir_watch *w, int timeout_ms, dirwatch_record *recs, int max_recs,
                  bool *signalled);
void dirwatch_close(dir_watch *w);
// Whether the native error of a failed dirwatch_open means that the system has no
// watch to give: no inotify instance or watch left (the per-user limits), no memory;
// on Windows no change notification for the folder or its file system. The folder can
// then still be watched by looking at it (dirpoll below). A missing folder is not.
bool dirwatch_unavailable(int native);

// Watching a folder by looking at it: the files whose names match pattern
// (wildcard_match) are listed at most every interval_ms, and a file is reported, as a
// modified record, when its size or last-write time differs from the look before, or
// when it is new and not empty (a file only created gives no record, as with the
// watch). The records of one look come oldest write first; more than max_recs is an
// overflow (no records, signalled). Of more than DIRPOLL_MAX_FILES matching files the
// newest are followed. Only the platform's folder search is used: the same on every
// system.
enum { DIRPOLL_MAX_FILES = 1024 };
struct dirpoll_file {
    uint64_t name_hash;
    uint64_t size;
    int64_t last_write_ns;
};
struct dir_poll {
    char path_pattern[520]; // "folder/pattern"
    unsigned interval_ms;
    uint32_t looked_at; // os_tick_ms() of the last look
    int current;        // which of files[] holds the last look, sorted by name_hash
    int count[2];
    dirpoll_file files[2][DIRPOLL_MAX_FILES];
    bool full;        // the last look found more files than it follows
    int64_t floor_ns; // then the oldest write it follows
};
// Takes the first look (no records); false when the folder cannot be searched.
bool dirpoll_open(const char *dir, const char *pattern, unsigned interval_ms, dir_poll *p);
// As dirwatch_read: the number of records, 0 on time-out or overflow, -1 when the
// folder cannot be searched (gone).
int dirpoll_read(dir_poll *p, int timeout_ms, dirwatch_record *recs, int max_recs, bool *signalled);

// The records of a batch of raw events as the watch reads them (inotify events on
// Linux): what dirwatch_read reports for them. Events cut short end the batch as an
// overflow.
struct dirwatch_batch {
    dirwatch_record *recs;
    int max_recs;
    int count;
    size_t octets; // size of the records in a Windows change buffer
    bool overflow;
    bool gone; // the folder's watch ended
};
void dirwatch_decode(const void *events, size_t n, dirwatch_batch *batch);

// One-shot change notification of a folder (FindFirstChangeNotification for
// last-write changes): dirnotify_wait returns 1 when some file in the folder was
// written since the notification was opened or last fired, 0 on time-out, -1 on
// failure; firing re-arms it.
bool dirnotify_open(const char *dir, dir_watch *w);
int dirnotify_wait(dir_watch *w, int timeout_ms);
void dirnotify_close(dir_watch *w);
