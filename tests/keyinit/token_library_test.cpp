// Finding the CSP's directory in the real registry and loading and binding
// the token library with the real loader.
#include <windows.h>
#include <mbctype.h>

#include <gtest/gtest.h>

#include <string>

#include "common/system_library.h"
#include "keyinit/token_library.h"
#include "keysim_support.h"
#include "made_by_tests.h"

namespace {

// The tool selects the ANSI code page for multibyte functions at start-up.
const int s_codePage = _setmbcp(_MB_CP_ANSI);

std::string Narrow(const std::wstring& text)
{
    char buffer[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, buffer, sizeof(buffer) - 1, NULL, NULL);
    return buffer;
}

// An ideograph whose encoding in the ANSI code page is two bytes, the second
// 0x5C, the backslash (淺 in 936, for example); 0 when the code page has none.
wchar_t BackslashTrailCharacter()
{
    for (wchar_t c = 0x4E00; c <= 0x9FA5; ++c) {
        char bytes[4] = {};
        BOOL lossy = FALSE;
        int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &c, 1, bytes,
                                         sizeof(bytes), NULL, &lossy);
        if (length == 2 && !lossy && bytes[1] == '\\') return c;
    }
    return 0;
}

std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

// A directory buffer with guard bytes behind it, to catch a write past it.
struct GuardedDirectory {
    char directory[MAX_PATH];
    char guard[64];
};

class TokenLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(s_codePage, 0);
        KeySimReset();
    }
    void TearDown() override
    {
        UnloadTokenLibrary();
        UnregisterCsp();
    }

    // Locates the directory into a guarded buffer and checks the guard.
    bool Locate(std::string& directory)
    {
        GuardedDirectory buffer;
        memset(&buffer, 0, sizeof(buffer.directory));
        memset(buffer.guard, 0x5A, sizeof(buffer.guard));
        bool result = LocateCspDirectory(buffer.directory);
        for (char c : buffer.guard) {
            EXPECT_EQ(c, 0x5A) << "written past the directory buffer";
        }
        EXPECT_NE(memchr(buffer.directory, '\0', MAX_PATH), nullptr);
        directory = buffer.directory;
        return result;
    }
};

TEST_F(TokenLibraryTest, DirectoryKeepsItsBackslashAndLibraryLoadsFromIt)
{
    std::wstring dir = L"C:\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_MAKER_FOLDER);
    ASSERT_TRUE(KeySimCopyTo(dir));
    ASSERT_TRUE(RegisterCsp(dir + L"\\csp.dll"));

    std::string directory;
    EXPECT_TRUE(Locate(directory));
    EXPECT_EQ(directory, "C:\\" MADE_BY_TESTS_MAKER_FOLDER "\\");

    ASSERT_TRUE(OpenTokenLibrary());
    EXPECT_EQ(ModulePath(g_tokenLibrary.module), dir + L"\\Korrim.dll");
    UnloadTokenLibrary();
    KeySimRemoveCopy(dir);
}

TEST_F(TokenLibraryTest, UnregisteredCspFailsWithoutLoading)
{
    UnregisterCsp();
    std::string directory;
    EXPECT_FALSE(Locate(directory));
    EXPECT_EQ(directory, "");
    EXPECT_FALSE(OpenTokenLibrary());
    EXPECT_EQ(g_tokenLibrary.module, static_cast<HMODULE>(NULL));
}

// Without a registered folder the library is looked for in the system
// folder, where a shared library is installed, and never beside the program
// or in the current folder.
TEST_F(TokenLibraryTest, MissingImagePathLoadsTheLibraryFromTheSystemFolderOnly)
{
    ASSERT_TRUE(RegisterCspWithoutImagePath());
    std::string directory = "x";
    EXPECT_TRUE(Locate(directory));
    EXPECT_EQ(directory, "");

    std::wstring programDir = ModulePath(NULL);
    programDir.erase(programDir.find_last_of(L'\\'));
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_TRUE(KeySimCopyTo(programDir));
    ASSERT_TRUE(KeySimCopyTo(current));
    EXPECT_FALSE(OpenTokenLibrary());
    EXPECT_FALSE(IsModuleLoaded("Korrim.dll"));

    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    ASSERT_TRUE(KeySimCopyTo(system));
    EXPECT_TRUE(OpenTokenLibrary());
    EXPECT_EQ(ModulePath(g_tokenLibrary.module), std::wstring(system) + L"\\Korrim.dll");
    UnloadTokenLibrary();
    KeySimRemoveCopy(system);
    KeySimRemoveCopy(current);
    KeySimRemoveCopy(programDir);
}

