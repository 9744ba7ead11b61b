// Korrim.dll as the test bed has it: a simulated token library. Key data
// (connected keys, PINs, certificates, faults) lives in keysim.ini beside
// this DLL and is read afresh on every call; open devices and their PIN
// verification live in this DLL's memory, so they last as long as it stays
// loaded in a process. Every call appends one line to keysim-journal.txt
// beside the DLL. Calls are expected from one thread at a time.
#include <windows.h>

#include <stdarg.h>
#include <string.h>

#include <string>
#include <type_traits>

#include <strsafe.h>

#include "common/csp_name.h"
#include "keysim_state.h"
#include "keyinit/token_api.h"

// The entry points' calling convention. The real library's is not fixed by
// its exports, so the test bed builds both: callee pops (__stdcall, the
// default) and, with KEYSIM_CDECL, caller pops (__cdecl).
#ifdef KEYSIM_CDECL
#define KEYSIM_CALL __cdecl
#else
#define KEYSIM_CALL WINAPI
#endif

#ifdef KEYSIM_AUX
// This build imports a helper DLL that lies beside it (KorrimAux.dll): the
// loader must find it there, or this library does not load. It also loads
// another (KorrimLink.dll, a transport, say) by bare name when a context is
// established, as its installer leaves it: beside the library, its folder
// on PATH. Where the loader does not find it, no context is established.
extern "C" __declspec(dllimport) int WINAPI KeySimAuxPresent(void);
#endif

namespace {

const uint32_t kContextBase = 0x00c00000;
const uint32_t kDeviceBase = 0x00d00000;
const size_t kMaxDevices = 64;
const uint32_t kPinKindUser = 1;

struct Device {
    uint32_t slot;
    bool open;
    bool verified;
};

HMODULE g_module;
uint32_t g_contextsIssued;
Device g_devices[kMaxDevices];
size_t g_devicesIssued;

void Field(std::string* line, const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    HRESULT result = StringCchVPrintfA(text, ARRAYSIZE(text), format, args);
    va_end(args);
    *line += ' ';
    *line += SUCCEEDED(result) ? text : "?";
}

void Journal(std::string line)
{
    line += "\r\n";
    AppendToFile(KeySimPath(ModuleFolder(g_module), kKeySimJournalFile), line);
}

// The fault set for an entry point, as a status.
bool FaultStatus(const KeySimState& state, const char* entry, uint32_t* status)
{
    const std::string* value = FindKeySimFault(state, entry);
    if (value == nullptr) return false;
    if (!ParseKeySimNumber(*value, status)) *status = kKeySimBadArgument;
    return true;
}

bool IsContext(uint32_t context)
{
    return context > kContextBase && context <= kContextBase + g_contextsIssued;
}

Device* FindDevice(uint32_t device)
{
    if (device <= kDeviceBase || device > kDeviceBase + g_devicesIssued) return nullptr;
    Device* entry = &g_devices[device - kDeviceBase - 1];
    return entry->open ? entry : nullptr;
}

std::string PinHex(const uint8_t* pin)
{
    if (pin == nullptr) return "null";
    std::string hex;
    for (size_t i = 0; i < kKeySimPinBufferSize; ++i) {
        char pair[4];
        if (FAILED(StringCchPrintfA(pair, ARRAYSIZE(pair), "%02x", pin[i]))) return "?";
        hex += pair;
    }
    return hex;
}

// The name KRGetSlotName writes for a key, or false for none.
bool SlotName(const KeySimState& state, const KeySimKey& key, std::string* name)
{
    const std::string* fault = FindKeySimFault(state, "slotname");
    uint32_t length = 0;
    if (fault == nullptr) {
        *name = key.reader.substr(0, kKeySimMaxNameLength);
    } else if (*fault == "none") {
        return false;
    } else if (*fault == "long") {
        *name = KeySimPatternName(kKeySimLongNameLength);
    } else if (ParseKeySimNumber(*fault, &length) && length <= kKeySimMaxNameLength) {
        *name = KeySimPatternName(length);
    } else {
        return false;
    }
    return true;
}

#ifdef KEYSIM_AUX
bool TransportFound()
{
    HMODULE transport = LoadLibraryA("KorrimLink.dll");
    if (transport == nullptr) return false;
    // Its one export, under the name the compiler gives a __stdcall function.
    bool found = GetProcAddress(transport, "KeySimAuxPresent@0") != nullptr;
    FreeLibrary(transport);
    return found;
}
#endif

// With the setting "messageloop=<ms>", waits that long in a message loop, as
// a call through a COM single-threaded apartment does: whatever the calling
// thread has queued meanwhile is dispatched.
void WaitInMessageLoop(const KeySimState& state)
{
    const std::string* setting = FindKeySimFault(state, "messageloop");
    uint32_t wait = 0;
    if (setting == nullptr || !ParseKeySimNumber(*setting, &wait)) return;
    DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < wait; elapsed = GetTickCount() - start) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait - elapsed, QS_ALLINPUT);
    }
}

