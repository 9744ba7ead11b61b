// The report: the machine, each program's cases read from its JUnit XML,
// and the counts, on the console and in report.txt.
#include <stdarg.h>

#include "runner.h"

// One line (or more) to the console and the report.
void Out(const char* format, ...)
{
    char line[2048] = {};
    va_list args;
    va_start(args, format);
    StringCchVPrintfA(line, ARRAYSIZE(line), format, args);
    va_end(args);
    fputs(line, stdout);
    fflush(stdout);
    if (g_report != NULL) {
        fputs(line, g_report);
        fflush(g_report);
    }
}

Str UiLanguageName(LANGID language)
{
    if (language == 0x0804) return L"zh_CN";
    if (language == 0x0404) return L"zh_TW";
    if (PRIMARYLANGID(language) == LANG_ENGLISH) return L"en";
    return L"other";
}

LANGID UiLanguage()
{
    typedef LANGID(WINAPI * Get)();
    Get get = Lookup<Get>("kernel32.dll", "GetUserDefaultUILanguage");
    return get != NULL ? get() : GetUserDefaultLangID();
}

void DescribeMachine()
{
    typedef LONG(WINAPI * RtlGetVersion)(OSVERSIONINFOEXW*);
    typedef const char*(CDECL * WineVersion)();
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    RtlGetVersion rtl = Lookup<RtlGetVersion>("ntdll.dll", "RtlGetVersion");
    if (rtl == NULL || rtl(&version) != 0) GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    WineVersion wine = Lookup<WineVersion>("ntdll.dll", "wine_get_version");
    LANGID language = UiLanguage();
    wchar_t name[128] = {};
    GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_SENGLANGUAGE, name, ARRAYSIZE(name));
    Out("Windows %lu.%lu build %lu %s%s%s\n", version.dwMajorVersion, version.dwMinorVersion,
        version.dwBuildNumber, Utf8(version.szCSDVersion).c_str(), wine != NULL ? ", under Wine " : "",
        wine != NULL ? wine() : "");
    Out("%s, UI language %s (0x%04x), ANSI code page %u, %s\n",
        g_wow64 ? "64-bit Windows (this runner under WOW64)" : "32-bit Windows", Utf8(name).c_str(), language,
        GetACP(), g_admin ? "administrator" : "not an administrator");
}

namespace {

std::string Attribute(const std::string& line, const char* name)
{
    std::string key = std::string(" ") + name + "=\"";
    size_t start = line.find(key);
    if (start == std::string::npos) return std::string();
    start += key.size();
    std::string raw = line.substr(start, line.find('"', start) - start), text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            text += raw[i];
            continue;
        }
        size_t end = raw.find(';', i);
        std::string entity = raw.substr(i + 1, end - i - 1);
        text += entity == "lt" ? "<" : entity == "gt" ? ">" : entity == "amp" ? "&" : entity == "quot" ? "\"" :
                entity == "apos" ? "'" : " ";
        i = end;
    }
    size_t newline = text.find_first_of("\r\n");
    return newline == std::string::npos ? text : text.substr(0, newline);
}

void Case(const std::string& name, const char* verdict, const std::string& why)
{
    Out("  %s %s%s%s\n", verdict, name.c_str(), why.empty() ? "" : ": ", why.c_str());
    int& count = verdict[0] == 'P' ? g_passed : verdict[0] == 'F' ? g_failed : g_skipped;
    ++count;
}

