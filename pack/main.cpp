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
// kPrograms), each with its filter if given. The report, the journal and
// the results go beside it, or into the folder RUNTESTS_OUT names (a
// disposable Windows maps the pack read-only); the programs themselves run
// in the pack's work\ folder.
#include "runner.h"

#include <algorithm>

Str g_dir, g_out;
FILE* g_report;
bool g_wine, g_wow64, g_admin;
Later g_later;
HANDLE g_job;
volatile LONG g_interrupted;
int g_passed, g_failed, g_skipped;
std::vector<std::string> g_changes;
std::vector<std::string> g_left;

namespace {

// Written by the build from each program's add_pack_program (its folder's
// CMakeLists.txt).
const Program kPrograms[] = {
#include "pack_programs.h"
};

// Puts back what the journal lists (beside what restores after each program
// put back before, in g_changes), then checks: what differs still was not
// put back. done: what was.
void PutBack(const std::string& journal, std::vector<std::string>* done, std::vector<std::string>* left)
{
    Restore(journal, true);
    std::vector<std::string> tried = g_changes;
    g_changes.clear();
    Restore(journal, false);
    *left = g_changes;
    g_changes.clear();
    for (const std::string& change : tried) {
        if (std::find(left->begin(), left->end(), change) == left->end()) done->push_back(change);
    }
}

}  // namespace

// From the modules every runner has loaded (it imports from each).
void BindLater()
{
    const FunctionBinding kernel32[] = {
        OPTIONAL_FUNCTION(g_later, SetDefaultDllDirectories), OPTIONAL_FUNCTION(g_later, SetDllDirectoryW),
        OPTIONAL_FUNCTION(g_later, IsWow64Process),           OPTIONAL_FUNCTION(g_later, GetUserDefaultUILanguage),
        OPTIONAL_FUNCTION(g_later, CreateJobObjectW),         OPTIONAL_FUNCTION(g_later, SetInformationJobObject),
        OPTIONAL_FUNCTION(g_later, AssignProcessToJobObject), OPTIONAL_FUNCTION(g_later, TerminateJobObject),
        OPTIONAL_FUNCTION(g_later, wine_get_unix_file_name)};
    const FunctionBinding ntdll[] = {OPTIONAL_FUNCTION(g_later, NtSetInformationFile),
                                     OPTIONAL_FUNCTION(g_later, wine_get_version)};
    const FunctionBinding advapi32[] = {OPTIONAL_FUNCTION(g_later, RegDeleteKeyExW),
                                        OPTIONAL_FUNCTION(g_later, CheckTokenMembership)};
    BindFunctions(GetModuleHandleA("kernel32.dll"), kernel32);
    BindFunctions(GetModuleHandleA("ntdll.dll"), ntdll);
    BindFunctions(GetModuleHandleA("advapi32.dll"), advapi32);
    // Jobs whole, or none.
    if (g_later.SetInformationJobObject == NULL || g_later.AssignProcessToJobObject == NULL ||
        g_later.TerminateJobObject == NULL) {
        g_later.CreateJobObjectW = NULL;
    }
}

const Program* FindProgram(const Str& name)
{
    for (const Program& program : kPrograms) {
        if (name == Wide(program.name)) return &program;
    }
    return NULL;
}

