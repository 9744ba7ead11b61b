// The current user's certificate stores, the key's cache files and the
// simulated key, as the benchmark sets them up and checks them.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "bench_certs.h"

namespace bench {

// Adds the certificates to a current-user store (keeping any already there)
// and writes the store back.
bool AddToStore(const wchar_t* name, const std::vector<const BenchCert*>& certs);

// The encodings of the benchmark's certificates in a current-user store.
// With remove, deletes them: collected during the walk, deleted after it (a
// walk does not go on past a deletion), then written back.
std::set<std::vector<BYTE>> MadeCertsIn(const CertMaker& maker, const wchar_t* name, bool remove);

// The benchmark's certificates in "MY" and "addressbook": removed, counted.
size_t RemoveMadeCerts(const CertMaker& maker);
size_t CountMadeCerts(const CertMaker& maker);

// Finds the CSP's cache folder below the cache root and makes it when
// missing, and the key's cache-file prefix; false when there is no cache
// root or no prefix.
bool SetUpCacheDir();
const std::string& CacheDir();
// The names of the key's cache files in the cache folder.
std::vector<std::string> KeyCacheFiles();
void ClearCacheFiles();
// Writes the cache file <key prefix>benchNNNN.cer holding the certificate.
bool WriteCacheFile(int index, const BenchCert& cert);

// Copies the simulator's library and placeholder CSP file from builtDir to
// bench-keysim\ beside this program and registers the CSP there.
bool SetUpKeySim(const std::wstring& builtDir, std::string* error);
// Unregisters the CSP and empties the simulator's state.
void TearDownKeySim();
// A fresh key in the slot, holding a certificate (not blank), and an empty
// journal.
bool PlugKey();
bool KeyIsBlank();

}  // namespace bench
