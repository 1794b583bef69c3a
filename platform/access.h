// Access lists an installation gives (Windows): who may control a service and who
// may use a registry key, as security descriptor texts (SDDL). Elsewhere every call
// fails with ENOTSUP: the package's files and the user's own service
// manager decide access there.
#pragma once

#include <cstddef>

// Replaces the service's access list with the one the text describes.
bool service_set_access(const char *name, const char *sddl);
// Replaces the key's access list ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", 64-bit view).
bool reg_set_access(const char *key_path, const char *sddl);

// The access list in force, as SDDL text ("D:..."), for checks.
bool service_access_text(const char *name, char *out, size_t cap);
bool reg_access_text(const char *key_path, char *out, size_t cap);