uint32_t Unsupported(const char* entry)
{
    KeySimState state;
    uint32_t status = kKeySimNotSupported;
    if (!LoadKeySimState(ModuleFolder(g_module), &state)) {
        status = kKeySimStateError;
    } else {
        FaultStatus(state, entry, &status);
    }
    std::string line = entry;
    Field(&line, "status=0x%08x", status);
    Journal(line);
    return status;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
#ifdef KEYSIM_AUX
        if (KeySimAuxPresent() != 1) {
            return FALSE;
        }
#endif
    }
    return TRUE;
}

TokenStatus KEYSIM_CALL KREstablishContext(uint32_t* context)
{
    KeySimState state;
    uint32_t status = kKeySimOk;
    bool written = false;
    if (!LoadKeySimState(ModuleFolder(g_module), &state)) {
        status = kKeySimStateError;
    } else if (FaultStatus(state, "KREstablishContext", &status)) {
#ifdef KEYSIM_AUX
    } else if (!TransportFound()) {
        status = kKeySimHelperMissing;
#endif
    } else if (context == nullptr) {
        status = kKeySimBadArgument;
    } else {
        ++g_contextsIssued;
        *context = kContextBase + g_contextsIssued;
        written = true;
    }
    std::string line = "KREstablishContext";
    Field(&line, "status=0x%08x", status);
    if (written) {
        Field(&line, "context=0x%08x", *context);
    } else {
        Field(&line, "context=-");
    }
    Journal(line);
    return status;
}

TokenStatus KEYSIM_CALL KRGetSlotList(uint32_t context, uint32_t capacity, uint32_t* slots,
                                 uint32_t* count)
{
    KeySimState state;
    uint32_t status = kKeySimOk;
    bool written = false;
    if (!LoadKeySimState(ModuleFolder(g_module), &state)) {
        status = kKeySimStateError;
    } else if (FaultStatus(state, "KRGetSlotList", &status)) {
    } else if (slots == nullptr || count == nullptr) {
        status = kKeySimBadArgument;
    } else if (!IsContext(context)) {
        status = kKeySimBadHandle;
    } else {
        const std::string* fault = FindKeySimFault(state, "slotlist");
        uint32_t found = 0;
        if (fault == nullptr || *fault != "zero") {
            for (const KeySimKey& key : state.keys) {
                if (found == capacity) break;
                slots[found++] = key.slot;
            }
        }
        *count = found;
        written = true;
    }
    std::string line = "KRGetSlotList";
    Field(&line, "context=0x%08x", context);
    Field(&line, "capacity=%u", capacity);
    Field(&line, "status=0x%08x", status);
    if (written) {
        Field(&line, "count=%u", *count);
        std::string list = "slots=";
        for (uint32_t i = 0; i < *count; ++i) {
            char id[16];
            if (FAILED(StringCchPrintfA(id, ARRAYSIZE(id), "%s0x%08x", i ? "," : "", slots[i]))) {
                break;
            }
            list += id;
        }
        line += ' ';
        line += list;
    } else {
        Field(&line, "count=-");
        Field(&line, "slots=-");
    }
    Journal(line);
    return status;
}

