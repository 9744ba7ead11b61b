// RunTests.exe: runs the test pack's programs on the Windows it is started
// on, with the setup each program expects, and writes a report. Before it
// changes anything it writes a journal beside itself of everything its tests
// may change (registry keys, files in the system folder and the cache
// folders, the current user's "MY" and "addressbook" certificates), and puts
// all of it back after every program and at the end; a run that was cut off
// is put back when the runner next starts.
//
//   RunTests.exe [program[:gtest filter]]...
//
// With no argument every program runs; otherwise the programs named (see
// kPrograms), each with its filter if given.
#include <windows.h>
#include <wincrypt.h>
#include <strsafe.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

typedef std::wstring Str;

struct Program {
    const char* name;     // in the report and on the command line
    const wchar_t* exe;   // in tests\ .
    bool gtest;           // a GoogleTest program (else: exit code 0 passes)
    bool windows;         // opens windows (under Wine: in a virtual desktop)
    bool admin;           // writes HKEY_LOCAL_MACHINE and the system folder
    DWORD seconds;        // time limit
};

const Program kPrograms[] = {
    {"certcache", L"certcache_tests.exe", true, false, false, 600},
    {"keyinit", L"keyinit_test.exe", true, false, true, 600},
    {"run", L"keyrun_test.exe", true, false, true, 600},
    {"simulator", L"simulator_tests.exe", true, false, true, 600},
    {"resources.layout", L"resview.exe", false, false, false, 120},
    {"app", L"dialog_test.exe", true, true, false, 600},
    {"texts", L"tool_texts_test.exe", true, true, true, 900},
    {"e2e", L"tool_e2e_test.exe", true, true, true, 1800},
};

const wchar_t kCspKey[] = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Varkeld KSV CSP";
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

Str g_dir;          // the pack's folder, no trailing backslash
FILE* g_report;     // report.txt beside the runner
bool g_wine, g_wow64, g_admin;
// The job that holds a running program and all it starts (Windows 2000 and
// later; NT 4.0 has no jobs, and there only the program itself is ended).
struct Jobs {
    decltype(&CreateJobObjectW) Create;
    decltype(&SetInformationJobObject) SetInformation;
    decltype(&AssignProcessToJobObject) Assign;
    decltype(&TerminateJobObject) Terminate;
} g_jobs;
HANDLE g_job;
volatile LONG g_interrupted;
int g_passed, g_failed, g_skipped;
std::vector<std::string> g_changes;  // what a restore put back, once each

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

// One line (or more) to the console and the report.
void Out(const char* format, ...)
{
    char line[2048] = {};
    va_list args;
    va_start(args, format);
    StringCchVPrintfA(line, ARRAYSIZE(line), format, args);
    va_end(args);
    fputs(line, stdout);
    fflush(stdout);
    if (g_report != NULL) {
        fputs(line, g_report);
        fflush(g_report);
    }
}

template <typename Fn>
Fn Lookup(const char* module, const char* name)
{
    HMODULE handle = GetModuleHandleA(module);
    return handle != NULL ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)))
                          : NULL;
}

Str SystemFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

// The certificate functions, from crypt32.dll in the system folder.
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

bool WriteFileBytes(const Str& path, const std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &written, NULL);
    CloseHandle(file);
    return ok && written == bytes.size();
}

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

void Changed(const std::string& what)
{
    for (const std::string& seen : g_changes) {
        if (seen == what) return;
    }
    g_changes.push_back(what);
}

// The parts of text between separators (at least one, maybe empty).
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

// ---- Refusal: the maker's CSP or library on this PC ----

bool InPack(Str path)
{
    wchar_t expanded[MAX_PATH] = {};
    if (ExpandEnvironmentStringsW(path.c_str(), expanded, MAX_PATH) > 0) path = expanded;
    Str prefix = g_dir + L"\\";
    return path.size() > prefix.size() &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, path.c_str(), static_cast<int>(prefix.size()),
                          prefix.c_str(), static_cast<int>(prefix.size())) == CSTR_EQUAL;
}

