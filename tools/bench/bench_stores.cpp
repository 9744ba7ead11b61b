#include "bench_stores.h"

#include <stdio.h>

#include "certcache/cache_prefix.h"
#include "certcache/cache_root.h"
#include "common/csp_name.h"
#include "keysim_state.h"
#include "tool_driver.h"

namespace bench {
namespace {

const uint32_t kSlot = 0x11;
const char kReader[] =
    "\\\\?\\hid#vid_1234&pid_5678#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const char kPin[] = "tq8053";

std::string g_cacheDir;
// The cache-file prefix of kReader, as the CSP names the key's files.
char g_prefix[MAX_PATH];
std::wstring g_keysimDir;

HCERTSTORE OpenUserStore(const wchar_t* name)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                         name);
}

}  // namespace

bool AddToStore(const wchar_t* name, const std::vector<const BenchCert*>& certs)
{
    if (certs.empty()) return true;
    HCERTSTORE store = OpenUserStore(name);
    if (store == NULL) return false;
    bool ok = true;
    for (const BenchCert* cert : certs) {
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, cert->der.data(),
                                              static_cast<DWORD>(cert->der.size()),
                                              CERT_STORE_ADD_USE_EXISTING, NULL) &&
             ok;
    }
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    return ok;
}

std::set<std::vector<BYTE>> MadeCertsIn(const CertMaker& maker, const wchar_t* name, bool remove)
{
    std::set<std::vector<BYTE>> found;
    HCERTSTORE store = OpenUserStore(name);
    if (store == NULL) return found;
    std::vector<PCCERT_CONTEXT> doomed;
    PCCERT_CONTEXT cert = NULL;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != NULL) {
        if (maker.IsMade(cert)) {
            found.insert(std::vector<BYTE>(cert->pbCertEncoded,
                                           cert->pbCertEncoded + cert->cbCertEncoded));
            if (remove) doomed.push_back(CertDuplicateCertificateContext(cert));
        }
    }
    for (PCCERT_CONTEXT victim : doomed) {
        CertDeleteCertificateFromStore(victim);  // frees the duplicate
    }
    if (remove) CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    return found;
}

size_t RemoveMadeCerts(const CertMaker& maker)
{
    return MadeCertsIn(maker, L"MY", true).size() + MadeCertsIn(maker, L"addressbook", true).size();
}

size_t CountMadeCerts(const CertMaker& maker)
{
    return MadeCertsIn(maker, L"MY", false).size() +
           MadeCertsIn(maker, L"addressbook", false).size();
}

bool SetUpCacheDir()
{
    char root[MAX_PATH] = {};
    if (!GetCacheRoot(root)) return false;
    if (MakeCachePrefix(kReader, g_prefix) != CACHE_PREFIX_OK) return false;
    g_cacheDir = std::string(root) + "\\" + kCspName;
    CreateDirectoryA(g_cacheDir.c_str(), NULL);
    return true;
}

const std::string& CacheDir()
{
    return g_cacheDir;
}

std::vector<std::string> KeyCacheFiles()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((g_cacheDir + "\\" + g_prefix + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
}

void ClearCacheFiles()
{
    for (const std::string& name : KeyCacheFiles()) {
        DeleteFileA((g_cacheDir + "\\" + name).c_str());
    }
}

bool WriteCacheFile(int index, const BenchCert& cert)
{
    char name[MAX_PATH];
    snprintf(name, sizeof(name), "%s\\%sbench%04d.cer", g_cacheDir.c_str(), g_prefix, index);
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, cert.der.data(), static_cast<DWORD>(cert.der.size()), &written, NULL);
    CloseHandle(file);
    return ok && written == cert.der.size();
}

bool SetUpKeySim(const std::wstring& builtDir, std::string* error)
{
    g_keysimDir = BesideThisProgram(L"bench-keysim");
    CreateDirectoryW(g_keysimDir.c_str(), NULL);
    for (const wchar_t* file : {L"Korrim.dll", L"VarkeldKsvCsp.dll"}) {
        if (!CopyFileW(KeySimPath(builtDir, file).c_str(), KeySimPath(g_keysimDir, file).c_str(),
                       FALSE)) {
            *error = "cannot copy " + Narrow(KeySimPath(builtDir, file));
            return false;
        }
    }
    if (!KeySimRegisterCsp(KeySimPath(g_keysimDir, L"VarkeldKsvCsp.dll"))) {
        *error = "cannot register the simulated CSP";
        return false;
    }
    return true;
}

void TearDownKeySim()
{
    KeySimUnregisterCsp();
    SaveKeySimState(g_keysimDir, KeySimState());
}

bool PlugKey()
{
    KeySimState state;
    return PlugKeySimKey(&state, kSlot, kReader, kPin, 5) &&
           EnrolKeySimCert(&state, kSlot, "bench certificate") &&
           SaveKeySimState(g_keysimDir, state) &&
           WriteWholeFile(KeySimPath(g_keysimDir, kKeySimJournalFile), std::string());
}

bool KeyIsBlank()
{
    KeySimState state;
    if (!LoadKeySimState(g_keysimDir, &state)) return false;
    const KeySimKey* key = FindKeySimKey(state, kSlot);
    return key != NULL && key->blank;
}

}  // namespace bench
