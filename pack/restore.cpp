// Puts back what the journal (journal.cpp) holds: it deletes a thing only
// while its proof (proofs.cpp) still holds, and puts back what the tests
// changed or deleted. Anything else it finds stays, in place and whole, and
// is listed (Left); it never goes into a link, and removes only a link the
// tests made (made_by_tests.h's links, each while it leads to its target).
#include <string.h>

#include "runner.h"

namespace {

void Note(std::vector<std::string>* list, const std::string& what)
{
    for (const std::string& seen : *list) {
        if (seen == what) return;
    }
    list->push_back(what);
}

HKEY Root(const std::string& name) { return name == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

struct SavedValue {
    DWORD type;
    Str name;
    std::vector<BYTE> data;
};

bool DeleteKey(HKEY root, const Str& path, REGSAM view)
{
    auto deleteEx = g_later.RegDeleteKeyExW;
    return (view != 0 && deleteEx != NULL ? deleteEx(root, path.c_str(), view, 0) : RegDeleteKeyW(root, path.c_str())) ==
           ERROR_SUCCESS;
}

// A key the tests made goes only while it is theirs (the CSP's: its "Image
// Path"; Wine's: the values the tests write); one that was there gets its
// values back, and loses only values the tests may have added.
void RestoreKey(const std::string& root, REGSAM view, const Str& path, bool present, const std::string& kind,
                const std::vector<SavedValue>& values, bool apply)
{
    std::string where = root + "\\" + Utf8(path), imagePath;
    HKEY key = NULL;
    if (RegOpenKeyExW(Root(root), path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        if (present) Changed("registry key " + where + ": deleted by the tests, put back");
        if (!present || !apply) return;
        if (RegCreateKeyExW(Root(root), path.c_str(), 0, NULL, 0, KEY_READ | view, NULL, &key, NULL) !=
            ERROR_SUCCESS) {
            return;
        }
    }
    RegCloseKey(key);
    bool ours = kind == "csp" ? CspIsOurs(view, &imagePath) : WineKeyIsOurs(Root(root), path);
    // Written to only when put back (a standard user reads HKLM only).
    REGSAM access = KEY_READ | view | (apply ? KEY_SET_VALUE : 0);
    if (RegOpenKeyExW(Root(root), path.c_str(), 0, access, &key) != ERROR_SUCCESS) key = NULL;
    if (!present) {
        if (key != NULL) RegCloseKey(key);
        if (!ours) {
            Left("registry key " + where + (kind == "csp" ? " (\"Image Path\" " + imagePath + ")" : std::string()) +
                 ": not the tests', left in place");
            return;
        }
        Changed("registry key " + where + ": created by the tests, deleted");
        if (!apply) return;
        // Its values first: RegDeleteKey takes only a key without subkeys.
        if (RegOpenKeyExW(Root(root), path.c_str(), 0, KEY_SET_VALUE | KEY_READ | view, &key) == ERROR_SUCCESS) {
            for (;;) {
                wchar_t name[512];
                DWORD length = ARRAYSIZE(name);
                if (RegEnumValueW(key, 0, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS ||
                    RegDeleteValueW(key, name) != ERROR_SUCCESS) {
                    break;
                }
            }
            RegCloseKey(key);
        }
        DeleteKey(Root(root), path, view);
        return;
    }
    if (key == NULL) return;  // what still differs, the check after names
    std::vector<Str> extra;
    for (DWORD i = 0;; ++i) {
        wchar_t name[512];
        BYTE data[8192];
        DWORD nameLength = ARRAYSIZE(name), size = sizeof(data), type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size) != ERROR_SUCCESS) break;
        bool same = false, known = false;
        for (const SavedValue& value : values) {
            if (value.name == name) {
                known = true;
                same = value.type == type && value.data.size() == size &&
                       (size == 0 || memcmp(&value.data[0], data, size) == 0);
            }
        }
        if (!known) extra.push_back(name);
        if (known && !same) Changed("registry value " + where + "\\" + Utf8(name) + ": changed, put back");
    }
    for (const Str& name : extra) {
        if (!ours) {
            Left("registry value " + where + "\\" + Utf8(name) + ": not the tests', left in place");
            continue;
        }
        Changed("registry value " + where + "\\" + Utf8(name) + ": added by the tests, deleted");
        if (apply) RegDeleteValueW(key, name.c_str());
    }
    for (const SavedValue& value : values) {
        if (apply) {
            RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.empty() ? NULL : &value.data[0],
                           static_cast<DWORD>(value.data.size()));
        }
    }
    RegCloseKey(key);
}

std::vector<BYTE> Saved(const std::string& copy)
{
    std::vector<BYTE> bytes;
    ReadFileBytes(SavedFolder() + L"\\" + Wide(copy), &bytes);
    return bytes;
}

// A file that was not there goes only while it is the tests' (check); one
// that was there gets its saved bytes back.
void RestoreFile(const Str& path, const std::string& copy, bool (*check)(const Str&, const std::vector<BYTE>&),
                 bool apply)
{
    std::vector<BYTE> now;
    bool there = ReadFileBytes(path, &now);
    if (copy == "absent") {
        if (!Exists(path)) return;
        if (IsLink(path) || IsFolder(path) || (there && !check(path, now))) {
            Left(Utf8(path) + ": not the tests', left in place");
            return;
        }
        Changed("file " + Utf8(path) + ": created by the tests, deleted");
        if (apply) DeleteFileIf(path, check);
        return;
    }
    std::vector<BYTE> before = Saved(copy);
    if (there && now == before) return;
    Changed("file " + Utf8(path) + (there ? ": changed, put back" : ": deleted by the tests, put back"));
    if (apply) WriteFileBytes(path, before);
}

struct SavedEntry {
    Str name;
    std::string copy;
};

bool Named(const Str& name, const std::vector<Str>& names)
{
    for (const Str& one : names) {
        if (lstrcmpiW(one.c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

// Deletes a file or folder of the tests' data, each file only while it is
// one; what is left stays.
void DeleteTestsTree(const Str& path)
{
    if (IsFolder(path) && !IsLink(path)) {
        for (const Str& name : List(path)) DeleteTestsTree(path + L"\\" + name);
        DeleteEmptyFolder(path);
    } else {
        DeleteFileIf(path, IsTestsFile);
    }
}

// A link the tests made goes only while it still leads to its target and
// nothing was at its path before the run; anything else there stays.
void RestoreLink(const Str& path, const Str& target, bool present, bool apply)
{
    if (!Exists(path)) return;
    bool ours = !present && IsLink(path) && !InLink(path.substr(0, path.find_last_of(L'\\'))) && !InLink(target) &&
                SameObject(path, target);
    if (!ours) {
        Left((IsLink(path) ? "link " : "") + Utf8(path) + ": not made by the tests, left in place");
        return;
    }
    Changed("link " + Utf8(path) + ": made by the tests, removed");
    if (apply) DeleteLink(path);
}

// A value the tests change gets its type and bytes back; one that was not
// there is none of theirs.
void RestoreSetting(const std::string& root, REGSAM view, const Str& path, const SavedValue& value, bool present,
                    bool apply)
{
    std::string where = "registry value " + root + "\\" + Utf8(path) + "\\" + Utf8(value.name);
    DWORD type = 0;
    std::vector<BYTE> data;
    bool now = ReadValue(Root(root), view, path, value.name, &type, &data);
    HKEY key = NULL;
    if (!present) {
        if (now) Left(where + ": not the tests', left in place");
        return;
    }
    if (now && type == value.type && data == value.data) return;
    Changed(where + (now ? ": changed, put back" : ": deleted by the tests, put back"));
    if (!apply || RegOpenKeyExW(Root(root), path.c_str(), 0, KEY_SET_VALUE | view, &key) != ERROR_SUCCESS) return;
    RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.empty() ? NULL : &value.data[0],
                   static_cast<DWORD>(value.data.size()));
    RegCloseKey(key);
}

// Deletes what the tests made in the folder (proved by its kind), puts back
// what it held, and deletes the folder itself if the tests made it and it is
// empty then; in a cache root that was there it looks at nothing but the
// journal's own names. journaled: every folder and link of the journal (each put
// back by its own entry).
void RestoreFolder(const Str& path, bool present, const std::string& holds, const std::vector<SavedEntry>& entries,
                   const std::vector<Str>& journaled, bool apply)
{
    if (InLink(path.substr(0, path.find_last_of(L'\\')))) {
        if (Exists(path)) Left(Utf8(path) + ": inside a link, left in place");
        return;
    }
    if (IsLink(path)) {
        Left("link " + Utf8(path) + ": not made by the tests, left in place");
        return;
    }
    if (!Exists(path)) {
        if (!present) return;
        Changed("folder " + Utf8(path) + ": deleted by the tests, put back");
        if (!apply) return;
        CreateDirectoryW(path.c_str(), NULL);
    }
    std::vector<Str> before;
    for (const SavedEntry& entry : entries) before.push_back(entry.name);
    for (const Str& name : List(path)) {
        Str child = path + L"\\" + name;
        if (Named(name, before) || Named(child, journaled) || (holds == "root" && present)) continue;
        std::vector<BYTE> bytes;
        bool file = !IsFolder(child) && !IsLink(child) && ReadFileBytes(child, &bytes);
        bool ours = holds == "data" ? IsTestsTree(child, 0) : holds == "simulator" && file && IsSimulatorFile(child, bytes);
        if (!ours) {
            Left(Utf8(child) + ": not the tests', left in place");
            continue;
        }
        Changed((file ? "file " : "folder ") + Utf8(child) + ": made by the tests, deleted");
        if (!apply) continue;
        if (holds == "data") {
            DeleteTestsTree(child);
        } else {
            DeleteFileIf(child, IsSimulatorFile);
        }
    }
    for (const SavedEntry& entry : entries) {
        if (entry.copy != "-") RestoreFile(path + L"\\" + entry.name, entry.copy, IsSimulatorFile, apply);
    }
    if (present) return;
    if (List(path).empty()) {
        Changed("folder " + Utf8(path) + ": created by the tests, deleted");
        if (apply) DeleteEmptyFolder(path);
    } else {
        Left(Utf8(path) + ": made during the run, kept for what is left in it");
    }
}

}  // namespace

void Changed(const std::string& what) { Note(&g_changes, what); }
void Left(const std::string& what) { Note(&g_left, what); }

// Puts back what the journal holds; with apply false, only notes what
// differs from it.
void Restore(const std::string& journal, bool apply)
{
    std::vector<std::string> lines = Split(journal, '\n');
    lines.push_back("end");
    std::vector<Str> journaled;
    for (const std::string& line : lines) {
        std::vector<std::string> f = Fields(line);
        if ((f[0] == "folder" || f[0] == "link") && f.size() == 4) journaled.push_back(Wide(f[1]));
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> f = Fields(lines[i]);
        size_t next = i + 1;
        if (f[0] == "key" && f.size() == 6) {
            std::vector<SavedValue> values;
            for (; Fields(lines[next])[0] == "value"; ++next) {
                std::vector<std::string> v = Fields(lines[next]);
                values.push_back({strtoul(v[1].c_str(), NULL, 10), ValueName(v[2]), Unhex(v[3])});
            }
            RestoreKey(f[1], strtoul(f[2].c_str(), NULL, 10), Wide(f[3]), f[4] == "present", f[5], values, apply);
        } else if (f[0] == "setting" && f.size() == 7) {
            SavedValue value = {strtoul(f[5].c_str(), NULL, 10), ValueName(f[4]), Unhex(f[6])};
            RestoreSetting(f[1], strtoul(f[2].c_str(), NULL, 10), Wide(f[3]), value, f[5] != "absent", apply);
        } else if (f[0] == "link" && f.size() == 4) {
            RestoreLink(Wide(f[1]), Wide(f[2]), f[3] == "present", apply);
        } else if (f[0] == "file" && f.size() == 3) {
            RestoreFile(Wide(f[1]), f[2], IsSimulatorFile, apply);
        } else if (f[0] == "folder" && f.size() == 4) {
            std::vector<SavedEntry> entries;
            for (; Fields(lines[next])[0] == "entry"; ++next) {
                std::vector<std::string> e = Fields(lines[next]);
                entries.push_back({Wide(e[1]), e.size() > 2 ? e[2] : "-"});
            }
            RestoreFolder(Wide(f[1]), f[2] == "present", f[3], entries, journaled, apply);
        } else if (f[0] == "store" && f.size() == 2) {
            std::vector<SavedCert> before;
            std::vector<std::vector<BYTE>> own;
            for (;; ++next) {
                std::vector<std::string> c = Fields(lines[next]);
                if (c[0] == "cert" && c.size() == 3) {
                    before.push_back({Saved(c[1]), c[2] == "-" ? std::vector<BYTE>() : Saved(c[2])});
                } else if (c[0] == "own" && c.size() == 2) {
                    own.push_back(Saved(c[1]));
                } else {
                    break;
                }
            }
            RestoreStore(Wide(f[1]), before, own, apply);
        } else {
            continue;
        }
        i = next - 1;
    }
}
