// The simulated keys' state as kept in keysim.ini beside the simulator DLL,
// shared by the DLL, the control program and the test-support library.
//
// Layout (one "[faults]" section, then one "[key]" section per connected
// key in the order KRGetSlotList reports them; a value is everything after
// the first '=' up to the end of the line, taken byte for byte):
//
//   [faults]
//   KROpen=0xe0000003        any entry point: return this status, do nothing
//   slotlist=zero            KRGetSlotList reports 0 slots with status 0
//   slotname=none|long|<n>   KRGetSlotName writes nothing / 1000 / n chars
//   messageloop=<ms>         VKInitADF first waits that long in a message loop
//
//   [key]
//   slot=0x00000011
//   reader=Reader name as KRGetSlotName writes it
//   pin=tq8053               empty: no PIN set (after VKInitADF)
//   tries=5                  remaining PIN tries; 0 is locked
//   maxtries=5               tries restored by a correct PIN
//   blank=0                  1 once VKInitADF has cleared the key
//   cert=First label         one line per certificate on the key
//   cert=Second label
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

struct KeySimKey {
    uint32_t slot = 0;
    std::string reader;
    std::string pin;
    uint32_t tries = 0;
    uint32_t maxTries = 0;
    bool blank = false;
    std::vector<std::string> certs;
};

struct KeySimState {
    std::vector<KeySimKey> keys;
    std::vector<std::pair<std::string, std::string>> faults;  // name, value
};

// Longest reader name or slot-name fault the simulator writes (without NUL).
const size_t kKeySimMaxNameLength = 3999;
// Longest wait of the "messageloop" setting, in milliseconds.
const uint32_t kKeySimMaxMessageLoop = 60000;
// Length written by the "slotname=long" fault.
const size_t kKeySimLongNameLength = 1000;
// Longest PIN a key holds; the PIN buffer the tool passes is this long.
const size_t kKeySimPinBufferSize = 32;

// Statuses the simulated library returns (0 is success).
const uint32_t kKeySimOk = 0;
const uint32_t kKeySimNotSupported = 0xe0000001;    // the sixty entry points never called
const uint32_t kKeySimBadArgument = 0xe0000002;     // null pointer, PIN kind/length, non-zero reserved
const uint32_t kKeySimBadHandle = 0xe0000003;       // context or device not issued (or closed)
const uint32_t kKeySimNoKey = 0xe0000004;           // slot not connected, or the key was unplugged
const uint32_t kKeySimPinIncorrect = 0xe0000005;    // wrong PIN, one try used
const uint32_t kKeySimPinLocked = 0xe0000006;       // no tries left
const uint32_t kKeySimPinNotSet = 0xe0000007;       // the key has no PIN (cleared by VKInitADF)
const uint32_t kKeySimNotVerified = 0xe0000008;     // VKInitADF before a good VKVerifyPIN
const uint32_t kKeySimStateError = 0xe0000009;      // keysim.ini cannot be read or written
const uint32_t kKeySimTooManyDevices = 0xe000000a;  // device table of this process is full
const uint32_t kKeySimHelperMissing = 0xe000000b;   // the library's own helper DLL not found

// File names beside the simulator DLL.
const wchar_t kKeySimStateFile[] = L"keysim.ini";
const wchar_t kKeySimJournalFile[] = L"keysim-journal.txt";
// The first line of keysim.ini, by which the test pack tells the file its
// own.
const char kKeySimStateHead[] = "; Simulated keys (see simulator/README.md)\r\n";

// Parses the text of keysim.ini. Unknown lines are ignored.
KeySimState ParseKeySimState(const std::string& text);
std::string FormatKeySimState(const KeySimState& state);

// Reads and writes <dir>\keysim.ini. A missing file is an empty state.
bool LoadKeySimState(const std::wstring& dir, KeySimState* state);
bool SaveKeySimState(const std::wstring& dir, const KeySimState& state);

// Whole-file helpers (a missing file reads as empty).
bool ReadWholeFile(const std::wstring& path, std::string* text);
bool WriteWholeFile(const std::wstring& path, const std::string& text);
bool AppendToFile(const std::wstring& path, const std::string& text);

// "<dir>\<name>".
std::wstring KeySimPath(const std::wstring& dir, const wchar_t* name);
// The folder a module (null: the program) was loaded from, without a
// trailing backslash; empty if it cannot be read.
std::wstring ModuleFolder(HMODULE module);

KeySimKey* FindKeySimKey(KeySimState* state, uint32_t slot);
const KeySimKey* FindKeySimKey(const KeySimState& state, uint32_t slot);
// Value of a fault, or nullptr when none is set.
const std::string* FindKeySimFault(const KeySimState& state, const char* name);
// Sets a fault; the value "off" removes it.
void SetKeySimFault(KeySimState* state, const std::string& name, const std::string& value);

// Edits shared by keysim.exe and the test-support library; each returns
// false (changing nothing) for a value the state file cannot hold.
// Plugs a fresh key (not blank, no certificates, tries = maxtries). A slot
// already connected is replaced in its place in the slot list.
bool PlugKeySimKey(KeySimState* state, uint32_t slot, const std::string& reader,
                   const std::string& pin, uint32_t tries);
bool UnplugKeySimKey(KeySimState* state, uint32_t slot);
// Sets the PIN and both tries counts of a connected key.
bool SetKeySimPin(KeySimState* state, uint32_t slot, const std::string& pin, uint32_t tries);
// Adds a certificate label to a connected key (it is no longer blank).
bool EnrolKeySimCert(KeySimState* state, uint32_t slot, const std::string& label);
// True for the fault names and values the simulator understands: an entry
// point with a status number, "slotlist" with "zero", "slotname" with
// "none", "long" or a length up to kKeySimMaxNameLength, "messageloop" with up
// to kKeySimMaxMessageLoop milliseconds; any of them with "off".
bool IsKeySimFaultValid(const std::string& name, const std::string& value);

// The name the slot-name fault writes: n characters cycling through A..Z.
std::string KeySimPatternName(size_t length);

// Parses a 32-bit number in decimal or 0x-hex (never octal), the whole text.
bool ParseKeySimNumber(const std::string& text, uint32_t* value);
// True when the text can be kept on one line of the state file.
bool IsKeySimLineSafe(const std::string& text);

// The CSP registration the tool reads: HKLM\<KeySimCspKey()>, value "Image Path".
std::wstring KeySimCspKey();
// Creates or opens that key with the given access, in the 32-bit view of
// the registry, where a 32-bit CSP's installer writes on a 64-bit Windows
// (under Wow6432Node); null on failure.
HKEY KeySimCreateCspKey(REGSAM access);
// Writes "Image Path" = imagePath (REG_SZ), creating the key.
bool KeySimRegisterCsp(const std::wstring& imagePath);
// Deletes the CSP's key; true when it is gone (or was never there).
bool KeySimUnregisterCsp();
