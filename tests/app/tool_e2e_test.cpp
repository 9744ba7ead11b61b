// The tool as a user runs it: the real program, started as its own process,
// its dialog worked from outside, with the simulated key, real cache files,
// real certificate stores and a listener for the key-state broadcast.
#include <windows.h>
#include <tlhelp32.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "certcache/cache_prefix.h"
#include "certcache/cache_root.h"
#include "expected_texts.h"
#include "linked_root.h"
#include "made_by_tests.h"
#include "keysim_support.h"
#include "resource.h"
#include "time_factor.h"
#include "tool_driver.h"

namespace {

const int kYesId = IDC_YES;
const uint32_t kSlot = 0x11;
const char kReader[] =
    "\\\\?\\hid#vid_1234&pid_5678#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
// Another key's reader, whose files the tool leaves alone.
const char kOtherReader[] = "Reader B";

// The prefix of a reader's cache files, by the CSP's rule; empty if the name
// has none.
std::string PrefixOf(const char* reader)
{
    char prefix[MAX_PATH] = {};
    MakeCachePrefix(reader, prefix);
    return prefix;
}

const std::string kPrefix = PrefixOf(kReader);
const std::string kOtherPrefix = PrefixOf(kOtherReader);

// The outcomes as the user-interface language shows them.
const std::wstring kOkText = ExpectedTexts().ok;
const std::wstring kFailedText = ExpectedTexts().failed;

// A setting as UTF-16: the pack may lie under any folder name.
std::wstring Env(const char* name)
{
    wchar_t value[MAX_PATH * 2] = {};
    DWORD length = GetEnvironmentVariableW(std::wstring(name, name + strlen(name)).c_str(), value,
                                           ARRAYSIZE(value));
    return length < ARRAYSIZE(value) ? value : L"";
}

// A path of the ANSI code page's, as UTF-16.
std::wstring FromAnsi(const std::string& text)
{
    std::vector<wchar_t> wide(text.size() + 1);
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    return wide.data();
}

std::vector<BYTE> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string CertData(const char* name)
{
    const char* dir = getenv("CERT_DATA_DIR");
    return std::string(dir != NULL ? dir : ".") + "\\" + name;
}

HCERTSTORE OpenUserStore(const wchar_t* name)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                         CERT_SYSTEM_STORE_CURRENT_USER, name);
}

void AddToStore(const wchar_t* name, const std::vector<BYTE>& der)
{
    HCERTSTORE store = OpenUserStore(name);
    ASSERT_NE(store, static_cast<HCERTSTORE>(NULL));
    EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, NULL));
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
}

// Whether the store holds this exact certificate (by its encoding).
bool InStore(const wchar_t* name, const std::vector<BYTE>& der)
{
    HCERTSTORE store = OpenUserStore(name);
    if (store == NULL) {
        return false;
    }
    bool found = false;
    PCCERT_CONTEXT cert = NULL;
    while (!found && (cert = CertEnumCertificatesInStore(store, cert)) != NULL) {
        found = cert->cbCertEncoded == der.size() &&
                memcmp(cert->pbCertEncoded, der.data(), der.size()) == 0;
    }
    if (cert != NULL) {
        CertFreeCertificateContext(cert);
    }
    CertCloseStore(store, 0);
    return found;
}

