#include "certcache/file_owner.h"

#include <strsafe.h>

#include "common/function_binder.h"

FileOwnerLookup g_fileOwnerLookup = ReadFileOwner;
VolumeFlagsLookup g_volumeFlagsLookup = ReadVolumeFlags;

namespace {

typedef BOOL(WINAPI* GetVolumePathNameFn)(LPCSTR path, LPSTR volume, DWORD size);

// The well-known SIDs of TrustedSid, in its order: authority, RIDs.
struct WellKnownSid {
    SID_IDENTIFIER_AUTHORITY authority;
    BYTE count;
    DWORD rids[2];
};
const WellKnownSid kTrustedSids[kTrustedSidCount] = {
    {SECURITY_NT_AUTHORITY, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}},
    {SECURITY_NT_AUTHORITY, 1, {SECURITY_LOCAL_SYSTEM_RID, 0}},
    {SECURITY_NT_AUTHORITY, 1, {SECURITY_LOCAL_SERVICE_RID, 0}},
    {SECURITY_NT_AUTHORITY, 1, {SECURITY_NETWORK_SERVICE_RID, 0}},
    {SECURITY_WORLD_SID_AUTHORITY, 1, {SECURITY_WORLD_RID, 0}},
};

bool Equal(PSID trusted, PSID owner)
{
    return trusted != nullptr && EqualSid(trusted, owner);
}

PSID UserSid(const TrustedOwners& owners)
{
    return owners.hasUser ? reinterpret_cast<const TOKEN_USER*>(owners.user)->User.Sid : nullptr;
}

// The root of the volume that holds path: "X:\" of a drive path, or
// "\\server\share\" of a network path.
bool DriveRoot(const char* path, char root[MAX_PATH])
{
    size_t length = 0;
    if (path[0] != '\0' && path[1] == ':' && path[2] == '\\') {
        length = 3;
    } else if (path[0] == '\\' && path[1] == '\\') {
        int separators = 0;
        for (length = 2; path[length] != '\0' && separators < 2; ++length) {
            separators += path[length] == '\\';
        }
        if (separators < 2) return false;
    }
    return length > 0 && SUCCEEDED(StringCchCopyNA(root, MAX_PATH, path, length));
}

}  // namespace

bool ReadFileOwner(HANDLE file, void* descriptor, DWORD size, PSID* owner)
{
    DWORD needed = 0;
    BOOL defaulted = FALSE;
    *owner = nullptr;
    return GetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, descriptor, size, &needed) &&
           GetSecurityDescriptorOwner(descriptor, owner, &defaulted) && *owner != nullptr;
}

bool ReadVolumeFlags(const char* path, DWORD* flags)
{
    char root[MAX_PATH];
    struct {
        GetVolumePathNameFn GetVolumePathNameA;
    } kernel = {};
    const FunctionBinding bindings[] = {OPTIONAL_FUNCTION(kernel, GetVolumePathNameA)};
    BindFunctions(GetModuleHandleA("kernel32.dll"), bindings, LookUpOptionalFunction);
    bool found = kernel.GetVolumePathNameA != nullptr
                     ? kernel.GetVolumePathNameA(path, root, MAX_PATH) != FALSE
                     : DriveRoot(path, root);
    DWORD maxLength = 0;
    return found && GetVolumeInformationA(root, nullptr, 0, nullptr, &maxLength, flags, nullptr, 0);
}

bool VolumeKeepsOwners(const char* path)
{
    DWORD flags = 0;
    return !g_volumeFlagsLookup(path, &flags) || (flags & FILE_PERSISTENT_ACLS) != 0;
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
    for (int i = 0; i < kTrustedSidCount; ++i) {
        const WellKnownSid& known = kTrustedSids[i];
        SID_IDENTIFIER_AUTHORITY authority = known.authority;
        if (!AllocateAndInitializeSid(&authority, known.count, known.rids[0], known.rids[1], 0, 0,
                                      0, 0, 0, 0, &owners.sids[i])) {
            owners.sids[i] = nullptr;
        }
    }
}

void FreeTrustedOwners(TrustedOwners& owners)
{
    for (PSID& sid : owners.sids) {
        if (sid != nullptr) FreeSid(sid);
        sid = nullptr;
    }
    owners.hasUser = false;
}

bool IsTrustedOwner(const TrustedOwners& owners, HANDLE file)
{
    // Holds a descriptor with an owner only: its header and the largest SID.
    DWORD descriptor[64];
    PSID owner = nullptr;
    // No owner to tell files apart by (a volume that declines the query):
    // the file is trusted, as the CSP's files always were.
    if (!g_fileOwnerLookup(file, descriptor, sizeof descriptor, &owner)) return true;
    if (Equal(UserSid(owners), owner)) return true;
    for (PSID sid : owners.sids) {
        if (Equal(sid, owner)) return true;
    }
    return false;
}