// A library whose own helper DLLs lie beside it, one imported and one loaded
// by bare name when a context is established (its folder on PATH, as the
// maker's installer leaves it), works with the standard search order and
// with the search restricted to the system folder, which then takes in the
// library's folder while the library's code runs, and only then (PATH is no
// part of it).
TEST_F(TokenLibraryTest, HelperBesideTheLibraryIsFound)
{
    std::wstring dir = KeySimAuxDir();
    wchar_t path[8192] = {};
    GetEnvironmentVariableW(L"PATH", path, ARRAYSIZE(path));
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", (dir + L";" + path).c_str()));
    ASSERT_TRUE(RegisterCsp(KeySimCspPath(dir)));
    for (bool restricted : {false, true}) {
        SCOPED_TRACE(restricted ? "restricted search" : "standard search");
        ASSERT_TRUE(!restricted || RestrictDllSearchToSystemFolder());
        ASSERT_TRUE(OpenTokenLibrary());
        EXPECT_EQ(ModulePath(g_tokenLibrary.module), KeySimLibraryPath(dir));
        EXPECT_TRUE(IsModuleLoaded("KorrimAux.dll"));
        uint32_t context = 0;
        EXPECT_EQ(CallBoundEntry<PFN_KREstablishContext>(TE_KREstablishContext, &context),
                  kTokenOk);
        UnloadTokenLibrary();
        EXPECT_FALSE(IsModuleLoaded("KorrimAux.dll"));
    }
    EXPECT_EQ(LoadLibraryW(L"KorrimLink.dll"), static_cast<HMODULE>(NULL));
    SetEnvironmentVariableW(L"PATH", path);
    KeySimReset(dir);
}