void RemoveFromStore(const wchar_t* name, const std::vector<BYTE>& der)
{
    HCERTSTORE store = OpenUserStore(name);
    if (store == NULL) {
        return;
    }
    // One deletion per walk: a walk does not go on past a deleted entry.
    for (bool deleted = true; deleted;) {
        deleted = false;
        PCCERT_CONTEXT cert = NULL;
        while ((cert = CertEnumCertificatesInStore(store, cert)) != NULL) {
            if (cert->cbCertEncoded == der.size() &&
                memcmp(cert->pbCertEncoded, der.data(), der.size()) == 0) {
                deleted = CertDeleteCertificateFromStore(cert) != FALSE;
                break;
            }
        }
    }
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whether these tests run on a 64-bit Windows (WOW64): told by E2E_WOW64,
// and checked.
bool IsWow64()
{
    return getenv("E2E_WOW64") != NULL;
}

bool RunsUnderWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Whether the CSP's registration is in this view of the registry
// (KEY_WOW64_32KEY or KEY_WOW64_64KEY).
bool CspRegisteredIn(REGSAM view)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeySimCspKey().c_str(), 0, KEY_READ | view, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void WriteFile(const std::string& path, const std::vector<BYTE>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The key-state listener, a program of its own on the same desktop.
class Listener {
public:
    void Start(const std::vector<std::string>& watched)
    {
        // In this Windows's own temporary folder: the build folder is shared
        // with the tests of the other prefix, which run at the same time.
        wchar_t temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_log = std::wstring(temp) + L"keystate-listener.log";
        DeleteFileW(m_log.c_str());
        m_ready = CreateEventA(NULL, TRUE, FALSE, "KeyStateListenerReady");
        m_stop = CreateEventA(NULL, TRUE, FALSE, "KeyStateListenerStop");
        ResetEvent(m_ready);
        ResetEvent(m_stop);
        std::wstring command = L"\"" + BesideThisProgram(L"keystate_listener.exe") + L"\" \"" +
                               m_log + L"\"";
        for (const std::string& path : watched) {
            command += L" \"" + FromAnsi(path) + L"\"";
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                                   &m_process));
        ASSERT_EQ(WaitForSingleObject(m_ready, ScaledMs(20000)), WAIT_OBJECT_0);
    }

    // Stops the listener and returns the lines it recorded.
    std::vector<std::string> Stop()
    {
        std::vector<std::string> lines;
        if (m_process.hProcess == NULL) {
            return lines;
        }
        // Give a posted broadcast time to arrive before the listener stops.
        Sleep(ScaledMs(300));
        SetEvent(m_stop);
        WaitForSingleObject(m_process.hProcess, ScaledMs(10000));
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        m_process = PROCESS_INFORMATION();
        std::ifstream in(m_log.c_str());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    ~Listener()
    {
        Stop();
        CloseHandle(m_ready);
        CloseHandle(m_stop);
    }

private:
    std::wstring m_log;
    HANDLE m_ready = NULL;
    HANDLE m_stop = NULL;
    PROCESS_INFORMATION m_process = {};
};

class ToolRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_rsa = ReadBytes(CertData("rsa.der"));
        m_ec = ReadBytes(CertData("ec.der"));
        m_otherRsa = ReadBytes(CertData("twice_a.der"));
        ASSERT_FALSE(m_rsa.empty());
        ASSERT_FALSE(m_ec.empty());
        ASSERT_FALSE(m_otherRsa.empty());

        char root[MAX_PATH] = {};
        ASSERT_TRUE(GetCacheRoot(root));
        m_cacheDir = std::string(root) + "\\" MADE_BY_TESTS_CACHE_FOLDER;
        if (CreateDirectoryA(m_cacheDir.c_str(), NULL)) {
            m_madeCacheDir = m_cacheDir;
        }

        KeySimReset();
        ASSERT_TRUE(RegisterCsp(KeySimDir() + L"\\VarkeldKsvCsp.dll"));
        // On a 64-bit Windows the CSP is registered where a 32-bit CSP's
        // installer writes, which is the only view the 32-bit tool reads.
        if (IsWow64()) {
            ASSERT_TRUE(RunsUnderWow64());
            EXPECT_TRUE(CspRegisteredIn(KEY_WOW64_32KEY));
            EXPECT_FALSE(CspRegisteredIn(KEY_WOW64_64KEY));
        }
        KeySimPlug(kSlot, kReader);
        KeySimEnrol(kSlot, "rsa-signing");
        KeySimEnrol(kSlot, "ec-signing");
    }

    void TearDown() override
    {
        for (const std::string& path : m_created) {
            DeleteFileA(path.c_str());
        }
        if (!m_madeCacheDir.empty()) {
            RemoveDirectoryA(m_madeCacheDir.c_str());
        }
        RemoveFromStore(L"MY", m_rsa);
        RemoveFromStore(L"addressbook", m_ec);
        RemoveFromStore(L"MY", m_otherRsa);
        UnregisterCsp();
        KeySimReset();
    }

    std::string CacheFile(const std::string& name, const std::vector<BYTE>& bytes)
    {
        std::string path = m_cacheDir + "\\" + name;
        WriteFile(path, bytes);
        m_created.push_back(path);
        return path;
    }

    // The key's two certificates, cached and installed as the CSP leaves
    // them, and files that are not the key's.
    void EnrolCertificates()
    {
        m_keyFiles.push_back(CacheFile(kPrefix + "A.cer", m_rsa));
        m_keyFiles.push_back(CacheFile(kPrefix + "B.cer", m_ec));
        m_otherFiles.push_back(CacheFile(kPrefix + "other.txt", {'x'}));
        m_otherFiles.push_back(CacheFile(kOtherPrefix + "A.cer", m_otherRsa));
        AddToStore(L"MY", m_rsa);
        AddToStore(L"addressbook", m_ec);
        AddToStore(L"MY", m_otherRsa);
    }

    void ExpectNothingChanged()
    {
        for (const std::string& path : m_keyFiles) {
            EXPECT_TRUE(Exists(path)) << path;
        }
        for (const std::string& path : m_otherFiles) {
            EXPECT_TRUE(Exists(path)) << path;
        }
        EXPECT_TRUE(InStore(L"MY", m_rsa));
        EXPECT_TRUE(InStore(L"addressbook", m_ec));
        EXPECT_TRUE(InStore(L"MY", m_otherRsa));
    }

    // The key's files and certificates are gone, nothing else.
    void ExpectOnlyTheKeysTracesGone()
    {
        for (const std::string& path : m_keyFiles) {
            EXPECT_FALSE(Exists(path)) << path;
        }
        for (const std::string& path : m_otherFiles) {
            EXPECT_TRUE(Exists(path)) << path;
        }
        EXPECT_FALSE(InStore(L"MY", m_rsa));
        EXPECT_FALSE(InStore(L"addressbook", m_ec));
        EXPECT_TRUE(InStore(L"MY", m_otherRsa));
    }

    static void ExpectFinished(const DialogState& state, const std::wstring& text)
    {
        EXPECT_EQ(state.message, text);
        EXPECT_FALSE(state.yes.visible);
        EXPECT_FALSE(state.no.visible);
        EXPECT_TRUE(state.ok.visible);
        EXPECT_TRUE(state.ok.enabled);
        EXPECT_FALSE(state.yes.enabled);
    }

    // Starts the tool (or another build of it), presses Yes and waits for
    // the outcome.
    DialogState RunYes(const std::wstring& exe = Env("INITTOOL_EXE"),
                       const std::wstring& currentDirectory = L"")
    {
        EXPECT_TRUE(m_tool.Launch(exe, currentDirectory));
        EXPECT_TRUE(m_tool.WaitForDialog()) << m_tool.Failure();
        m_tool.Press(kYesId);
        EXPECT_TRUE(m_tool.WaitForFinished());
        return m_tool.ReadState();
    }

    std::vector<BYTE> m_rsa, m_ec, m_otherRsa;
    std::string m_cacheDir;
    std::string m_madeCacheDir;  // the cache folder, when this test made it
    std::vector<std::string> m_created, m_keyFiles, m_otherFiles;
    ToolProcess m_tool;
    Listener m_listener;
};

