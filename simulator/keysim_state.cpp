#include "keysim_state.h"

#include <windows.h>

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <strsafe.h>

#include "keyinit/token_api.h"

namespace {

const DWORD kMaxStateFileSize = 4 * 1024 * 1024;

std::string Hex32(uint32_t value)
{
    char text[16];
    if (FAILED(StringCchPrintfA(text, ARRAYSIZE(text), "0x%08x", value))) return "0x0";
    return text;
}

std::string Decimal(uint32_t value)
{
    char text[16];
    if (FAILED(StringCchPrintfA(text, ARRAYSIZE(text), "%u", value))) return "0";
    return text;
}

void ApplyKeyLine(KeySimKey* key, const std::string& name, const std::string& value)
{
    uint32_t number = 0;
    if (name == "slot") {
        if (ParseKeySimNumber(value, &number)) key->slot = number;
    } else if (name == "reader") {
        key->reader = value;
    } else if (name == "pin") {
        key->pin = value;
    } else if (name == "tries") {
        if (ParseKeySimNumber(value, &number)) key->tries = number;
    } else if (name == "maxtries") {
        if (ParseKeySimNumber(value, &number)) key->maxTries = number;
    } else if (name == "blank") {
        key->blank = value == "1";
    } else if (name == "cert") {
        key->certs.push_back(value);
    }
}

}  // namespace

bool ParseKeySimNumber(const std::string& text, uint32_t* value)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    // strtoull would accept a sign or leading spaces: the first character must be a digit.
    if (!isxdigit(static_cast<unsigned char>(*digits))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long number = strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0' || number > 0xffffffffull) return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

bool IsKeySimLineSafe(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

KeySimState ParseKeySimState(const std::string& text)
{
    enum Section { kNone, kFaults, kKey } section = kNone;
    KeySimState state;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        if (line == "[faults]") {
            section = kFaults;
            continue;
        }
        if (line == "[key]") {
            section = kKey;
            state.keys.push_back(KeySimKey());
            continue;
        }
        if (line[0] == '[') {
            section = kNone;
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string name = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (section == kFaults) {
            SetKeySimFault(&state, name, value);
        } else if (section == kKey) {
            ApplyKeyLine(&state.keys.back(), name, value);
        }
    }
    return state;
}

std::string FormatKeySimState(const KeySimState& state)
{
    std::string text = std::string(kKeySimStateHead) + "[faults]\r\n";
    for (const auto& fault : state.faults) {
        text += fault.first + "=" + fault.second + "\r\n";
    }
    for (const KeySimKey& key : state.keys) {
        text += "\r\n[key]\r\n";
        text += "slot=" + Hex32(key.slot) + "\r\n";
        text += "reader=" + key.reader + "\r\n";
        text += "pin=" + key.pin + "\r\n";
        text += "tries=" + Decimal(key.tries) + "\r\n";
        text += "maxtries=" + Decimal(key.maxTries) + "\r\n";
        text += std::string("blank=") + (key.blank ? "1" : "0") + "\r\n";
        for (const std::string& label : key.certs) {
            text += "cert=" + label + "\r\n";
        }
    }
    return text;
}

std::wstring KeySimPath(const std::wstring& dir, const wchar_t* name)
{
    std::wstring path = dir;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
    return path + name;
}

std::wstring ModuleFolder(HMODULE module)
{
    wchar_t path[2048];
    DWORD length = GetModuleFileNameW(module, path, ARRAYSIZE(path));
    if (length == 0 || length >= ARRAYSIZE(path)) return std::wstring();
    std::wstring dir(path, length);
    size_t slash = dir.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash);
}

bool ReadWholeFile(const std::wstring& path, std::string* text)
{
    text->clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    bool ok = true;
    DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE || size > kMaxStateFileSize) {
        ok = false;
    } else if (size > 0) {
        text->resize(size);
        DWORD read = 0;
        ok = ReadFile(file, &(*text)[0], size, &read, nullptr) && read == size;
        if (!ok) text->clear();
    }
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = text.empty() || (WriteFile(file, text.data(), static_cast<DWORD>(text.size()),
                                         &written, nullptr) &&
                               written == text.size());
    return CloseHandle(file) && ok;
}

bool AppendToFile(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    return CloseHandle(file) && ok;
}