TokenStatus KEYSIM_CALL KROpen(uint32_t context, uint32_t slot, uint32_t* device)
{
    KeySimState state;
    uint32_t status = kKeySimOk;
    bool written = false;
    if (!LoadKeySimState(ModuleFolder(g_module), &state)) {
        status = kKeySimStateError;
    } else if (FaultStatus(state, "KROpen", &status)) {
    } else if (device == nullptr) {
        status = kKeySimBadArgument;
    } else if (!IsContext(context)) {
        status = kKeySimBadHandle;
    } else if (FindKeySimKey(state, slot) == nullptr) {
        status = kKeySimNoKey;
    } else if (g_devicesIssued == kMaxDevices) {
        status = kKeySimTooManyDevices;
    } else {
        Device& entry = g_devices[g_devicesIssued++];
        entry.slot = slot;
        entry.open = true;
        entry.verified = false;
        *device = kDeviceBase + static_cast<uint32_t>(g_devicesIssued);
        written = true;
    }
    std::string line = "KROpen";
    Field(&line, "context=0x%08x", context);
    Field(&line, "slot=0x%08x", slot);
    Field(&line, "status=0x%08x", status);
    if (written) {
        Field(&line, "device=0x%08x", *device);
    } else {
        Field(&line, "device=-");
    }
    Journal(line);
    return status;
}

TokenStatus KEYSIM_CALL KRGetSlotName(uint32_t context, uint32_t slot, char* name)
{
    KeySimState state;
    uint32_t status = kKeySimOk;
    size_t written = 0;
    const KeySimKey* key = nullptr;
    std::string text;
    if (!LoadKeySimState(ModuleFolder(g_module), &state)) {
        status = kKeySimStateError;
    } else if (FaultStatus(state, "KRGetSlotName", &status)) {
    } else if (name == nullptr) {
        status = kKeySimBadArgument;
    } else if (!IsContext(context)) {
        status = kKeySimBadHandle;
    } else if ((key = FindKeySimKey(state, slot)) == nullptr) {
        status = kKeySimNoKey;
    } else if (SlotName(state, *key, &text)) {
        // The caller's buffer is the library's contract: a real library
        // writes the whole name, however long.
        memcpy(name, text.c_str(), text.size() + 1);
        written = text.size() + 1;
    }
    std::string line = "KRGetSlotName";
    Field(&line, "context=0x%08x", context);
    Field(&line, "slot=0x%08x", slot);
    Field(&line, "status=0x%08x", status);
    Field(&line, "written=%u", static_cast<unsigned>(written));
    Journal(line);
    return status;
}

TokenStatus KEYSIM_CALL VKVerifyPIN(uint32_t device, uint32_t pinKind, uint8_t* pin,
                               uint32_t pinLength, uint32_t* retries, uint32_t reserved)
{
    const std::wstring dir = ModuleFolder(g_module);
    KeySimState state;
    uint32_t status = kKeySimOk;
    bool written = false;
    Device* entry = nullptr;
    KeySimKey* key = nullptr;
    if (!LoadKeySimState(dir, &state)) {
        status = kKeySimStateError;
    } else if (FaultStatus(state, "VKVerifyPIN", &status)) {
    } else if (pin == nullptr || retries == nullptr || pinKind != kPinKindUser ||
               pinLength > kKeySimPinBufferSize || reserved != 0) {
        status = kKeySimBadArgument;
    } else if ((entry = FindDevice(device)) == nullptr) {
        status = kKeySimBadHandle;
    } else if ((key = FindKeySimKey(&state, entry->slot)) == nullptr) {
        status = kKeySimNoKey;
    } else if (key->tries == 0) {
        entry->verified = false;
        status = kKeySimPinLocked;
    } else if (key->pin.empty()) {
        entry->verified = false;
        status = kKeySimPinNotSet;
    } else if (pinLength == key->pin.size() && memcmp(pin, key->pin.data(), pinLength) == 0) {
        entry->verified = true;
        key->tries = key->maxTries;
    } else {
        entry->verified = false;
        --key->tries;
        status = kKeySimPinIncorrect;
    }
    if (key != nullptr) {
        if (!SaveKeySimState(dir, state)) {
            entry->verified = false;
            status = kKeySimStateError;
        } else {
            *retries = key->tries;
            written = true;
        }
    }
    std::string line = "VKVerifyPIN";
    Field(&line, "device=0x%08x", device);
    Field(&line, "kind=%u", pinKind);
    line += " pin=" + PinHex(pin);
    Field(&line, "length=%u", pinLength);
    Field(&line, "reserved=0x%08x", reserved);
    Field(&line, "status=0x%08x", status);
    if (written) {
        Field(&line, "retries=%u", *retries);
    } else {
        Field(&line, "retries=-");
    }
    Journal(line);
    return status;
}

