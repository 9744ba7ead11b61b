// The fixed sequence of token calls that initialises the first connected key
// with the built-in PIN.
#pragma once

#include <windows.h>
#include <stdint.h>

const int kMaxSlots = 32;
const int kPinBufferSize = 32;

// Everything one run knows about the key. Created fresh, on the stack, for
// every run.
struct KeySession {
    uint32_t context = 0;
    uint32_t device = 0;  // 0: no key open
    uint32_t slots[kMaxSlots] = {};
    uint32_t slotCount = kMaxSlots;
    char slotName[MAX_PATH] = {};  // the key's reader name, always terminated
    // False when the library reported a reader name too long for slotName:
    // the name is then unknown (left empty), and nothing may be derived
    // from it.
    bool slotNameFits = true;
    // The built-in initialisation PIN, zero-filled behind its six characters.
    uint8_t pin[kPinBufferSize] = {'t', 'q', '8', '0', '5', '3'};
    uint32_t pinRetries = 0;
};

// Opens the first connected key, verifies the built-in PIN and initialises
// the key's application, which clears all its data. True only when all of
// that succeeded. The key stays open in the session when it was opened.
bool InitializeFirstKey(KeySession& session);

// Closes the key if one is open and unloads the token library. Called once
// at the end of every run, successful or not.
void CloseKeySession(KeySession& session);