// Why the runner must not touch this PC; empty when it may. A leftover of
// an interrupted run (journal: absent before) is the pack's own.
std::string Foreign(const std::string& journal)
{
    const REGSAM views[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    bool ours = journal.find("key\tHKLM\t") != std::string::npos &&
                journal.find(Utf8(kCspKey) + "\tabsent") != std::string::npos;
    for (int i = 0; i < (g_wow64 ? 2 : 1) && !ours; ++i) {
        HKEY key = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCspKey, 0, KEY_READ | (g_wow64 ? views[i] : 0), &key) !=
            ERROR_SUCCESS) {
            continue;
        }
        wchar_t path[MAX_PATH] = {};
        DWORD size = sizeof(path) - sizeof(wchar_t), type = 0;
        LONG read = RegQueryValueExW(key, L"Image Path", NULL, &type, reinterpret_cast<BYTE*>(path), &size);
        RegCloseKey(key);
        if (read != ERROR_SUCCESS || !InPack(path)) {
            return "\"Varkeld KSV CSP\" is registered with \"Image Path\" " +
                   (read == ERROR_SUCCESS ? Utf8(path) : std::string("(none)")) + ", outside this pack";
        }
    }
    Str library = SystemFolder() + L"\\Korrim.dll";
    std::vector<BYTE> installed;
    if (!ReadFileBytes(library, &installed) ||
        journal.find("file\t" + Utf8(library) + "\tabsent") != std::string::npos) {
        return std::string();
    }
    Str simulator = g_dir + L"\\simulator";
    std::vector<Str> folders(1, simulator);
    for (const Str& variant : List(simulator + L"\\variants")) folders.push_back(simulator + L"\\variants\\" + variant);
    for (const Str& folder : folders) {
        std::vector<BYTE> ours;
        if (ReadFileBytes(folder + L"\\Korrim.dll", &ours) && ours == installed) return std::string();
    }
    return Utf8(library) + " is not the pack's";
}

// ---- The machine ----

Str UiLanguageName(LANGID language)
{
    if (language == 0x0804) return L"zh_CN";
    if (language == 0x0404) return L"zh_TW";
    if (PRIMARYLANGID(language) == LANG_ENGLISH) return L"en";
    return L"other";
}

LANGID UiLanguage()
{
    typedef LANGID(WINAPI * Get)();
    Get get = Lookup<Get>("kernel32.dll", "GetUserDefaultUILanguage");
    return get != NULL ? get() : GetUserDefaultLangID();
}

void DescribeMachine()
{
    typedef LONG(WINAPI * RtlGetVersion)(OSVERSIONINFOEXW*);
    typedef const char*(CDECL * WineVersion)();
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    RtlGetVersion rtl = Lookup<RtlGetVersion>("ntdll.dll", "RtlGetVersion");
    if (rtl == NULL || rtl(&version) != 0) GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    WineVersion wine = Lookup<WineVersion>("ntdll.dll", "wine_get_version");
    LANGID language = UiLanguage();
    wchar_t name[128] = {};
    GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_SENGLANGUAGE, name, ARRAYSIZE(name));
    Out("Windows %lu.%lu build %lu %s%s%s\n", version.dwMajorVersion, version.dwMinorVersion,
        version.dwBuildNumber, Utf8(version.szCSDVersion).c_str(), wine != NULL ? ", under Wine " : "",
        wine != NULL ? wine() : "");
    Out("%s, UI language %s (0x%04x), ANSI code page %u, %s\n",
        g_wow64 ? "64-bit Windows (this runner under WOW64)" : "32-bit Windows", Utf8(name).c_str(), language,
        GetACP(), g_admin ? "administrator" : "not an administrator");
}

bool CanWriteMachineKeys()
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider", 0,
                      KEY_CREATE_SUB_KEY | KEY_SET_VALUE | CspView(), &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// ---- Running a program ----

BOOL WINAPI OnBreak(DWORD)
{
    InterlockedExchange(&g_interrupted, 1);
    if (g_job != NULL) g_jobs.Terminate(g_job, 1);
    return TRUE;
}

