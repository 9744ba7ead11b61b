// What proves a thing the tests': a file by its bytes (one of the tests'
// data, one of the simulator's files, or what only the simulator writes), a
// folder by what it holds, the CSP's registration by its "Image Path", Wine's
// per-program keys by the values the tests write. Whatever no proof holds
// for is someone else's.
#include <string.h>

#include "keysim_state.h"
#include "runner.h"

namespace {

#define AS_WIDE(name) MADE_BY_TESTS_WIDE(name),
const wchar_t* const kSimulatorFiles[] = {MADE_BY_TESTS_SIMULATOR_FILES(AS_WIDE)};

// What each line of the simulator's call journal (keysim-journal.txt,
// simulator/korrim.cpp) holds.
const char kKeySimJournalField[] = " status=0x";

void AddFiles(const Str& folder, std::vector<std::vector<BYTE>>* files)
{
    for (const Str& name : List(folder)) {
        std::vector<BYTE> bytes;
        if (IsFolder(folder + L"\\" + name)) {
            AddFiles(folder + L"\\" + name, files);
        } else if (ReadFileBytes(folder + L"\\" + name, &bytes)) {
            files->push_back(bytes);
        }
    }
}

const std::vector<std::vector<BYTE>>& SimulatorBytes()
{
    static std::vector<std::vector<BYTE>> files;
    static bool read = false;
    if (!read) AddFiles(g_dir + L"\\simulator", &files);
    read = true;
    return files;
}

bool OneOf(const std::vector<BYTE>& bytes, const std::vector<std::vector<BYTE>>& set)
{
    for (const std::vector<BYTE>& one : set) {
        if (one == bytes) return true;
    }
    return false;
}

Str NameOf(const Str& path) { return path.substr(path.find_last_of(L'\\') + 1); }

bool InPack(Str path)
{
    wchar_t expanded[MAX_PATH] = {};
    if (ExpandEnvironmentStringsW(path.c_str(), expanded, MAX_PATH) > 0) path = expanded;
    Str prefix = g_dir + L"\\";
    return path.size() > prefix.size() &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, path.c_str(), static_cast<int>(prefix.size()),
                          prefix.c_str(), static_cast<int>(prefix.size())) == CSTR_EQUAL;
}

}  // namespace

std::vector<std::vector<BYTE>> DataFiles()
{
    std::vector<std::vector<BYTE>> files;
    AddFiles(g_dir + L"\\data", &files);
    return files;
}

bool IsTestsFile(const Str&, const std::vector<BYTE>& bytes)
{
    static std::vector<std::vector<BYTE>> data = DataFiles();
    return bytes.empty() || OneOf(bytes, data);
}

bool IsSimulatorFile(const Str& path, const std::vector<BYTE>& bytes)
{
    Str name = NameOf(path);
    bool named = false;
    for (const wchar_t* one : kSimulatorFiles) named = named || lstrcmpiW(one, name.c_str()) == 0;
    if (!named) return false;
    std::string text(bytes.begin(), bytes.end());
    if (lstrcmpiW(name.c_str(), L"keysim.ini") == 0) return text.compare(0, strlen(kKeySimStateHead), kKeySimStateHead) == 0;
    if (lstrcmpiW(name.c_str(), L"keysim-journal.txt") == 0) {
        for (const std::string& line : Split(text, '\n')) {
            if (!line.empty() && line.find(kKeySimJournalField) == std::string::npos) return false;
        }
        return true;
    }
    return OneOf(bytes, SimulatorBytes());
}

bool IsTestsTree(const Str& path, int depth)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || depth > 8) {
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const Str& name : List(path)) {
            if (!IsTestsTree(path + L"\\" + name, depth + 1)) return false;
        }
        return true;
    }
    std::vector<BYTE> bytes;
    return ReadFileBytes(path, &bytes) && IsTestsFile(path, bytes);
}

// The simulator registers the CSP with one value, "Image Path"; the tests
// also register it without one. It is the pack's when that is all the key
// holds and the path (its environment strings expanded, as the CryptoAPI
// does) lies in this pack or names a file of the simulator's bytes.
bool CspIsOurs(REGSAM view, std::string* imagePath)
{
    HKEY key = NULL;
    imagePath->clear();
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCspKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return true;
    DWORD values = 0, subkeys = 0;
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof(path) - sizeof(wchar_t), type = 0;
    bool counted = RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL) ==
                   ERROR_SUCCESS;
    LONG read = RegQueryValueExW(key, L"Image Path", NULL, &type, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);
    *imagePath = read == ERROR_SUCCESS ? Utf8(path) : std::string("(none)");
    if (!counted || subkeys != 0 || values > 1 || (values == 1 && read != ERROR_SUCCESS)) return false;
    if (values == 0) return true;
    wchar_t expanded[MAX_PATH] = {};
    std::vector<BYTE> bytes;
    return (type == REG_SZ || type == REG_EXPAND_SZ) &&
           (InPack(path) || (ExpandEnvironmentStringsW(path, expanded, MAX_PATH) > 0 &&
                             ReadFileBytes(expanded, &bytes) && OneOf(bytes, SimulatorBytes())));
}

// Wine's per-program key as the tests write it: a Windows version
// ("Version") or DLL load orders (in DllOverrides), strings only, and no
// subkey but DllOverrides.
bool WineKeyIsOurs(HKEY root, const Str& path)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return true;
    bool ours = true, overrides = NameOf(path) == L"DllOverrides";
    for (DWORD i = 0; ours; ++i) {
        wchar_t name[256];
        wchar_t data[64] = {};
        DWORD nameLength = ARRAYSIZE(name), size = sizeof(data) - sizeof(wchar_t), type = 0;
        LONG got = RegEnumValueW(key, i, name, &nameLength, NULL, &type, reinterpret_cast<BYTE*>(data), &size);
        if (got == ERROR_NO_MORE_ITEMS) break;
        Str value = data;
        ours = got == ERROR_SUCCESS && type == REG_SZ &&
               (overrides ? value == L"native,builtin" || value == L"builtin,native" || value == L"native" ||
                                value == L"builtin" || value.empty()
                          : lstrcmpiW(name, L"Version") == 0);
    }
    for (DWORD i = 0; ours; ++i) {
        wchar_t sub[256];
        DWORD length = ARRAYSIZE(sub);
        if (RegEnumKeyExW(key, i, sub, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        ours = !overrides && lstrcmpiW(sub, L"DllOverrides") == 0;
    }
    RegCloseKey(key);
    return ours;
}
