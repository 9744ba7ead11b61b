// Removal of one key's cached certificates: the key's ".cer" files in the
// CSP's cache folder, and for each file the matching certificate in the
// current user's "MY" or "addressbook" store.
#pragma once

#include <windows.h>

// Results of DeleteCertificateFromSystemStore.
const int CERT_DELETE_OK = 0;          // the matching certificate was deleted
const int CERT_DELETE_BADARG = 4;      // no data, or a length of 0
const int CERT_DELETE_NOTFOUND = 0x100; // the store holds no matching certificate
const int CERT_DELETE_FAILED = 0x102;  // not a certificate, store not opened, deletion failed

// Deletes the cached files of the key with this slot name from
// <cache root>\Varkeld KSV CSP\ and their certificates from the stores.
// Returns 0 in every case.
int PurgeCachedCertificates(const char* slotName);

// The purge of one cache folder, cacheDir in the folder root. Nothing is
// deleted unless root and cacheDir are plain folders (no link, junction or
// mount point), held open for the whole purge so that neither can be
// renamed, deleted or replaced meanwhile. Then every entry that the pattern
// <cacheDir>\<prefix>*.cer finds and whose long name really begins with the
// prefix and ends with ".cer" (case-insensitively, as Windows compares
// names) is opened once, as itself, not through a link, for reading and
// deleting, or for reading only where another program holds it or the user
// may not delete it. A plain file (no folder, no reparse point of any kind)
// with one name only, whose owner the purge trusts, is read whole from that
// handle (a file larger than 64 KiB holds no certificate), its certificate
// deleted from its store, and the file deleted after it (a read-only one
// too), through the handle or by its name once the handle is closed; a file
// that cannot be deleted stays. The handle is shared for reading only from
// the checks until then. Each store is opened and walked once, and changed
// only after the walk. An empty prefix, or a pattern or file path that does
// not fit 260 bytes, deletes nothing; so does a system without crypt32.
// Returns 0 in every case.
int PurgeCacheDirectory(const char* root, const char* cacheDir, const char* prefix);

// Deletes the first certificate that equals the encoded one (same issuer and
// serial number) from the current user's "addressbook" store when its public
// key is 65 bytes long, otherwise from "MY".
int DeleteCertificateFromSystemStore(const BYTE* encoded, DWORD length);
