// Helpers shared by the Windows files of the platform layer (not part of its interface).
#pragma once

#include <cstddef>
#include <cstdint>

// Creates a folder and its missing parents; true when it exists afterwards.
bool win32_make_dirs(const char *path);
// Writes "a\b" (or "a\b\c") into out; false with ERROR_FILENAME_EXCED_RANGE when it
// does not fit.
bool win32_join(char *out, size_t cap, const char *a, const char *b, const char *c = nullptr);
// Milliseconds of the monotonic clock, not wrapping.
int64_t win32_now_ms();
// The kill-on-close job that proc_start puts new children into while they are
// still suspended: the job most recently made by job_create and not yet closed, or
// one of the layer's own, so that every child ends with this process.
void *win32_child_job();
