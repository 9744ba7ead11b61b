// Calls into the token library that survive either x86 calling convention.
//
// The library's entry points are plain C functions exported by name; nothing
// in their names says whether they remove their own arguments from the stack
// (__stdcall) or leave that to the caller (__cdecl). A call made with the
// wrong assumption leaves the stack pointer off by the arguments' size, and
// the caller then returns through garbage. Every call therefore goes through
// CallTokenEntryPoint, which pushes the arguments itself and restores the
// stack pointer from its own frame afterwards, whatever the callee did.
#pragma once

#include <type_traits>

#include "keyinit/token_api.h"

// Calls entry with count 32-bit arguments, args[0] first, and returns what it
// returned in EAX.
extern "C" TokenStatus CallTokenEntryPoint(FARPROC entry, const uint32_t* args, uint32_t count);

inline uint32_t TokenArgument(uint32_t value)
{
    return value;
}

template <typename T>
uint32_t TokenArgument(T* pointer)
{
    static_assert(sizeof(T*) == sizeof(uint32_t), "a 32-bit library takes 32-bit pointers");
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// Calls a bound entry point whose signature is Fn (one of the PFN_ types):
// the arguments are checked against Fn at compile time.
template <typename Fn, typename... Args>
TokenStatus CallToken(FARPROC entry, Args... args)
{
    static_assert(std::is_invocable_r<TokenStatus, Fn, Args...>::value,
                  "the arguments do not match the entry point's signature");
    const uint32_t values[] = {TokenArgument(args)...};
    return CallTokenEntryPoint(entry, values, sizeof...(Args));
}
