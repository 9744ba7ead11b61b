// The report: the machine, each program's cases read from its JUnit XML,
// and the counts, on the console and in report.txt.
#include <stdarg.h>

#include "runner.h"

#include "common/windows_version.h"
#include "languages.h"

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

// report.txt in the output folder. One there already is a run's that was
// stopped or cut off when the journal is there too: it is kept, as
// report-<n>.txt (the first free number), or else appended to.
bool OpenReport()
{
    Str report = g_out + L"\\report.txt";
    bool keep = Exists(JournalPath()) && Exists(report), kept = false;
    for (int n = 1; keep && !kept && n < 1000; ++n) {
        wchar_t name[32];
        StringCchPrintfW(name, ARRAYSIZE(name), L"\\report-%d.txt", n);
        kept = MoveFileW(report.c_str(), (g_out + name).c_str()) != FALSE;
    }
    g_report = _wfopen(report.c_str(), keep && !kept ? L"a" : L"w");
    return g_report != NULL;
}

// The tag of the tool's language (cmake/Languages.cmake); "other" for one
// the tool lacks, whose texts the tests expect in English.
Str UiLanguageName(LANGID language)
{
#define TAG_OF(id, tag) \
    if (language == (id)) return L"" tag;
    TOOL_LANGUAGE_TAGS(TAG_OF)
#undef TAG_OF
    return L"other";
}

LANGID UiLanguage()
{
    return g_later.GetUserDefaultUILanguage != NULL ? g_later.GetUserDefaultUILanguage() : GetUserDefaultLangID();
}

namespace {

// The SHA-256 of a file, hex; or why there is none (Windows before XP SP3
// has no SHA-256 in its CryptoAPI).
std::string Sha256(const Str& path)
{
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(path, &bytes)) return "(cannot be read)";
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32] = {};
    DWORD size = sizeof(digest);
    bool ok = CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
              CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
              CryptHashData(hash, bytes.empty() ? NULL : &bytes[0], static_cast<DWORD>(bytes.size()), 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    if (hash != 0) CryptDestroyHash(hash);
    if (provider != 0) CryptReleaseContext(provider, 0);
    if (!ok) return "(this Windows computes no SHA-256)";
    std::string text;
    char pair[3];
    for (DWORD i = 0; i < size; ++i) {
        StringCchPrintfA(pair, ARRAYSIZE(pair), "%02x", digest[i]);
        text += pair;
    }
    return text;
}

}  // namespace

void DescribeMachine(const std::string& administrator)
{
    std::vector<BYTE> pack;
    ReadFileBytes(g_dir + L"\\PACK.txt", &pack);
    std::string packName(pack.begin(), pack.end());
    packName = packName.substr(0, packName.find_first_of("\r\n"));
    Out("%s\n", packName.empty() ? "VKKSVInitTool test pack (PACK.txt is missing)" : packName.c_str());
    Out("VKKSVInitTool.exe SHA-256 %s\n", Sha256(g_dir + L"\\VKKSVInitTool.exe").c_str());
    // The runner's manifest declares every Windows up to 10 and 11, so
    // that each reports its own version.
    OSVERSIONINFOW version = {};
    ReadWindowsVersion(&version);
    auto wine = g_later.wine_get_version;
    LANGID language = UiLanguage();
    wchar_t name[128] = {};
    GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_SENGLANGUAGE, name, ARRAYSIZE(name));
    Out("Windows %lu.%lu build %lu %s%s%s\n", version.dwMajorVersion, version.dwMinorVersion,
        version.dwBuildNumber, Utf8(version.szCSDVersion).c_str(), wine != NULL ? ", under Wine " : "",
        wine != NULL ? wine() : "");
    Out("%s, UI language %s (0x%04x), ANSI code page %u, %s\n",
        g_wow64 ? "64-bit Windows (this runner under WOW64)" : "32-bit Windows", Utf8(name).c_str(), language,
        GetACP(), administrator.c_str());
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
    Str log = g_out + L"\\results\\" + Wide(program.name) + L".list.txt";
    bool hung = false;
    std::string notStarted;
    Program listing = program;
    listing.windows = false;
    Start(command, listing, log, &hung, &notStarted);
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
    Str results = g_out + L"\\results\\" + Wide(program.name);
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
    std::string notStarted;
    DWORD code = Start(command, program, results + L".log", &hung, &notStarted);
    Restore(journal, true);
    if (!notStarted.empty()) {
        Case(program.name, "FAIL", notStarted);
        return;
    }
    char why[200];
    StringCchPrintfA(why, ARRAYSIZE(why), hung ? "hung: ended after %lu s" : "ended with exit code 0x%lx",
                     hung ? static_cast<unsigned long>(program.seconds) : static_cast<unsigned long>(code));
    // The loader refused it: this Windows lacks a function or DLL it
    // imports. Windows before XP lacks some (README.txt); XP and later not.
    if (!hung && (code == 0xC0000139u || code == 0xC0000135u || code == 0xC000007Bu)) {
        bool beforeXp = WindowsVersion() < 0x501;
        StringCchPrintfA(why, ARRAYSIZE(why), "does not load on this Windows (status 0x%lx: it lacks a "
                         "function or DLL the program imports)%s", static_cast<unsigned long>(code),
                         beforeXp ? "" : ", though it must load on XP and later");
        Case(program.name, beforeXp ? "SKIP" : "FAIL", why);
        return;
    }
    if (!program.gtest) {
        Case(program.name, code == 0 && !hung ? "PASS" : "FAIL", code == 0 && !hung ? "" : why);
        return;
    }
    // A crash or a failed exit after its results were written fails too.
    bool results_read = ReadResults(results + L".xml");
    if (!results_read || hung || code != 0) {
        Case(program.name, "FAIL", std::string(why) + (results_read ? " after its results" : " without results") +
                                       " (see results\\" + program.name + ".log)");
    }
}

void ListLeft()
{
    if (g_left.empty()) return;
    Out("\nLeft in place, not made by the tests (%u to look at):\n", static_cast<unsigned>(g_left.size()));
    for (const std::string& left : g_left) Out("  LOOK: %s\n", left.c_str());
    g_left.clear();
}
