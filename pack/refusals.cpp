// The runner's refusals (a PC with the maker's CSP or library, another
// user's or computer's journal, a folder name the tool cannot open, a run
// already in progress), and whether this run is an administrator's.
#include "runner.h"

// Why the runner must not touch this PC; empty when it may. A CSP key or a
// Korrim.dll is the pack's own only by what it holds (proofs.cpp), at every
// start.
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
    // Whatever an earlier journal says: the maker's CSP may have come since.
    const REGSAM views[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    for (int i = 0; i < (g_wow64 ? 2 : 1); ++i) {
        std::string imagePath;
        if (!CspIsOurs(g_wow64 ? views[i] : 0, &imagePath)) {
            return "\"Varkeld KSV CSP\" is registered with \"Image Path\" " + imagePath + ", not this pack's";
        }
    }
    Str library = SystemFolder() + L"\\Korrim.dll";
    std::vector<BYTE> installed;
    bool read = ReadFileBytes(library, &installed);
    if (Exists(library) && (!read || !IsSimulatorFile(library, installed))) return Utf8(library) + " is not the pack's";
    return std::string();
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
HANDLE g_lock;

// Where this run says it is, for a second start: a file in its own output
// folder (a standard user cannot make a file mapping in the global
// namespace), with the runner's process id and computer to tell a live run
// from a cut-off one's or another computer's (on a share).
Str WherePath() { return g_out + L"\\RunTests.running"; }

std::string ReadWhere()
{
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(WherePath(), &bytes)) return std::string();
    std::vector<std::string> f = Fields(std::string(bytes.begin(), bytes.end()));
    if (f.size() != 4 || f[1] != Fields(JournalOwner())[2]) return std::string();  // another computer's
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, strtoul(f[0].c_str(), NULL, 10));
    bool running = process != NULL && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (process != NULL) CloseHandle(process);
    return running ? f[2] + ", user " + f[3] : std::string();
}

}  // namespace

// Takes the lock of one run at a time on this computer: a mutex in the
// global namespace (Windows 2000 and later: every session, every user), or
// where there is none (NT 4.0), the only one. Empty when taken; otherwise
// where the run in progress is, as far as this start can tell.
std::string TakeRunLock()
{
    DWORD error = 0;
    for (int prefix = 1; prefix >= 0 && g_lock == NULL; --prefix) {
        g_lock = CreateMutexW(NULL, FALSE, (prefix != 0 ? L"Global\\" + Str(kLockName) : Str(kLockName)).c_str());
        error = GetLastError();
        if (g_lock == NULL && error == ERROR_ACCESS_DENIED) break;  // another user's run holds it
        if (g_lock != NULL && error == ERROR_ALREADY_EXISTS) break;
    }
    if (g_lock != NULL && error != ERROR_ALREADY_EXISTS) {
        wchar_t user[256] = {};
        DWORD length = ARRAYSIZE(user);
        GetUserNameW(user, &length);
        char pid[16];
        StringCchPrintfA(pid, ARRAYSIZE(pid), "%lu", GetCurrentProcessId());
        std::string where = std::string(pid) + "\t" + Fields(JournalOwner())[2] + "\t" + Utf8(g_dir) + "\t" + Utf8(user);
        WriteFileBytes(WherePath(), std::vector<BYTE>(where.begin(), where.end()));
        return std::string();
    }
    if (g_lock != NULL) CloseHandle(g_lock);
    g_lock = NULL;
    std::string here = ReadWhere();
    return "a run is in progress on this computer (" +
           (!here.empty() ? here : std::string(error == ERROR_ACCESS_DENIED ? "another user's"
                                                                            : "from another folder, or another user's")) +
           ")";
}

void ReleaseRunLock()
{
    if (g_lock == NULL) return;
    DeleteFileW(WherePath().c_str());
    CloseHandle(g_lock);
    g_lock = NULL;
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
    auto check = g_later.CheckTokenMembership;
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
