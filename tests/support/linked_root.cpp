#include "linked_root.h"

#include "certcache/cache_root.h"
#include "folder_link.h"
#include "made_by_tests.h"

namespace {

const char kVariable[] = "PUBLIC";
const wchar_t kValue[] = L"Public";  // of MADE_BY_TESTS_PUBLIC_KEY

// A folder that is no link: the tests make nothing inside another's link.
bool IsPlainFolder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

std::string OnSystemDrive(const char* name)
{
    return std::string("C:\\") + name;
}

MadeFolders::~MadeFolders()
{
    // Only while it is still a plain folder: on Windows, RemoveDirectory
    // removes a junction that someone put in its place.
    for (auto it = m_made.rbegin(); it != m_made.rend(); ++it) {
        if (IsPlainFolder(*it)) RemoveDirectoryA(it->c_str());
    }
}

bool MadeFolders::Make(const std::string& path)
{
    if (CreateDirectoryA(path.c_str(), nullptr)) m_made.push_back(path);
    return IsPlainFolder(path);
}

std::string MakeNewPublicFolder(MadeFolders& made)
{
    std::string folder = OnSystemDrive(MADE_BY_TESTS_LINKS_NEW_ROOT);
    bool madeAll = made.Make(OnSystemDrive(MADE_BY_TESTS_LINKS_FOLDER)) && made.Make(folder) &&
                   made.Make(folder + "\\Documents");
    return madeAll ? folder : "";
}

LinkedCacheRoot::LinkedCacheRoot(bool rootIsLink)
    : m_public(OnSystemDrive(rootIsLink ? MADE_BY_TESTS_LINKS_ROOT_CASE : MADE_BY_TESTS_LINKS_FOLDER_CASE))
{
    std::string realRoot = OnSystemDrive(MADE_BY_TESTS_LINKS_REAL_ROOT);
    Folder(OnSystemDrive(MADE_BY_TESTS_LINKS_FOLDER));
    Folder(realRoot);
    Folder(RealCacheDir());
    Folder(m_public);
    Folder(m_public + "\\Documents");
    if (!rootIsLink) Folder(Root());
    std::string link = rootIsLink ? Root() : CacheDir();
    if (m_why.empty() && GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
        m_why = link + " is there already";
    } else if (m_why.empty() && !MakeFolderLink(link, rootIsLink ? realRoot : RealCacheDir())) {
        m_why = "the link " + link + " cannot be made";
    }
    if (m_why.empty()) m_link = link;
}

LinkedCacheRoot::~LinkedCacheRoot()
{
    if (!m_link.empty()) RemoveFolderLink(m_link);
}

void LinkedCacheRoot::Folder(const std::string& path)
{
    if (!m_folders.Make(path) && m_why.empty()) {
        m_why = "the folder " + path + " cannot be made, or something that is no plain folder is there";
    }
}

std::string LinkedCacheRoot::Root() const
{
    return m_public + MADE_BY_TESTS_ROOT_IN_PUBLIC;
}

std::string LinkedCacheRoot::CacheDir() const
{
    return Root() + "\\" MADE_BY_TESTS_CACHE_FOLDER;
}

std::string LinkedCacheRoot::RealCacheDir() const
{
    return OnSystemDrive(MADE_BY_TESTS_LINKS_REAL_ROOT "\\" MADE_BY_TESTS_CACHE_FOLDER);
}

PointedPublicFolder::PointedPublicFolder(const std::string& folder)
    : m_root(folder + MADE_BY_TESTS_ROOT_IN_PUBLIC)
{
    // A Public folder without "Documents" would turn the root to its fallback.
    if (!IsPlainFolder(folder + "\\Documents")) {
        m_why = folder + "\\Documents is no folder";
        return;
    }
    char variable[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA(kVariable, variable, MAX_PATH);
    m_hadVariable = length > 0 && length < MAX_PATH;
    m_variable = variable;
    m_variableChanged = SetEnvironmentVariableA(kVariable, folder.c_str()) != FALSE;
    if (RootIsPointed()) return;
    // The machine-wide value is changed only in a Wine prefix: on a PC that
    // someone keeps, other programs would meanwhile see another Public
    // folder, and a run cut off here would leave it so.
    if (!UnderWine()) {
        m_why = "the PUBLIC variable does not move the cache root on this Windows";
        return;
    }

    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MADE_BY_TESTS_PUBLIC_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
        m_why = "HKLM\\" MADE_BY_TESTS_PUBLIC_KEY " cannot be written (not an administrator?)";
        return;
    }
    DWORD size = 0;
    // Read and put back in UTF-16, as it is kept: any character survives.
    if (RegQueryValueExW(key, kValue, nullptr, &m_valueType, nullptr, &size) == ERROR_SUCCESS && size > 0) {
        m_value.resize(size);
        if (RegQueryValueExW(key, kValue, nullptr, &m_valueType, m_value.data(), &size) != ERROR_SUCCESS) {
            m_value.clear();
        }
    }
    if (m_value.empty()) {
        m_why = "HKLM\\" MADE_BY_TESTS_PUBLIC_KEY " holds no Public folder to point elsewhere";
    } else {
        std::wstring wide(folder.begin(), folder.end());  // a name of made_by_tests.h: ASCII
        m_valueChanged = RegSetValueExW(key, kValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                        static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        if (!RootIsPointed()) m_why = "neither PUBLIC nor ProfileList's Public moves the cache root on this Windows";
    }
    RegCloseKey(key);
}

PointedPublicFolder::~PointedPublicFolder()
{
    if (m_valueChanged) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MADE_BY_TESTS_PUBLIC_KEY, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegSetValueExW(key, kValue, 0, m_valueType, m_value.data(), static_cast<DWORD>(m_value.size()));
            RegCloseKey(key);
        }
    }
    if (m_variableChanged) SetEnvironmentVariableA(kVariable, m_hadVariable ? m_variable.c_str() : nullptr);
}

// Asked as the tool asks (GetCacheRoot), which also makes the root when it
// is missing.
bool PointedPublicFolder::RootIsPointed() const
{
    char root[MAX_PATH] = {};
    return GetCacheRoot(root) && lstrcmpiA(root, m_root.c_str()) == 0;
}
