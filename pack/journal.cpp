// The journal of what the tests may make or change, written before the run
// and put back (restore.cpp) after each program and at the end. It names
// the tests' own things only (tests/support/made_by_tests.h): the CSP's key,
// Wine's per-program keys, the simulator's files, the folders the tests make
// and fill, and the tests' own certificates; with each, what it was before.
//
// A text file of one entry per line, fields split by tabs:
//   run <user's SID, hex> <computer name>            (first: whose it is)
//   key <HKLM|HKCU> <view flag> <path> <absent|present> <csp|wine>   then:
//     value <type> <name, hex> <data, hex>           each value it held
//   setting <HKLM> <view flag> <key path> <name, hex> <type|absent> <data, hex>
//                                                    a value the tests change
//   file <path> <absent|saved copy>                  a simulator's file
//   link <path> <target> <absent|present>            a link the tests make
//   folder <path> <absent|present> <data|simulator|folders|root>   then:
//     entry <name> <saved copy|->                    what it held before
//   store <name>                                     then:
//     cert <encoding's copy> <serialized copy>       there before the run
//     own <encoding's copy>                          one of the tests' (data\)
//   end                                              (last: it is whole)
// A folder's kind says what the tests put in it: their data, the
// simulator's files, or only the folders of other entries (which come
// before it); a cache root is one of those last, whose own content is no
// business of the pack's when it was there before (no entries are saved).
// A link comes before the folders it lies in. Saved copies lie in
// SavedFolder(). The journal is written as
// RunTests.journal.new and then renamed, so it is there whole or not at all.
#include <string.h>

#include "runner.h"

namespace {

#define AS_WIDE(name) MADE_BY_TESTS_WIDE(name),
#define AS_FOLDER(path, holds) {MADE_BY_TESTS_WIDE(path), holds},
#define AS_PAIR(first, second) {MADE_BY_TESTS_WIDE(first), MADE_BY_TESTS_WIDE(second)},
const wchar_t* const kWineKeys[] = {MADE_BY_TESTS_WINE_KEYS(AS_WIDE)};
const wchar_t* const kSimulatorFiles[] = {MADE_BY_TESTS_SIMULATOR_FILES(AS_WIDE)};
const wchar_t* const kRootNames[] = {MADE_BY_TESTS_IN_CACHE_ROOT(AS_WIDE)};
const struct {
    const wchar_t* path;
    MadeByTestsHolds holds;
} kDriveFolders[] = {MADE_BY_TESTS_ON_SYSTEM_DRIVE(AS_FOLDER) MADE_BY_TESTS_LINKED_ROOT_FOLDERS(AS_FOLDER)};
const struct {
    const wchar_t* link;
    const wchar_t* target;
} kLinks[] = {MADE_BY_TESTS_LINKS(AS_PAIR)};
const struct {
    const wchar_t* key;
    const wchar_t* name;
} kChangedValues[] = {MADE_BY_TESTS_CHANGED_VALUES(AS_PAIR)};
const wchar_t* const kStores[] = {L"MY", L"addressbook"};
const char* const kHolds[] = {"data", "simulator", "folders"};

HKEY Root(const char* name) { return name[2] == 'L' ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// The user this runner runs as (its SID's bytes, hex) and the computer.
void Whose(std::string* sid, std::string* computer)
{
    *sid = "-";
    HANDLE token = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BYTE buffer[256] = {};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
            PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
            *sid = Hex(static_cast<const BYTE*>(user), GetLengthSid(user));
        }
        CloseHandle(token);
    }
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = ARRAYSIZE(name);
    GetComputerNameW(name, &length);
    *computer = Utf8(name);
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

