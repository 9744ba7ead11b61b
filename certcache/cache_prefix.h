// File-name prefix of one key's cached certificates.
//
// The CSP names a key's cache files after the key's reader (slot) name: the
// name is normalised into a reader key of at least 40 characters, and the
// prefix is the key's length plus one ("%02d"), an underscore and the key,
// for example "41_Reader A00000000000000000000000000000000".
//
// This code uses the C/C++ standard library only, so it also builds natively
// (for the fuzzer).
#pragma once

#ifdef _WIN32
#include <windows.h>
#elif !defined(MAX_PATH)
#define MAX_PATH 260
#endif

// Results of MakeCachePrefix.
const int CACHE_PREFIX_OK = 0;
const int CACHE_PREFIX_BADARG = 1;    // no name or no output buffer
const int CACHE_PREFIX_TOO_LONG = 2;  // name, key or prefix does not fit 260 bytes

// Writes the reader key of slotName into key. Returns false, with key empty,
// when the name does not fit the 260-byte work buffer (259 characters at
// most) or an argument is missing; nothing is ever truncated.
bool MakeReaderKey(const char* slotName, char key[MAX_PATH]);

// Writes the cache prefix of slotName into prefix and returns CACHE_PREFIX_OK.
// On any failure the prefix is left empty and a non-zero result is returned:
// a prefix is never truncated, so it can never select another key's files.
int MakeCachePrefix(const char* slotName, char prefix[MAX_PATH]);