// The cases of a program's JUnit XML; false when it has none.
bool ReadResults(const Str& xml)
{
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(xml, &bytes) || bytes.empty()) return false;
    std::string text(bytes.begin(), bytes.end()), name, why;
    const char* verdict = NULL;
    for (std::string line : Split(text, '\n')) {
        if (line.find("<testcase ") != std::string::npos) {
            if (Attribute(line, "status") == "notrun" || Attribute(line, "result") == "suppressed") continue;
            name = Attribute(line, "classname") + "." + Attribute(line, "name");
            verdict = Attribute(line, "result") == "skipped" ? "SKIP" : "PASS";
            why.clear();
            if (line.find("/>") == std::string::npos) continue;
        } else if (verdict != NULL && line.find("<failure ") != std::string::npos) {
            if (verdict[0] != 'F') why = Attribute(line, "message");
            verdict = "FAIL";
            continue;
        } else if (verdict != NULL && line.find("<skipped ") != std::string::npos) {
            why = Attribute(line, "message");
            continue;
        } else if (verdict == NULL || line.find("</testcase>") == std::string::npos) {
            continue;
        }
        Case(name, verdict, why);
        verdict = NULL;
    }
    return true;
}

// Skips each case of a program, listed by the program itself.
void SkipAll(const Program& program, const Str& filter, const std::string& why)
{
    Str command = L"\"" + g_dir + L"\\tests\\" + program.exe + L"\" --gtest_list_tests" + filter;
    Str log = g_dir + L"\\results\\" + Wide(program.name) + L".list.txt";
    bool hung = false;
    Program listing = program;
    listing.windows = false;
    Start(command, listing, log, &hung);
    std::vector<BYTE> bytes;
    ReadFileBytes(log, &bytes);
    std::string text(bytes.begin(), bytes.end()), suite;
    int cases = 0;
    for (std::string line : Split(text, '\n')) {
        line = line.substr(0, line.find_first_of("#\r"));
        while (!line.empty() && line[line.size() - 1] == ' ') line.erase(line.size() - 1);
        if (line.empty()) continue;
        if (line[0] != ' ') {
            suite = line;
        } else {
            Case(suite + line.substr(line.find_first_not_of(' ')), "SKIP", why);
            ++cases;
        }
    }
    if (cases == 0) Case(program.name, "SKIP", why);
}

}  // namespace

void RunProgram(const Program& program, const Str& filter, const std::string& journal)
{
    Out("\n%s (tests\\%s)\n", program.name, Utf8(program.exe).c_str());
    if (program.admin && !g_admin) {
        SkipAll(program, filter,
                "needs an administrator (registers the CSP under HKEY_LOCAL_MACHINE, writes the system folder)");
        return;
    }
    Str results = g_dir + L"\\results\\" + Wide(program.name);
    Str command = L"\"" + g_dir + L"\\tests\\" + program.exe + L"\"";
    if (program.gtest) {
        command += L" --gtest_output=xml:\"" + results + L".xml\"" + filter;
    } else {
        // The layout check takes the language the loader should pick.
        LANGID language = UiLanguage();
        command += language == 0x0804 ? L" check 2052" : language == 0x0404 ? L" check 1028" : L" check 1033";
    }
    DeleteFileW((results + L".xml").c_str());
    bool hung = false;
    DWORD code = Start(command, program, results + L".log", &hung);
    Restore(journal, true);
    char why[200];
    StringCchPrintfA(why, ARRAYSIZE(why), hung ? "hung: ended after %lu s" : "ended with exit code 0x%lx",
                     hung ? static_cast<unsigned long>(program.seconds) : static_cast<unsigned long>(code));
    // The loader refused it: this Windows lacks a function or DLL it imports.
    if (!hung && (code == 0xC0000139u || code == 0xC0000135u || code == 0xC000007Bu)) {
        StringCchPrintfA(why, ARRAYSIZE(why), "does not load on this Windows (status 0x%lx: it lacks a "
                         "function or DLL the program imports)", static_cast<unsigned long>(code));
        Case(program.name, "SKIP", why);
        return;
    }
    if (!program.gtest) {
        Case(program.name, code == 0 && !hung ? "PASS" : "FAIL", code == 0 && !hung ? "" : why);
        return;
    }
    if (!ReadResults(results + L".xml") || hung) {
        Case(program.name, "FAIL", std::string(why) + " without results (see results\\" + program.name + ".log)");
    }
}