    void Key(const char* root, REGSAM view, const Str& path, const char* kind)
    {
        HKEY key = NULL;
        char head[64];
        StringCchPrintfA(head, ARRAYSIZE(head), "key\t%s\t%lu\t", root, static_cast<unsigned long>(view));
        bool present = RegOpenKeyExW(Root(root), path.c_str(), 0, KEY_READ | view, &key) == ERROR_SUCCESS;
        text += head + Utf8(path) + (present ? "\tpresent\t" : "\tabsent\t") + kind + "\n";
        for (DWORD i = 0; present; ++i) {
            wchar_t name[512];
            BYTE data[8192];
            DWORD nameLength = ARRAYSIZE(name), size = sizeof(data), type = 0;
            if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size) != ERROR_SUCCESS) break;
            char line[64];
            StringCchPrintfA(line, ARRAYSIZE(line), "value\t%lu\t", static_cast<unsigned long>(type));
            text += line + Hex(reinterpret_cast<BYTE*>(name), nameLength * sizeof(wchar_t)) + "\t" +
                    Hex(data, size) + "\n";
        }
        if (present) RegCloseKey(key);
    }

    // A value as it is kept: its type and bytes.
    void Setting(const char* root, REGSAM view, const Str& path, const Str& name)
    {
        DWORD type = 0;
        std::vector<BYTE> data;
        bool present = ReadValue(Root(root), view, path, name, &type, &data);
        char head[64], kind[16];
        StringCchPrintfA(head, ARRAYSIZE(head), "setting\t%s\t%lu\t", root, static_cast<unsigned long>(view));
        StringCchPrintfA(kind, ARRAYSIZE(kind), "%lu", static_cast<unsigned long>(type));
        text += head + Utf8(path) + "\t" + Hex(reinterpret_cast<const BYTE*>(name.c_str()), name.size() * sizeof(wchar_t)) +
                "\t" + (present ? kind : "absent") + "\t" + Hex(data.data(), data.size()) + "\n";
    }

    void Link(const Str& path, const Str& target)
    {
        text += "link\t" + Utf8(path) + "\t" + Utf8(target) + (Exists(path) ? "\tpresent\n" : "\tabsent\n");
    }

    void File(const Str& path)
    {
        std::vector<BYTE> bytes;
        text += "file\t" + Utf8(path) + "\t" + (ReadFileBytes(path, &bytes) ? Copy(bytes) : "absent") + "\n";
    }

    // A folder the tests make or fill, and what it holds now (nothing is
    // read through a link).
    void Folder(const Str& path, const char* holds)
    {
        bool present = Exists(path);
        text += "folder\t" + Utf8(path) + (present ? "\tpresent\t" : "\tabsent\t") + holds + "\n";
        if (!present || InLink(path) || strcmp(holds, "root") == 0) return;
        for (const Str& name : List(path)) {
            std::vector<BYTE> bytes;
            bool file = !IsFolder(path + L"\\" + name);
            std::string copy = file && ReadFileBytes(path + L"\\" + name, &bytes) ? Copy(bytes) : "-";
            text += "entry\t" + Utf8(name) + "\t" + copy + "\n";
        }
    }

    void Store(const wchar_t* name, const std::vector<std::vector<BYTE>>& own)
    {
        text += "store\t" + Utf8(name) + "\n";
        for (const SavedCert& cert : StoreCertificates(name)) {
            text += "cert\t" + Copy(cert.encoded) + "\t" + (cert.element.empty() ? std::string("-") : Copy(cert.element)) +
                    "\n";
        }
        for (const std::vector<BYTE>& bytes : own) text += "own\t" + Copy(bytes) + "\n";
    }
};

// The cache roots of every Windows version (the tests make Wine report
// older ones), as the tool asks for them (certcache/cache_root.cpp): the
// Windows folder's TEMP (NT 4.0), the fallback on the system drive, and the
// shell folders' default paths (SHGFP_TYPE_DEFAULT) with TEMP.
std::vector<Str> CacheRoots()
{
    std::vector<Str> roots;
    wchar_t path[MAX_PATH] = {};
    if (GetWindowsDirectoryW(path, MAX_PATH) > 0) roots.push_back(Str(path) + L"\\TEMP");
    roots.push_back(SystemDrive() + L"\\TEMP");
    typedef HRESULT(WINAPI * FolderPath)(HWND, int, HANDLE, DWORD, LPWSTR);
    HMODULE shell = LoadLibraryW((SystemFolder() + L"\\shell32.dll").c_str());
    FolderPath get = shell != NULL ? reinterpret_cast<FolderPath>(reinterpret_cast<void*>(
                                         GetProcAddress(shell, "SHGetFolderPathW")))
                                   : NULL;
    const int folders[] = {0x001c /* CSIDL_LOCAL_APPDATA */, 0x002e /* CSIDL_COMMON_DOCUMENTS */};
    for (int folder : folders) {
        if (get != NULL && get(NULL, folder, NULL, 1 /* SHGFP_TYPE_DEFAULT */, path) == S_OK) {
            roots.push_back(Str(path) + L"\\TEMP");
        }
    }
    return roots;
}

}  // namespace