TEST_F(ToolRun, NoEndsTheToolWithoutTouchingAnything)
{
    EnrolCertificates();
    m_listener.Start(m_keyFiles);
    ASSERT_TRUE(m_tool.Launch(Env("INITTOOL_EXE")));
    ASSERT_TRUE(m_tool.WaitForDialog()) << m_tool.Failure();
    DialogState state = m_tool.ReadState();
    EXPECT_TRUE(state.yes.visible && state.yes.enabled);
    EXPECT_TRUE(state.no.visible && state.no.enabled);
    EXPECT_FALSE(state.ok.visible);

    m_tool.Press(IDCANCEL);
    EXPECT_TRUE(m_tool.WaitForExit());
    EXPECT_TRUE(KeySimJournal().empty()) << "the token library was called";
    EXPECT_FALSE(KeySimIsBlank(kSlot));
    ExpectNothingChanged();
    EXPECT_TRUE(m_listener.Stop().empty());
}

TEST_F(ToolRun, YesWipesTheKeyRemovesItsCertificatesAndBroadcastsOnce)
{
    EnrolCertificates();
    m_listener.Start(m_keyFiles);
    ExpectFinished(RunYes(), kOkText);

    EXPECT_TRUE(KeySimIsBlank(kSlot));
    EXPECT_TRUE(KeySimCertLabels(kSlot).empty());
    ExpectOnlyTheKeysTracesGone();

    // Neither a Yes command that still reaches the finished dialog nor Enter
    // starts a second run; Enter closes the dialog.
    m_tool.Press(kYesId);
    m_tool.PressEnter();
    EXPECT_TRUE(m_tool.WaitForExit());

    std::vector<std::string> received = m_listener.Stop();
    ASSERT_EQ(received.size(), 1u);
    // Posted after the purge (the files were gone when it arrived), with
    // both parameters 0 ...
    EXPECT_EQ(received[0], "received wparam=0x00000000 lparam=0x00000000 watched_present=0");

    std::vector<std::string> calls = KeySimJournalCalls();
    std::vector<std::string> expected = {"KREstablishContext", "KRGetSlotList", "KROpen",
                                         "KRGetSlotName",      "VKVerifyPIN",   "VKInitADF",
                                         "KRClose"};
    EXPECT_EQ(calls, expected);
    // ... and before the key was closed.
    std::vector<std::string> journal = KeySimJournal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(KeySimJournalField(journal.back(), "keystate_queued"), "1");
}

