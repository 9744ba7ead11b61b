// The whole initialisation run that the Yes button starts, and the broadcast
// that tells other programs the key's state has changed.
#pragma once

// Initialises the first key; only if that succeeded, removes the key's cached
// certificates and broadcasts the key-state change; then closes the key and
// unloads the token library. Returns the initialisation's outcome.
bool RunKeyInitialization();

// Posts the registered key-state-change message to all top-level windows,
// with both parameters 0. Fire and forget.
void BroadcastKeyStateChange();
