// The folder a fuzz target keeps its scratch files in: $TMPDIR when set, else /tmp.
// Long runs point TMPDIR at a memory file system, where the targets that write a
// file per input (and the registry's fsync) run many times faster.
#pragma once
#include <cstdlib>
#include <string>

inline std::string fuzz_temp_folder(const char *prefix) {
    const char *tmp = getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix;
}
