// The purge against the real cache folder (<cache root>\Varkeld KSV CSP),
// real files and the current user's real "MY" and "addressbook" stores.
// What the stores hold afterwards is read by storeprobe.exe, a second
// process, so a deletion that was not written back shows.
#include "certcache/cert_purge.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "certcache/cache_prefix.h"
#include "certcache/cache_root.h"
#include "certcache/file_owner.h"
#include "linked_root.h"
#include "made_by_tests.h"
#include "test_support.h"

namespace {

// A file's or folder's identity on its volume, the same through each of
// its names; "" when it cannot be read.
std::string FileId(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return "";
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
           ":" + std::to_string(info.nFileIndexLow);
}

// Opens a file or folder by path for the checks of a test (with
// READ_CONTROL, to read its owner); the invalid handle when it does not open.
HANDLE OpenEntry(const std::string& path)
{
    return CreateFileA(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::string FileIdOf(const std::string& path)
{
    HANDLE file = OpenEntry(path);
    std::string id = FileId(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    EXPECT_FALSE(id.empty()) << path;
    return id;
}

// Owners by file identity (a SID, or "" for a query that fails), as Wine
// keeps none but the user's; other files are asked of the system.
std::map<std::string, std::string> s_owners;

// The file whose owner lookup tries to put another file under its name,
// and whether that worked.
std::string s_swapPath;
std::string s_swapId;
bool s_swapped = false;
bool s_folderMoved = false;

void TrySwap(HANDLE file)
{
    if (s_swapId.empty() || FileId(file) != s_swapId) return;
    // Where a test may put the cache folder (MADE_BY_TESTS_IN_CACHE_ROOT).
    std::string folder = s_swapPath.substr(0, s_swapPath.rfind('\\'));
    std::string aside = folder.substr(0, folder.rfind('\\') + 1) + MADE_BY_TESTS_CACHE_FOLDER_ASIDE;
    s_folderMoved = MoveFileA(folder.c_str(), aside.c_str()) != FALSE;
    if (s_folderMoved) MoveFileA(aside.c_str(), folder.c_str());
    s_swapped = MoveFileA(s_swapPath.c_str(), (s_swapPath + ".aside").c_str()) &&
                WriteBytes(s_swapPath, TestData("twice_a.der"));
}

bool PlantedOwner(HANDLE file, void* descriptor, DWORD size, PSID* owner)
{
    TrySwap(file);
    auto it = s_owners.find(FileId(file));
    if (it == s_owners.end()) {
        EXPECT_TRUE(ReadFileOwner(file, descriptor, size, owner)) << "no owner read";
        return *owner != nullptr;
    }
    PSID sid = nullptr;
    if (it->second.empty() || !ConvertStringSidToSidA(it->second.c_str(), &sid)) return false;
    *owner = descriptor;
    bool copied = CopySid(size, descriptor, sid) != FALSE;
    LocalFree(sid);
    return copied;
}

// A volume that keeps no security (FAT).
bool NoAclVolume(const char*, DWORD* flags)
{
    *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    return true;
}

const char kOtherUser[] = "S-1-5-21-1004336348-1177238915-682003330-1001";

std::string PrefixOf(const std::string& slotName)
{
    char prefix[MAX_PATH] = {};
    EXPECT_EQ(CACHE_PREFIX_OK, MakeCachePrefix(slotName.c_str(), prefix)) << slotName;
    return prefix;
}

class Purge : public ::testing::Test {
protected:
    void SetUp() override
    {
        char root[MAX_PATH] = {};
        ASSERT_TRUE(GetCacheRoot(root));
        root_ = root;
        cacheDir_ = root_ + "\\" MADE_BY_TESTS_CACHE_FOLDER;
        createdDir_ = CreateDirectoryA(cacheDir_.c_str(), nullptr) != FALSE;
        ASSERT_TRUE(FolderExists(cacheDir_));
        RemoveTestCertificates();
    }

    void TearDown() override
    {
        for (const std::string& path : files_) DeleteFileA(path.c_str());
        for (const std::wstring& path : longFiles_) DeleteFileW(path.c_str());
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) RemoveDirectoryA(it->c_str());
        if (createdDir_) RemoveDirectoryA(cacheDir_.c_str());
        RemoveTestCertificates();
        g_fileOwnerLookup = ReadFileOwner;
        g_volumeFlagsLookup = ReadVolumeFlags;
        s_owners.clear();
        s_swapPath.clear();
        s_swapId.clear();
    }

    // Writes a file of the cache folder with the content of a test data file
    // and remembers it for the cleanup.
    std::string Put(const std::string& name, const char* dataName)
    {
        return PutBytes(name, TestData(dataName));
    }

    std::string PutBytes(const std::string& name, const Bytes& content)
    {
        std::string path = cacheDir_ + "\\" + name;
        EXPECT_TRUE(WriteBytes(path, content)) << path;
        files_.push_back(path);
        return path;
    }

    std::string Folder(const std::string& name)
    {
        std::string path = cacheDir_ + "\\" + name;
        EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
        folders_.push_back(path);
        return path;
    }

    bool Unchanged(const std::string& path, const char* dataName)
    {
        Bytes now;
        return ReadBytes(path, &now) && now == TestData(dataName);
    }

    void InStore(const wchar_t* store, const char* dataName)
    {
        ASSERT_TRUE(AddToStore(store, TestData(dataName))) << dataName;
    }

    std::string root_;
    std::string cacheDir_;
    bool createdDir_ = false;
    std::vector<std::string> files_;
    std::vector<std::wstring> longFiles_;
    std::vector<std::string> folders_;
};

TEST_F(Purge, DeletesExactlyTheKeysCerFiles)
{
    const std::string key = PrefixOf("Purge Reader A");
    const std::string other = PrefixOf("Purge Reader B");
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "rsa.der");
    InStore(L"MY", "ec.der");
    InStore(L"addressbook", "ec.der");
    // Any file opened by mistake below holds a "twice" certificate and takes one away.
    InStore(L"MY", "twice_a.der");
    InStore(L"MY", "twice_b.der");
    ASSERT_EQ(2, ProbeStore("MY", "twice_a.der").match);

    std::string a = Put(key + "A.cer", "rsa.der");
    std::string b = Put(key + "B.cer", "ec.der");
    std::string d = Put(key + "D.CER", "garbage.bin");
    std::string upperKey = key;
    CharUpperA(&upperKey[0]);
    std::string upper = PutBytes(upperKey + "F.cer", {});  // names compare case-insensitively
    std::string txt = Put(key + "other.txt", "twice_a.der");
    std::string cerx = Put(key + "b.cerx", "twice_a.der");
    std::string old = Put(key + "c.cer_old", "twice_b.der");
    std::string folder = Folder(key + "E.cer");
    std::string otherKey = Put(other + "A.cer", "twice_a.der");
    std::string otherKeyB = Put(other + "B.cer", "twice_b.der");

    EXPECT_EQ(0, PurgeCachedCertificates("Purge Reader A"));

    EXPECT_FALSE(FileExists(a));
    EXPECT_FALSE(FileExists(b));
    EXPECT_FALSE(FileExists(d));
    EXPECT_FALSE(FileExists(upper));
    EXPECT_TRUE(Unchanged(txt, "twice_a.der"));
    EXPECT_TRUE(Unchanged(cerx, "twice_a.der"));
    EXPECT_TRUE(Unchanged(old, "twice_b.der"));
    EXPECT_TRUE(Unchanged(otherKey, "twice_a.der"));
    EXPECT_TRUE(Unchanged(otherKeyB, "twice_b.der"));
    EXPECT_TRUE(FolderExists(folder));

    // RSA from "MY" only, EC from "addressbook" only, nothing else.
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    EXPECT_EQ(1, ProbeStore("addressbook", "rsa.der").match);
    EXPECT_EQ(1, ProbeStore("MY", "ec.der").match);
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
    EXPECT_EQ(2, ProbeStore("MY", "twice_a.der").match);
}

// Files of the user (as the system answers under Wine), Administrators,
// SYSTEM, LocalService, NetworkService, nobody readable, Everyone (what
// Windows reports on a volume that keeps no security), and another user.
TEST_F(Purge, OwnerDecidesWhetherAFileIsPurged)
{
    const std::string key = PrefixOf("Purge Reader Owners");
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    std::vector<std::string> gone = {Put(key + "1.cer", "rsa.der")};
    for (const char* sid : {"S-1-5-32-544", "S-1-5-18", "S-1-5-19", "S-1-5-20", "", "S-1-1-0"}) {
        gone.push_back(Put(key + std::to_string(gone.size() + 1) + ".cer", "empty.cer"));
        s_owners[FileIdOf(gone.back())] = sid;
    }
    std::string other = Put(key + "other.cer", "ec.der");
    s_owners[FileIdOf(other)] = kOtherUser;
    g_fileOwnerLookup = PlantedOwner;

    PurgeCachedCertificates("Purge Reader Owners");

    for (const std::string& file : gone) EXPECT_FALSE(FileExists(file)) << file;
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    EXPECT_TRUE(Unchanged(other, "ec.der"));
    EXPECT_EQ(1, ProbeStore("addressbook", "ec.der").match);
}

// The cache folder's owner is whichever account's CSP cached first: the
// files in it are purged for every user, each judged by its own owner. On a
// volume that keeps no security (FAT) no owner tells files apart, and the
// CSP's files are purged as they always were.
TEST_F(Purge, OwnersCountOnlyOnAVolumeThatKeepsThem)
{
    const std::string key = PrefixOf("Purge Reader Folder Owner");
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    std::string file = Put(key + "1.cer", "rsa.der");
    std::string mine = Put(key + "2.cer", "ec.der");
    s_owners = {{FileIdOf(cacheDir_), kOtherUser}, {FileIdOf(file), kOtherUser}};
    g_fileOwnerLookup = PlantedOwner;
    ASSERT_TRUE(VolumeKeepsOwners(cacheDir_.c_str()));

    PurgeCachedCertificates("Purge Reader Folder Owner");
    EXPECT_TRUE(Unchanged(file, "rsa.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
    EXPECT_FALSE(FileExists(mine));
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);

    g_volumeFlagsLookup = NoAclVolume;
    PurgeCachedCertificates("Purge Reader Folder Owner");
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
}

// Reads the owner of a file or folder by path.
bool OwnerOf(const std::string& path, DWORD descriptor[64], PSID* owner)
{
    HANDLE entry = OpenEntry(path);
    bool read = entry != INVALID_HANDLE_VALUE &&
                ReadFileOwner(entry, descriptor, 64 * sizeof(DWORD), owner);
    if (entry != INVALID_HANDLE_VALUE) CloseHandle(entry);
    return read;
}

// Makes sid the owner of the file or folder, and reads it back.
bool GiveOwner(const std::string& path, PSID sid)
{
    SECURITY_DESCRIPTOR descriptor;
    DWORD readBack[64];
    PSID owner = nullptr;
    return InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&descriptor, sid, FALSE) &&
           SetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION, &descriptor) &&
           OwnerOf(path, readBack, &owner) && EqualSid(owner, sid);
}

// The owner for real: with SeRestorePrivilege enabled, an administrator may
// give a file or folder any owner. The local Users group is none of the
// trusted ones. A file of that owner is kept; a cache folder of that owner
// is purged all the same.
TEST_F(Purge, FileOwnedByAnotherAccountIsKept)
{
    const std::string key = PrefixOf("Purge Reader Real Owner");
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    std::string other = Put(key + "1.cer", "rsa.der");
    std::string mine = Put(key + "2.cer", "ec.der");
    DWORD fileOwner[64], folderOwner[64];
    PSID owner = nullptr, users = nullptr;
    HANDLE token = nullptr;
    ASSERT_TRUE(OwnerOf(other, fileOwner, &owner));
    ASSERT_TRUE(OwnerOf(cacheDir_, folderOwner, &owner));
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-32-545", &users));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES restore = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}}, before = {};
    DWORD length = 0;
    SetLastError(ERROR_SUCCESS);
    bool enabled = LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &restore.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(token, FALSE, &restore, sizeof before, &before, &length) &&
                   GetLastError() == ERROR_SUCCESS;
    bool kept = enabled && GiveOwner(other, users);
    std::string later;
    bool folderKept = false;
    if (kept) {
        PurgeCachedCertificates("Purge Reader Real Owner");
        EXPECT_TRUE(Unchanged(other, "rsa.der"));
        EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
        EXPECT_FALSE(FileExists(mine));
        EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);

        later = Put(key + "3.cer", "ec.der");
        InStore(L"addressbook", "ec.der");
        folderKept = GiveOwner(cacheDir_, users);
        EXPECT_TRUE(folderKept);
        if (folderKept) PurgeCachedCertificates("Purge Reader Real Owner");
    }
    LocalFree(users);
    if (enabled) {
        EXPECT_TRUE(SetFileSecurityA(other.c_str(), OWNER_SECURITY_INFORMATION, fileOwner));
        EXPECT_TRUE(SetFileSecurityA(cacheDir_.c_str(), OWNER_SECURITY_INFORMATION, folderOwner));
    }
    AdjustTokenPrivileges(token, FALSE, &before, 0, nullptr, nullptr);
    CloseHandle(token);
    if (!enabled) GTEST_SKIP() << "SeRestorePrivilege cannot be enabled: not run as an administrator";
    if (!kept) GTEST_SKIP() << "the owner set is not read back: Wine keeps no file owner but the user's";

