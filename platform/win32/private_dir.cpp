// Windows private folders. A service's TEMP is the system's temporary folder, in
// which every local account may create folders, so a cache folder found there is
// used only when this account (or its default owner, the administrators for an
// elevated process or LocalSystem) owns it and its access list lets no other
// account write into it. A new one gets an access list that does not inherit the
// temporary folder's: this user, SYSTEM and the administrators only.
// The service's cache path may come from a value standard users can set, so for it
// every folder of the path is checked and then held open (see fs.h).
#include "platform/fs.h"

#include <aclapi.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sddl.h>
#include <windows.h>

namespace {

enum { SID_BUFFER = 256, CHAIN_MAX = 32 };

// Rights that would let another account put files into the folder, or give itself
// that right.
const DWORD write_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE |
                           WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Rights on a folder above the cache that would let another account rename, replace
// or delete its entries (or give itself that right); adding entries is no threat.
const DWORD change_rights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

struct trusted_sids {
    alignas(8) char user[SID_BUFFER];  // TOKEN_USER
    alignas(8) char owner[SID_BUFFER]; // TOKEN_OWNER
    alignas(8) char system[SID_BUFFER];
    alignas(8) char admins[SID_BUFFER];
    alignas(8) char creator[SID_BUFFER];
    alignas(8) char installer[SID_BUFFER]; // NT SERVICE\TrustedInstaller (owns C:\)
    PSID user_sid, owner_sid;
};

// The folders of the service's cache path, held for the life of the process.
struct held_chain {
    HANDLE folders[CHAIN_MAX];
    int count;
};
held_chain g_chain;

bool read_trusted(trusted_sids *t) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD n = 0;
    bool ok = GetTokenInformation(token, TokenUser, t->user, sizeof t->user, &n) &&
              GetTokenInformation(token, TokenOwner, t->owner, sizeof t->owner, &n);
    DWORD e = GetLastError();
    CloseHandle(token);
    if (!ok) {
        SetLastError(e);
        return false;
    }
    t->user_sid = reinterpret_cast<TOKEN_USER *>(t->user)->User.Sid;
    t->owner_sid = reinterpret_cast<TOKEN_OWNER *>(t->owner)->Owner;
    DWORD a = sizeof t->system, b = sizeof t->admins, c = sizeof t->creator;
    PSID installer = nullptr;
    if (!ConvertStringSidToSidA("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                &installer))
        return false;
    bool copied = CopySid(sizeof t->installer, t->installer, installer);
    LocalFree(installer);
    return copied && CreateWellKnownSid(WinLocalSystemSid, nullptr, t->system, &a) &&
           CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, t->admins, &b) &&
           CreateWellKnownSid(WinCreatorOwnerSid, nullptr, t->creator, &c);
}

bool is_self(PSID sid, const trusted_sids *t) {
    return EqualSid(sid, t->user_sid) || EqualSid(sid, t->owner_sid);
}

bool is_trusted(PSID sid, const trusted_sids *t) {
    return is_self(sid, t) || EqualSid(sid, PSID(t->system)) || EqualSid(sid, PSID(t->admins)) ||
           EqualSid(sid, PSID(t->creator)) || EqualSid(sid, PSID(t->installer));
}

// Whether an access list lets an account that is not trusted have any of rights.
// on_folder_only: entries that only pass down to new children aside (a folder above
// the cache, whose next folder is checked on its own); for the cache folder itself
// they count, since its files would get them. An allow entry of a rarer kind (object,
// conditional) counts whoever it names.
bool grants_others(const ACL *dacl, DWORD rights, bool on_folder_only, const trusted_sids *t) {
    GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        void *ace = nullptr;
        if (!GetAce(const_cast<ACL *>(dacl), i, &ace)) continue;
        auto *header = static_cast<ACE_HEADER *>(ace);
        bool plain = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        bool other_allow = header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                           header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
                           header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
        if (!plain && !other_allow) continue;
        if (on_folder_only && (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace); // the mask is where it is
        DWORD mask = allowed->Mask;
        MapGenericMask(&mask, &files);
        if (!((mask | allowed->Mask) & rights)) continue;
        if (other_allow || !is_trusted(PSID(&allowed->SidStart), t)) return true;
    }
    return false;
}

// Creates the folder with an access list of its own (no inherited entries).
bool create_private(const char *path, const trusted_sids *t) {
    char *user = nullptr;
    if (!ConvertSidToStringSidA(t->user_sid, &user)) return false;
    char sddl[512];
    snprintf(sddl, sizeof sddl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)", user);
    LocalFree(user);
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                              &sa.lpSecurityDescriptor, nullptr))
        return false;
    bool ok = CreateDirectoryA(path, &sa) != 0;
    DWORD e = GetLastError();
    LocalFree(sa.lpSecurityDescriptor);
    SetLastError(e);
    return ok;
}

int examine(const char *path, const trusted_sids *t) {
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES) return DIR_PRIVATE_FAILED;
    if (!(attr & FILE_ATTRIBUTE_DIRECTORY) || (attr & FILE_ATTRIBUTE_REPARSE_POINT))
        return DIR_PRIVATE_LINK;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD r = GetNamedSecurityInfoA(const_cast<char *>(path), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &sd);
    if (r != ERROR_SUCCESS) {
        SetLastError(r);
        return DIR_PRIVATE_FAILED;
    }
    int result = DIR_PRIVATE_OK;
    if (!owner || !is_self(owner, t))
        result = DIR_PRIVATE_FOREIGN;
    else if (!dacl || grants_others(dacl, write_rights, false, t))
        result = DIR_PRIVATE_SHARED; // no access list: everyone may do everything
    LocalFree(sd);
    return result;
}

// ---- the service's cache path

