// The runner's refusals (a PC with the maker's CSP or library, another
// user's or computer's journal, a folder name the tool cannot open, a run
// already in progress), and whether this run is an administrator's.
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

}  // namespace

// Why the runner must not touch this PC; empty when it may. A leftover of
// an interrupted run (journal: absent before) is the pack's own.
std::string Foreign(const std::string& journal)
{
    if (!journal.empty()) {
        std::string owner = journal.substr(0, journal.find('\n'));
        if (owner != JournalOwner()) {
            std::vector<std::string> f = Fields(owner);
            return "RunTests.journal is of a run by another user or on another computer (" +
                   (f.size() == 3 ? f[2] : std::string("?")) + "): only that user there puts it back";
        }
        if (journal.size() < 5 || journal.compare(journal.size() - 5, 5, "\nend\n") != 0) {
            return "RunTests.journal is not whole; put back by hand what it lists, then delete it";
        }
    }
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

// Whether the pack's folder survives the ANSI code page: the tool is an
// ANSI program, and its tests start it from there.
bool FolderFitsAnsi()
{
    int size = WideCharToMultiByte(CP_ACP, 0, g_dir.c_str(), -1, NULL, 0, NULL, NULL);
    if (size <= 0) return false;
    std::vector<char> ansi(size);
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, g_dir.c_str(), -1, &ansi[0], size, NULL, &lossy);
    int back = MultiByteToWideChar(CP_ACP, 0, &ansi[0], -1, NULL, 0);
    if (lossy || back <= 0) return false;
    std::vector<wchar_t> wide(back);
    MultiByteToWideChar(CP_ACP, 0, &ansi[0], -1, &wide[0], back);
    return g_dir == &wide[0];
}

namespace {

const wchar_t kLockName[] = L"VKKSVInitTool-RunTests";
const DWORD kWhereSize = 1024;
HANDLE g_lock, g_where;

// A kernel object in the global namespace (Windows 2000 and later: every
// session, every user), or where there is none (NT 4.0), the only one.
Str Global(const Str& name, bool withPrefix) { return withPrefix ? L"Global\\" + name : name; }

}  // namespace

// Takes the lock of one run at a time on this computer, and says where this
// run is (folder, user) for a second start to name. Empty when taken.
std::string TakeRunLock()
{
    for (int prefix = 1; prefix >= 0 && g_lock == NULL; --prefix) {
        g_lock = CreateMutexW(NULL, FALSE, Global(kLockName, prefix != 0).c_str());
        if (g_lock == NULL && GetLastError() == ERROR_ACCESS_DENIED) break;  // another user's run holds it
        if (g_lock != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(g_lock);
            g_lock = NULL;
            HANDLE where = OpenFileMappingW(FILE_MAP_READ, FALSE, Global(Str(kLockName) + L"-where", prefix != 0).c_str());
            const char* view = where != NULL ? static_cast<const char*>(MapViewOfFile(where, FILE_MAP_READ, 0, 0, 0)) : NULL;
            std::string place = "another user's";
            if (view != NULL) {
                size_t length = 0;
                while (length < kWhereSize && view[length] != 0) ++length;
                place.assign(view, length);
            }
            if (view != NULL) UnmapViewOfFile(view);
            if (where != NULL) CloseHandle(where);
            return "a run is in progress on this computer (" + place + ")";
        }
        if (g_lock != NULL) {
            g_where = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kWhereSize,
                                         Global(Str(kLockName) + L"-where", prefix != 0).c_str());
            char* view = g_where != NULL ? static_cast<char*>(MapViewOfFile(g_where, FILE_MAP_WRITE, 0, 0, 0)) : NULL;
            if (view != NULL) {
                wchar_t user[256] = {};
                DWORD length = ARRAYSIZE(user);
                GetUserNameW(user, &length);
                StringCchCopyA(view, kWhereSize, (Utf8(g_dir) + ", user " + Utf8(user)).c_str());
                UnmapViewOfFile(view);
            }
            return std::string();
        }
    }
    return "a run is in progress on this computer (another user's)";
}

// An administrator is an elevated member of Administrators: the token's
// Administrators group is enabled (under UAC only in an elevated token; a
// filtered one holds it for denial only). What the report says of it.
bool IsAdministrator(std::string* which)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = NULL;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins)) {
        *which = "not an administrator (the group cannot be checked)";
        return false;
    }
    BOOL member = FALSE;
    typedef BOOL(WINAPI * Check)(HANDLE, PSID, PBOOL);
    Check check = Lookup<Check>("advapi32.dll", "CheckTokenMembership");
    HANDLE token = NULL;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    if (check != NULL) {
        if (!check(NULL, admins, &member)) member = FALSE;
    } else if (token != NULL) {  // NT 4.0: the enabled groups of the token
        BYTE buffer[4096] = {};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenGroups, buffer, sizeof(buffer), &size)) {
            TOKEN_GROUPS* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer);
            for (DWORD i = 0; i < groups->GroupCount; ++i) {
                if ((groups->Groups[i].Attributes & SE_GROUP_ENABLED) && EqualSid(groups->Groups[i].Sid, admins)) {
                    member = TRUE;
                }
            }
        }
    }
    FreeSid(admins);
    DWORD type = 0, size = 0;  // TokenElevationType (Vista and later): 3, a filtered token
    bool filtered = token != NULL && GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(18), &type,
                                                         sizeof(type), &size) && type == 3;
    if (token != NULL) CloseHandle(token);
    *which = member ? "an administrator (elevated)"
                    : filtered ? "not an administrator (a member of Administrators, not elevated)"
                               : "not an administrator (a standard user)";
    return member != FALSE;
}
