// The link cases' own cache roots (made_by_tests.h), and the Public folder
// pointed at one of them so that the tool itself looks there: no test puts a
// link in place of a folder that it did not make.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

// "C:\" and a name of made_by_tests.h.
std::string OnSystemDrive(const char* name);

// Folders a test makes, removed in the reverse order on destruction, each
// only while it is empty; a folder that was there already is left alone.
class MadeFolders {
public:
    MadeFolders() = default;
    ~MadeFolders();
    MadeFolders(const MadeFolders&) = delete;
    MadeFolders& operator=(const MadeFolders&) = delete;
    // True once path is a folder that is no link.
    bool Make(const std::string& path);

private:
    std::vector<std::string> m_made;
};

// Makes the folder MADE_BY_TESTS_LINKS_NEW_ROOT and its "Documents" (a
// Public folder for PointedPublicFolder whose root is not there yet), as
// made makes folders. Returns its path, or "" when a folder cannot be made.
std::string MakeNewPublicFolder(MadeFolders& made);

// A cache root of the tests' own, <case>\Documents\TEMP, whose cache folder
// (the folder case) or which itself (the root case) is a link into the real
// root, which holds the files. Made on construction; on destruction the link
// and each folder it made are removed, a folder only while it is empty.
class LinkedCacheRoot {
public:
    explicit LinkedCacheRoot(bool rootIsLink);
    ~LinkedCacheRoot();
    LinkedCacheRoot(const LinkedCacheRoot&) = delete;
    LinkedCacheRoot& operator=(const LinkedCacheRoot&) = delete;

    // "" once all of it is there; otherwise what is missing.
    const std::string& Why() const { return m_why; }
    const std::string& PublicFolder() const { return m_public; }
    std::string Root() const;
    std::string CacheDir() const;
    // The folder the link leads to, where a test puts the files.
    std::string RealCacheDir() const;

private:
    void Folder(const std::string& path);

    MadeFolders m_folders;
    std::string m_public;
    std::string m_link;
    std::string m_why;
};

// Points the Public folder at folder (which holds "Documents"): first through
// this process's PUBLIC variable, which the programs it starts inherit; where
// that does not move the cache root, and only under Wine, through the value
// "Public" of ProfileList (MADE_BY_TESTS_CHANGED_VALUES), as the value was
// read. On destruction both are put back as they were.
class PointedPublicFolder {
public:
    explicit PointedPublicFolder(const std::string& folder);
    ~PointedPublicFolder();
    PointedPublicFolder(const PointedPublicFolder&) = delete;
    PointedPublicFolder& operator=(const PointedPublicFolder&) = delete;

    // "" once GetCacheRoot gives <folder>\Documents\TEMP; otherwise why not.
    const std::string& Why() const { return m_why; }

private:
    bool RootIsPointed() const;

    std::string m_root;
    std::string m_why;
    bool m_variableChanged = false;
    bool m_hadVariable = false;
    std::string m_variable;
    bool m_valueChanged = false;
    DWORD m_valueType = 0;
    std::vector<BYTE> m_value;
};
