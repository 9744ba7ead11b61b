// Test support for programs that drive the key simulator under Wine: where
// the simulator lies, the CSP registration the tool reads, the simulated
// keys' state, and the call journal. Functions that set something up report
// a failure to the running GoogleTest test (ADD_FAILURE) and carry on.
//
// State functions work on a simulator folder, by default KeySimDir(); pass
// another one for a copy made with KeySimCopyTo.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "keysim_state.h"  // the statuses kSim..., kKeySimMaxNameLength

// The simulator's folder (environment variable KEYSIM_DIR, set by
// add_wine_gtest(... KEYSIM)), without a trailing backslash.
std::wstring KeySimDir();
// The folder of the Korrim.dll variant that lacks one export (from
// KEYSIM_VARIANTS), e.g. KeySimVariantDir("VKGetProviderName").
std::wstring KeySimVariantDir(const char* missingExport);
// The folder of the Korrim.dll whose entry points are caller-pops (__cdecl).
std::wstring KeySimCdeclDir();
// The folder of the Korrim.dll that imports a helper DLL, KorrimAux.dll,
// lying beside it.
std::wstring KeySimAuxDir();
// <dir>\Korrim.dll and <dir>\VarkeldKsvCsp.dll (the placeholder CSP file
// whose path a registration holds).
std::wstring KeySimLibraryPath(const std::wstring& dir = KeySimDir());
std::wstring KeySimCspPath(const std::wstring& dir = KeySimDir());

// HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Varkeld KSV CSP.
// "Image Path" as REG_SZ through the wide API.
bool RegisterCsp(const std::wstring& imagePath);
// "Image Path" as exactly these bytes and type (RegSetValueExA), for values
// without a terminator, over-long values or other types.
bool RegisterCspRaw(const void* bytes, DWORD size, DWORD type);
// The key without an "Image Path" value.
bool RegisterCspWithoutImagePath();
// Removes the key (no failure when it is not there).
void UnregisterCsp();

// No keys, no faults, empty journal.
void KeySimReset(const std::wstring& dir = KeySimDir());
// Connects a fresh key (not blank, no certificates; tries left = tries).
// Plugging a slot already connected replaces that key in its place.
void KeySimPlug(uint32_t slotId, const std::string& readerName,
                const std::string& pin = "tq8053", uint32_t tries = 5,
                const std::wstring& dir = KeySimDir());
void KeySimUnplug(uint32_t slotId, const std::wstring& dir = KeySimDir());
// Sets a connected key's PIN and its tries (left and maximum).
void KeySimSetPin(uint32_t slotId, const std::string& pin, uint32_t tries = 5,
                  const std::wstring& dir = KeySimDir());
// Puts a certificate label on a connected key (it is no longer blank).
void KeySimEnrol(uint32_t slotId, const std::string& label,
                 const std::wstring& dir = KeySimDir());
// entry: an entry-point name with the status it is to return ("0xe0000005",
// doing nothing else), "slotlist" with "zero", or "slotname" with "none",
// "long" (1000 characters) or a length up to 3999; "off" clears a fault.
void KeySimFault(const std::string& entry, const std::string& value,
                 const std::wstring& dir = KeySimDir());
void KeySimFault(const std::string& entry, uint32_t status,
                 const std::wstring& dir = KeySimDir());

// Readers of a key's state as keysim.ini holds it now; a slot that is not
// connected reads as not blank, no labels, -1 tries and an empty PIN.
bool KeySimIsPlugged(uint32_t slotId, const std::wstring& dir = KeySimDir());
bool KeySimIsBlank(uint32_t slotId, const std::wstring& dir = KeySimDir());
std::vector<std::string> KeySimCertLabels(uint32_t slotId,
                                          const std::wstring& dir = KeySimDir());
int KeySimTriesLeft(uint32_t slotId, const std::wstring& dir = KeySimDir());
std::string KeySimPin(uint32_t slotId, const std::wstring& dir = KeySimDir());

// The name the "slotname" fault makes KRGetSlotName write: length
// characters ABC...ZABC...
std::string KeySimFaultSlotName(size_t length);

// Journal lines ("Name key=value ..."), in call order.
std::vector<std::string> KeySimJournal(const std::wstring& dir = KeySimDir());
// Only the entry-point names of the journal lines.
std::vector<std::string> KeySimJournalCalls(const std::wstring& dir = KeySimDir());
// The value of "key=" in a journal line; "" when the line has none.
std::string KeySimJournalField(const std::string& line, const std::string& key);

// Whether this runs under Wine (ntdll exports wine_get_version), where some
// setup takes Wine's own per-program settings.
bool RunningUnderWine();

// Whether this process has a module of that name loaded (GetModuleHandleA).
bool IsModuleLoaded(const char* name);

// Copies the simulator (Korrim.dll, VarkeldKsvCsp.dll and the current
// keysim.ini of fromDir) into targetDir, creating it and its parents, with
// an empty journal. Use targetDir as the dir of the functions above.
bool KeySimCopyTo(const std::wstring& targetDir, const std::wstring& fromDir = KeySimDir());
// Deletes those four files of a copy, then the folder if KeySimCopyTo made
// it and it is empty.
void KeySimRemoveCopy(const std::wstring& targetDir);
