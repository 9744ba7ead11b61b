// The cache root per Windows version, seen by cacheroot_probe.exe started
// under Wine's per-program version emulation, and its fallbacks.
#include "certcache/cache_root.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

#include "linked_root.h"
#include "made_by_tests.h"
#include "test_support.h"

namespace {

const char kProbe[] = MADE_BY_TESTS_PROBE;
const char kAppDefaults[] = MADE_BY_TESTS_PROBE_WINE_KEY;

// Makes the probe see the given Windows version while it exists.
class EmulatedVersion {
public:
    explicit EmulatedVersion(const char* version)
    {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kAppDefaults, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr) == ERROR_SUCCESS) {
            set_ = RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                                  static_cast<DWORD>(strlen(version) + 1)) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
    }
    ~EmulatedVersion() { RegDeleteKeyA(HKEY_CURRENT_USER, kAppDefaults); }
    bool set() const { return set_; }

private:
    bool set_ = false;
};

// A field of the probe's that fills its line: a root may hold spaces
// ("C:\\Documents and Settings\\...").
std::string LineField(const std::string& output, const std::string& name)
{
    std::string lines = "\n" + output;
    size_t at = lines.find("\n" + name + "=");
    if (at == std::string::npos) return "";
    size_t begin = at + name.size() + 2;
    return lines.substr(begin, lines.find_first_of("\r\n", begin) - begin);
}

struct ProbeResult {
    std::string major, root, again, exists, loads, frees, wrongFree;
};

ProbeResult Probe(const char* version, const char* mode = "")
{
    EmulatedVersion emulated(version);
    EXPECT_TRUE(emulated.set());
    std::string output;
    EXPECT_TRUE(RunHelper(kProbe, mode, &output)) << version << " " << mode << ": " << output;
    return {Field(output, "major"), LineField(output, "root"),  LineField(output, "again"),
            Field(output, "exists"), Field(output, "loads"), Field(output, "frees"),
            Field(output, "wrongfree")};
}

std::string ShellFolder(int folder)
{
    char path[MAX_PATH] = {};
    EXPECT_EQ(S_OK, SHGetFolderPathA(nullptr, folder, nullptr, SHGFP_TYPE_DEFAULT, path));
    return path;
}

bool SamePath(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

// The probe is made to see another Windows version through Wine's
// per-program settings, which only Wine has; on Windows the tests below
// check the version they run on (CacheRoot.OfThisWindows).
bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }
#define SKIP_UNLESS_WINE()                                                                       \
    if (!UnderWine()) GTEST_SKIP() << "makes the probe see other Windows versions, which needs " \
                                      "Wine; CacheRoot.OfThisWindows checks this one"

// The fallback root C:\TEMP: removed after the test when the test made it
// (nothing was there before), only while it is empty and never when it is a
// link (on Windows RemoveDirectory removes a junction whatever it leads to).
class FallbackRoot {
public:
    ~FallbackRoot()
    {
        DWORD attributes = GetFileAttributesA(kPath);
        if (!existed_ && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            RemoveDirectoryA(kPath);
        }
    }

private:
    static constexpr const char* kPath = "C:\\TEMP";
    bool existed_ = GetFileAttributesA(kPath) != INVALID_FILE_ATTRIBUTES;
};

TEST(CacheRoot, FollowsTheWindowsVersion)
{
    SKIP_UNLESS_WINE();
    char windows[MAX_PATH] = {};
    ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
    std::string userData = ShellFolder(CSIDL_LOCAL_APPDATA);
    std::string common = ShellFolder(CSIDL_COMMON_DOCUMENTS);
    ASSERT_FALSE(SamePath(userData, common));

    struct Case {
        const char* version;
        const char* major;
        std::string root;
    } cases[] = {
        {"nt40", "4", std::string(windows) + "\\TEMP"},
        {"winxp", "5", userData + "\\TEMP"},
        {"win7", "6", common + "\\TEMP"},
        {"win10", "10", common + "\\TEMP"},  // the probe declares Windows 10 (its manifest)
    };
    for (const Case& c : cases) {
        ProbeResult result = Probe(c.version);
        EXPECT_EQ(c.major, result.major) << c.version;
        EXPECT_EQ(c.root, result.root) << c.version;
        EXPECT_EQ(result.root, result.again) << c.version;
        EXPECT_EQ("1", result.exists) << c.version;
    }
    // On 6 and later the root is the common (all users) one, not the user's.
    EXPECT_TRUE(SamePath("C:\\users\\Public\\Documents\\TEMP", Probe("win7").root));
}