// Runs the command line in the pack's work folder, its output into log;
// the exit code, or a note that it hung.
DWORD Start(Str command, const Program& program, const Str& log, bool* hung)
{
    if (program.windows && g_wine) {
        wchar_t windows[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        command = L"\"" + Str(windows) + L"\\explorer.exe\" /desktop=RunTests,1024x768 " + command;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE out = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(0);
    Str work = g_dir + L"\\work";
    *hung = false;
    if (!CreateProcessW(NULL, &line[0], NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, work.c_str(), &startup,
                        &process)) {
        CloseHandle(out);
        return GetLastError() | 0x80000000u;
    }
    // Everything it starts goes into the job, and ends with it.
    g_job = g_jobs.Create != NULL ? g_jobs.Create(NULL, NULL) : NULL;
    if (g_job != NULL) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        g_jobs.SetInformation(g_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        g_jobs.Assign(g_job, process.hProcess);
    }
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, program.seconds * 1000) == WAIT_TIMEOUT) {
        *hung = true;
        TerminateProcess(process.hProcess, 1);
    }
    if (g_job != NULL) {
        g_jobs.Terminate(g_job, 1);
        CloseHandle(g_job);
        g_job = NULL;
    }
    WaitForSingleObject(process.hProcess, 10000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(out);
    return code;
}

std::string Attribute(const std::string& line, const char* name)
{
    std::string key = std::string(" ") + name + "=\"";
    size_t start = line.find(key);
    if (start == std::string::npos) return std::string();
    start += key.size();
    std::string raw = line.substr(start, line.find('"', start) - start), text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            text += raw[i];
            continue;
        }
        size_t end = raw.find(';', i);
        std::string entity = raw.substr(i + 1, end - i - 1);
        text += entity == "lt" ? "<" : entity == "gt" ? ">" : entity == "amp" ? "&" : entity == "quot" ? "\"" :
                entity == "apos" ? "'" : " ";
        i = end;
    }
    size_t newline = text.find_first_of("\r\n");
    return newline == std::string::npos ? text : text.substr(0, newline);
}

void Case(const std::string& name, const char* verdict, const std::string& why)
{
    Out("  %s %s%s%s\n", verdict, name.c_str(), why.empty() ? "" : ": ", why.c_str());
    int& count = verdict[0] == 'P' ? g_passed : verdict[0] == 'F' ? g_failed : g_skipped;
    ++count;
}

// The cases of a program's JUnit XML; false when it has none.
bool ReadResults(const Str& xml)
{
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(xml, &bytes) || bytes.empty()) return false;
    std::string text(bytes.begin(), bytes.end()), name, why;
    const char* verdict = NULL;
    for (std::string line : Split(text, '\n')) {
        if (line.find("<testcase ") != std::string::npos) {
            if (Attribute(line, "status") == "notrun" || Attribute(line, "result") == "suppressed") continue;
            name = Attribute(line, "classname") + "." + Attribute(line, "name");
            verdict = Attribute(line, "result") == "skipped" ? "SKIP" : "PASS";
            why.clear();
            if (line.find("/>") == std::string::npos) continue;
        } else if (verdict != NULL && line.find("<failure ") != std::string::npos) {
            if (verdict[0] != 'F') why = Attribute(line, "message");
            verdict = "FAIL";
            continue;
        } else if (verdict != NULL && line.find("<skipped ") != std::string::npos) {
            why = Attribute(line, "message");
            continue;
        } else if (verdict == NULL || line.find("</testcase>") == std::string::npos) {
            continue;
        }
        Case(name, verdict, why);
        verdict = NULL;
    }
    return true;
}

// Skips each case of a program, listed by the program itself.
void SkipAll(const Program& program, const Str& filter, const std::string& why)
{
    Str command = L"\"" + g_dir + L"\\tests\\" + program.exe + L"\" --gtest_list_tests" + filter;
    Str log = g_dir + L"\\results\\" + Wide(program.name) + L".list.txt";
    bool hung = false;
    Program listing = program;
    listing.windows = false;
    Start(command, listing, log, &hung);
    std::vector<BYTE> bytes;
    ReadFileBytes(log, &bytes);
    std::string text(bytes.begin(), bytes.end()), suite;
    int cases = 0;
    for (std::string line : Split(text, '\n')) {
        line = line.substr(0, line.find_first_of("#\r"));
        while (!line.empty() && line[line.size() - 1] == ' ') line.erase(line.size() - 1);
        if (line.empty()) continue;
        if (line[0] != ' ') {
            suite = line;
        } else {
            Case(suite + line.substr(line.find_first_not_of(' ')), "SKIP", why);
            ++cases;
        }
    }
    if (cases == 0) Case(program.name, "SKIP", why);
}

