#include "certcache/certificate_api.h"

#include "common/system_library.h"

const char kCertificateLibrary[] = "crypt32.dll";

CertificateApi g_certificateApi = {};

namespace {

HMODULE s_library = NULL;

// CertControlStore where crypt32 lacks it: there a store's deletions are
// written back at once, and nothing is left to commit.
BOOL WINAPI NothingToCommit(HCERTSTORE, DWORD, DWORD, const void*)
{
    return TRUE;
}

}  // namespace

bool LoadCertificateApi(const char* library)
{
    if (s_library != NULL) {
        return true;
    }
    HMODULE module = LoadSystemLibrary(library);
    if (module == NULL) {
        return false;
    }
    CertificateApi api = {};
    bool bound = true;
#define CERTIFICATE_API_LOOKUP(name)                                                        \
    api.name = reinterpret_cast<decltype(&::name)>(                                         \
        reinterpret_cast<void (*)()>(GetProcAddress(module, #name)));
#define CERTIFICATE_API_BIND(name) \
    CERTIFICATE_API_LOOKUP(name)   \
    bound = bound && api.name != NULL;
    CERTIFICATE_API_FUNCTIONS(CERTIFICATE_API_BIND)
    CERTIFICATE_API_LOOKUP(CertControlStore)
#undef CERTIFICATE_API_BIND
#undef CERTIFICATE_API_LOOKUP
    if (api.CertControlStore == NULL) {
        api.CertControlStore = NothingToCommit;
    }
    if (!bound) {
        FreeLibrary(module);
        return false;
    }
    g_certificateApi = api;
    s_library = module;
    return true;
}

bool IsCertificateApiLoaded()
{
    return s_library != NULL;
}

void UnloadCertificateApi()
{
    if (s_library != NULL) {
        FreeLibrary(s_library);
        s_library = NULL;
        g_certificateApi = CertificateApi();
    }
}
