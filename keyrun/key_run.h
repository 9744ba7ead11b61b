// The whole initialisation run that the Yes button starts, and the broadcast
// that tells other programs the key's state has changed.
#pragma once

// Binds what the purge needs from the system, then initialises the first
// key; only if that succeeded, removes the key's cached certificates and
// broadcasts the key-state change; then closes the key and unloads the token
// library. Returns the initialisation's outcome. When the system lacks the
// certificate functions the key is not touched and the outcome is false.
bool RunKeyInitialization();

// The run with the certificate functions taken from `certificateLibrary` in
// the system folder (RunKeyInitialization: crypt32.dll).
bool RunKeyInitializationUsing(const char* certificateLibrary);

// Posts the registered key-state-change message to all top-level windows,
// with both parameters 0. Fire and forget.
void BroadcastKeyStateChange();
