// The runner's refusals: a PC with the maker's CSP or library is not
// touched. And whether this run may write what the admin-only programs
// write.
#include "runner.h"

namespace {

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
}  // namespace

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