TEST_F(TokenLibraryTest, OddImagePathValues)
{
    std::string directory;

    // No backslash at all: refused, nothing loaded.
    ASSERT_TRUE(RegisterCsp(L"csp.dll"));
    EXPECT_FALSE(Locate(directory));
    EXPECT_FALSE(OpenTokenLibrary());
    EXPECT_EQ(g_tokenLibrary.module, static_cast<HMODULE>(NULL));

    // Longer than the buffer: treated as missing.
    std::string longPath = "C:\\" + std::string(300, 'a') + "\\csp.dll";
    ASSERT_TRUE(RegisterCspRaw(longPath.c_str(), static_cast<DWORD>(longPath.size() + 1), REG_SZ));
    EXPECT_TRUE(Locate(directory));
    EXPECT_EQ(directory, "");

    // Unterminated values that fill the buffer exactly, or nearly.
    std::string full = "C:\\dir\\" + std::string(MAX_PATH - 7, 'b');
    ASSERT_EQ(full.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_TRUE(RegisterCspRaw(full.data(), MAX_PATH, REG_SZ));
    EXPECT_TRUE(Locate(directory));
    EXPECT_TRUE(directory.empty() || directory == "C:\\dir\\") << directory;

    std::string nearly = "C:\\dir\\" + std::string(MAX_PATH - 8, 'c');
    ASSERT_TRUE(RegisterCspRaw(nearly.data(), MAX_PATH - 1, REG_SZ));
    EXPECT_TRUE(Locate(directory));
    EXPECT_EQ(directory, "C:\\dir\\");

    // Expandable, as the CryptoAPI reads it; an expansion that does not fit
    // loads nothing.
    SetEnvironmentVariableA("KEYSIM_TEST_FOLDER", "C:\\Program Files");
    const char expandable[] = "%KEYSIM_TEST_FOLDER%\\Maker\\csp.dll";
    ASSERT_TRUE(RegisterCspRaw(expandable, sizeof expandable, REG_EXPAND_SZ));
    EXPECT_TRUE(Locate(directory));
    EXPECT_EQ(directory, "C:\\Program Files\\Maker\\");
    SetEnvironmentVariableA("KEYSIM_TEST_FOLDER", ("C:\\" + std::string(MAX_PATH, 'e')).c_str());
    EXPECT_FALSE(Locate(directory));
    SetEnvironmentVariableA("KEYSIM_TEST_FOLDER", nullptr);

    // Not absolute: resolved against some current folder, never loaded.
    for (const char* relative : {"Maker\\csp.dll", "\\Maker\\csp.dll", "C:Maker\\csp.dll",
                                 "%KEYSIM_TEST_FOLDER%\\csp.dll"}) {
        ASSERT_TRUE(RegisterCspRaw(relative, static_cast<DWORD>(strlen(relative) + 1), REG_EXPAND_SZ));
        EXPECT_FALSE(Locate(directory)) << relative;
    }

    // Not a string at all.
    DWORD number = 0x5C5C5C5C;
    ASSERT_TRUE(RegisterCspRaw(&number, sizeof(number), REG_DWORD));
    EXPECT_TRUE(Locate(directory));
    EXPECT_EQ(directory.back(), '\\');
}

TEST_F(TokenLibraryTest, DirectoryTooLongForTheLibraryNameLoadsNothing)
{
    std::string directory = "C:\\" + std::string(250, 'd') + "\\";
    EXPECT_FALSE(LoadTokenLibrary(directory.c_str()));
    EXPECT_EQ(g_tokenLibrary.module, static_cast<HMODULE>(NULL));
}

// Under a double-byte code page (936, 950, 932) a character's trail byte can
// be 0x5C, the backslash: the directory must be cut at the real last
// backslash.
TEST_F(TokenLibraryTest, DoubleByteCodePageTrailBytesAreNotBackslashes)
{
    wchar_t trail = BackslashTrailCharacter();
    if (trail == 0) {
        GTEST_SKIP() << "runs under a code page with 0x5C trail bytes (keyinit.<locale>, "
                        "cmake/Languages.cmake)";
    }
    std::wstring dir = std::wstring(L"C:\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_TRAIL_BYTE_FOLDER)) + trail;
    ASSERT_TRUE(KeySimCopyTo(dir));
    ASSERT_TRUE(RegisterCsp(dir + L"\\" + trail + L"csp.dll"));

    std::string directory;
    EXPECT_TRUE(Locate(directory));
    EXPECT_EQ(directory, Narrow(dir + L"\\"));
    ASSERT_TRUE(OpenTokenLibrary());
    EXPECT_EQ(ModulePath(g_tokenLibrary.module), dir + L"\\Korrim.dll");
    UnloadTokenLibrary();
    KeySimRemoveCopy(dir);
}

TEST_F(TokenLibraryTest, BindsAllEntryPointsInOrder)
{
    ASSERT_TRUE(RegisterCsp(KeySimDir() + L"\\VarkeldKsvCsp.dll"));
    ASSERT_TRUE(OpenTokenLibrary());
    for (int i = 0; i < kTokenEntryCount; ++i) {
        EXPECT_NE(g_tokenLibrary.api.entries[i], nullptr) << kTokenEntryNames[i];
        EXPECT_EQ(g_tokenLibrary.api.entries[i],
                  GetProcAddress(g_tokenLibrary.module, kTokenEntryNames[i]));
    }
    EXPECT_STREQ(kTokenEntryNames[0], "KREstablishContext");
    EXPECT_STREQ(kTokenEntryNames[kTokenEntryCount - 1], "VKGetProviderName");
}

// A library that lacks one entry point is refused, binding stops there, and
// the library stays loaded until it is unloaded.
TEST_F(TokenLibraryTest, LibraryLackingAnEntryPointIsRefusedAndReleased)
{
    const char* missing[] = {"VKGetProviderName", "KREstablishContext", "KRClose"};
    for (const char* name : missing) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(RegisterCsp(KeySimVariantDir(name) + L"\\VarkeldKsvCsp.dll"));
        FARPROC untouched = reinterpret_cast<FARPROC>(static_cast<INT_PTR>(0x1234));
        for (FARPROC& entry : g_tokenLibrary.api.entries) {
            entry = untouched;
        }
        EXPECT_FALSE(OpenTokenLibrary());
        ASSERT_NE(g_tokenLibrary.module, static_cast<HMODULE>(NULL));
        EXPECT_TRUE(IsModuleLoaded("Korrim.dll"));

        int index = 0;
        while (strcmp(kTokenEntryNames[index], name) != 0) {
            EXPECT_NE(g_tokenLibrary.api.entries[index], nullptr);
            EXPECT_NE(g_tokenLibrary.api.entries[index], untouched);
            ++index;
        }
        EXPECT_EQ(g_tokenLibrary.api.entries[index], nullptr);
        for (++index; index < kTokenEntryCount; ++index) {
            EXPECT_EQ(g_tokenLibrary.api.entries[index], untouched);
        }

        UnloadTokenLibrary();
        EXPECT_FALSE(IsModuleLoaded("Korrim.dll"));
    }
}

TEST_F(TokenLibraryTest, UnloadingTwiceReleasesOnce)
{
    ASSERT_TRUE(RegisterCsp(KeySimDir() + L"\\VarkeldKsvCsp.dll"));
    ASSERT_TRUE(OpenTokenLibrary());
    // A reference of the test's own keeps the module alive if released once.
    HMODULE extra = LoadLibraryW(ModulePath(g_tokenLibrary.module).c_str());
    UnloadTokenLibrary();
    UnloadTokenLibrary();
    EXPECT_TRUE(IsModuleLoaded("Korrim.dll"));
    FreeLibrary(extra);
    EXPECT_FALSE(IsModuleLoaded("Korrim.dll"));
}

}  // namespace