void RunProgram(const Program& program, const Str& filter, const std::string& journal)
{
    Out("\n%s (tests\\%s)\n", program.name, Utf8(program.exe).c_str());
    if (program.admin && !g_admin) {
        SkipAll(program, filter,
                "needs an administrator (registers the CSP under HKEY_LOCAL_MACHINE, writes the system folder)");
        return;
    }
    Str results = g_dir + L"\\results\\" + Wide(program.name);
    Str command = L"\"" + g_dir + L"\\tests\\" + program.exe + L"\"";
    if (program.gtest) {
        command += L" --gtest_output=xml:\"" + results + L".xml\"" + filter;
    } else {
        // The layout check takes the language the loader should pick.
        LANGID language = UiLanguage();
        command += language == 0x0804 ? L" check 2052" : language == 0x0404 ? L" check 1028" : L" check 1033";
    }
    DeleteFileW((results + L".xml").c_str());
    bool hung = false;
    DWORD code = Start(command, program, results + L".log", &hung);
    Restore(journal, true);
    char why[200];
    StringCchPrintfA(why, ARRAYSIZE(why), hung ? "hung: ended after %lu s" : "ended with exit code 0x%lx",
                     hung ? static_cast<unsigned long>(program.seconds) : static_cast<unsigned long>(code));
    // The loader refused it: this Windows lacks a function or DLL it imports.
    if (!hung && (code == 0xC0000139u || code == 0xC0000135u || code == 0xC000007Bu)) {
        StringCchPrintfA(why, ARRAYSIZE(why), "does not load on this Windows (status 0x%lx: it lacks a "
                         "function or DLL the program imports)", static_cast<unsigned long>(code));
        Case(program.name, "SKIP", why);
        return;
    }
    if (!program.gtest) {
        Case(program.name, code == 0 && !hung ? "PASS" : "FAIL", code == 0 && !hung ? "" : why);
        return;
    }
    if (!ReadResults(results + L".xml") || hung) {
        Case(program.name, "FAIL", std::string(why) + " without results (see results\\" + program.name + ".log)");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // DLLs by bare name from the system folder only, where Windows can.
    typedef BOOL(WINAPI * SetDefault)(DWORD);
    typedef BOOL(WINAPI * SetDirectory)(LPCWSTR);
    SetDefault setDefault = Lookup<SetDefault>("kernel32.dll", "SetDefaultDllDirectories");
    SetDirectory setDirectory = Lookup<SetDirectory>("kernel32.dll", "SetDllDirectoryW");
    if (setDefault == NULL || !setDefault(0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */)) {
        if (setDirectory != NULL) setDirectory(L"");
    }
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    g_dir = self;
    g_dir.erase(g_dir.find_last_of(L'\\'));
    g_wine = Lookup<void*>("ntdll.dll", "wine_get_version") != NULL;
    typedef BOOL(WINAPI * IsWow64)(HANDLE, PBOOL);
    IsWow64 isWow64 = Lookup<IsWow64>("kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    g_wow64 = isWow64 != NULL && isWow64(GetCurrentProcess(), &wow64) && wow64;
    void** job = reinterpret_cast<void**>(&g_jobs);
    const char* jobNames[] = {"CreateJobObjectW", "SetInformationJobObject", "AssignProcessToJobObject",
                              "TerminateJobObject"};
    for (size_t i = 0; i < ARRAYSIZE(jobNames); ++i) job[i] = Lookup<void*>("kernel32.dll", jobNames[i]);
    if (job[1] == NULL || job[2] == NULL || job[3] == NULL) g_jobs.Create = NULL;
    if (!LoadCrypt()) {
        fputs("RunTests: cannot load crypt32.dll from the system folder; nothing was changed\n", stderr);
        return 2;
    }

    std::string earlier = ReadJournal();
    std::string foreign = Foreign(earlier);
    if (!foreign.empty()) {
        printf("RunTests: refused, nothing was changed: %s\n", foreign.c_str());
        return 2;
    }
    g_report = _wfopen((g_dir + L"\\report.txt").c_str(), L"w");
    if (!earlier.empty()) {
        Out("An earlier run was cut off; what it changed is put back first:\n");
        Restore(earlier, true);
        for (const std::string& change : g_changes) Out("  %s\n", change.c_str());
        ForgetJournal();
        g_changes.clear();
    }
    g_admin = CanWriteMachineKeys();
    DescribeMachine();

    CreateDirectoryW(SavedFolder().c_str(), NULL);
    std::string journal = Snapshot();
    HANDLE file = CreateFileW(JournalPath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_FLAG_WRITE_THROUGH, NULL);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE ||
        !WriteFile(file, journal.data(), static_cast<DWORD>(journal.size()), &written, NULL) ||
        written != journal.size()) {
        Out("RunTests: cannot write its journal %s; nothing was changed\n", Utf8(JournalPath()).c_str());
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        ForgetJournal();
        return 2;
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    SetConsoleCtrlHandler(OnBreak, TRUE);
    Out("\nSaved before the run, and put back after each program:\n");
    for (const std::string& line : Split(journal, '\n')) {
        std::vector<std::string> f = Fields(line);
        if (f[0] == "key" && f.size() == 5) {
            Out("  registry key %s\\%s (%s)\n", f[1].c_str(), f[3].c_str(), f[4].c_str());
        } else if ((f[0] == "file" || f[0] == "folder" || f[0] == "root") && f.size() == 3) {
            Out("  %s %s (%s)\n", f[0] == "file" ? "file" : "folder", f[1].c_str(),
                f[2] == "absent" ? "absent" : "present");
        } else if (f[0] == "store" && f.size() == 2) {
            Out("  the current user's certificates in \"%s\"\n", f[1].c_str());
        }
    }

    // What the programs expect of their environment.
    CreateDirectoryW((g_dir + L"\\work").c_str(), NULL);
    CreateDirectoryW((g_dir + L"\\work\\temp").c_str(), NULL);
    CreateDirectoryW((g_dir + L"\\results").c_str(), NULL);
    const wchar_t* const env[][2] = {
        {L"KEYSIM_DIR", L"\\simulator"},
        {L"KEYSIM_VARIANTS", L"\\simulator\\variants"},
        {L"INITTOOL_EXE", L"\\VKKSVInitTool.exe"},
        {L"INITTOOL_OLDWINDOWS_EXE", L"\\tests\\inittool_oldwindows.exe"},
        {L"PLANTED_DLL", L"\\tests\\planted.dll"},
        {L"CERT_DATA_DIR", L"\\data"},
        {L"TEMP", L"\\work\\temp"},
        {L"TMP", L"\\work\\temp"},
    };
    for (const auto& pair : env) SetEnvironmentVariableW(pair[0], (g_dir + pair[1]).c_str());
    SetEnvironmentVariableW(L"E2E_LANGUAGE", UiLanguageName(UiLanguage()).c_str());
    SetEnvironmentVariableW(L"E2E_WOW64", g_wow64 ? L"1" : NULL);

    for (const Program& program : kPrograms) {
        Str filter;
        bool chosen = argc < 2;
        for (int i = 1; i < argc; ++i) {
            Str arg = argv[i];
            Str name = arg.substr(0, arg.find(L':'));
            if (name != Wide(program.name)) continue;
            chosen = true;
            if (name.size() < arg.size()) filter = L" --gtest_filter=" + arg.substr(name.size() + 1);
        }
        if (chosen && !g_interrupted) RunProgram(program, filter, journal);
    }

    Restore(journal, true);
    std::vector<std::string> changes = g_changes;
    g_changes.clear();
    Restore(journal, false);  // anything still differing was not put back
    Out("\nLeft changed by the tests, and restored:%s\n", changes.empty() ? " nothing" : "");
    for (const std::string& change : changes) Out("  %s\n", change.c_str());
    for (const std::string& left : g_changes) {
        Out("  NOT RESTORED: %s\n", left.c_str());
        ++g_failed;
    }
    if (g_changes.empty()) ForgetJournal();
    if (g_interrupted) Out("interrupted: the remaining programs were not run\n");
    Out("\n%d passed, %d failed, %d skipped\n", g_passed, g_failed, g_skipped);
    if (g_report != NULL) fclose(g_report);
    return g_failed == 0 && !g_interrupted ? 0 : 1;
}