TokenStatus KEYSIM_CALL VKInitADF(uint32_t device, uint32_t a1, uint32_t a2, uint32_t a3,
                             uint32_t a4, uint32_t a5, uint32_t a6, uint32_t a7, uint32_t a8)
{
    const std::wstring dir = ModuleFolder(g_module);
    KeySimState state;
    uint32_t status = kKeySimOk;
    Device* entry = nullptr;
    KeySimKey* key = nullptr;
    // The key's state is read again after the wait: calls dispatched
    // meanwhile may have changed it.
    if (LoadKeySimState(dir, &state)) WaitInMessageLoop(state);
    if (!LoadKeySimState(dir, &state)) {
        status = kKeySimStateError;
    } else if (FaultStatus(state, "VKInitADF", &status)) {
    } else if ((a1 | a2 | a3 | a4 | a5 | a6 | a7 | a8) != 0) {
        status = kKeySimBadArgument;
    } else if ((entry = FindDevice(device)) == nullptr) {
        status = kKeySimBadHandle;
    } else if ((key = FindKeySimKey(&state, entry->slot)) == nullptr) {
        status = kKeySimNoKey;
    } else if (!entry->verified) {
        status = kKeySimNotVerified;
    } else {
        key->certs.clear();
        key->blank = true;
        key->pin.clear();
        key->tries = key->maxTries;
        entry->verified = false;
        if (!SaveKeySimState(dir, state)) status = kKeySimStateError;
    }
    std::string line = "VKInitADF";
    Field(&line, "device=0x%08x", device);
    Field(&line, "args=0x%x,0x%x,0x%x,0x%x,0x%x,0x%x,0x%x,0x%x", a1, a2, a3, a4, a5, a6, a7, a8);
    Field(&line, "status=0x%08x", status);
    Journal(line);
    return status;
}

TokenStatus KEYSIM_CALL KRClose(uint32_t device)
{
    // Whether the key-state broadcast already waits in this thread's queue.
    std::string message = std::string(kCspName) + "_KeyStateChangeMessage";
    UINT id = RegisterWindowMessageA(message.c_str());
    MSG waiting;
    bool queued = id != 0 && PeekMessageA(&waiting, nullptr, id, id, PM_NOREMOVE);

    KeySimState state;
    uint32_t status = kKeySimOk;
    Device* entry = nullptr;
    if (!LoadKeySimState(ModuleFolder(g_module), &state)) {
        status = kKeySimStateError;
    } else if (FaultStatus(state, "KRClose", &status)) {
    } else if ((entry = FindDevice(device)) == nullptr) {
        status = kKeySimBadHandle;
    } else {
        entry->open = false;
        entry->verified = false;
    }
    std::string line = "KRClose";
    Field(&line, "device=0x%08x", device);
    Field(&line, "status=0x%08x", status);
    Field(&line, "keystate_queued=%d", queued ? 1 : 0);
    Journal(line);
    return status;
}

// The sixty entry points the tool binds but never calls.
#define SIM_UNSUPPORTED_CALLED(name)
#define SIM_UNSUPPORTED_BOUND(name) \
    TokenStatus KEYSIM_CALL name(void) { return Unsupported(#name); }
#define SIM_UNSUPPORTED(name, kind) SIM_UNSUPPORTED_##kind(name)
TOKEN_API_ENTRY_POINTS(SIM_UNSUPPORTED)
#undef SIM_UNSUPPORTED
#undef SIM_UNSUPPORTED_BOUND
#undef SIM_UNSUPPORTED_CALLED

}  // extern "C"

#ifndef KEYSIM_CDECL
static_assert(std::is_same<decltype(&KREstablishContext), PFN_KREstablishContext>::value, "");
static_assert(std::is_same<decltype(&KRGetSlotList), PFN_KRGetSlotList>::value, "");
static_assert(std::is_same<decltype(&KROpen), PFN_KROpen>::value, "");
static_assert(std::is_same<decltype(&KRGetSlotName), PFN_KRGetSlotName>::value, "");
static_assert(std::is_same<decltype(&VKVerifyPIN), PFN_VKVerifyPIN>::value, "");
static_assert(std::is_same<decltype(&VKInitADF), PFN_VKInitADF>::value, "");
static_assert(std::is_same<decltype(&KRClose), PFN_KRClose>::value, "");
#endif
