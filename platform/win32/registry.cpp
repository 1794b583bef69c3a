// Windows settings store: the system registry itself. A reg_key keeps the key's
// path; every call opens the key, does its one thing and closes it again, so a
// reg_key needs no handle of its own. Keys under HKEY_LOCAL_MACHINE are the 64-bit
// view.
#include "platform/registry.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

// Splits "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex" into the root and the subkey.
static bool split_key(const char *key_path, HKEY *root, const char **sub) {
    static const struct {
        const char *name;
        HKEY key;
    } roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                 {"HKLM", HKEY_LOCAL_MACHINE},
                 {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                 {"HKCU", HKEY_CURRENT_USER}};
    for (const auto &r : roots) {
        size_t n = strlen(r.name);
        if (_strnicmp(key_path, r.name, n) == 0 && key_path[n] == '\\' && key_path[n + 1]) {
            *root = r.key;
            *sub = key_path + n + 1;
            return true;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

static bool failed(LSTATUS rc) {
    SetLastError(DWORD(rc));
    return false;
}

static bool open_key(const reg_key *k, bool write, HKEY *out) {
    HKEY root;
    const char *sub;
    if (!split_key(k->key, &root, &sub)) return false;
    // Only the value rights: the installed key grants interactive users no more.
    REGSAM sam = KEY_WOW64_64KEY | KEY_QUERY_VALUE | (write ? KEY_SET_VALUE : 0);
    LSTATUS rc;
    if (write)
        rc = RegCreateKeyExA(root, sub, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, out,
                             nullptr);
    else
        rc = RegOpenKeyExA(root, sub, 0, sam, out);
    return rc == ERROR_SUCCESS || failed(rc);
}

bool reg_open(const char *key_path, bool writable, reg_key *out) {
    out->path[0] = 0;
    out->key[0] = 0;
    out->writable = writable;
    if (strlen(key_path) >= sizeof out->key) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(out->key, key_path, strlen(key_path) + 1);
    snprintf(out->path, sizeof out->path, "%s", key_path);
    HKEY h;
    if (!open_key(out, writable, &h)) return false;
    RegCloseKey(h);
    return true;
}

bool reg_query(reg_key *k, const char *name, reg_type *type, void *buf, uint32_t *size) {
    HKEY h;
    if (!open_key(k, false, &h)) return false;
    DWORD t = 0, n = size ? DWORD(*size) : 0;
    LSTATUS rc = RegQueryValueExA(h, name, nullptr, &t, static_cast<BYTE *>(buf), buf ? &n : &n);
    RegCloseKey(h);
    if (size) *size = n;
    if (type) *type = t == REG_SZ ? REG_T_SZ : t == REG_DWORD ? REG_T_DWORD : REG_T_NONE;
    if (rc == ERROR_MORE_DATA && !buf) rc = ERROR_SUCCESS;
    return rc == ERROR_SUCCESS || failed(rc);
}

static bool set_value(reg_key *k, const char *name, DWORD type, const void *data, DWORD len) {
    if (!k->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (!*name || strpbrk(name, "\r\n")) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    HKEY h;
    if (!open_key(k, true, &h)) return false;
    LSTATUS rc = RegSetValueExA(h, name, 0, type, static_cast<const BYTE *>(data), len);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS || failed(rc);
}

bool reg_set_dword(reg_key *k, const char *name, uint32_t value) {
    DWORD v = value;
    return set_value(k, name, REG_DWORD, &v, sizeof v);
}

bool reg_set_string(reg_key *k, const char *name, const char *value) {
    // Line breaks are refused on both platforms (the other keeps values as lines).
    if (strpbrk(value, "\r\n")) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return set_value(k, name, REG_SZ, value, DWORD(strlen(value) + 1));
}

bool reg_delete_value(reg_key *k, const char *name) {
    if (!k->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    HKEY h;
    if (!open_key(k, true, &h)) return false;
    LSTATUS rc = RegDeleteValueA(h, name);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS || failed(rc);
}

bool reg_set_values(reg_key *k, const reg_value *values, int count) {
    if (count < 1 || count > REG_SET_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // What each value was, read before any is written, to put back when a later one
    // cannot be written.
    struct previous {
        DWORD type, size;
        bool existed;
        BYTE data[1024];
    } before[REG_SET_MAX];
    for (int i = 0; i < count; i++) {
        previous &p = before[i];
        reg_type t = REG_T_NONE;
        uint32_t size = sizeof p.data;
        p.existed = reg_query(k, values[i].name, &t, p.data, &size);
        if (!p.existed && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
        if (p.existed && t == REG_T_NONE) return failed(ERROR_UNSUPPORTED_TYPE);
        p.type = t == REG_T_DWORD ? REG_DWORD : REG_SZ;
        p.size = size;
    }
    for (int i = 0; i < count; i++) {
        const reg_value &v = values[i];
        if (v.type == REG_T_DWORD ? reg_set_dword(k, v.name, v.dword)
                                  : reg_set_string(k, v.name, v.text))
            continue;
        DWORD e = GetLastError();
        while (--i >= 0) {
            if (before[i].existed)
                set_value(k, values[i].name, before[i].type, before[i].data, before[i].size);
            else
                reg_delete_value(k, values[i].name);
        }
        SetLastError(e);
        return false;
    }
    return true;
}

void reg_close(reg_key *k) {
    k->path[0] = 0;
    k->writable = false;
}