TEST_F(ToolRun, EmptyCacheStillSucceedsAndBroadcasts)
{
    m_listener.Start({});
    ExpectFinished(RunYes(), kOkText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
    EXPECT_TRUE(KeySimIsBlank(kSlot));
    EXPECT_EQ(m_listener.Stop().size(), 1u);
}

// Another user of the machine put a link in place of the cache folder, or
// one folder higher in place of the cache root: the key is wiped, and
// nothing that the link leads to is touched. The tool looks in a root of the
// test's own, where the Public folder is pointed.
class LinkedRun : public ToolRun, public ::testing::WithParamInterface<bool> {
protected:
    LinkedCacheRoot m_linked{GetParam()};
    PointedPublicFolder m_pointed{m_linked.PublicFolder()};
};

TEST_P(LinkedRun, LinkIsNotFollowed)
{
    ASSERT_EQ(m_linked.Why(), "");
    if (!m_pointed.Why().empty()) GTEST_SKIP() << m_pointed.Why();
    m_cacheDir = m_linked.RealCacheDir();
    EnrolCertificates();

    ExpectFinished(RunYes(), kOkText);
    EXPECT_TRUE(KeySimIsBlank(kSlot));
    ExpectNothingChanged();  // the files seen through the link
}

INSTANTIATE_TEST_SUITE_P(CacheFolderOrRoot, LinkedRun, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Root" : "CacheFolder");
                         });

// A token call that waits in a message loop (as one through a COM
// single-threaded apartment does) dispatches what is queued meanwhile: of two
// Yes commands posted at once, one starts the run, a No behind them does not
// end the dialog under it, and the library is unloaded when it ends.
TEST_F(ToolRun, TwoYesCommandsAtOnceStartOneRun)
{
    KeySimFault("messageloop", "600");
    ASSERT_TRUE(m_tool.Launch(Env("INITTOOL_EXE")));
    ASSERT_TRUE(m_tool.WaitForDialog()) << m_tool.Failure();
    m_tool.Press(kYesId);
    m_tool.Press(kYesId);
    // Nor does a No queued behind them end the dialog before the outcome.
    m_tool.Press(IDCANCEL);
    EXPECT_TRUE(m_tool.WaitForFinished());
    ExpectFinished(m_tool.ReadState(), kOkText);

    std::vector<std::string> calls = KeySimJournalCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "KREstablishContext"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "VKInitADF"), 1);
    DWORD process = 0;
    GetWindowThreadProcessId(m_tool.Dialog(), &process);
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process);
    ASSERT_NE(modules, INVALID_HANDLE_VALUE);
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    bool tokenLibraryLoaded = false, toolListed = false;
    for (BOOL more = Module32FirstW(modules, &module); more;
         more = Module32NextW(modules, &module)) {
        tokenLibraryLoaded = tokenLibraryLoaded || lstrcmpiW(module.szModule, L"Korrim.dll") == 0;
        toolListed = toolListed || lstrcmpiW(module.szModule, L"VKKSVInitTool.exe") == 0;
    }
    CloseHandle(modules);
    EXPECT_TRUE(toolListed);
    EXPECT_FALSE(tokenLibraryLoaded);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
}

