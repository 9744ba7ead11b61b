// Who owns a file of the certificate cache, and whether the purge trusts
// what that owner wrote. The cache root is a folder that every user of the
// machine can write to: a file that another user put there must not decide
// what is deleted from this user's certificate stores.
#pragma once

#include <windows.h>

// Reads the owner of the file at path: fills descriptor (size bytes) with
// the file's security descriptor and points *owner at the owner's SID
// inside it. False when no owner can be read: the query fails, or the file
// system keeps no owners (FAT).
typedef bool (*FileOwnerLookup)(const char* path, void* descriptor, DWORD size, PSID* owner);

// The system's lookup (GetFileSecurityA, GetSecurityDescriptorOwner).
bool ReadFileOwner(const char* path, void* descriptor, DWORD size, PSID* owner);

// The lookup the purge uses: ReadFileOwner. Tests put their own here, for
// owners that the file system they run on does not keep.
extern FileOwnerLookup g_fileOwnerLookup;

// The owners whose cache files the purge trusts: the user this process runs
// as, the local Administrators group (S-1-5-32-544) and SYSTEM (S-1-5-18).
// The CSP writes its cache as the user it runs for, elevated or as a
// service.
struct TrustedOwners {
    DWORD user[32];        // TOKEN_USER of the process token, with its SID
    bool hasUser;          // false when the token could not be read
    PSID administrators;   // null when it could not be built
    PSID system;           // null when it could not be built
};

// Fills owners. One that cannot be read or built is left out, and files it
// owns are then not trusted.
void LoadTrustedOwners(TrustedOwners& owners);
void FreeTrustedOwners(TrustedOwners& owners);

// Whether the purge may read and delete the file: its owner is one of the
// trusted ones, or it has no owner that can be read.
bool IsTrustedCacheFile(const TrustedOwners& owners, const char* path);
