// Starting a program of the pack: in its work folder, its output into a log,
// in a job that ends all it starts, within its time limit.
#include "runner.h"

BOOL WINAPI OnBreak(DWORD)
{
    InterlockedExchange(&g_interrupted, 1);
    if (g_job != NULL) g_jobs.Terminate(g_job, 1);
    return TRUE;
}

// Runs the command line in the pack's work folder, its output into log;
// the exit code, or a note that it hung.
DWORD Start(Str command, const Program& program, const Str& log, bool* hung)
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
    if (!CreateProcessW(NULL, &line[0], NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, work.c_str(), &startup,
                        &process)) {
        CloseHandle(out);
        return GetLastError() | 0x80000000u;
    }
    // Everything it starts goes into the job, and ends with it.
    g_job = g_jobs.Create != NULL ? g_jobs.Create(NULL, NULL) : NULL;
    if (g_job != NULL) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        g_jobs.SetInformation(g_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        g_jobs.Assign(g_job, process.hProcess);
    }
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, program.seconds * 1000) == WAIT_TIMEOUT) {
        *hung = true;
        TerminateProcess(process.hProcess, 1);
    }
    if (g_job != NULL) {
        g_jobs.Terminate(g_job, 1);
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

