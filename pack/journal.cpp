// The journal of what the tests may change, saved before the run and put
// back after each program and at the end.
#include <string.h>

#include "runner.h"

const wchar_t kCspKey[] = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Varkeld KSV CSP";

namespace {

// What Wine's per-program settings the tests write (under Wine only).
const wchar_t* const kWineKeys[] = {
    L"Software\\Wine\\AppDefaults\\VKKSVInitTool.exe",
    L"Software\\Wine\\AppDefaults\\VKKSVInitTool.exe\\DllOverrides",
    L"Software\\Wine\\AppDefaults\\cacheroot_probe.exe",
};
// The simulator's files, as a test copies them into the system folder.
const wchar_t* const kSystemFiles[] = {
    L"Korrim.dll", L"VarkeldKsvCsp.dll", L"keysim.ini", L"keysim-journal.txt", L"KorrimAux.dll",
};
const wchar_t* const kStores[] = {L"MY", L"addressbook"};
const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace

std::string Utf8(const Str& text)
{
    char buffer[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof(buffer) - 1, NULL, NULL);
    return buffer;
}

Str Wide(const std::string& text)
{
    wchar_t buffer[4096] = {};
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, ARRAYSIZE(buffer) - 1);
    return buffer;
}

Str SystemFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

// The certificate functions, from crypt32.dll in the system folder.
namespace {

struct Crypt {
    decltype(&CertOpenStore) Open;
    decltype(&CertCloseStore) Close;
    decltype(&CertEnumCertificatesInStore) Enum;
    decltype(&CertGetCertificateContextProperty) Property;
    decltype(&CertDuplicateCertificateContext) Duplicate;
    decltype(&CertDeleteCertificateFromStore) Delete;
    decltype(&CertAddEncodedCertificateToStore) Add;
    decltype(&CertControlStore) Control;
} g_crypt;

}  // namespace

bool LoadCrypt()
{
    HMODULE module = LoadLibraryW((SystemFolder() + L"\\crypt32.dll").c_str());
    if (module == NULL) return false;
    void** slots = reinterpret_cast<void**>(&g_crypt);
    const char* names[] = {"CertOpenStore", "CertCloseStore", "CertEnumCertificatesInStore",
                           "CertGetCertificateContextProperty", "CertDuplicateCertificateContext",
                           "CertDeleteCertificateFromStore", "CertAddEncodedCertificateToStore",
                           "CertControlStore"};
    for (size_t i = 0; i < ARRAYSIZE(names); ++i) {
        slots[i] = reinterpret_cast<void*>(GetProcAddress(module, names[i]));
        if (slots[i] == NULL) return false;
    }
    return true;
}

namespace {

std::string Hex(const BYTE* bytes, size_t size)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < size; ++i) {
        StringCchPrintfA(pair, ARRAYSIZE(pair), "%02x", bytes[i]);
        text += pair;
    }
    return text.empty() ? "-" : text;
}

std::vector<BYTE> Unhex(const std::string& text)
{
    std::vector<BYTE> bytes;
    for (size_t i = 0; text != "-" && i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(strtoul(text.substr(i, 2).c_str(), NULL, 16)));
    }
    return bytes;
}

}  // namespace

bool ReadFileBytes(const Str& path, std::vector<BYTE>* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(file, NULL), read = 0;
    bytes->assign(size, 0);
    BOOL ok = size == 0 || ReadFile(file, &(*bytes)[0], size, &read, NULL);
    CloseHandle(file);
    return ok && read == size;
}

namespace {

bool WriteFileBytes(const Str& path, const std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &written, NULL);
    CloseHandle(file);
    return ok && written == bytes.size();
}

}  // namespace

