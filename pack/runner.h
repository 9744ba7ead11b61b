// RunTests.exe, the test pack's runner: what its parts share. The runner
// runs the pack's programs on the Windows it is started on, with the setup
// each program expects, and writes a report (report.cpp). Before it changes
// anything it writes a journal beside itself of everything its tests may
// change, and puts that back after every program and at the end
// (journal.cpp); it refuses a PC that has the maker's CSP (refusals.cpp);
// it starts each program in a job (start.cpp).
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <strsafe.h>
#include <stdio.h>

#include <string>
#include <vector>

typedef std::wstring Str;

struct Program {
    const char* name;     // in the report and on the command line
    const wchar_t* exe;   // in tests\ .
    bool gtest;           // a GoogleTest program (else: exit code 0 passes)
    bool windows;         // opens windows (under Wine: in a virtual desktop)
    bool admin;           // writes HKEY_LOCAL_MACHINE and the system folder
    DWORD seconds;        // time limit
};

extern const wchar_t kCspKey[];

extern Str g_dir;          // the pack's folder, no trailing backslash
extern FILE* g_report;     // report.txt beside the runner
extern bool g_wine, g_wow64, g_admin;
// The job that holds a running program and all it starts (Windows 2000 and
// later; NT 4.0 has no jobs, and there only the program itself is ended).
struct Jobs {
    decltype(&CreateJobObjectW) Create;
    decltype(&SetInformationJobObject) SetInformation;
    decltype(&AssignProcessToJobObject) Assign;
    decltype(&TerminateJobObject) Terminate;
};
extern Jobs g_jobs;
extern HANDLE g_job;
extern volatile LONG g_interrupted;
extern int g_passed, g_failed, g_skipped;
extern std::vector<std::string> g_changes;  // what a restore put back, once each
extern std::vector<std::string> g_left;     // what it found that is not the tests', left in place

template <typename Fn>
Fn Lookup(const char* module, const char* name)
{
    HMODULE handle = GetModuleHandleA(module);
    return handle != NULL ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)))
                          : NULL;
}

// Text, files and folders (journal.cpp).
std::string Utf8(const Str& text);
Str Wide(const std::string& text);
Str SystemFolder();
bool ReadFileBytes(const Str& path, std::vector<BYTE>* bytes);
bool Exists(const Str& path);
std::vector<Str> List(const Str& folder);
void DeleteTree(const Str& path);
std::vector<std::string> Split(const std::string& text, char separator);
std::vector<std::string> Fields(const std::string& line);

// The journal (journal.cpp).
bool LoadCrypt();
Str JournalPath();
Str SavedFolder();
REGSAM CspView();
std::string JournalOwner();  // the journal's first line for this user and computer
bool Snapshot(std::string* journal);
bool WriteJournal(const std::string& journal);
void Restore(const std::string& journal, bool apply);
std::string ReadJournal();
void ForgetJournal();

// Refusals, the lock and the machine's rights (refusals.cpp).
std::string Foreign(const std::string& journal);
bool FolderFitsAnsi();
std::string TakeRunLock();
bool IsAdministrator(std::string* which);

const Program* FindProgram(const Str& name);  // (main.cpp)

// Starting programs (start.cpp).
BOOL WINAPI OnBreak(DWORD);
DWORD Start(Str command, const Program& program, const Str& log, bool* hung, std::string* notStarted);

// Results and the report (report.cpp).
void Out(const char* format, ...);
Str UiLanguageName(LANGID language);
LANGID UiLanguage();
void DescribeMachine(const std::string& administrator);
void ListLeft();  // what a restore left in place, for a look
void RunProgram(const Program& program, const Str& filter, const std::string& journal);
