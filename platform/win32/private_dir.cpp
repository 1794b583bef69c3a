// Windows private folders. A service's TEMP is the system's temporary folder, in
// which every local account may create folders, so a cache folder found there is
// used only when this account (or its default owner, the administrators for an
// elevated process or LocalSystem) owns it and its access list lets no other
// account write into it. A new one gets an access list that does not inherit the
// temporary folder's: this user, SYSTEM and the administrators only.
#include "platform/fs.h"

#include <aclapi.h>
#include <cstdio>
#include <sddl.h>
#include <windows.h>

namespace {

enum { SID_BUFFER = 256 };

// Rights that would let another account put files into the folder, or give itself
// that right.
const DWORD write_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE |
                           WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

struct trusted_sids {
    alignas(8) char user[SID_BUFFER];  // TOKEN_USER
    alignas(8) char owner[SID_BUFFER]; // TOKEN_OWNER
    alignas(8) char system[SID_BUFFER];
    alignas(8) char admins[SID_BUFFER];
    alignas(8) char creator[SID_BUFFER];
    PSID user_sid, owner_sid;
};

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
    return CreateWellKnownSid(WinLocalSystemSid, nullptr, t->system, &a) &&
           CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, t->admins, &b) &&
           CreateWellKnownSid(WinCreatorOwnerSid, nullptr, t->creator, &c);
}

bool is_self(PSID sid, const trusted_sids *t) {
    return EqualSid(sid, t->user_sid) || EqualSid(sid, t->owner_sid);
}

bool is_trusted(PSID sid, const trusted_sids *t) {
    return is_self(sid, t) || EqualSid(sid, PSID(t->system)) || EqualSid(sid, PSID(t->admins)) ||
           EqualSid(sid, PSID(t->creator));
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
    if (!owner || !is_self(owner, t)) {
        result = DIR_PRIVATE_FOREIGN;
    } else if (!dacl) {
        result = DIR_PRIVATE_SHARED; // no access list: everyone may do everything
    } else {
        for (DWORD i = 0; i < dacl->AceCount; i++) {
            void *ace = nullptr;
            if (!GetAce(dacl, i, &ace)) continue;
            if (static_cast<ACE_HEADER *>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
            auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
            if ((allowed->Mask & write_rights) && !is_trusted(PSID(&allowed->SidStart), t)) {
                result = DIR_PRIVATE_SHARED;
                break;
            }
        }
    }
    LocalFree(sd);
    return result;
}

} // namespace

int dir_make_private(const char *path) {
    trusted_sids t;
    if (!read_trusted(&t)) return DIR_PRIVATE_FAILED;
    if (!create_private(path, &t) && GetLastError() != ERROR_ALREADY_EXISTS)
        return DIR_PRIVATE_FAILED;
    return examine(path, &t);
}