// "X:\a\b" on a fixed drive, each part a plain name: no UNC or device path
// (\\host, \\?\, \\.\), no relative or drive-relative path, no "." or "..", no
// stream (":") and no part that Windows would trim (a trailing dot or space).
bool is_local_absolute(const char *path) {
    if (!isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' || path[2] != '\\')
        return false;
    if (std::strpbrk(path + 2, "/:*?\"<>|")) return false;
    const char *part = path + 3;
    for (;;) {
        const char *end = std::strchr(part, '\\');
        size_t n = end ? size_t(end - part) : std::strlen(part);
        if (n == 0 || part[n - 1] == '.' || part[n - 1] == ' ') return false; // also . and ..
        if (!end) break;
        part = end + 1;
    }
    char root[4] = {path[0], ':', '\\', 0};
    UINT type = GetDriveTypeA(root);
    return type == DRIVE_FIXED || type == DRIVE_RAMDISK;
}

// Opens one folder of the chain as itself (a reparse point is opened, not followed),
// shared for reading and writing but not for deletion: while held it can be neither
// renamed nor deleted. A path that names a link is refused before the open too, since
// Wine follows a Unix symbolic link on open and shows it only in the path's attributes.
int open_folder(const char *path, HANDLE *out) {
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES) return DIR_PRIVATE_FAILED;
    if (!(attr & FILE_ATTRIBUTE_DIRECTORY) || (attr & FILE_ATTRIBUTE_REPARSE_POINT))
        return DIR_PRIVATE_LINK;
    HANDLE h = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return DIR_PRIVATE_FAILED;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
        return DIR_PRIVATE_FAILED;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(h);
        return DIR_PRIVATE_LINK;
    }
    *out = h;
    return DIR_PRIVATE_OK;
}

// The open folder's owner and access list: a trusted owner, and no other account
// holding any of rights.
int examine_open(HANDLE h, DWORD rights, bool on_folder_only, const trusted_sids *t) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD r =
        GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &sd);
    if (r != ERROR_SUCCESS) {
        SetLastError(r);
        return DIR_PRIVATE_FAILED;
    }
    int result = DIR_PRIVATE_OK;
    if (!owner || !is_trusted(owner, t) || EqualSid(owner, PSID(t->creator)))
        result = DIR_PRIVATE_FOREIGN;
    else if (!dacl || grants_others(dacl, rights, on_folder_only, t))
        result = DIR_PRIVATE_SHARED;
    LocalFree(sd);
    return result;
}

void close_chain() {
    for (int i = 0; i < g_chain.count; i++)
        CloseHandle(g_chain.folders[i]);
    g_chain.count = 0;
}

// The place of a folder in the chain: the volume's root (never a link itself, and not
// held: it cannot be renamed), a folder above the cache, the cache folder.
enum chain_place { CHAIN_ROOT, CHAIN_ABOVE, CHAIN_CACHE };

// Checks one folder of the chain and keeps it open.
int hold_folder(const char *path, chain_place place, const trusted_sids *t) {
    bool is_root = place == CHAIN_ROOT;
    HANDLE h = INVALID_HANDLE_VALUE;
    int r;
    if (is_root) {
        h = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        r = h == INVALID_HANDLE_VALUE ? DIR_PRIVATE_FAILED : DIR_PRIVATE_OK;
    } else {
        r = open_folder(path, &h);
    }
    if (r != DIR_PRIVATE_OK) return r;
    r = place == CHAIN_CACHE ? examine_open(h, write_rights, false, t)
                             : examine_open(h, change_rights, true, t);
    if (r == DIR_PRIVATE_OK && !is_root && g_chain.count < CHAIN_MAX) {
        g_chain.folders[g_chain.count++] = h;
    } else {
        DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
    }
    return r;
}

} // namespace

int dir_make_private(const char *path) {
    trusted_sids t;
    if (!read_trusted(&t)) return DIR_PRIVATE_FAILED;
    if (!create_private(path, &t) && GetLastError() != ERROR_ALREADY_EXISTS)
        return DIR_PRIVATE_FAILED;
    return examine(path, &t);
}

int dir_make_service_private(const char *path, char *refused, size_t cap) {
    if (cap) snprintf(refused, cap, "%s", path);
    close_chain(); // a new check lets go of the chain of the last one
    size_t len = std::strlen(path);
    if (len >= MAX_PATH || !is_local_absolute(path)) return DIR_PRIVATE_NOT_LOCAL;
    trusted_sids t;
    if (!read_trusted(&t)) return DIR_PRIVATE_FAILED;
    // The root and each folder above path, from the top: each one held before the
    // next is looked up, so the names checked are the names used.
    char prefix[MAX_PATH];
    int parts = 0;
    for (size_t i = 2; i < len; i++)
        if (path[i] == '\\') {
            if (++parts >= CHAIN_MAX) return DIR_PRIVATE_NOT_LOCAL;
            size_t n = i == 2 ? 3 : i; // the root keeps its backslash
            std::memcpy(prefix, path, n);
            prefix[n] = 0;
            int r = hold_folder(prefix, i == 2 ? CHAIN_ROOT : CHAIN_ABOVE, &t);
            if (r != DIR_PRIVATE_OK) {
                if (cap) snprintf(refused, cap, "%s", prefix);
                close_chain();
                return r == DIR_PRIVATE_FAILED ? r : DIR_PRIVATE_ABOVE;
            }
        }
    if (!create_private(path, &t) && GetLastError() != ERROR_ALREADY_EXISTS) {
        close_chain();
        return DIR_PRIVATE_FAILED;
    }
    int r = hold_folder(path, CHAIN_CACHE, &t);
    if (r != DIR_PRIVATE_OK) close_chain();
    return r;
}
