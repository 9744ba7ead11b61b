#include "certcache/certificate_api.h"

#include "common/function_binder.h"

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
    CertificateApi api = {};
    const FunctionBinding bindings[] = {
        NEEDED_FUNCTION(api, CertCreateCertificateContext),
        NEEDED_FUNCTION(api, CertFreeCertificateContext),
        NEEDED_FUNCTION(api, CertDuplicateCertificateContext),
        NEEDED_FUNCTION(api, CertOpenStore),
        NEEDED_FUNCTION(api, CertEnumCertificatesInStore),
        NEEDED_FUNCTION(api, CertCompareCertificate),
        NEEDED_FUNCTION(api, CertDeleteCertificateFromStore),
        NEEDED_FUNCTION(api, CertCloseStore),
        OPTIONAL_FUNCTION(api, CertControlStore),
    };
    HMODULE module = LoadAndBindFunctions(library, bindings);
    if (module == NULL) {
        return false;
    }
    if (api.CertControlStore == NULL) {
        api.CertControlStore = NothingToCommit;
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
