// Starting a program of the pack: in its work folder, its output into a log,
// in a job that ends all it starts, within its time limit.
#include "runner.h"

namespace {

// The system's message for an error, on one line.
std::string SystemMessage(DWORD error)
{
    wchar_t text[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text,
                   ARRAYSIZE(text), NULL);
    std::string line = Utf8(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    char code[32];
    StringCchPrintfA(code, ARRAYSIZE(code), " (error %lu)", static_cast<unsigned long>(error));
    return line + code;
}

// A new job for the process, which must be suspended; false when it cannot
// be put into one (the runner is in a job that allows no other).
bool IntoJob(HANDLE process)
{
    g_job = g_later.CreateJobObjectW != NULL ? g_later.CreateJobObjectW(NULL, NULL) : NULL;
    if (g_job == NULL) return g_later.CreateJobObjectW == NULL;  // NT 4.0: no jobs at all
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    g_later.SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    if (g_later.AssignProcessToJobObject(g_job, process)) return true;
    CloseHandle(g_job);
    g_job = NULL;
    return false;
}

}  // namespace

BOOL WINAPI OnBreak(DWORD)
{
    InterlockedExchange(&g_interrupted, 1);
    if (g_job != NULL) g_later.TerminateJobObject(g_job, 1);
    return TRUE;
}

// Runs the command line in the pack's work folder, its output into log;
// the exit code, or a note that it hung, or why it did not start.
DWORD Start(Str command, const Program& program, const Str& log, bool* hung, std::string* notStarted)
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
    notStarted->clear();
    // Everything it starts goes into the job, and ends with it. A runner
    // that is itself in a job (Windows 7 and before allow a process one job)
    // starts it outside its own job, where that job allows it.
    DWORD flags[] = {CREATE_SUSPENDED, CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB};
    bool inJob = false;
    for (DWORD flag : flags) {
        if (!CreateProcessW(NULL, &line[0], NULL, NULL, TRUE, flag, NULL, work.c_str(), &startup, &process)) {
            DWORD error = GetLastError();
            if (flag != flags[0]) break;  // the runner's job allows no breakaway
            CloseHandle(out);
            *notStarted = "did not start: " + SystemMessage(error);
            return 0;
        }
        inJob = IntoJob(process.hProcess);
        if (inJob) break;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        process = PROCESS_INFORMATION();
    }
    if (process.hProcess == NULL) {
        // Run it all the same, without a job: what it starts may outlive it.
        static bool said = false;
        if (!said) Out("note: the runner's own job allows no job of its own: programs run without one\n");
        said = true;
        if (!CreateProcessW(NULL, &line[0], NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, work.c_str(), &startup,
                            &process)) {
            CloseHandle(out);
            *notStarted = "did not start: " + SystemMessage(GetLastError());
            return 0;
        }
    }
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, program.seconds * 1000) == WAIT_TIMEOUT) {
        *hung = true;
        TerminateProcess(process.hProcess, 1);
    }
    if (g_job != NULL) {
        g_later.TerminateJobObject(g_job, 1);
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
