// The current user's certificate stores, through crypt32.dll from the
// system folder, each function bound by its name into its typed slot.
#include "runner.h"

namespace {

struct Crypt {
    decltype(&CertOpenStore) Open;
    decltype(&CertCloseStore) Close;
    decltype(&CertEnumCertificatesInStore) Enum;
    decltype(&CertDuplicateCertificateContext) Duplicate;
    decltype(&CertDeleteCertificateFromStore) Delete;
    decltype(&CertSerializeCertificateStoreElement) Serialize;
    decltype(&CertAddSerializedElementToStore) AddSerialized;
    decltype(&CertControlStore) Control;
    decltype(&CertGetNameStringW) Name;
    decltype(&CertFreeCertificateContext) Free;
} g_crypt;

const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn* slot)
{
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *slot != NULL;
}

HCERTSTORE OpenStore(const wchar_t* name)
{
    return g_crypt.Open(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
}

bool OneOf(const std::vector<BYTE>& bytes, const std::vector<std::vector<BYTE>>& set)
{
    for (const std::vector<BYTE>& one : set) {
        if (one == bytes) return true;
    }
    return false;
}

}  // namespace

bool LoadCrypt()
{
    HMODULE module = LoadLibraryW((SystemFolder() + L"\\crypt32.dll").c_str());
    return module != NULL && Bind(module, "CertOpenStore", &g_crypt.Open) &&
           Bind(module, "CertCloseStore", &g_crypt.Close) &&
           Bind(module, "CertEnumCertificatesInStore", &g_crypt.Enum) &&
           Bind(module, "CertDuplicateCertificateContext", &g_crypt.Duplicate) &&
           Bind(module, "CertDeleteCertificateFromStore", &g_crypt.Delete) &&
           Bind(module, "CertSerializeCertificateStoreElement", &g_crypt.Serialize) &&
           Bind(module, "CertAddSerializedElementToStore", &g_crypt.AddSerialized) &&
           Bind(module, "CertControlStore", &g_crypt.Control) && Bind(module, "CertGetNameStringW", &g_crypt.Name) &&
           Bind(module, "CertFreeCertificateContext", &g_crypt.Free);
}

// The store's certificates, each serialized with its properties (its key's
// link, its friendly name).
std::vector<SavedCert> StoreCertificates(const wchar_t* name)
{
    std::vector<SavedCert> certs;
    HCERTSTORE store = OpenStore(name);
    if (store == NULL) return certs;
    PCCERT_CONTEXT cert = NULL;
    while ((cert = g_crypt.Enum(store, cert)) != NULL) {
        SavedCert saved;
        saved.encoded.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        DWORD size = 0;
        if (g_crypt.Serialize(cert, 0, NULL, &size) && size > 0) {
            saved.element.resize(size);
            if (!g_crypt.Serialize(cert, 0, &saved.element[0], &size)) saved.element.clear();
        }
        certs.push_back(saved);
    }
    g_crypt.Close(store, 0);
    return certs;
}

// Deletes the tests' own certificates that were not there before and puts
// back, with their properties, those the tests deleted; others stay.
void RestoreStore(const Str& name, const std::vector<SavedCert>& before, const std::vector<std::vector<BYTE>>& own,
                  bool apply)
{
    HCERTSTORE store = OpenStore(name.c_str());
    if (store == NULL) return;
    std::vector<bool> found(before.size(), false);
    // The tests' certificates: collected in the walk, deleted after it.
    std::vector<PCCERT_CONTEXT> added;
    PCCERT_CONTEXT cert = NULL;
    while ((cert = g_crypt.Enum(store, cert)) != NULL) {
        std::vector<BYTE> bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        bool known = false;
        for (size_t i = 0; i < before.size(); ++i) {
            if (before[i].encoded == bytes) known = found[i] = true;
        }
        if (known) continue;
        if (OneOf(bytes, own)) {
            added.push_back(g_crypt.Duplicate(cert));
            continue;
        }
        wchar_t subject[256] = {};
        g_crypt.Name(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, subject, ARRAYSIZE(subject));
        Left("certificate \"" + Utf8(subject) + "\" in \"" + Utf8(name) + "\": not the tests', left in place");
    }
    bool changed = false;
    for (PCCERT_CONTEXT extra : added) {
        Changed("certificate store " + Utf8(name) + ": certificates added by the tests, deleted");
        if (apply) {
            g_crypt.Delete(extra);  // frees the context
            changed = true;
        } else {
            g_crypt.Free(extra);
        }
    }
    for (size_t i = 0; i < before.size(); ++i) {
        if (found[i]) continue;
        Changed("certificate store " + Utf8(name) + ": certificates deleted by the tests, put back");
        if (apply && !before[i].element.empty()) {
            g_crypt.AddSerialized(store, &before[i].element[0], static_cast<DWORD>(before[i].element.size()),
                                  CERT_STORE_ADD_USE_EXISTING, 0, CERT_STORE_CERTIFICATE_CONTEXT_FLAG, NULL, NULL);
            changed = true;
        }
    }
    if (changed) g_crypt.Control(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    g_crypt.Close(store, 0);
}
