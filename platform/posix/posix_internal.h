// Helpers shared by the Linux files of the platform layer (not part of its interface).
#pragma once

#include <cstddef>

// Creates a folder and its missing parents (mode 0700); true when it exists afterwards.
bool posix_make_dirs(const char *path);
// Writes "a/b" (or "a/b/c") into out; false with ENAMETOOLONG when it does not fit.
bool posix_join(char *out, size_t cap, const char *a, const char *b, const char *c = nullptr);
// Makes $VARNEX_RUNTIME_DIR/sub and returns "runtime/sub/name" in out.
bool posix_runtime_path(const char *sub, const char *name, char *out, size_t cap);
// Makes path (one level, mode 0700) when missing, then looks at it without following
// a link: DIR_PRIVATE_OK when it is a real folder owned by this user (*mode gets its
// permission bits), else DIR_PRIVATE_LINK, DIR_PRIVATE_FOREIGN or DIR_PRIVATE_FAILED.
int posix_private_dir(const char *path, unsigned *mode);
