// What the purge judges before it reads or deletes anything: the cache
// folders, held open while it runs, and each cache file, opened once as
// itself and judged by that open handle.
#pragma once

#include <windows.h>

#include "certcache/file_owner.h"

// The folders on the way to the cache files, held open for listing without
// FILE_SHARE_DELETE while the purge runs, so that neither can be renamed,
// deleted, replaced or turned into a link before the files in it are done
// with. (A handle with no data or delete access would take part in no
// sharing check, and hold nothing.)
struct CacheFolders {
    HANDLE root;
    HANDLE cache;
};

// One cache file, open from the checks until its deletion.
struct CacheFile {
    char path[MAX_PATH];
    HANDLE file;       // the invalid handle while it is not open
    DWORD access;      // what that handle may do
    DWORD attributes;  // the file's attributes, read from the handle
};

// Looks up, once per purge, what the purge asks of an open file where
// Windows can (Vista and later): the narrow information classes, and
// deletion and attributes through the handle.
void LoadCacheFileCalls();

// Whether a search entry may be one of the key's cache files: no folder, no
// entry the search reports as a link (it is never followed), and a long
// name that really is <prefix>...".cer", compared case-insensitively. The
// search pattern also matches 8.3 short names (a "b.cerx" has the short
// extension ".CER"), so what the search returns is checked here again.
bool IsCacheFile(const WIN32_FIND_DATAA& entry, const char* prefix);

// Opens and holds the cache root and the cache folder in it. True when both
// are held and are plain folders, no link. Neither folder's owner is
// judged: the root is made by whichever user runs the tool first, and the
// cache folder by whichever account's CSP caches first; each file is judged
// by its own owner. CloseCacheFolders releases both, whatever was opened.
bool OpenCacheFolders(const char* root, const char* cacheDir, CacheFolders& folders);
void CloseCacheFolders(CacheFolders& folders);

// Opens file.path for the purge: to read and delete it, or to read it only
// where another program holds it without sharing deletion or the user may
// not delete it; shared for reading only, so that its name cannot be moved
// to another file while it is open. The entry must be a plain file (no
// folder, no reparse point of any kind) with one name only and, on a
// volume that keeps owners, an owner in owners. False, with nothing open,
// when it does not open or the purge does not trust it: it is then neither
// read nor deleted.
bool OpenCacheFile(CacheFile& file, const TrustedOwners& owners, bool keepsOwners);

// Reads the whole open file; *length is 0 for a file that cannot be read or
// is larger than any certificate (64 KiB). The bytes stay valid until the
// next call.
const BYTE* ReadCacheFile(HANDLE file, DWORD* length);

// Deletes the open file and closes it: through its handle where Windows can
// and the handle may, elsewhere by its name right after closing the
// handle. A read-only file loses that attribute first, and gets it back if
// it stays. A file that cannot be deleted stays.
void DeleteCacheFile(CacheFile& file);
