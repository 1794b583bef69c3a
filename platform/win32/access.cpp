// Access lists of an installation through the security descriptor texts (SDDL) of
// advapi32: a service's through the service control manager, a key's through the
// registry (64-bit view).
#include "platform/access.h"

#include <cstdio>
#include <cstring>
#include <windows.h>
#include <sddl.h>

// Runs with the descriptor the text describes; false with the error.
template <typename F> static bool with_descriptor(const char *sddl, F apply) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    bool ok = apply(sd);
    DWORD e = GetLastError();
    LocalFree(sd);
    SetLastError(e);
    return ok;
}

static bool descriptor_text(PSECURITY_DESCRIPTOR sd, char *out, size_t cap) {
    char *text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return false;
    bool fits = snprintf(out, cap, "%s", text) < int(cap);
    LocalFree(text);
    if (!fits) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return fits;
}

static bool split_hklm(const char *key_path, const char **sub) {
    static const char root[] = "HKEY_LOCAL_MACHINE\\";
    if (_strnicmp(key_path, root, sizeof root - 1) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *sub = key_path + sizeof root - 1;
    return true;
}

// Opens the service with the rights; the caller closes both handles.
static bool open_service(const char *name, DWORD rights, SC_HANDLE *manager, SC_HANDLE *service) {
    *manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!*manager) return false;
    *service = OpenServiceA(*manager, name, rights);
    if (*service) return true;
    DWORD e = GetLastError();
    CloseServiceHandle(*manager);
    SetLastError(e);
    return false;
}

static void close_service(SC_HANDLE manager, SC_HANDLE service) {
    DWORD e = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetLastError(e);
}

bool service_set_access(const char *name, const char *sddl) {
    SC_HANDLE manager, service;
    if (!open_service(name, WRITE_DAC, &manager, &service)) return false;
    bool ok = with_descriptor(sddl, [&](PSECURITY_DESCRIPTOR sd) {
        return SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, sd) != 0;
    });
    close_service(manager, service);
    return ok;
}

bool service_access_text(const char *name, char *out, size_t cap) {
    SC_HANDLE manager, service;
    if (!open_service(name, READ_CONTROL, &manager, &service)) return false;
    static char sd[4096];
    DWORD needed = 0;
    bool ok =
        QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, sd, sizeof sd, &needed) &&
        descriptor_text(sd, out, cap);
    close_service(manager, service);
    return ok;
}

bool reg_set_access(const char *key_path, const char *sddl) {
    const char *sub;
    HKEY key;
    if (!split_hklm(key_path, &sub)) return false;
    LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub, 0, KEY_WOW64_64KEY | WRITE_DAC, &key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(DWORD(rc));
        return false;
    }
    bool ok = with_descriptor(sddl, [&](PSECURITY_DESCRIPTOR sd) {
        LSTATUS r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
        SetLastError(DWORD(r));
        return r == ERROR_SUCCESS;
    });
    RegCloseKey(key);
    return ok;
}

bool reg_access_text(const char *key_path, char *out, size_t cap) {
    const char *sub;
    HKEY key;
    if (!split_hklm(key_path, &sub)) return false;
    LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub, 0, KEY_WOW64_64KEY | READ_CONTROL, &key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(DWORD(rc));
        return false;
    }
    static char sd[4096];
    DWORD size = sizeof sd;
    rc = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(DWORD(rc));
        return false;
    }
    return descriptor_text(sd, out, cap);
}