// On Windows 2000 and XP, <exe>.local or <exe>.manifest beside the tool may
// have redirected its DLLs: it ends at once (exit code 1), showing nothing
// and touching nothing. Later Windows ignore both files for an exe with a
// manifest of its own. Wine honours neither: it reports the Windows version
// set for the program.
TEST_F(ToolRun, RedirectionFileEndsTheToolOnWindows2000AndXp)
{
    if (!RunningUnderWine()) {
        GTEST_SKIP() << "needs Wine's per-program Windows version";
    }
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring dir = std::wstring(temp) + L"inittool-redirection";
    CreateDirectoryW(dir.c_str(), NULL);
    std::wstring exe = dir + L"\\VKKSVInitTool.exe";
    ASSERT_TRUE(CopyFileW(Env("INITTOOL_EXE").c_str(), exe.c_str(), FALSE));
    const wchar_t appDefaults[] = MADE_BY_TESTS_WIDE(MADE_BY_TESTS_TOOL_WINE_KEY);
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, appDefaults, 0, NULL, 0, KEY_SET_VALUE, NULL,
                              &key, NULL),
              ERROR_SUCCESS);
    auto setVersion = [key](const std::wstring& version) {
        RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    };
    const wchar_t* const suffixes[] = {L".local", L".manifest"};
    for (const wchar_t* suffix : suffixes) {
        std::wstring planted = exe + suffix;
        CloseHandle(CreateFileW(planted.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
        for (const wchar_t* version : {L"win2k", L"winxp"}) {
            SCOPED_TRACE(ToUtf8(std::wstring(version) + L" " + suffix));
            setVersion(version);
            ToolProcess tool;
            ASSERT_TRUE(tool.Launch(exe, dir));
            DWORD exitCode = 0;
            EXPECT_TRUE(tool.WaitForExit(ScaledMs(20000), &exitCode));
            EXPECT_EQ(exitCode, 1u);
        }
        DeleteFileW(planted.c_str());
    }
    // Windows Server 2003 (5.2) ignores both.
    for (const wchar_t* suffix : suffixes) {
        CloseHandle(CreateFileW((exe + suffix).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0,
                                NULL));
    }
    setVersion(L"win2003");
    ASSERT_TRUE(m_tool.Launch(exe, dir));
    EXPECT_TRUE(m_tool.WaitForDialog(ScaledMs(60000))) << m_tool.Failure();
    m_tool.Press(IDCANCEL);
    EXPECT_TRUE(m_tool.WaitForExit());

    EXPECT_TRUE(KeySimJournal().empty()) << "the token library was called";
    RegDeleteValueW(key, L"Version");
    RegCloseKey(key);
    for (const wchar_t* suffix : suffixes) {
        DeleteFileW((exe + suffix).c_str());
    }
    DeleteFileW(exe.c_str());
    RemoveDirectoryW(dir.c_str());
}

// Every failure ends in the same text, with nothing deleted and no broadcast.
class FailedRun : public ToolRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(FailedRun, ShowsFailureAndLeavesEverything)
{
    std::string cause = GetParam();
    if (cause == "wrong-pin") {
        KeySimSetPin(kSlot, "000000", 5);
    } else if (cause == "no-key") {
        KeySimReset();
    } else if (cause == "no-csp") {
        UnregisterCsp();
    }
    EnrolCertificates();
    m_listener.Start(m_keyFiles);
    ExpectFinished(RunYes(), kFailedText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());

    ExpectNothingChanged();
    EXPECT_TRUE(m_listener.Stop().empty());
    std::vector<std::string> calls = KeySimJournalCalls();
    for (const std::string& call : calls) {
        EXPECT_NE(call, "VKInitADF");
    }
    if (cause == "no-csp") {
        EXPECT_TRUE(calls.empty());
    }
    EXPECT_FALSE(KeySimIsBlank(kSlot));
}

INSTANTIATE_TEST_SUITE_P(Causes, FailedRun, ::testing::Values("wrong-pin", "no-key", "no-csp"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = c == '-' ? '_' : c;
                             }
                             return name;
                         });