bool ReadValue(HKEY root, REGSAM view, const Str& path, const Str& name, DWORD* type, std::vector<BYTE>* data)
{
    HKEY key = NULL;
    data->assign(16384, 0);
    DWORD size = static_cast<DWORD>(data->size());
    bool read = RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) == ERROR_SUCCESS &&
                RegQueryValueExW(key, name.c_str(), NULL, type, &(*data)[0], &size) == ERROR_SUCCESS;
    if (key != NULL) RegCloseKey(key);
    data->resize(read ? size : 0);
    return read;
}

Str JournalPath() { return g_out + L"\\RunTests.journal"; }

Str SavedFolder()
{
    std::string sid, computer;
    Whose(&sid, &computer);
    return g_out + L"\\RunTests.saved\\" + Wide(computer + "-" + sid);
}

REGSAM CspView() { return g_wow64 ? KEY_WOW64_32KEY : 0; }

std::string JournalOwner()
{
    std::string sid, computer;
    Whose(&sid, &computer);
    return "run\t" + sid + "\t" + computer;
}

bool Snapshot(std::string* journal)
{
    CreateDirectoryW((g_out + L"\\RunTests.saved").c_str(), NULL);
    CreateDirectoryW(SavedFolder().c_str(), NULL);
    Saver saver;
    saver.text = JournalOwner() + "\n";
    saver.Key("HKLM", CspView(), kCspKey, "csp");
    if (g_wine) {
        // A subkey before its parent: a key the tests made goes once it is empty.
        for (size_t i = ARRAYSIZE(kWineKeys); i-- > 0;) saver.Key("HKCU", 0, kWineKeys[i], "wine");
        // Changed by the tests under Wine only: on a PC that someone keeps,
        // a change of another program's is not put back.
        for (const auto& value : kChangedValues) saver.Setting("HKLM", 0, value.key, value.name);
    }
    for (const wchar_t* name : kSimulatorFiles) saver.File(SystemFolder() + L"\\" + name);
    for (const auto& link : kLinks) {
        saver.Link(SystemDrive() + L"\\" + link.link, SystemDrive() + L"\\" + link.target);
    }
    // The names made in a root before the root: a root the tests made goes
    // once it is empty.
    for (const Str& root : CacheRoots()) {
        for (const wchar_t* name : kRootNames) saver.Folder(root + L"\\" + name, kHolds[kMadeHoldsData]);
        saver.Folder(root, "root");
    }
    for (size_t i = ARRAYSIZE(kDriveFolders); i-- > 0;) {
        saver.Folder(SystemDrive() + L"\\" + kDriveFolders[i].path, kHolds[kDriveFolders[i].holds]);
    }
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

std::string ReadJournal()
{
    std::vector<BYTE> bytes;
    DeleteFileW((JournalPath() + L".new").c_str());  // cut off before it was whole: nothing was changed
    if (!ReadFileBytes(JournalPath(), &bytes)) return std::string();
    return std::string(bytes.begin(), bytes.end());
}

// Deletes the journal and the copies it saved (the files this user's runs
// on this computer wrote there, and the folder when that leaves it empty).
void ForgetJournal()
{
    DeleteFileW(JournalPath().c_str());
    Str saved = SavedFolder();
    for (const Str& name : List(saved)) DeleteFileW((saved + L"\\" + name).c_str());
    RemoveDirectoryW(saved.c_str());
    RemoveDirectoryW((g_out + L"\\RunTests.saved").c_str());
}
