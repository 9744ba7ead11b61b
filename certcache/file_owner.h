// Who owns a file of the certificate cache, and whether the purge trusts
// what that owner wrote. The cache root is a folder that other users
// of the machine can write to: a file that another user put there must not
// decide what is deleted from this user's certificate stores.
#pragma once

#include <windows.h>

// Reads the owner of the open file or folder: fills descriptor (size bytes)
// with its security descriptor and points *owner at the owner's SID inside
// it. False when no owner can be read. The handle must carry READ_CONTROL.
typedef bool (*FileOwnerLookup)(HANDLE file, void* descriptor, DWORD size, PSID* owner);

// The system's lookup (GetKernelObjectSecurity, GetSecurityDescriptorOwner).
bool ReadFileOwner(HANDLE file, void* descriptor, DWORD size, PSID* owner);

// The lookup the purge uses: ReadFileOwner. Tests put their own here, for
// owners that the file system they run on does not keep.
extern FileOwnerLookup g_fileOwnerLookup;

// Reads the file system flags (FILE_PERSISTENT_ACLS, ...) of the volume that
// holds path. False when they cannot be read.
typedef bool (*VolumeFlagsLookup)(const char* path, DWORD* flags);

// The system's lookup: GetVolumeInformationA on the volume's root, found by
// GetVolumePathNameA (looked up at run time: Windows 2000 and later) or, on
// Windows NT 4.0, which mounts volumes on drive letters only, the drive.
bool ReadVolumeFlags(const char* path, DWORD* flags);

// The lookup the purge uses: ReadVolumeFlags. Tests put their own here, to
// stand for a volume that keeps no security (FAT).
extern VolumeFlagsLookup g_volumeFlagsLookup;

// Whether the volume that holds path keeps owners (FILE_PERSISTENT_ACLS).
// Where its flags cannot be read, it is taken to keep them: the owner check
// then decides.
bool VolumeKeepsOwners(const char* path);

// The owners whose cache files the purge trusts: the user this
// process runs as, the local Administrators group (S-1-5-32-544), SYSTEM
// (S-1-5-18), LocalService (S-1-5-19) and NetworkService (S-1-5-20). The CSP
// writes its cache as the user it runs for, elevated or as a service. An
// owner of Everyone (S-1-1-0) is what Windows reports where the file system
// keeps no security: no owner at all. No account can give a file that owner
// without the restore privilege.
enum TrustedSid { kAdministrators, kSystem, kLocalService, kNetworkService, kEveryone,
                  kTrustedSidCount };
struct TrustedOwners {
    DWORD user[32];              // TOKEN_USER of the process token, with its SID
    bool hasUser;                // false when the token could not be read
    PSID sids[kTrustedSidCount]; // each null when it could not be built
};

// Fills owners. One that cannot be read or built is left out, and files it
// owns are then not trusted.
void LoadTrustedOwners(TrustedOwners& owners);
void FreeTrustedOwners(TrustedOwners& owners);

// Whether the purge may trust the open file: its owner is one of
// the trusted ones, or it has no owner that can be read. The handle carries
// READ_CONTROL, so a query that fails is one the file system declines.
bool IsTrustedOwner(const TrustedOwners& owners, HANDLE file);
