#include "keysim_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "keysim_state.h"
#include "made_by_tests.h"

namespace {

std::wstring EnvDir(const wchar_t* name)
{
    const wchar_t* value = _wgetenv(name);
    if (value == nullptr || *value == L'\0') {
        ADD_FAILURE() << "environment variable " << std::string(name, name + wcslen(name))
                      << " is not set (use add_wine_gtest(... KEYSIM))";
        return std::wstring();
    }
    std::wstring dir = value;
    for (wchar_t& c : dir) {
        if (c == L'/') c = L'\\';
    }
    while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    return dir;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

KeySimState Load(const std::wstring& dir)
{
    KeySimState state;
    if (!LoadKeySimState(dir, &state)) ADD_FAILURE() << "cannot read keysim.ini in " << Narrow(dir);
    return state;
}

void Edit(const std::wstring& dir, const char* what, const std::function<bool(KeySimState*)>& edit)
{
    KeySimState state;
    if (!LoadKeySimState(dir, &state)) {
        ADD_FAILURE() << what << ": cannot read keysim.ini in " << Narrow(dir);
    } else if (!edit(&state)) {
        ADD_FAILURE() << what << ": refused (unknown slot or a value keysim.ini cannot hold)";
    } else if (!SaveKeySimState(dir, state)) {
        ADD_FAILURE() << what << ": cannot write keysim.ini in " << Narrow(dir);
    }
}

// The folders that KeySimCopyTo made, for KeySimRemoveCopy.
std::vector<std::wstring> s_madeFolders;

bool CreateFolders(const std::wstring& dir)
{
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != L'\\') continue;
        std::wstring part = dir.substr(0, i);
        if (part.empty() || part.back() == L':') continue;
        if (CreateDirectoryW(part.c_str(), nullptr)) {
            s_madeFolders.push_back(part);
        } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::wstring KeySimDir()
{
    return EnvDir(L"KEYSIM_DIR");
}

std::wstring KeySimVariantDir(const char* missingExport)
{
    std::wstring dir = EnvDir(L"KEYSIM_VARIANTS");
    dir += L"\\no_";
    for (const char* c = missingExport; *c != '\0'; ++c) dir += static_cast<wchar_t>(*c);
    return dir;
}

std::wstring KeySimCdeclDir()
{
    return EnvDir(L"KEYSIM_VARIANTS") + L"\\cdecl";
}

std::wstring KeySimAuxDir()
{
    return EnvDir(L"KEYSIM_VARIANTS") + L"\\withaux";
}

std::wstring KeySimLibraryPath(const std::wstring& dir)
{
    return KeySimPath(dir, MADE_BY_TESTS_WIDE(MADE_BY_TESTS_TOKEN_LIBRARY));
}

std::wstring KeySimCspPath(const std::wstring& dir)
{
    return KeySimPath(dir, MADE_BY_TESTS_WIDE(MADE_BY_TESTS_CSP_LIBRARY));
}

bool RegisterCsp(const std::wstring& imagePath)
{
    return KeySimRegisterCsp(imagePath);
}

bool RegisterCspRaw(const void* bytes, DWORD size, DWORD type)
{
    HKEY key = KeySimCreateCspKey(KEY_SET_VALUE);
    if (key == nullptr) {
        return false;
    }
    LONG result = RegSetValueExA(key, "Image Path", 0, type, static_cast<const BYTE*>(bytes), size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool RegisterCspWithoutImagePath()
{
    HKEY key = KeySimCreateCspKey(KEY_SET_VALUE | KEY_QUERY_VALUE);
    if (key == nullptr) {
        return false;
    }
    LONG result = RegDeleteValueW(key, L"Image Path");
    RegCloseKey(key);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

void UnregisterCsp()
{
    if (!KeySimUnregisterCsp()) ADD_FAILURE() << "cannot remove the CSP registration";
}

void KeySimReset(const std::wstring& dir)
{
    if (!SaveKeySimState(dir, KeySimState())) {
        ADD_FAILURE() << "cannot write keysim.ini in " << Narrow(dir);
    }
    if (!WriteWholeFile(KeySimPath(dir, kKeySimJournalFile), std::string())) {
        ADD_FAILURE() << "cannot empty the journal in " << Narrow(dir);
    }
}

void KeySimPlug(uint32_t slotId, const std::string& readerName, const std::string& pin,
                uint32_t tries, const std::wstring& dir)
{
    Edit(dir, "KeySimPlug",
         [&](KeySimState* state) { return PlugKeySimKey(state, slotId, readerName, pin, tries); });
}

void KeySimUnplug(uint32_t slotId, const std::wstring& dir)
{
    Edit(dir, "KeySimUnplug", [&](KeySimState* state) { return UnplugKeySimKey(state, slotId); });
}

void KeySimSetPin(uint32_t slotId, const std::string& pin, uint32_t tries,
                  const std::wstring& dir)
{
    Edit(dir, "KeySimSetPin",
         [&](KeySimState* state) { return SetKeySimPin(state, slotId, pin, tries); });
}

void KeySimEnrol(uint32_t slotId, const std::string& label, const std::wstring& dir)
{
    Edit(dir, "KeySimEnrol",
         [&](KeySimState* state) { return EnrolKeySimCert(state, slotId, label); });
}

void KeySimFault(const std::string& entry, const std::string& value, const std::wstring& dir)
{
    Edit(dir, "KeySimFault", [&](KeySimState* state) {
        if (!IsKeySimFaultValid(entry, value)) return false;
        SetKeySimFault(state, entry, value);
        return true;
    });
}

void KeySimFault(const std::string& entry, uint32_t status, const std::wstring& dir)
{
    char value[16];
    snprintf(value, sizeof(value), "0x%08x", status);
    KeySimFault(entry, value, dir);
}

bool KeySimIsPlugged(uint32_t slotId, const std::wstring& dir)
{
    return FindKeySimKey(Load(dir), slotId) != nullptr;
}

bool KeySimIsBlank(uint32_t slotId, const std::wstring& dir)
{
    KeySimState state = Load(dir);
    const KeySimKey* key = FindKeySimKey(state, slotId);
    return key != nullptr && key->blank;
}

std::vector<std::string> KeySimCertLabels(uint32_t slotId, const std::wstring& dir)
{
    KeySimState state = Load(dir);
    const KeySimKey* key = FindKeySimKey(state, slotId);
    return key != nullptr ? key->certs : std::vector<std::string>();
}

int KeySimTriesLeft(uint32_t slotId, const std::wstring& dir)
{
    KeySimState state = Load(dir);
    const KeySimKey* key = FindKeySimKey(state, slotId);
    return key != nullptr ? static_cast<int>(key->tries) : -1;
}

std::string KeySimPin(uint32_t slotId, const std::wstring& dir)
{
    KeySimState state = Load(dir);
    const KeySimKey* key = FindKeySimKey(state, slotId);
    return key != nullptr ? key->pin : std::string();
}

std::string KeySimFaultSlotName(size_t length)
{
    return KeySimPatternName(length);
}

std::vector<std::string> KeySimJournal(const std::wstring& dir)
{
    std::string text;
    if (!ReadWholeFile(KeySimPath(dir, kKeySimJournalFile), &text)) {
        ADD_FAILURE() << "cannot read the journal in " << Narrow(dir);
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> KeySimJournalCalls(const std::wstring& dir)
{
    std::vector<std::string> calls;
    for (const std::string& line : KeySimJournal(dir)) {
        calls.push_back(line.substr(0, line.find(' ')));
    }
    return calls;
}

std::string KeySimJournalField(const std::string& line, const std::string& key)
{
    const std::string marker = " " + key + "=";
    size_t start = line.find(marker);
    if (start == std::string::npos) return std::string();
    start += marker.size();
    size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

bool IsModuleLoaded(const char* name)
{
    return GetModuleHandleA(name) != nullptr;
}

bool KeySimCopyTo(const std::wstring& targetDir, const std::wstring& fromDir)
{
    if (!CreateFolders(targetDir)) return false;
    const wchar_t* const files[] = {MADE_BY_TESTS_WIDE(MADE_BY_TESTS_TOKEN_LIBRARY),
                                    MADE_BY_TESTS_WIDE(MADE_BY_TESTS_CSP_LIBRARY)};
    for (const wchar_t* file : files) {
        if (!CopyFileW(KeySimPath(fromDir, file).c_str(), KeySimPath(targetDir, file).c_str(),
                       FALSE)) {
            return false;
        }
    }
    KeySimState state;
    return LoadKeySimState(fromDir, &state) && SaveKeySimState(targetDir, state) &&
           WriteWholeFile(KeySimPath(targetDir, kKeySimJournalFile), std::string());
}

void KeySimRemoveCopy(const std::wstring& targetDir)
{
    const wchar_t* const files[] = {MADE_BY_TESTS_WIDE(MADE_BY_TESTS_TOKEN_LIBRARY),
                                    MADE_BY_TESTS_WIDE(MADE_BY_TESTS_CSP_LIBRARY), kKeySimStateFile,
                                    kKeySimJournalFile};
    for (const wchar_t* file : files) {
        if (!DeleteFileW(KeySimPath(targetDir, file).c_str()) &&
            GetLastError() != ERROR_FILE_NOT_FOUND) {
            ADD_FAILURE() << "cannot delete " << Narrow(KeySimPath(targetDir, file));
        }
    }
    auto made = std::find(s_madeFolders.begin(), s_madeFolders.end(), targetDir);
    if (made != s_madeFolders.end()) {
        RemoveDirectoryW(targetDir.c_str());
        s_madeFolders.erase(made);
    }
}
