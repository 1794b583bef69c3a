// The settings store HKLM\SOFTWARE\Varnex. Here one REGEDIT4 text file per key
// under $VARNEX_REGISTRY_DIR, with typed values, replaced atomically under a lock
// so a reader sees the old or the new file, never a broken one.
#pragma once

#include <cstdint>

enum reg_type { REG_T_NONE = 0, REG_T_SZ = 1, REG_T_DWORD = 4 };

struct reg_key {
    char path[512]; // the key's file
    bool writable;
    char key[256]; // the key path as given to reg_open
};

// Key path as Windows writes it: "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex".
// Opening for reading fails with OS_E_NOT_FOUND when the key does not exist;
// opening for writing creates it.
bool reg_open(const char *key_path, bool writable, reg_key *out);
// Reads a value: its type, and its data into buf (strings with their zero byte).
// *size holds the capacity on entry and the data size on return. Fails with
// OS_E_NOT_FOUND for a missing value; a too-small buffer fails with OS_E_OTHER
// (*size then holds the size needed); buf nullptr asks for type and size only.
// Value names compare case-insensitively.
bool reg_query(reg_key *k, const char *name, reg_type *type, void *buf, uint32_t *size);
bool reg_set_dword(reg_key *k, const char *name, uint32_t value);
bool reg_set_string(reg_key *k, const char *name, const char *value); // no line breaks
bool reg_delete_value(reg_key *k, const char *name);

// Several values set together, so that a failure leaves all of them as they were
// (here one replace of the key's file; on Windows the values already written are
// put back). At most REG_SET_MAX values; type REG_T_DWORD takes dword, REG_T_SZ text.
enum { REG_SET_MAX = 8 };
struct reg_value {
    const char *name;
    reg_type type;
    uint32_t dword;
    const char *text;
};
bool reg_set_values(reg_key *k, const reg_value *values, int count);
void reg_close(reg_key *k);
