// The whole run against the simulated key: the order of its steps, the
// key-state broadcast, and a system that lacks the certificate functions.
#include <windows.h>
#include <mbctype.h>

#include <gtest/gtest.h>

#include <string>

#include "certcache/cache_root.h"
#include "certcache/certificate_api.h"
#include "certcache/file_owner.h"
#include "common/system_library.h"
#include "keyinit/token_library.h"
#include "keysim_support.h"
#include "keyrun/key_run.h"

namespace {

const int s_codePage = _setmbcp(_MB_CP_ANSI);

const uint32_t kFirst = 0x11;

std::string Line(const char* call)
{
    for (const std::string& line : KeySimJournal()) {
        if (line.compare(0, strlen(call) + 1, std::string(call) + " ") == 0) {
            return line;
        }
    }
    return std::string();
}

// A broadcast only after a successful initialisation, posted while the key
// is still open.
class KeyRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(s_codePage, 0);
        KeySimReset();
        ASSERT_TRUE(RegisterCsp(KeySimDir() + L"\\VarkeldKsvCsp.dll"));
        m_message = RegisterWindowMessageA("Varkeld KSV CSP_KeyStateChangeMessage");
        m_window = CreateWindowA("STATIC", "listener", WS_OVERLAPPED, 0, 0, 1, 1, NULL, NULL,
                                 NULL, NULL);
        ASSERT_NE(m_window, static_cast<HWND>(NULL));
    }
    void TearDown() override
    {
        DestroyWindow(m_window);
        UnloadTokenLibrary();
        UnregisterCsp();
        KeySimReset();
    }

    // The broadcasts waiting in this thread's queue, removed.
    int TakeBroadcasts(WPARAM* wParam = NULL, LPARAM* lParam = NULL)
    {
        int count = 0;
        MSG msg;
        while (PeekMessageA(&msg, m_window, m_message, m_message, PM_REMOVE)) {
            ++count;
            if (wParam != NULL) *wParam = msg.wParam;
            if (lParam != NULL) *lParam = msg.lParam;
        }
        return count;
    }

    UINT m_message = 0;
    HWND m_window = NULL;
};

TEST_F(KeyRunTest, SuccessBroadcastsOnceBeforeClosingTheKey)
{
    KeySimPlug(kFirst, "Reader A");
    EXPECT_TRUE(RunKeyInitialization());
    EXPECT_FALSE(IsModuleLoaded("Korrim.dll"));
    WPARAM wParam = 1;
    LPARAM lParam = 1;
    EXPECT_EQ(TakeBroadcasts(&wParam, &lParam), 1);
    EXPECT_EQ(wParam, 0u);
    EXPECT_EQ(lParam, 0);
    EXPECT_EQ(KeySimJournalField(Line("KRClose"), "keystate_queued"), "1");
}

TEST_F(KeyRunTest, FailureBroadcastsNothing)
{
    KeySimPlug(kFirst, "Reader A", "999999", 5);
    EXPECT_FALSE(RunKeyInitialization());
    EXPECT_EQ(TakeBroadcasts(), 0);
    EXPECT_EQ(KeySimJournalField(Line("KRClose"), "keystate_queued"), "0");
    EXPECT_FALSE(IsModuleLoaded("Korrim.dll"));
}

// Without the certificate functions the key's certificates could not be
// removed after the wipe: the key is never touched, and nothing is left
// loaded. A library that is not there, and one that lacks the functions.
TEST_F(KeyRunTest, MissingCertificateFunctionsLeaveTheKeyUntouched)
{
    for (const char* library : {"nosuchcrypt.dll", "version.dll"}) {
        SCOPED_TRACE(library);
        KeySimPlug(kFirst, "Reader A");
        KeySimEnrol(kFirst, "rsa-signing");
        UnloadCertificateApi();

        EXPECT_FALSE(RunKeyInitializationUsing(library));

        EXPECT_TRUE(KeySimJournal().empty()) << "the token library was called";
        EXPECT_FALSE(KeySimIsBlank(kFirst));
        EXPECT_EQ(TakeBroadcasts(), 0);
        EXPECT_FALSE(IsModuleLoaded("Korrim.dll"));
        EXPECT_EQ(g_certificateApi.CertOpenStore, nullptr);
    }
    // The system's own library has them all. A run releases them when it
    // bound them itself, and leaves them to whoever bound them before.
    UnloadCertificateApi();
    EXPECT_TRUE(RunKeyInitialization());
    EXPECT_TRUE(KeySimIsBlank(kFirst));
    EXPECT_FALSE(IsCertificateApiLoaded());

    KeySimPlug(kFirst, "Reader A");
    ASSERT_TRUE(LoadCertificateApi());
    EXPECT_TRUE(RunKeyInitialization());
    EXPECT_TRUE(KeySimIsBlank(kFirst));
    EXPECT_TRUE(IsCertificateApiLoaded());
    UnloadCertificateApi();
}

// Whether the token library's helper could be loaded by bare name while
// the purge ran (its volume lookup, a seam of the purge).
bool s_helperFoundDuringPurge = false;

bool HelperProbingVolumeFlags(const char* path, DWORD* flags)
{
    HMODULE helper = LoadLibraryW(L"KorrimLink.dll");
    s_helperFoundDuringPurge = helper != NULL;
    if (helper != NULL) FreeLibrary(helper);
    return ReadVolumeFlags(path, flags);
}

// The library's folder is in the DLL search while the library's code runs,
// and out of it while the purge runs: a DLL there that shares a name with
// one the system loads by bare name is never picked up. (Last: the search
// stays restricted for the rest of the process.)
TEST_F(KeyRunTest, LibraryFolderIsOutOfTheSearchDuringThePurge)
{
    ASSERT_TRUE(RestrictDllSearchToSystemFolder());
    std::wstring dir = KeySimAuxDir();
    KeySimReset(dir);
    KeySimPlug(kFirst, "Reader A", "tq8053", 5, dir);
    ASSERT_TRUE(RegisterCsp(KeySimCspPath(dir)));
    char root[MAX_PATH] = {};
    ASSERT_TRUE(GetCacheRoot(root));
    std::string cacheDir = std::string(root) + "\\Varkeld KSV CSP";
    bool created = CreateDirectoryA(cacheDir.c_str(), NULL) != FALSE;
    s_helperFoundDuringPurge = true;
    g_volumeFlagsLookup = HelperProbingVolumeFlags;

    EXPECT_TRUE(RunKeyInitialization());

    g_volumeFlagsLookup = ReadVolumeFlags;
    if (created) RemoveDirectoryA(cacheDir.c_str());
    EXPECT_TRUE(KeySimIsBlank(kFirst, dir));
    EXPECT_FALSE(s_helperFoundDuringPurge);
    KeySimReset(dir);
}

}  // namespace
