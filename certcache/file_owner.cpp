#include "certcache/file_owner.h"

FileOwnerLookup g_fileOwnerLookup = ReadFileOwner;

namespace {

bool Equal(PSID trusted, PSID owner)
{
    return trusted != nullptr && EqualSid(trusted, owner);
}

PSID UserSid(const TrustedOwners& owners)
{
    return owners.hasUser ? reinterpret_cast<const TOKEN_USER*>(owners.user)->User.Sid : nullptr;
}

}  // namespace

bool ReadFileOwner(const char* path, void* descriptor, DWORD size, PSID* owner)
{
    DWORD needed = 0;
    BOOL defaulted = FALSE;
    *owner = nullptr;
    return GetFileSecurityA(path, OWNER_SECURITY_INFORMATION, descriptor, size, &needed) &&
           GetSecurityDescriptorOwner(descriptor, owner, &defaulted) && *owner != nullptr;
}

void LoadTrustedOwners(TrustedOwners& owners)
{
    owners.hasUser = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD length = 0;
        owners.hasUser = GetTokenInformation(token, TokenUser, owners.user, sizeof owners.user,
                                             &length) != FALSE;
        CloseHandle(token);
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &owners.administrators)) {
        owners.administrators = nullptr;
    }
    if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &owners.system)) {
        owners.system = nullptr;
    }
}

void FreeTrustedOwners(TrustedOwners& owners)
{
    if (owners.administrators != nullptr) FreeSid(owners.administrators);
    if (owners.system != nullptr) FreeSid(owners.system);
    owners.administrators = nullptr;
    owners.system = nullptr;
    owners.hasUser = false;
}

bool IsTrustedCacheFile(const TrustedOwners& owners, const char* path)
{
    // Holds a descriptor with an owner only: its header and the largest SID.
    DWORD descriptor[64];
    PSID owner = nullptr;
    // No owner to tell files apart by (a FAT volume, a failed query): the
    // file is trusted, as the CSP's files always were. A query refused for
    // want of READ_CONTROL lets nothing through: the file is then opened
    // for GENERIC_READ, which asks for that right too, and is left alone.
    if (!g_fileOwnerLookup(path, descriptor, sizeof descriptor, &owner)) return true;
    return Equal(UserSid(owners), owner) || Equal(owners.administrators, owner) ||
           Equal(owners.system, owner);
}