bool Exists(const Str& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<Str> List(const Str& folder)
{
    std::vector<Str> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) {
            names.push_back(entry.cFileName);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

void DeleteTree(const Str& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const Str& name : List(path)) DeleteTree(path + L"\\" + name);
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

// ---- What the tests may change, saved to and put back from the journal ----
//
// The journal is a text file of one entry per line, fields split by tabs:
//   key <HKLM|HKCU> <view flag> <path> <absent|present>   then per value:
//   value <type> <name, hex> <data, hex>
//   file <path> <absent|saved copy>
//   folder <path> <absent|present>   then per entry: entry <name> <saved copy|->
//   root <path> <absent|present>     (a cache root: only whether it is there)
//   store <name>                     then per certificate: cert <saved copy>
// Saved copies lie in RunTests.saved\ beside it.

Str JournalPath() { return g_dir + L"\\RunTests.journal"; }
Str SavedFolder() { return g_dir + L"\\RunTests.saved"; }

HKEY Root(const std::string& name) { return name == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

namespace {

struct Saver {
    std::string text;
    int copies = 0;

    std::string Copy(const std::vector<BYTE>& bytes)
    {
        char name[32];
        StringCchPrintfA(name, ARRAYSIZE(name), "%d.bin", ++copies);
        WriteFileBytes(SavedFolder() + L"\\" + Wide(name), bytes);
        return name;
    }

    void Key(const char* root, REGSAM view, const Str& path)
    {
        HKEY key = NULL;
        char head[64];
        StringCchPrintfA(head, ARRAYSIZE(head), "key\t%s\t%lu\t", root, static_cast<unsigned long>(view));
        if (RegOpenKeyExW(Root(root), path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
            text += head + Utf8(path) + "\tabsent\n";
            return;
        }
        text += head + Utf8(path) + "\tpresent\n";
        for (DWORD i = 0;; ++i) {
            wchar_t name[512];
            BYTE data[8192];
            DWORD nameLength = ARRAYSIZE(name), size = sizeof(data), type = 0;
            if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size) != ERROR_SUCCESS) break;
            char line[64];
            StringCchPrintfA(line, ARRAYSIZE(line), "value\t%lu\t", static_cast<unsigned long>(type));
            text += line + Hex(reinterpret_cast<BYTE*>(name), nameLength * sizeof(wchar_t)) + "\t" +
                    Hex(data, size) + "\n";
        }
        RegCloseKey(key);
    }

    void File(const Str& path)
    {
        std::vector<BYTE> bytes;
        text += "file\t" + Utf8(path) + "\t" + (ReadFileBytes(path, &bytes) ? Copy(bytes) : "absent") + "\n";
    }

    void Folder(const Str& path)
    {
        bool present = Exists(path);
        text += "folder\t" + Utf8(path) + (present ? "\tpresent\n" : "\tabsent\n");
        for (const Str& name : List(path)) {
            std::vector<BYTE> bytes;
            bool file = !(GetFileAttributesW((path + L"\\" + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY);
            std::string copy = file && ReadFileBytes(path + L"\\" + name, &bytes) ? Copy(bytes) : "-";
            text += "entry\t" + Utf8(name) + "\t" + copy + "\n";
        }
    }

    void Store(const wchar_t* name)
    {
        text += "store\t" + Utf8(name) + "\n";
        HCERTSTORE store = g_crypt.Open(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0,
                                        CERT_SYSTEM_STORE_CURRENT_USER, name);
        if (store == NULL) return;
        PCCERT_CONTEXT cert = NULL;
        while ((cert = g_crypt.Enum(store, cert)) != NULL) {
            text += "cert\t" + Copy(std::vector<BYTE>(cert->pbCertEncoded,
                                                      cert->pbCertEncoded + cert->cbCertEncoded)) + "\n";
        }
        g_crypt.Close(store, 0);
    }
};

// The cache roots of every Windows version (the tests make Wine report
// older ones), each with the CSP's cache folder in it.
}  // namespace

std::vector<Str> CacheRoots()
{
    std::vector<Str> roots;
    wchar_t path[MAX_PATH] = {};
    if (GetWindowsDirectoryW(path, MAX_PATH) > 0) {
        roots.push_back(Str(path) + L"\\TEMP");
        roots.push_back(Str(path).substr(0, 2) + L"\\TEMP");  // the fallback when a lookup fails
    }
    typedef HRESULT(WINAPI * FolderPath)(HWND, int, HANDLE, DWORD, LPWSTR);
    HMODULE shell = LoadLibraryW((SystemFolder() + L"\\shell32.dll").c_str());
    FolderPath get = shell != NULL ? reinterpret_cast<FolderPath>(reinterpret_cast<void*>(
                                         GetProcAddress(shell, "SHGetFolderPathW")))
                                   : NULL;
    const int folders[] = {0x001c /* CSIDL_LOCAL_APPDATA */, 0x002e /* CSIDL_COMMON_DOCUMENTS */};
    for (int folder : folders) {
        if (get != NULL && get(NULL, folder, NULL, 0, path) == S_OK) roots.push_back(Str(path) + L"\\TEMP");
    }
    return roots;
}

REGSAM CspView() { return g_wow64 ? KEY_WOW64_32KEY : 0; }

std::string Snapshot()
{
    Saver saver;
    saver.Key("HKLM", CspView(), kCspKey);
    if (g_wine) {
        for (const wchar_t* key : kWineKeys) saver.Key("HKCU", 0, key);
    }
    for (const wchar_t* name : kSystemFiles) saver.File(SystemFolder() + L"\\" + name);
    for (const Str& root : CacheRoots()) {
        saver.Folder(root + L"\\Varkeld KSV CSP");
        saver.text += "root\t" + Utf8(root) + (Exists(root) ? "\tpresent\n" : "\tabsent\n");
    }
    // Folders the tests copy the simulator into, on the system drive.
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const wchar_t* const copies[] = {L"\\Program Files\\Maker", L"\\keysim-\u6dfa\\lib", L"\\keysim-\u6dfa",
                                     L"\\keysim\u6dfa"};
    for (const wchar_t* copy : copies) saver.Folder(Str(windows).substr(0, 2) + copy);
    for (const wchar_t* store : kStores) saver.Store(store);
    return saver.text;
}

namespace {

void Changed(const std::string& what)
{
    for (const std::string& seen : g_changes) {
        if (seen == what) return;
    }
    g_changes.push_back(what);
}

// The parts of text between separators (at least one, maybe empty).
}  // namespace

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::vector<std::string> Fields(const std::string& line) { return Split(line, '\t'); }

namespace {

struct SavedValue {
    DWORD type;
    Str name;
    std::vector<BYTE> data;
};

void RestoreKey(const std::string& root, REGSAM view, const Str& path, bool present,
                const std::vector<SavedValue>& values, bool apply)
{
    std::string where = root + "\\" + Utf8(path);
    HKEY key = NULL;
    if (!present) {
        if (RegOpenKeyExW(Root(root), path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
        RegCloseKey(key);
        Changed("registry key " + where + ": created by the tests, deleted");
        if (!apply) return;
        // Subkeys first: RegDeleteKey takes only a key without subkeys.
        for (;;) {
            wchar_t sub[256];
            DWORD length = ARRAYSIZE(sub);
            HKEY parent = NULL;
            if (RegOpenKeyExW(Root(root), path.c_str(), 0, KEY_READ | view, &parent) != ERROR_SUCCESS) break;
            LONG found = RegEnumKeyExW(parent, 0, sub, &length, NULL, NULL, NULL, NULL);
            RegCloseKey(parent);
            if (found != ERROR_SUCCESS) break;
            RestoreKey(root, view, path + L"\\" + sub, false, values, true);
        }
        typedef LONG(WINAPI * DeleteKeyEx)(HKEY, LPCWSTR, REGSAM, DWORD);
        DeleteKeyEx deleteEx = Lookup<DeleteKeyEx>("advapi32.dll", "RegDeleteKeyExW");
        if (view != 0 && deleteEx != NULL) {
            deleteEx(Root(root), path.c_str(), view, 0);
        } else {
            RegDeleteKeyW(Root(root), path.c_str());
        }
        return;
    }
    if (RegCreateKeyExW(Root(root), path.c_str(), 0, NULL, 0, KEY_READ | KEY_SET_VALUE | view, NULL, &key,
                        NULL) != ERROR_SUCCESS) {
        return;
    }
    // Values the tests added go, the saved ones come back as they were.
    std::vector<Str> extra;
    for (DWORD i = 0;; ++i) {
        wchar_t name[512];
        BYTE data[8192];
        DWORD nameLength = ARRAYSIZE(name), size = sizeof(data), type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size) != ERROR_SUCCESS) break;
        bool same = false, known = false;
        for (const SavedValue& value : values) {
            if (value.name == name) {
                known = true;
                same = value.type == type && value.data.size() == size &&
                       (size == 0 || memcmp(&value.data[0], data, size) == 0);
            }
        }
        if (!known) extra.push_back(name);
        if (known && !same) Changed("registry value " + where + "\\" + Utf8(name) + ": changed, put back");
    }
    for (const Str& name : extra) {
        Changed("registry value " + where + "\\" + Utf8(name) + ": added by the tests, deleted");
        if (apply) RegDeleteValueW(key, name.c_str());
    }
    for (const SavedValue& value : values) {
        if (apply) {
            RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.empty() ? NULL : &value.data[0],
                           static_cast<DWORD>(value.data.size()));
        }
    }
    RegCloseKey(key);
}

std::vector<BYTE> Saved(const std::string& copy)
{
    std::vector<BYTE> bytes;
    ReadFileBytes(SavedFolder() + L"\\" + Wide(copy), &bytes);
    return bytes;
}

void RestoreFile(const Str& path, const std::string& copy, bool apply)
{
    std::vector<BYTE> now;
    bool there = ReadFileBytes(path, &now);
    if (copy == "absent") {
        if (!there && !Exists(path)) return;
        Changed("file " + Utf8(path) + ": created by the tests, deleted");
        if (apply) DeleteTree(path);
        return;
    }
    std::vector<BYTE> before = Saved(copy);
    if (there && now == before) return;
    Changed("file " + Utf8(path) + (there ? ": changed, put back" : ": deleted by the tests, put back"));
    if (apply) WriteFileBytes(path, before);
}

struct SavedEntry {
    Str name;
    std::string copy;
};

void RestoreFolder(const Str& path, bool present, const std::vector<SavedEntry>& entries, bool apply,
                   bool root = false)
{
    if (!present) {
        if (!Exists(path)) return;
        Changed("folder " + Utf8(path) + ": created by the tests, deleted");
        if (apply) {
            for (const Str& name : List(path)) DeleteTree(path + L"\\" + name);
            RemoveDirectoryW(path.c_str());
        }
        return;
    }
    if (!Exists(path)) {
        Changed("folder " + Utf8(path) + ": deleted by the tests, put back");
        if (apply) CreateDirectoryW(path.c_str(), NULL);
    }
    if (root) return;  // its entries are not the tests'
    for (const Str& name : List(path)) {
        bool known = false;
        for (const SavedEntry& entry : entries) known = known || lstrcmpiW(entry.name.c_str(), name.c_str()) == 0;
        if (!known) RestoreFile(path + L"\\" + name, "absent", apply);
    }
    for (const SavedEntry& entry : entries) {
        if (entry.copy != "-") RestoreFile(path + L"\\" + entry.name, entry.copy, apply);
    }
}

void RestoreStore(const Str& name, const std::vector<std::string>& copies, bool apply)
{
    HCERTSTORE store = g_crypt.Open(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                                    name.c_str());
    if (store == NULL) return;
    std::vector<std::vector<BYTE>> before;
    for (const std::string& copy : copies) before.push_back(Saved(copy));
    std::vector<bool> found(before.size(), false);
    // Certificates the tests added: collected in the walk, deleted after it.
    std::vector<PCCERT_CONTEXT> added;
    PCCERT_CONTEXT cert = NULL;
    while ((cert = g_crypt.Enum(store, cert)) != NULL) {
        std::vector<BYTE> bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        bool known = false;
        for (size_t i = 0; i < before.size(); ++i) {
            if (before[i] == bytes) known = found[i] = true;
        }
        if (!known) added.push_back(g_crypt.Duplicate(cert));
    }
    bool changed = false;
    for (PCCERT_CONTEXT extra : added) {
        Changed("certificate store " + Utf8(name) + ": certificates added by the tests, deleted");
        if (apply) {
            g_crypt.Delete(extra);  // frees the context
            changed = true;
        }
    }
    for (size_t i = 0; i < before.size(); ++i) {
        if (found[i]) continue;
        Changed("certificate store " + Utf8(name) + ": certificates deleted by the tests, put back");
        if (apply && !before[i].empty()) {
            g_crypt.Add(store, X509_ASN_ENCODING, &before[i][0], static_cast<DWORD>(before[i].size()),
                        CERT_STORE_ADD_USE_EXISTING, NULL);
            changed = true;
        }
    }
    if (changed) g_crypt.Control(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    g_crypt.Close(store, 0);
}

// Puts back what the journal holds; with apply false, only notes what
// differs from it.
}  // namespace

void Restore(const std::string& journal, bool apply)
{
    std::vector<std::string> lines = Split(journal, '\n');
    lines.push_back("end");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> f = Fields(lines[i]);
        size_t next = i + 1;
        if (f[0] == "key" && f.size() == 5) {
            std::vector<SavedValue> values;
            for (; Fields(lines[next])[0] == "value"; ++next) {
                std::vector<std::string> v = Fields(lines[next]);
                std::vector<BYTE> name = Unhex(v[2]);
                name.push_back(0);
                name.push_back(0);
                values.push_back({strtoul(v[1].c_str(), NULL, 10),
                                  reinterpret_cast<const wchar_t*>(&name[0]), Unhex(v[3])});
            }
            RestoreKey(f[1], strtoul(f[2].c_str(), NULL, 10), Wide(f[3]), f[4] == "present", values, apply);
        } else if (f[0] == "file" && f.size() == 3) {
            RestoreFile(Wide(f[1]), f[2], apply);
        } else if (f[0] == "folder" && f.size() == 3) {
            std::vector<SavedEntry> entries;
            for (; Fields(lines[next])[0] == "entry"; ++next) {
                std::vector<std::string> e = Fields(lines[next]);
                entries.push_back({Wide(e[1]), e.size() > 2 ? e[2] : "-"});
            }
            RestoreFolder(Wide(f[1]), f[2] == "present", entries, apply);
        } else if (f[0] == "root" && f.size() == 3) {
            RestoreFolder(Wide(f[1]), f[2] == "present", std::vector<SavedEntry>(), apply, true);
        } else if (f[0] == "store" && f.size() == 2) {
            std::vector<std::string> copies;
            for (; Fields(lines[next])[0] == "cert"; ++next) copies.push_back(Fields(lines[next])[1]);
            RestoreStore(Wide(f[1]), copies, apply);
        } else {
            continue;
        }
        i = next - 1;
    }
}

std::string ReadJournal()
{
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(JournalPath(), &bytes)) return std::string();
    return std::string(bytes.begin(), bytes.end());
}

void ForgetJournal()
{
    DeleteFileW(JournalPath().c_str());
    DeleteTree(SavedFolder());
}

