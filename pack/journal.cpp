// The journal of what the tests may make or change, saved before the run
// and put back after each program and at the end. It names the tests' own
// things only: the CSP's key, the simulator's files, the folders the tests
// make and the names they make in them, and the tests' own certificates.
// Anything else found there is left in place and listed (Left).
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
// The simulator's files, as a test copies them into the system folder or
// into a folder of its own.
const wchar_t* const kSystemFiles[] = {
    L"Korrim.dll", L"VarkeldKsvCsp.dll", L"keysim.ini", L"keysim-journal.txt", L"KorrimAux.dll",
};
// What the tests make in a cache root: the CSP's cache folder (a journal
// entry of its own), and the folders it is moved to while a link stands in
// its place.
const wchar_t* const kRootNames[] = {L"Varkeld KSV CSP", L"Varkeld KSV CSP elsewhere", L"certcache-test-elsewhere"};
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

namespace {

// The certificate functions, from crypt32.dll in the system folder.
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

bool LoadCrypt()
{
    HMODULE module = LoadLibraryW((SystemFolder() + L"\\crypt32.dll").c_str());
    if (module == NULL) return false;
    void** slots = reinterpret_cast<void**>(&g_crypt);
    const char* names[] = {"CertOpenStore", "CertCloseStore", "CertEnumCertificatesInStore",
                           "CertDuplicateCertificateContext", "CertDeleteCertificateFromStore",
                           "CertSerializeCertificateStoreElement", "CertAddSerializedElementToStore",
                           "CertControlStore", "CertGetNameStringW", "CertFreeCertificateContext"};
    for (size_t i = 0; i < ARRAYSIZE(names); ++i) {
        slots[i] = reinterpret_cast<void*>(GetProcAddress(module, names[i]));
        if (slots[i] == NULL) return false;
    }
    return true;
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

// Written through to the disk before it returns: a power cut leaves the
// whole file or the old one's name, never an empty copy.
bool WriteFileBytes(const Str& path, const std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &written, NULL);
    ok = ok && FlushFileBuffers(file);
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

// Deletes a file, a link (the link itself, never what it points to) or a
// folder with all in it; inside a link it never goes.
void DeleteTree(const Str& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const Str& name : List(path)) DeleteTree(path + L"\\" + name);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
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

// ---- What the tests may change, saved to and put back from the journal ----
//
// The journal is a text file of one entry per line, fields split by tabs:
//   run <user's SID, hex> <computer name>           (first: whose it is)
//   key <HKLM|HKCU> <view flag> <path> <absent|present>   then per value:
//   value <type> <name, hex> <data, hex>
//   file <path> <absent|saved copy>
//   folder <path> <absent|present> <tests|root>     then:
//     entry <name> <saved copy|->   what it held before (a root: only the tests' names)
//     made <name>                   a name the tests make in it
//   store <name>                    then per certificate:
//     cert <encoding's copy> <serialized copy>      there before the run
//     own <encoding's copy>         one of the tests' (data\), deleted when it was not there
//   end                             (last: the journal is whole)
// Saved copies lie in RunTests.saved\ beside it. The journal is written as
// RunTests.journal.new and then renamed, so it is there whole or not at all.

Str JournalPath() { return g_dir + L"\\RunTests.journal"; }
Str SavedFolder() { return g_dir + L"\\RunTests.saved"; }

namespace {

HKEY Root(const std::string& name) { return name == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

bool IsLink(const Str& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsFolder(const Str& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The pack's data files: the certificates the tests put into the stores,
// and the contents of the cache files they write.
std::vector<std::vector<BYTE>> DataFiles()
{
    std::vector<std::vector<BYTE>> files;
    for (const Str& name : List(g_dir + L"\\data")) {
        std::vector<BYTE> bytes;
        if (ReadFileBytes(g_dir + L"\\data\\" + name, &bytes)) files.push_back(bytes);
    }
    return files;
}

struct Saver {
    std::string text;
    int copies = 0;
    bool failed = false;

    std::string Copy(const std::vector<BYTE>& bytes)
    {
        char name[32];
        StringCchPrintfA(name, ARRAYSIZE(name), "%d.bin", ++copies);
        if (!WriteFileBytes(SavedFolder() + L"\\" + Wide(name), bytes)) failed = true;
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

    // A folder the tests make or fill: what it holds now, saved, and the
    // names the tests make in it. A root is the tests' only for those names.
    void Folder(const Str& path, const wchar_t* const* made, size_t count, bool root)
    {
        bool present = Exists(path);
        text += "folder\t" + Utf8(path) + (present ? "\tpresent" : "\tabsent") + (root ? "\troot\n" : "\ttests\n");
        for (const Str& name : List(path)) {
            bool ours = false;
            for (size_t i = 0; i < count; ++i) ours = ours || lstrcmpiW(made[i], name.c_str()) == 0;
            if (root && !ours) continue;
            std::vector<BYTE> bytes;
            bool file = !IsFolder(path + L"\\" + name);
            std::string copy = file && ReadFileBytes(path + L"\\" + name, &bytes) ? Copy(bytes) : "-";
            text += "entry\t" + Utf8(name) + "\t" + copy + "\n";
        }
        for (size_t i = 0; i < count; ++i) text += "made\t" + Utf8(made[i]) + "\n";
    }

    void Store(const wchar_t* name, const std::vector<std::vector<BYTE>>& own)
    {
        text += "store\t" + Utf8(name) + "\n";
        HCERTSTORE store = g_crypt.Open(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0,
                                        CERT_SYSTEM_STORE_CURRENT_USER, name);
        if (store == NULL) return;
        PCCERT_CONTEXT cert = NULL;
        while ((cert = g_crypt.Enum(store, cert)) != NULL) {
            // Serialized with its properties: its key's link, its friendly name.
            DWORD size = 0;
            std::vector<BYTE> element;
            if (g_crypt.Serialize(cert, 0, NULL, &size) && size > 0) {
                element.resize(size);
                if (!g_crypt.Serialize(cert, 0, &element[0], &size)) element.clear();
            }
            text += "cert\t" + Copy(std::vector<BYTE>(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded)) +
                    "\t" + (element.empty() ? std::string("-") : Copy(element)) + "\n";
        }
        g_crypt.Close(store, 0);
        for (const std::vector<BYTE>& bytes : own) text += "own\t" + Copy(bytes) + "\n";
    }
};

// The user this runner runs as (its SID's bytes, hex) and the computer.
std::string RunLine()
{
    std::string sid = "-";
    HANDLE token = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BYTE buffer[256] = {};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
            PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
            sid = Hex(static_cast<const BYTE*>(user), GetLengthSid(user));
        }
        CloseHandle(token);
    }
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = ARRAYSIZE(computer);
    GetComputerNameW(computer, &length);
    return "run\t" + sid + "\t" + Utf8(computer);
}

}  // namespace

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

std::string JournalOwner() { return RunLine(); }

bool Snapshot(std::string* journal)
{
    Saver saver;
    saver.text = RunLine() + "\n";
    saver.Key("HKLM", CspView(), kCspKey);
    if (g_wine) {
        for (const wchar_t* key : kWineKeys) saver.Key("HKCU", 0, key);
    }
    for (const wchar_t* name : kSystemFiles) saver.File(SystemFolder() + L"\\" + name);
    // The cache folder before its root: a root the tests made goes once it is empty.
    for (const Str& root : CacheRoots()) {
        saver.Folder(root + L"\\Varkeld KSV CSP", NULL, 0, false);
        saver.Folder(root, kRootNames, ARRAYSIZE(kRootNames), true);
    }
    // Folders the tests copy the simulator into, on the system drive.
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const wchar_t* const lib[] = {L"lib"};
    saver.Folder(Str(windows).substr(0, 2) + L"\\Program Files\\Maker", kSystemFiles, ARRAYSIZE(kSystemFiles), false);
    saver.Folder(Str(windows).substr(0, 2) + L"\\keysim-\u6dfa\\lib", kSystemFiles, ARRAYSIZE(kSystemFiles), false);
    saver.Folder(Str(windows).substr(0, 2) + L"\\keysim-\u6dfa", lib, 1, false);
    saver.Folder(Str(windows).substr(0, 2) + L"\\keysim\u6dfa", kSystemFiles, ARRAYSIZE(kSystemFiles), false);
    std::vector<std::vector<BYTE>> own = DataFiles();
    for (const wchar_t* store : kStores) saver.Store(store, own);
    saver.text += "end\n";
    *journal = saver.text;
    return !saver.failed;
}

// Writes the journal whole: a new file, flushed, then renamed over the old.
bool WriteJournal(const std::string& journal)
{
    Str fresh = JournalPath() + L".new";
    if (!WriteFileBytes(fresh, std::vector<BYTE>(journal.begin(), journal.end()))) return false;
    return MoveFileExW(fresh.c_str(), JournalPath().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

namespace {

void Note(std::vector<std::string>* list, const std::string& what)
{
    for (const std::string& seen : *list) {
        if (seen == what) return;
    }
    list->push_back(what);
}

void Changed(const std::string& what) { Note(&g_changes, what); }
void Left(const std::string& what) { Note(&g_left, what); }

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

bool OneOf(const std::vector<BYTE>& bytes, const std::vector<std::vector<BYTE>>& set)
{
    for (const std::vector<BYTE>& one : set) {
        if (one == bytes) return true;
    }
    return false;
}

// A file the tests wrote into a cache folder: empty or one of the pack's
// data files; a folder (not a link) of only such files.
bool DataLike(const Str& path, const std::vector<std::vector<BYTE>>& data, int depth = 0)
{
    if (IsLink(path) || depth > 8) return false;
    if (IsFolder(path)) {
        for (const Str& name : List(path)) {
            if (!DataLike(path + L"\\" + name, data, depth + 1)) return false;
        }
        return true;
    }
    std::vector<BYTE> bytes;
    return ReadFileBytes(path, &bytes) && (bytes.empty() || OneOf(bytes, data));
}

// Deletes a name the tests made: a link itself, a file, or a folder with
// what the tests wrote into it; anything else in it stays, listed.
void DeleteOurs(const Str& path, const std::vector<std::vector<BYTE>>& data)
{
    if (IsFolder(path) && !IsLink(path)) {
        for (const Str& name : List(path)) {
            Str child = path + L"\\" + name;
            if (DataLike(child, data)) {
                DeleteTree(child);
            } else {
                Left(Utf8(child) + ": not the tests', left in place");
            }
        }
    }
    DeleteTree(path);  // a link or an emptied folder: not followed
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

bool Named(const Str& name, const std::vector<Str>& names)
{
    for (const Str& one : names) {
        if (lstrcmpiW(one.c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

// Deletes what the tests made in the folder (the names made, and in a
// folder of the tests what holds their data), puts back what it held, and
// deletes the folder itself if the tests made it and it is empty then.
void RestoreFolder(const Str& path, bool present, bool root, const std::vector<SavedEntry>& entries,
                   const std::vector<Str>& made, const std::vector<std::vector<BYTE>>& data, bool apply)
{
    if (IsLink(path)) {  // the tests put a link in the folder's place
        Changed("link " + Utf8(path) + ": made by the tests, removed");
        if (apply) DeleteTree(path);
    }
    if (!Exists(path)) {
        if (!present || !apply) {
            if (present) Changed("folder " + Utf8(path) + ": deleted by the tests");
            return;
        }
        Changed("folder " + Utf8(path) + ": deleted by the tests, put back");
        CreateDirectoryW(path.c_str(), NULL);
    }
    std::vector<Str> before;
    for (const SavedEntry& entry : entries) before.push_back(entry.name);
    for (const Str& name : List(path)) {
        if (Named(name, before)) continue;
        Str child = path + L"\\" + name;
        if (Named(name, made) || (!root && DataLike(child, data))) {
            Changed((IsFolder(child) ? "folder " : "file ") + Utf8(child) + ": made by the tests, deleted");
            if (apply) DeleteOurs(child, data);
        } else if (!root || !present) {
            Left(Utf8(child) + ": not the tests', left in place");
        }
    }
    for (const SavedEntry& entry : entries) {
        if (entry.copy != "-") RestoreFile(path + L"\\" + entry.name, entry.copy, apply);
    }
    if (present) return;
    if (List(path).empty()) {
        Changed("folder " + Utf8(path) + ": created by the tests, deleted");
        if (apply) RemoveDirectoryW(path.c_str());
    } else if (apply) {
        Left(Utf8(path) + ": made during the run, kept for what is left in it");
    }
}

struct SavedCert {
    std::vector<BYTE> encoded, element;
};

// Deletes the tests' own certificates that were not there before and puts
// back, with their properties, those the tests deleted; others stay.
void RestoreStore(const Str& name, const std::vector<SavedCert>& before, const std::vector<std::vector<BYTE>>& own,
                  bool apply)
{
    HCERTSTORE store = g_crypt.Open(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                                    name.c_str());
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

}  // namespace

// Puts back what the journal holds; with apply false, only notes what
// differs from it.
void Restore(const std::string& journal, bool apply)
{
    std::vector<std::string> lines = Split(journal, '\n');
    lines.push_back("end");
    std::vector<std::vector<BYTE>> data = DataFiles();
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
        } else if (f[0] == "folder" && f.size() == 4) {
            std::vector<SavedEntry> entries;
            std::vector<Str> made;
            for (;; ++next) {
                std::vector<std::string> e = Fields(lines[next]);
                if (e[0] == "entry") {
                    entries.push_back({Wide(e[1]), e.size() > 2 ? e[2] : "-"});
                } else if (e[0] == "made" && e.size() == 2) {
                    made.push_back(Wide(e[1]));
                } else {
                    break;
                }
            }
            RestoreFolder(Wide(f[1]), f[2] == "present", f[3] == "root", entries, made, data, apply);
        } else if (f[0] == "store" && f.size() == 2) {
            std::vector<SavedCert> before;
            std::vector<std::vector<BYTE>> own;
            for (;; ++next) {
                std::vector<std::string> c = Fields(lines[next]);
                if (c[0] == "cert" && c.size() == 3) {
                    before.push_back({Saved(c[1]), c[2] == "-" ? std::vector<BYTE>() : Saved(c[2])});
                } else if (c[0] == "own" && c.size() == 2) {
                    own.push_back(Saved(c[1]));
                } else {
                    break;
                }
            }
            RestoreStore(Wide(f[1]), before, own, apply);
        } else {
            continue;
        }
        i = next - 1;
    }
}

std::string ReadJournal()
{
    std::vector<BYTE> bytes;
    DeleteFileW((JournalPath() + L".new").c_str());  // cut off before it was whole: nothing was changed
    if (!ReadFileBytes(JournalPath(), &bytes)) return std::string();
    return std::string(bytes.begin(), bytes.end());
}

void ForgetJournal()
{
    DeleteFileW(JournalPath().c_str());
    DeleteTree(SavedFolder());
}