// DLLs that a web page dropped into the Downloads folder the tool runs from:
// a copy of planted.dll under each name, which records being loaded. Wine
// is made to search for each name as Windows searches for a DLL that is not
// among its KnownDLLs (native first), so a planted copy found by the search
// would be loaded.
//
// Planted: every DLL name of the system folder, and the token library's,
// except these, which Wine loads with the tool before the tool's first
// instruction runs (Windows takes them from its KnownDLLs or the system
// folder):
const wchar_t* const kLoadedByWineItself[] = {
    L"kernelbase", L"kernel32", L"ntdll", L"msvcrt", L"ucrtbase", L"sechost", L"advapi32",
    L"zlib1", L"win32u", L"user32", L"gdi32", L"imm32",
};
// and these too under Wine only, whose own DLLs load them at process start.
const wchar_t* const kLoadedByWineOnly[] = {L"version", L"uxtheme"};

const wchar_t kToolDllOverrides[] = MADE_BY_TESTS_WIDE(MADE_BY_TESTS_TOOL_DLL_OVERRIDES);

class PlantedDlls : public ToolRun, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override
    {
        ToolRun::SetUp();
        wchar_t temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_downloads = std::wstring(temp) + L"inittool-downloads-" + Wide(GetParam());
        CreateDirectoryW(m_downloads.c_str(), NULL);
        std::wstring source = Env(std::string(GetParam()) == "tool" ? "INITTOOL_EXE"
                                                                    : "INITTOOL_OLDWINDOWS_EXE");
        m_exe = m_downloads + L"\\VKKSVInitTool.exe";
        ASSERT_TRUE(CopyFileW(source.c_str(), m_exe.c_str(), FALSE));
    }

    void TearDown() override
    {
        RegDeleteKeyW(HKEY_CURRENT_USER, kToolDllOverrides);
        m_tool.Kill();
        m_tool.WaitForExit();
        for (const std::wstring& name : ListFolder(L"*")) {
            DeleteFileW((m_downloads + L"\\" + name).c_str());
        }
        RemoveDirectoryW(m_downloads.c_str());
        ToolRun::TearDown();
    }

    static std::wstring Wide(const std::string& text)
    {
        return std::wstring(text.begin(), text.end());
    }

    std::vector<std::wstring> ListFolder(const std::wstring& pattern) const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((m_downloads + L"\\" + pattern).c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                names.push_back(entry.cFileName);
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        return names;
    }

    // Plants the recording DLL as <name>.dll for each name, and makes Wine
    // look for those names natively first in the tool (its per-program
    // overrides: they apply to programs named VKKSVInitTool.exe only).
    void Plant(const std::vector<std::wstring>& names)
    {
        std::wstring planted = Env("PLANTED_DLL");
        // Windows' own loader searches that way already.
        bool wine = RunningUnderWine();
        HKEY key = NULL;
        ASSERT_TRUE(!wine || RegCreateKeyExW(HKEY_CURRENT_USER, kToolDllOverrides, 0, NULL, 0,
                                             KEY_SET_VALUE, NULL, &key, NULL) == ERROR_SUCCESS);
        for (const std::wstring& name : names) {
            std::wstring path = m_downloads + L"\\" + name + L".dll";
            EXPECT_TRUE(CreateHardLinkW(path.c_str(), planted.c_str(), NULL) ||
                        CopyFileW(planted.c_str(), path.c_str(), FALSE))
                << ToUtf8(path);
            const wchar_t nativeFirst[] = L"native,builtin";
            if (!wine) continue;
            EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(nativeFirst),
                                     sizeof(nativeFirst)),
                      ERROR_SUCCESS);
        }
        if (key != NULL) RegCloseKey(key);
    }

    // Every DLL name of the system folder but Wine's own early loads, and
    // the token library's.
    static std::vector<std::wstring> SystemDllNames()
    {
        std::vector<std::wstring> names = {L"korrim"};
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((std::wstring(system) + L"\\*.dll").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            std::wstring name = entry.cFileName;
            name.erase(name.size() - 4);
            CharLowerW(&name[0]);
            bool wineOnly = std::find(std::begin(kLoadedByWineOnly), std::end(kLoadedByWineOnly),
                                      name) != std::end(kLoadedByWineOnly);
            if (std::find(std::begin(kLoadedByWineItself), std::end(kLoadedByWineItself),
                          name) == std::end(kLoadedByWineItself) &&
                !(wineOnly && RunningUnderWine())) {
                names.push_back(name);
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        return names;
    }

    // The planted DLLs that some process loaded, with the process.
    std::vector<std::string> Loaded() const
    {
        std::vector<std::string> loaded;
        for (const std::wstring& marker : ListFolder(L"*.loaded")) {
            std::vector<BYTE> process = ReadBytes(ToUtf8(m_downloads + L"\\" + marker));
            loaded.push_back(ToUtf8(marker) + " by " +
                             ToUtf8(std::wstring(reinterpret_cast<const wchar_t*>(process.data()),
                                                 process.size() / sizeof(wchar_t))));
        }
        return loaded;
    }

    std::wstring m_downloads;
    std::wstring m_exe;
};

TEST_P(PlantedDlls, NoneIsLoadedThroughAWholeRun)
{
    std::vector<std::wstring> names = SystemDllNames();
    ASSERT_GT(names.size(), 100u);
    // (bcrypt from Vista on.)
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    for (const wchar_t* name : {L"crypt32", L"shell32", L"msasn1", L"bcrypt", L"comctl32"}) {
        if (version.dwMajorVersion < 6 && std::wstring(name) == L"bcrypt") continue;
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << ToUtf8(name);
    }
    EnrolCertificates();
    Plant(names);
    m_listener.Start(m_keyFiles);

    // The About box first, so that the whole user interface is seen.
    ASSERT_TRUE(m_tool.Launch(m_exe, m_downloads));
    ASSERT_TRUE(m_tool.WaitForDialog()) << m_tool.Failure();
    // Centred on the work area, with or without the multi-monitor functions.
    RECT area = {}, dialog = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(m_tool.Dialog(), &dialog);
    EXPECT_NEAR(dialog.left - area.left, area.right - dialog.right, 1);
    EXPECT_NEAR(dialog.top - area.top, area.bottom - dialog.bottom, 1);
    AboutState about;
    EXPECT_TRUE(m_tool.ReadAboutBox(about));
    m_tool.Press(kYesId);
    EXPECT_TRUE(m_tool.WaitForFinished());
    ExpectFinished(m_tool.ReadState(), kOkText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());

    EXPECT_EQ(Loaded(), std::vector<std::string>());
    EXPECT_TRUE(KeySimIsBlank(kSlot));
    ExpectOnlyTheKeysTracesGone();
    EXPECT_EQ(m_listener.Stop().size(), 1u);
}

// A CSP registered without "Image Path": the token library is looked for in
// the system folder only, never beside the tool or in the current folder.
TEST_P(PlantedDlls, TokenLibraryByBareNameComesFromTheSystemFolderOnly)
{
    ASSERT_TRUE(RegisterCspWithoutImagePath());
    EnrolCertificates();
    Plant({L"korrim", L"crypt32", L"shell32"});

    ExpectFinished(RunYes(m_exe, m_downloads), kFailedText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
    EXPECT_EQ(Loaded(), std::vector<std::string>());
    EXPECT_FALSE(KeySimIsBlank(kSlot));
    ExpectNothingChanged();

    // Installed in the system folder, it is found there. (On a 64-bit
    // Windows a 32-bit program's system folder is SysWOW64.)
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    ASSERT_TRUE(KeySimCopyTo(system));
    if (IsWow64()) {
        wchar_t wow64System[MAX_PATH] = {};
        ASSERT_GT(GetSystemWow64DirectoryW(wow64System, MAX_PATH), 0u);
        EXPECT_NE(GetFileAttributesW((std::wstring(wow64System) + L"\\Korrim.dll").c_str()),
                  INVALID_FILE_ATTRIBUTES);
    }
    ExpectFinished(RunYes(m_exe, m_downloads), kOkText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
    EXPECT_TRUE(KeySimIsBlank(kSlot, system));
    EXPECT_FALSE(KeySimIsBlank(kSlot));
    EXPECT_EQ(Loaded(), std::vector<std::string>());
    KeySimRemoveCopy(system);
}

// A maker's library whose own helper DLLs lie beside it still loads and
// works: one it imports, and one it loads by bare name as it works, its
// folder on PATH as the maker's installer leaves it. The restricted search
// takes in the library's folder, and not the tool's: there a copy of that
// helper is planted too. (The standard search, where the loader cannot
// restrict it, looks in the tool's folder first, for the library's own
// loads too: nothing the tool can change.)
TEST_P(PlantedDlls, TokenLibraryWithAHelperBesideItLoads)
{
    std::wstring dir = KeySimAuxDir();
    KeySimReset(dir);
    KeySimPlug(kSlot, kReader, "tq8053", 5, dir);
    ASSERT_TRUE(RegisterCsp(KeySimCspPath(dir)));
    wchar_t path[8192] = {};
    GetEnvironmentVariableW(L"PATH", path, ARRAYSIZE(path));
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", (dir + L";" + path).c_str()));
    if (std::string(GetParam()) == "tool") {
        Plant({L"korrimaux", L"korrimlink", L"crypt32"});
    } else {
        Plant({L"korrimaux", L"crypt32"});
    }

    ExpectFinished(RunYes(m_exe, m_downloads), kOkText);
    SetEnvironmentVariableW(L"PATH", path);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
    EXPECT_TRUE(KeySimIsBlank(kSlot, dir));
    EXPECT_EQ(Loaded(), std::vector<std::string>());
    KeySimReset(dir);
}

// "Image Path" as the CryptoAPI reads it: an expandable value is expanded,
// and the library is found in the folder it names. A relative value is
// never resolved against the current folder, even where a library lies
// there.
TEST_P(PlantedDlls, ImagePathIsExpandedAndNeverRelative)
{
    wchar_t drive[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH), 0u);
    std::wstring dir = std::wstring(drive) + L"\\Program Files\\Maker";
    ASSERT_TRUE(KeySimCopyTo(dir));
    KeySimPlug(kSlot, kReader, "tq8053", 5, dir);
    KeySimEnrol(kSlot, "rsa-signing", dir);
    EnrolCertificates();

    const char relative[] = "Program Files\\Maker\\VarkeldKsvCsp.dll";
    ASSERT_TRUE(RegisterCspRaw(relative, sizeof relative, REG_SZ));
    ExpectFinished(RunYes(m_exe, std::wstring(drive) + L"\\"), kFailedText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
    EXPECT_FALSE(KeySimIsBlank(kSlot, dir));
    ExpectNothingChanged();

    const char expandable[] = "%SystemDrive%\\Program Files\\Maker\\VarkeldKsvCsp.dll";
    ASSERT_TRUE(RegisterCspRaw(expandable, sizeof expandable, REG_EXPAND_SZ));
    ExpectFinished(RunYes(m_exe, m_downloads), kOkText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
    EXPECT_TRUE(KeySimIsBlank(kSlot, dir));
    ExpectOnlyTheKeysTracesGone();
    KeySimRemoveCopy(dir);
}

// A cache file that another program holds, sharing reading only, and a
// read-only one: both certificates go, and so does the read-only file.
TEST_P(PlantedDlls, HeldAndReadOnlyCacheFilesGiveUpTheirCertificates)
{
    EnrolCertificates();
    HANDLE held = CreateFileA(m_keyFiles[0].c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileAttributesA(m_keyFiles[1].c_str(), FILE_ATTRIBUTE_READONLY));

    ExpectFinished(RunYes(m_exe, m_downloads), kOkText);
    m_tool.Press(IDOK);
    EXPECT_TRUE(m_tool.WaitForExit());
    CloseHandle(held);
    SetFileAttributesA(m_keyFiles[1].c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(KeySimIsBlank(kSlot));
    EXPECT_TRUE(Exists(m_keyFiles[0]));
    m_keyFiles.erase(m_keyFiles.begin());
    ExpectOnlyTheKeysTracesGone();
}

// The tool, and the same tool as on the oldest Windows it supports (its
// lookup of the functions older Windows lack finds nothing): the loader
// cannot restrict the search there.
INSTANTIATE_TEST_SUITE_P(Loaders, PlantedDlls, ::testing::Values("tool", "oldwindows"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
