// RunTests.exe, the test pack's runner: what its parts share. The runner
// runs the pack's programs on the Windows it is started on, with the setup
// each program expects, and writes a report (report.cpp). Before it changes
// anything it writes a journal (in its output folder, g_out) of everything
// its tests may change, and puts that back after every program and at the
// end (journal.cpp, restore.cpp), deleting only what it proves the tests'
// (proofs.cpp); it refuses a PC that has the maker's CSP (refusals.cpp);
// it starts each program in a job (start.cpp). Files and text: files.cpp;
// the certificate stores: crypt.cpp.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <strsafe.h>
#include <stdio.h>

#include "common/function_binder.h"
#include "made_by_tests.h"

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

const wchar_t kCspKey[] = MADE_BY_TESTS_WIDE(MADE_BY_TESTS_CSP_KEY);

extern Str g_dir;          // the pack's folder, no trailing backslash
extern Str g_out;          // where the report, journal and results go: g_dir, or RUNTESTS_OUT
extern FILE* g_report;     // the report (report.cpp)
extern bool g_wine, g_wow64, g_admin;
// What the runner finds at run time (BindLater, main.cpp), each left null
// where this Windows lacks it: what Windows after NT 4.0 added, and Wine's
// own. The jobs that hold a running program and all it starts are Windows
// 2000's; NT 4.0 has none, and there only the program itself is ended.
struct Later {
    // kernel32.dll
    BOOL(WINAPI* SetDefaultDllDirectories)(DWORD);
    BOOL(WINAPI* SetDllDirectoryW)(LPCWSTR);
    BOOL(WINAPI* IsWow64Process)(HANDLE, PBOOL);
    LANGID(WINAPI* GetUserDefaultUILanguage)();
    decltype(&CreateJobObjectW) CreateJobObjectW;
    decltype(&SetInformationJobObject) SetInformationJobObject;
    decltype(&AssignProcessToJobObject) AssignProcessToJobObject;
    decltype(&TerminateJobObject) TerminateJobObject;
    char*(CDECL* wine_get_unix_file_name)(LPCWSTR);
    // ntdll.dll
    LONG(WINAPI* NtSetInformationFile)(HANDLE, void* status, void* information, ULONG size, ULONG kind);
    const char*(CDECL* wine_get_version)();
    // advapi32.dll
    LONG(WINAPI* RegDeleteKeyExW)(HKEY, LPCWSTR, REGSAM, DWORD);
    BOOL(WINAPI* CheckTokenMembership)(HANDLE, PSID, PBOOL);
};
extern Later g_later;
void BindLater();
extern HANDLE g_job;
extern volatile LONG g_interrupted;
extern int g_passed, g_failed, g_skipped;
extern std::vector<std::string> g_changes;  // what a restore put back, once each
extern std::vector<std::string> g_left;     // what it found that is not the tests', left in place

// Text, files and folders (files.cpp).
std::string Utf8(const Str& text);
Str Wide(const std::string& text);
std::string Hex(const BYTE* bytes, size_t size);
std::vector<BYTE> Unhex(const std::string& text);
Str ValueName(const std::string& hex);  // a registry value's name from its UTF-16 bytes, hex
Str SystemFolder();
Str SystemDrive();  // "C:", the Windows folder's drive
bool ReadFileBytes(const Str& path, std::vector<BYTE>* bytes);
bool WriteFileBytes(const Str& path, const std::vector<BYTE>& bytes);
bool Exists(const Str& path);
bool IsLink(const Str& path);
bool IsFolder(const Str& path);
bool InLink(const Str& path);  // it, or a folder above it, is a link
bool SameObject(const Str& one, const Str& other);  // the same file or folder, links followed
std::vector<Str> List(const Str& folder);
// Deletes a file only while what the handle opened is a plain file (no
// link) whose bytes pass the check; a folder only while it is an empty one
// (no link), a link only while it is one. True when deleted.
bool DeleteFileIf(const Str& path, bool (*check)(const Str& path, const std::vector<BYTE>& bytes));
bool DeleteEmptyFolder(const Str& path);
bool DeleteLink(const Str& path);
std::vector<std::string> Split(const std::string& text, char separator);
std::vector<std::string> Fields(const std::string& line);

// The current user's certificate stores (crypt.cpp).
struct SavedCert {
    std::vector<BYTE> encoded, element;  // the encoding; serialized with its properties
};
bool LoadCrypt();
std::vector<SavedCert> StoreCertificates(const wchar_t* store);
void RestoreStore(const Str& name, const std::vector<SavedCert>& before, const std::vector<std::vector<BYTE>>& own,
                  bool apply);

// What proves a thing the tests' (proofs.cpp).
std::vector<std::vector<BYTE>> DataFiles();  // the tests' data (data\)
bool IsTestsFile(const Str& path, const std::vector<BYTE>& bytes);        // one of data\, or empty
bool IsSimulatorFile(const Str& path, const std::vector<BYTE>& bytes);    // one of the simulator's
bool IsTestsTree(const Str& path, int depth);  // a file or folder (no link) of only the tests' data
bool CspIsOurs(REGSAM view, std::string* imagePath);  // unregistered, or registered into this pack
bool WineKeyIsOurs(HKEY root, const Str& path);

// The journal (journal.cpp) and the restore (restore.cpp).
Str JournalPath();
Str SavedFolder();  // RunTests.saved\<computer>-<user's SID>
REGSAM CspView();
std::string JournalOwner();  // the journal's first line for this user and computer
bool Snapshot(std::string* journal);
bool WriteJournal(const std::string& journal);
void Restore(const std::string& journal, bool apply);
void Changed(const std::string& what);  // into g_changes
void Left(const std::string& what);     // into g_left
std::string ReadJournal();
void ForgetJournal();
// A registry value's type and bytes (up to 16 KB); false when it is not there.
bool ReadValue(HKEY root, REGSAM view, const Str& path, const Str& name, DWORD* type, std::vector<BYTE>* data);

// Refusals, the lock and the machine's rights (refusals.cpp).
std::string Foreign(const std::string& journal);
bool FolderFitsAnsi();
std::string TakeRunLock();
void ReleaseRunLock();
bool IsAdministrator(std::string* which);

const Program* FindProgram(const Str& name);  // (main.cpp)

// Starting programs (start.cpp).
BOOL WINAPI OnBreak(DWORD);
DWORD Start(Str command, const Program& program, const Str& log, bool* hung, std::string* notStarted);

// Results and the report (report.cpp).
void Out(const char* format, ...);
bool OpenReport();  // a new report.txt; a stopped run's report is kept under a number
Str UiLanguageName(LANGID language);
LANGID UiLanguage();
void DescribeMachine(const std::string& administrator);
void ListLeft();  // what a restore left in place, for a look
void RunProgram(const Program& program, const Str& filter, const std::string& journal);
