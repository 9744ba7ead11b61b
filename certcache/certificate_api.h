// The certificate functions the purge uses, bound at run time from the
// system folder's crypt32.dll. The tool does not import crypt32: it is no
// DLL that Windows protects from being planted beside a program, so linking
// it would let a copy lying beside the tool be loaded before the tool's
// first line runs.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Every function the purge needs from crypt32, each member named after its
// function (bound with common/function_binder.h).
struct CertificateApi {
    decltype(&::CertCreateCertificateContext) CertCreateCertificateContext;
    decltype(&::CertFreeCertificateContext) CertFreeCertificateContext;
    decltype(&::CertDuplicateCertificateContext) CertDuplicateCertificateContext;
    decltype(&::CertOpenStore) CertOpenStore;
    decltype(&::CertEnumCertificatesInStore) CertEnumCertificatesInStore;
    decltype(&::CertCompareCertificate) CertCompareCertificate;
    decltype(&::CertDeleteCertificateFromStore) CertDeleteCertificateFromStore;
    decltype(&::CertCloseStore) CertCloseStore;
    // Writes a store's deletions back. Windows writes them at once anyway,
    // and an early crypt32 (Windows NT 4.0) lacks it: there a stand-in that
    // does nothing and reports success is bound.
    decltype(&::CertControlStore) CertControlStore;
};

// The bound functions; valid while LoadCertificateApi's library is loaded.
extern CertificateApi g_certificateApi;

// The library the functions come from, in the system folder.
extern const char kCertificateLibrary[];

// Loads `library` from the system folder and binds every function above.
// True when all the needed ones are bound; nothing is bound, and nothing
// stays loaded, when the library or any needed function is missing. Does
// nothing, and returns true, while a library is loaded already.
bool LoadCertificateApi(const char* library = kCertificateLibrary);

// Whether a library is loaded and its functions bound.
bool IsCertificateApiLoaded();

// Releases the library; safe to call when none is loaded.
void UnloadCertificateApi();