bool LoadKeySimState(const std::wstring& dir, KeySimState* state)
{
    std::string text;
    if (!ReadWholeFile(KeySimPath(dir, kKeySimStateFile), &text)) return false;
    *state = ParseKeySimState(text);
    return true;
}

bool SaveKeySimState(const std::wstring& dir, const KeySimState& state)
{
    return WriteWholeFile(KeySimPath(dir, kKeySimStateFile), FormatKeySimState(state));
}

KeySimKey* FindKeySimKey(KeySimState* state, uint32_t slot)
{
    for (KeySimKey& key : state->keys) {
        if (key.slot == slot) return &key;
    }
    return nullptr;
}

const KeySimKey* FindKeySimKey(const KeySimState& state, uint32_t slot)
{
    for (const KeySimKey& key : state.keys) {
        if (key.slot == slot) return &key;
    }
    return nullptr;
}

const std::string* FindKeySimFault(const KeySimState& state, const char* name)
{
    for (const auto& fault : state.faults) {
        if (fault.first == name) return &fault.second;
    }
    return nullptr;
}

void SetKeySimFault(KeySimState* state, const std::string& name, const std::string& value)
{
    auto& faults = state->faults;
    for (size_t i = 0; i < faults.size(); ++i) {
        if (faults[i].first == name) {
            if (value == "off") {
                faults.erase(faults.begin() + i);
            } else {
                faults[i].second = value;
            }
            return;
        }
    }
    if (value != "off") faults.emplace_back(name, value);
}

std::string KeySimPatternName(size_t length)
{
    std::string name;
    for (size_t i = 0; i < length; ++i) name += static_cast<char>('A' + i % 26);
    return name;
}

bool PlugKeySimKey(KeySimState* state, uint32_t slot, const std::string& reader,
                   const std::string& pin, uint32_t tries)
{
    if (!IsKeySimLineSafe(reader) || reader.size() > kKeySimMaxNameLength ||
        !IsKeySimLineSafe(pin) || pin.size() > kKeySimPinBufferSize) {
        return false;
    }
    KeySimKey fresh;
    fresh.slot = slot;
    fresh.reader = reader;
    fresh.pin = pin;
    fresh.tries = tries;
    fresh.maxTries = tries;
    KeySimKey* key = FindKeySimKey(state, slot);
    if (key != nullptr) {
        *key = fresh;
    } else {
        state->keys.push_back(fresh);
    }
    return true;
}

bool UnplugKeySimKey(KeySimState* state, uint32_t slot)
{
    for (size_t i = 0; i < state->keys.size(); ++i) {
        if (state->keys[i].slot == slot) {
            state->keys.erase(state->keys.begin() + i);
            return true;
        }
    }
    return false;
}

bool SetKeySimPin(KeySimState* state, uint32_t slot, const std::string& pin, uint32_t tries)
{
    KeySimKey* key = FindKeySimKey(state, slot);
    if (key == nullptr || !IsKeySimLineSafe(pin) || pin.size() > kKeySimPinBufferSize) return false;
    key->pin = pin;
    key->tries = tries;
    key->maxTries = tries;
    return true;
}

bool EnrolKeySimCert(KeySimState* state, uint32_t slot, const std::string& label)
{
    KeySimKey* key = FindKeySimKey(state, slot);
    if (key == nullptr || !IsKeySimLineSafe(label)) return false;
    key->certs.push_back(label);
    key->blank = false;
    return true;
}

bool IsKeySimFaultValid(const std::string& name, const std::string& value)
{
    uint32_t number = 0;
    if (name == "slotlist") return value == "off" || value == "zero";
    if (name == "messageloop") {
        return value == "off" ||
               (ParseKeySimNumber(value, &number) && number <= kKeySimMaxMessageLoop);
    }
    if (name == "slotname") {
        return value == "off" || value == "none" || value == "long" ||
               (ParseKeySimNumber(value, &number) && number <= kKeySimMaxNameLength);
    }
#define SIM_ENTRY_NAME(entry, kind) #entry,
    static const char* const kEntries[] = {TOKEN_API_ENTRY_POINTS(SIM_ENTRY_NAME)};
#undef SIM_ENTRY_NAME
    for (const char* entry : kEntries) {
        if (name == entry) return value == "off" || ParseKeySimNumber(value, &number);
    }
    return false;
}