int wmain(int argc, wchar_t** argv)
{
    // No loader or crash dialog holds a program until its time limit.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    BindLater();
    // DLLs by bare name from the system folder only, where Windows can.
    if (g_later.SetDefaultDllDirectories == NULL ||
        !g_later.SetDefaultDllDirectories(0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */)) {
        if (g_later.SetDllDirectoryW != NULL) g_later.SetDllDirectoryW(L"");
    }
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    g_dir = self;
    g_dir.erase(g_dir.find_last_of(L'\\'));
    g_wine = g_later.wine_get_version != NULL;
    BOOL wow64 = FALSE;
    g_wow64 = g_later.IsWow64Process != NULL && g_later.IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    wchar_t out[MAX_PATH] = {};
    DWORD outLength = GetEnvironmentVariableW(L"RUNTESTS_OUT", out, MAX_PATH);
    g_out = outLength > 0 && outLength < MAX_PATH ? Str(out) : g_dir;
    while (g_out.size() > 3 && g_out[g_out.size() - 1] == L'\\') g_out.erase(g_out.size() - 1);
    if (!LoadCrypt()) {
        fputs("RunTests: cannot load crypt32.dll from the system folder; nothing was changed\n", stderr);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        Str arg = argv[i];
        if (FindProgram(arg.substr(0, arg.find(L':'))) == NULL) {
            std::string names;
            for (const Program& program : kPrograms) names += std::string(names.empty() ? "" : ", ") + program.name;
            printf("RunTests: no program \"%s\" (the programs: %s); nothing was changed\n", Utf8(arg).c_str(),
                   names.c_str());
            return 2;
        }
    }
    if (!FolderFitsAnsi()) {
        printf("RunTests: refused, nothing was changed: the folder %s has characters that the ANSI code page %u "
               "cannot hold, and the tool is an ANSI program: unzip the pack under another folder name\n",
               Utf8(g_dir).c_str(), GetACP());
        return 2;
    }
    std::string busy = TakeRunLock();
    if (!busy.empty()) {
        printf("RunTests: refused, nothing was changed: %s\n", busy.c_str());
        return 2;
    }
    std::string earlier = ReadJournal();
    std::string foreign = Foreign(earlier);
    if (!foreign.empty()) {
        ReleaseRunLock();
        printf("RunTests: refused, nothing was changed: %s\n", foreign.c_str());
        return 2;
    }
    std::string which;
    g_admin = IsAdministrator(&which);
    if (!OpenReport()) {
        ReleaseRunLock();
        printf("RunTests: cannot write its report in %s; nothing was changed\n", Utf8(g_out).c_str());
        return 2;
    }
    DescribeMachine(which);
    if (!earlier.empty()) {
        Out("\nAn earlier run was cut off; what it changed is put back first:\n");
        std::vector<std::string> done, left;
        PutBack(earlier, &done, &left);
        for (const std::string& change : done) Out("  %s\n", change.c_str());
        if (!left.empty()) {
            for (const std::string& change : left) Out("  NOT PUT BACK: %s\n", change.c_str());
            Out("RunTests: stopped; the journal is kept. To put the rest back, run RunTests.exe again as %s.\n",
                g_admin ? "this administrator, once nothing holds these files open"
                        : "an administrator (\"Run as administrator\")");
            ListLeft();
            if (g_report != NULL) fclose(g_report);
            ReleaseRunLock();
            return 2;
        }
        ForgetJournal();
        ListLeft();
    }

    std::string journal;
    if (!Snapshot(&journal) || !WriteJournal(journal)) {
        Out("RunTests: cannot write its journal %s; nothing was changed\n", Utf8(JournalPath()).c_str());
        ForgetJournal();
        ReleaseRunLock();
        return 2;
    }
    SetConsoleCtrlHandler(OnBreak, TRUE);
    Out("\nSaved before the run, and put back after each program:\n");
    for (const std::string& line : Split(journal, '\n')) {
        std::vector<std::string> f = Fields(line);
        if (f[0] == "key" && f.size() == 6) {
            Out("  registry key %s\\%s (%s)\n", f[1].c_str(), f[3].c_str(), f[4].c_str());
        } else if (f[0] == "folder" && f.size() == 4 && f[3] == "root") {
            Out("  cache root %s (%s; of it only the names above)\n", f[1].c_str(), f[2].c_str());
        } else if ((f[0] == "file" || f[0] == "folder") && f.size() >= 3) {
            Out("  %s %s (%s)\n", f[0].c_str(), f[1].c_str(), f[2] == "absent" ? "absent" : "present");
        } else if (f[0] == "setting" && f.size() == 7) {
            Out("  registry value %s\\%s\\%s (%s)\n", f[1].c_str(), f[3].c_str(), Utf8(ValueName(f[4])).c_str(),
                f[5] == "absent" ? "absent" : "present");
        } else if (f[0] == "link" && f.size() == 4) {
            Out("  link %s to %s (%s)\n", f[1].c_str(), f[2].c_str(), f[3].c_str());
        } else if (f[0] == "store" && f.size() == 2) {
            Out("  the tests' certificates in the current user's \"%s\"\n", f[1].c_str());
        }
    }

    // What the programs expect of their environment.
    CreateDirectoryW((g_dir + L"\\work").c_str(), NULL);
    CreateDirectoryW((g_dir + L"\\work\\temp").c_str(), NULL);
    CreateDirectoryW((g_out + L"\\results").c_str(), NULL);
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
            if (FindProgram(name) != &program) continue;
            chosen = true;
            if (name.size() < arg.size()) filter = L" --gtest_filter=" + arg.substr(name.size() + 1);
        }
        if (chosen && !g_interrupted) RunProgram(program, filter, journal);
    }

    std::vector<std::string> restored, left;
    PutBack(journal, &restored, &left);
    Out("\nLeft changed by the tests, and restored:%s\n", restored.empty() && left.empty() ? " nothing" : "");
    for (const std::string& change : restored) Out("  %s\n", change.c_str());
    for (const std::string& change : left) {
        Out("  NOT RESTORED: %s\n", change.c_str());
        ++g_failed;
    }
    if (left.empty()) ForgetJournal();
    ListLeft();
    if (g_interrupted) Out("interrupted: the remaining programs were not run\n");
    if (g_passed + g_failed == 0) {
        Out("no case ran\n");
        ++g_failed;
    }
    Out("\n%d passed, %d failed, %d skipped\n", g_passed, g_failed, g_skipped);
    if (g_report != NULL) fclose(g_report);
    ReleaseRunLock();
    return g_failed == 0 && !g_interrupted ? 0 : 1;
}