    EXPECT_FALSE(FileExists(later));
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
}

// A file of this user's other key, given a second name with this key's
// prefix by someone else: the name's owner is the file's, this user. Both
// names stay, and so does the other key's certificate.
TEST_F(Purge, FileWithASecondNameIsKept)
{
    InStore(L"MY", "rsa.der");
    std::string file = Put(PrefixOf("Purge Reader Other Key") + "1.cer", "rsa.der");
    std::string link = cacheDir_ + "\\" + PrefixOf("Purge Reader Named") + "1.cer";
    ASSERT_TRUE(CreateHardLinkA(link.c_str(), file.c_str(), nullptr));
    files_.push_back(link);

    PurgeCachedCertificates("Purge Reader Named");

    EXPECT_TRUE(Unchanged(link, "rsa.der"));
    EXPECT_TRUE(Unchanged(file, "rsa.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
}

// Between the checks and the deletion, nobody can put another file under
// the name or move the folder: the file read is the file deleted.
TEST_F(Purge, NothingIsSwappedInAfterTheChecks)
{
    if (!createdDir_) {
        GTEST_SKIP() << cacheDir_ << " was there before the test: the test tries to move no folder it did not make";
    }
    InStore(L"MY", "rsa.der");
    InStore(L"MY", "twice_a.der");
    s_swapPath = Put(PrefixOf("Purge Reader Swap") + "1.cer", "rsa.der");
    s_swapId = FileIdOf(s_swapPath);
    files_.push_back(s_swapPath + ".aside");
    s_swapped = s_folderMoved = true;
    g_fileOwnerLookup = PlantedOwner;

    PurgeCachedCertificates("Purge Reader Swap");

    EXPECT_FALSE(s_swapped);
    EXPECT_FALSE(s_folderMoved);
    EXPECT_FALSE(FileExists(s_swapPath));
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    EXPECT_EQ(1, ProbeStore("MY", "twice_a.der").match);
}

// A link in place of the cache folder, or one folder higher in place of the
// cache root, leads to another folder's files (in a root of the test's own).
TEST_F(Purge, CacheFolderOrRootThatIsALinkDeletesNothing)
{
    InStore(L"MY", "rsa.der");
    const std::string prefix = PrefixOf("Purge Reader Link");
    for (bool rootIsLink : {false, true}) {
        LinkedCacheRoot linked(rootIsLink);
        ASSERT_EQ("", linked.Why());
        std::string file = linked.RealCacheDir() + "\\" + prefix + "A.cer";
        ASSERT_TRUE(WriteBytes(file, TestData("rsa.der")));

        PurgeCacheDirectory(linked.Root().c_str(), linked.CacheDir().c_str(), prefix.c_str());

        EXPECT_TRUE(Unchanged(file, "rsa.der")) << linked.Root();
        EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match) << linked.Root();
        DeleteFileA(file.c_str());
    }
}

TEST_F(Purge, CertificateHeldTwiceLeavesOneCopy)
{
    const std::string key = PrefixOf("Purge Reader Twice");
    InStore(L"MY", "twice_a.der");
    InStore(L"MY", "twice_b.der");
    ASSERT_EQ(2, ProbeStore("MY", "twice_a.der").match);
    std::string file = Put(key + "1.cer", "twice_b.der");

    PurgeCachedCertificates("Purge Reader Twice");

    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(1, ProbeStore("MY", "twice_a.der").match);
}

TEST_F(Purge, WildcardInThePrefixMatchesOnlyItself)
{
    // "ab.c?d" keeps its '?': in the search pattern it matches any character,
    // so another key's "ab.cXd" files come back from the search too.
    const std::string key = PrefixOf("ab.c?d");
    std::string lookalike = key;
    lookalike[key.find('?')] = 'X';
    InStore(L"MY", "rsa.der");
    std::string other = Put(lookalike + "A.cer", "rsa.der");

    PurgeCachedCertificates("ab.c?d");

    EXPECT_TRUE(Unchanged(other, "rsa.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
}

TEST_F(Purge, LockedFileIsSkippedAndKept)
{
    const std::string key = PrefixOf("Purge Reader Locked");
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    std::string locked = Put(key + "1.cer", "rsa.der");
    std::string free = Put(key + "2.cer", "ec.der");
    HANDLE lock = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);

    PurgeCachedCertificates("Purge Reader Locked");
    CloseHandle(lock);

    EXPECT_TRUE(Unchanged(locked, "rsa.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
    EXPECT_FALSE(FileExists(free));
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
}

// Another program holds a file, sharing reading only (the CSP, a backup
// agent, a scanner): its certificate goes and the file stays. A read-only
// file goes with its certificate.
TEST_F(Purge, HeldOrReadOnlyFileGivesUpItsCertificate)
{
    const std::string key = PrefixOf("Purge Reader Held");
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    std::string held = Put(key + "1.cer", "rsa.der");
    std::string readOnly = Put(key + "2.cer", "ec.der");
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE other = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);

    PurgeCachedCertificates("Purge Reader Held");
    CloseHandle(other);

    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    EXPECT_TRUE(Unchanged(held, "rsa.der"));
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
    EXPECT_FALSE(FileExists(readOnly));
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Purge, UndecodableFilesAreDeletedWithTheStoresUntouched)
{
    const std::string key = PrefixOf("Purge Reader Garbage");
    InStore(L"MY", "rsa.der");
    StoreCount myBefore = ProbeStore("MY", "rsa.der");
    StoreCount bookBefore = ProbeStore("addressbook", "rsa.der");
    ASSERT_EQ(1, myBefore.match);
    // Larger than any certificate (64 KiB), even one that begins with one.
    Bytes garbage(70 * 1024);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<BYTE>(i * 7919 >> 3);
    Bytes padded = TestData("rsa.der");
    padded.resize(70 * 1024);
    std::vector<std::string> files = {
        Put(key + "garbage.cer", "garbage.bin"),
        Put(key + "empty.cer", "empty.cer"),
        PutBytes(key + "huge.cer", garbage),
        PutBytes(key + "padded.cer", padded),
    };

    PurgeCachedCertificates("Purge Reader Garbage");

    for (const std::string& file : files) EXPECT_FALSE(FileExists(file)) << file;
    StoreCount myAfter = ProbeStore("MY", "rsa.der");
    EXPECT_EQ(myBefore.total, myAfter.total);
    EXPECT_EQ(1, myAfter.match);
    EXPECT_EQ(bookBefore.total, ProbeStore("addressbook", "rsa.der").total);
}

// A certificate is read whole, however large a real one may be (this one
// has 200 alternative names).
TEST_F(Purge, LargeCertificateIsRemovedWithItsFile)
{
    const std::string key = PrefixOf("Purge Reader Large");
    ASSERT_GT(TestData("big.der").size(), 6000u);
    InStore(L"MY", "big.der");
    std::string file = Put(key + "big.cer", "big.der");

    PurgeCachedCertificates("Purge Reader Large");

    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(0, ProbeStore("MY", "big.der").match);
}

// Each file takes one store entry: two files of one certificate take two
// where the store holds two, and the one where it holds one.
TEST_F(Purge, TwoFilesForOneCertificate)
{
    const std::string key = PrefixOf("Purge Reader Pair");
    InStore(L"MY", "twice_a.der");
    InStore(L"MY", "twice_b.der");
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    ASSERT_EQ(2, ProbeStore("MY", "twice_a.der").match);
    std::vector<std::string> files = {
        Put(key + "1.cer", "twice_a.der"), Put(key + "2.cer", "twice_a.der"),
        Put(key + "3.cer", "rsa.der"),     Put(key + "4.cer", "rsa.der"),
        Put(key + "5.cer", "ec.der"),
    };

    PurgeCachedCertificates("Purge Reader Pair");

    for (const std::string& file : files) EXPECT_FALSE(FileExists(file)) << file;
    EXPECT_EQ(0, ProbeStore("MY", "twice_a.der").match);
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
}

// More files than the purge first makes room for.
TEST_F(Purge, ManyFiles)
{
    const std::string key = PrefixOf("Purge Reader Many");
    InStore(L"MY", "twice_a.der");
    InStore(L"MY", "twice_b.der");
    std::vector<std::string> files;
    for (int i = 0; i < 600; ++i) {
        files.push_back(Put(key + std::to_string(i) + ".cer", i == 599 ? "twice_b.der" : "empty.cer"));
    }
    std::string other = Put(PrefixOf("Purge Reader Few") + "1.cer", "twice_a.der");

    PurgeCachedCertificates("Purge Reader Many");

    for (const std::string& file : files) EXPECT_FALSE(FileExists(file)) << file;
    EXPECT_TRUE(Unchanged(other, "twice_a.der"));
    EXPECT_EQ(1, ProbeStore("MY", "twice_a.der").match);
}

TEST_F(Purge, FileOfACertificateNoLongerStoredIsStillDeleted)
{
    const std::string key = PrefixOf("Purge Reader Gone");
    ASSERT_EQ(0, ProbeStore("MY", "rsa.der").match);
    std::string file = Put(key + "1.cer", "rsa.der");

    PurgeCachedCertificates("Purge Reader Gone");

    EXPECT_FALSE(FileExists(file));
}

// In a root of the test's own, which holds no cache folder.
TEST_F(Purge, MissingCacheFolderDoesNothing)
{
    MadeFolders made;
    const std::string publicFolder = MakeNewPublicFolder(made);
    ASSERT_NE("", publicFolder);
    const std::string root = publicFolder + MADE_BY_TESTS_ROOT_IN_PUBLIC;
    ASSERT_TRUE(made.Make(root));
    const std::string cacheDir = root + "\\" MADE_BY_TESTS_CACHE_FOLDER;
    ASSERT_FALSE(FolderExists(cacheDir));
    const std::string key = PrefixOf("Purge Reader Nofolder");
    InStore(L"MY", "rsa.der");
    // The key's name, but in the root, not in the cache folder.
    std::string outside = root + "\\" + key + "A.cer";
    ASSERT_TRUE(WriteBytes(outside, TestData("rsa.der")));

    PurgeCacheDirectory(root.c_str(), cacheDir.c_str(), key.c_str());

    EXPECT_FALSE(FolderExists(cacheDir));
    EXPECT_TRUE(Unchanged(outside, "rsa.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
    DeleteFileA(outside.c_str());
}

TEST_F(Purge, SlotNameTooLongDeletesNothing)
{
    InStore(L"MY", "rsa.der");
    // Everything an empty or cut prefix would reach.
    std::string any = Put("x.cer", "rsa.der");
    std::string other = Put(PrefixOf("Purge Reader Other") + "A.cer", "rsa.der");
    std::string longName(256, 'L');
    std::string cut = Put("257_" + std::string(100, 'L') + ".cer", "rsa.der");

    PurgeCachedCertificates(longName.c_str());
    PurgeCachedCertificates(std::string(300, 'L').c_str());

    EXPECT_TRUE(Unchanged(any, "rsa.der"));
    EXPECT_TRUE(Unchanged(other, "rsa.der"));
    EXPECT_TRUE(Unchanged(cut, "rsa.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
}

// A slot name whose prefix makes the search pattern exactly patternLength
// characters long.
std::string SlotNameForPattern(const std::string& cacheDir, size_t patternLength)
{
    // pattern = dir + "\" + "NNN_" + key + "*.cer"
    size_t keyLength = patternLength - cacheDir.size() - 1 - 4 - 5;
    EXPECT_GE(keyLength, 99u);
    EXPECT_LE(keyLength, 255u);
    return std::string(keyLength, 'P');
}

TEST_F(Purge, PatternThatDoesNotFitDeletesNothing)
{
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    // 260 characters: one too many. Its file itself would fit (259).
    std::string over = SlotNameForPattern(cacheDir_, 260);
    std::string kept = Put(PrefixOf(over) + ".cer", "rsa.der");
    ASSERT_EQ(259u, kept.size());
    // 259 characters: fits, and its file (258) goes.
    std::string fits = SlotNameForPattern(cacheDir_, 259);
    std::string gone = Put(PrefixOf(fits) + ".cer", "ec.der");

    PurgeCachedCertificates(over.c_str());
    PurgeCachedCertificates(fits.c_str());

    EXPECT_TRUE(Unchanged(kept, "rsa.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
    EXPECT_FALSE(FileExists(gone));
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
}

TEST_F(Purge, FilePathThatDoesNotFitIsKept)
{
    InStore(L"MY", "rsa.der");
    InStore(L"addressbook", "ec.der");
    std::string slot = SlotNameForPattern(cacheDir_, 255);
    std::string prefix = PrefixOf(slot);
    // A name the pattern matches but whose full path is longer than 259
    // characters; only a "\\?\" path can create it.
    std::string longName = prefix + std::string(20, 'x') + ".cer";
    std::wstring longPath = L"\\\\?\\" + std::wstring(cacheDir_.begin(), cacheDir_.end()) + L"\\" +
                            std::wstring(longName.begin(), longName.end());
    ASSERT_TRUE(WriteBytesLongPath(longPath, TestData("rsa.der")));
    longFiles_.push_back(longPath);
    std::string shortOne = Put(prefix + "1.cer", "ec.der");
    // The long name's path cut to 259 characters names this other file.
    std::string cutPath = cacheDir_ + "\\" + longName;
    cutPath.resize(MAX_PATH - 1);
    std::string cut = Put(cutPath.substr(cacheDir_.size() + 1), "twice_a.der");

    PurgeCachedCertificates(slot.c_str());

    EXPECT_TRUE(ExistsLongPath(longPath));
    EXPECT_TRUE(Unchanged(cut, "twice_a.der"));
    EXPECT_EQ(1, ProbeStore("MY", "rsa.der").match);
    EXPECT_FALSE(FileExists(shortOne));
    EXPECT_EQ(0, ProbeStore("addressbook", "ec.der").match);
}

// The search pattern matches 8.3 short names too; the long-name check keeps
// what a short name lets through. A short prefix makes the short names match.
TEST(PurgeCacheDirectory, ShortNameMatchesAreKept)
{
    const std::string dir = OnSystemDrive(MADE_BY_TESTS_SHORTNAMES);
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(FolderExists(dir));
    RemoveTestCertificates();
    ASSERT_TRUE(AddToStore(L"MY", TestData("twice_a.der")));
    ASSERT_TRUE(AddToStore(L"MY", TestData("twice_b.der")));

    std::vector<std::string> gone = {dir + "\\41_A.cer", dir + "\\41_D.CER"};
    std::vector<std::string> kept = {dir + "\\41_b.cerx", dir + "\\41_c.cer_old",
                                     dir + "\\41_other.txt", dir + "\\41.cer", dir + "\\42_x.cer"};
    for (const std::string& path : gone) ASSERT_TRUE(WriteBytes(path, TestData("garbage.bin")));
    for (const std::string& path : kept) ASSERT_TRUE(WriteBytes(path, TestData("twice_a.der")));
    std::string folder = dir + "\\41_E.cer";
    CreateDirectoryA(folder.c_str(), nullptr);
    auto cleanUp = [&] {
        for (const std::string& path : kept) DeleteFileA(path.c_str());
        for (const std::string& path : gone) DeleteFileA(path.c_str());
        RemoveDirectoryA(folder.c_str());
        RemoveDirectoryA(dir.c_str());
        RemoveTestCertificates();
    };
    // A volume can be set to make no 8.3 names: the file's short name is
    // then its long name, and no short name lets anything through.
    char shortPath[MAX_PATH] = {};
    DWORD length = GetShortPathNameA(kept[0].c_str(), shortPath, MAX_PATH);
    const char* shortName = strrchr(shortPath, '\\');
    if (length > 0 && length < MAX_PATH && shortName != nullptr && lstrcmpiA(shortName + 1, "41_b.cerx") == 0) {
        cleanUp();
        GTEST_SKIP() << "the volume of " << dir << " makes no 8.3 names";
    }

    // The trap this guards against: the search itself returns "41_b.cerx".
    bool searchReturnsCerx = false;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((dir + "\\41_*.cer").c_str(), &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    do {
        if (std::string(entry.cFileName) == "41_b.cerx") searchReturnsCerx = true;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    EXPECT_TRUE(searchReturnsCerx) << "the search no longer matches short names";

    EXPECT_EQ(0, PurgeCacheDirectory("C:\\", dir.c_str(), "41_"));

    for (const std::string& path : gone) EXPECT_FALSE(FileExists(path)) << path;
    for (const std::string& path : kept) EXPECT_TRUE(FileExists(path)) << path;
    EXPECT_TRUE(FolderExists(folder));
    EXPECT_EQ(2, ProbeStore("MY", "twice_a.der").match);
    cleanUp();
}

// The folders that the purge holds, and what trying to move them gave.
std::vector<std::string> s_heldFolders;
std::vector<std::string> s_movedFolders;

// The volume's flags are read once both folders are held: meanwhile
// nobody can rename either of them.
bool MovingVolumeFlags(const char* path, DWORD* flags)
{
    for (const std::string& folder : s_heldFolders) {
        std::string aside = folder + " moved";
        if (MoveFileA(folder.c_str(), aside.c_str())) {
            s_movedFolders.push_back(folder);
            MoveFileA(aside.c_str(), folder.c_str());
        }
    }
    return ReadVolumeFlags(path, flags);
}

TEST(PurgeCacheDirectory, FoldersAreHeldWhileItRuns)
{
    const std::string root = OnSystemDrive(MADE_BY_TESTS_HOLD);
    const std::string dir = root + "\\" MADE_BY_TESTS_CACHE_FOLDER;
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(FolderExists(dir));
    RemoveTestCertificates();
    ASSERT_TRUE(AddToStore(L"MY", TestData("rsa.der")));
    std::string file = dir + "\\41_A.cer";
    ASSERT_TRUE(WriteBytes(file, TestData("rsa.der")));
    s_heldFolders = {dir, root};
    s_movedFolders.clear();
    g_volumeFlagsLookup = MovingVolumeFlags;

    PurgeCacheDirectory(root.c_str(), dir.c_str(), "41_");
    g_volumeFlagsLookup = ReadVolumeFlags;

    EXPECT_EQ(s_movedFolders, std::vector<std::string>());
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(0, ProbeStore("MY", "rsa.der").match);
    DeleteFileA(file.c_str());
    RemoveDirectoryA(dir.c_str());
    RemoveDirectoryA(root.c_str());
    RemoveTestCertificates();
}

TEST(PurgeCacheDirectory, EmptyPrefixDeletesNothing)
{
    const std::string dir = OnSystemDrive(MADE_BY_TESTS_EMPTYPREFIX);
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string file = dir + "\\any.cer";
    ASSERT_TRUE(WriteBytes(file, TestData("garbage.bin")));

    PurgeCacheDirectory("C:\\", dir.c_str(), "");
    PurgeCacheDirectory("C:\\", "", "41_");
    PurgeCacheDirectory("C:\\", nullptr, "41_");
    PurgeCacheDirectory("C:\\", dir.c_str(), nullptr);
    PurgeCacheDirectory(nullptr, dir.c_str(), "41_");

    EXPECT_TRUE(FileExists(file));
    DeleteFileA(file.c_str());
    RemoveDirectoryA(dir.c_str());
}

}  // namespace
