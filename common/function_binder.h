// The one way the tool binds functions it finds at run time: by name, from a
// module (usually a system DLL loaded by name from the system folder), into
// a table of typed members. A function the table cannot do without is
// "needed": binding fails without it and leaves nothing bound. One it may
// lack is "optional": left null where it is missing, for the caller's plain
// fallback. Each entry names its member and its function together
// (NEEDED_FUNCTION, OPTIONAL_FUNCTION), so that no list of names can fall
// out of step with the members.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "common/function_lookup.h"
#include "common/system_library.h"

typedef HMODULE(WINAPI* LibraryLoad)(LPCSTR name);
typedef BOOL(WINAPI* LibraryFree)(HMODULE module);

// One member of a table: the function's name, the member its address goes
// into (through store, which knows the member's type), and whether the
// table is of use without it.
struct FunctionBinding {
    LPCSTR name;
    void* member;
    void (*store)(void* member, FARPROC address);
    bool needed;
};

template <typename Fn>
void StoreFunction(void* member, FARPROC address)
{
    *static_cast<Fn*>(member) = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

template <typename Fn>
FunctionBinding NeededFunction(Fn& member, LPCSTR name)
{
    FunctionBinding binding = {name, &member, StoreFunction<Fn>, true};
    return binding;
}

template <typename Fn>
FunctionBinding OptionalFunction(Fn& member, LPCSTR name)
{
    FunctionBinding binding = {name, &member, StoreFunction<Fn>, false};
    return binding;
}

// The member table.name bound to the function of the same name.
#define NEEDED_FUNCTION(table, name) NeededFunction((table).name, #name)
#define OPTIONAL_FUNCTION(table, name) OptionalFunction((table).name, #name)

// Binds every entry from module through lookup: GetProcAddress for what
// every Windows the tool runs on has, LookUpOptionalFunction for what is
// newer than Windows NT 4.0 (function_lookup.h), or a test's own. True when
// every needed function was found, the missing optional ones left null;
// false, with every member null, when module is null or a needed one is
// missing.
bool BindFunctions(HMODULE module, const FunctionBinding* bindings, size_t count,
                   ProcLookup lookup = GetProcAddress);

template <size_t N>
bool BindFunctions(HMODULE module, const FunctionBinding (&bindings)[N],
                   ProcLookup lookup = GetProcAddress)
{
    return BindFunctions(module, bindings, N, lookup);
}

// Loads the DLL `library` through load (LoadSystemLibrary: from the system
// folder only) and binds the entries from it. Returns the module, which the
// caller frees; null, with nothing left loaded and every member null, when
// the library or a needed function is missing.
HMODULE LoadAndBindFunctions(LPCSTR library, const FunctionBinding* bindings, size_t count,
                             ProcLookup lookup = GetProcAddress,
                             LibraryLoad load = LoadSystemLibrary, LibraryFree release = FreeLibrary);

template <size_t N>
HMODULE LoadAndBindFunctions(LPCSTR library, const FunctionBinding (&bindings)[N],
                             ProcLookup lookup = GetProcAddress,
                             LibraryLoad load = LoadSystemLibrary, LibraryFree release = FreeLibrary)
{
    return LoadAndBindFunctions(library, bindings, N, lookup, load, release);
}