TEST(CacheRoot, ReleasesShell32ExactlyOnce)
{
    SKIP_UNLESS_WINE();
    for (const char* version : {"winxp", "win10"}) {
        ProbeResult result = Probe(version, "counted");
        EXPECT_EQ("2", result.loads) << version;  // two calls, one load each
        EXPECT_EQ("2", result.frees) << version;
        EXPECT_EQ("0", result.wrongFree) << version;
        EXPECT_EQ("1", result.exists) << version;
    }
    ProbeResult oldest = Probe("nt40", "counted");
    EXPECT_EQ("0", oldest.loads);
    EXPECT_EQ("0", oldest.frees);
}

// In a root of the test's own: the Public folder pointed at a folder whose
// "Documents" holds no TEMP yet.
TEST(CacheRoot, CreatesAMissingRootAndKeepsAnExistingOne)
{
    SKIP_UNLESS_WINE();
    MadeFolders made;
    const std::string folder = MakeNewPublicFolder(made);
    ASSERT_NE("", folder);
    const std::string root = folder + MADE_BY_TESTS_ROOT_IN_PUBLIC;
    ASSERT_TRUE(made.Make(root));  // the check of the pointed folder makes it too
    PointedPublicFolder pointed(folder);
    ASSERT_EQ("", pointed.Why());
    ASSERT_TRUE(RemoveDirectoryA(root.c_str()));

    EXPECT_TRUE(SamePath(root, Probe("win7").root));
    ASSERT_TRUE(FolderExists(root));

    std::string marker = root + "\\cacheroot-test-marker.txt";
    Bytes content = TestData("garbage.bin");
    ASSERT_TRUE(WriteBytes(marker, content));
    EXPECT_TRUE(SamePath(root, Probe("win10").root));
    Bytes after;
    EXPECT_TRUE(ReadBytes(marker, &after));
    EXPECT_EQ(content, after);
    DeleteFileA(marker.c_str());
}

TEST(CacheRoot, FailedShellLookupGivesLowerCaseFallback)
{
    SKIP_UNLESS_WINE();
    FallbackRoot fallback;
    for (const char* version : {"winxp", "win7"}) {
        for (const char* fault :
             {"no-shell32", "no-export", "lookup-fails", "long-folder", "lookup-empty"}) {
            ProbeResult result = Probe(version, fault);
            EXPECT_EQ("c:\\TEMP", result.root) << version << " " << fault;
            EXPECT_EQ("c:\\TEMP", result.again) << version << " " << fault;
            EXPECT_EQ("1", result.exists) << version << " " << fault;
            EXPECT_EQ("0", result.wrongFree) << version << " " << fault;
            // A library that never loaded is never released; one that did, once per call.
            EXPECT_EQ(std::string(fault) == "no-shell32" ? "0" : "2", result.frees)
                << version << " " << fault;
        }
    }
}

TEST(CacheRoot, UnreadableWindowsDirectoryGivesUpperCaseFallback)
{
    SKIP_UNLESS_WINE();
    FallbackRoot fallback;
    for (const char* fault : {"windir-fails", "windir-too-small", "windir-too-small zeroed"}) {
        ProbeResult result = Probe("nt40", fault);
        EXPECT_EQ("4", result.major);
        EXPECT_EQ("C:\\TEMP", result.root) << fault;
        EXPECT_EQ("1", result.exists) << fault;
        EXPECT_EQ("0", result.loads) << fault;
    }
}

// The root of the Windows the probe runs on, as it reports itself.
TEST(CacheRoot, OfThisWindows)
{
    std::string output;
    ASSERT_TRUE(RunHelper(kProbe, "", &output)) << output;
    char windows[MAX_PATH] = {};
    ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
    std::string major = Field(output, "major");
    std::string expected = major == "4"   ? std::string(windows) + "\\TEMP"
                           : major == "5" ? ShellFolder(CSIDL_LOCAL_APPDATA) + "\\TEMP"
                                          : ShellFolder(CSIDL_COMMON_DOCUMENTS) + "\\TEMP";
    EXPECT_TRUE(SamePath(expected, LineField(output, "root"))) << output;
    EXPECT_EQ("1", Field(output, "exists"));
}

TEST(CacheRoot, InThisProcess)
{
    char root[MAX_PATH];
    memset(root, 'Z', sizeof root);
    EXPECT_TRUE(GetCacheRoot(root));
    EXPECT_TRUE(FolderExists(root)) << root;
}

}  // namespace
