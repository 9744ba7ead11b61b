#include "common/function_binder.h"

namespace {

void ClearFunctions(const FunctionBinding* bindings, size_t count)
{
    for (size_t i = 0; i < count; ++i) bindings[i].store(bindings[i].member, NULL);
}

}  // namespace

bool BindFunctions(HMODULE module, const FunctionBinding* bindings, size_t count,
                   ProcLookup lookup)
{
    bool bound = module != NULL;
    for (size_t i = 0; i < count && bound; ++i) {
        FARPROC address = lookup(module, bindings[i].name);
        bindings[i].store(bindings[i].member, address);
        bound = address != NULL || !bindings[i].needed;
    }
    if (!bound) ClearFunctions(bindings, count);
    return bound;
}

HMODULE LoadAndBindFunctions(LPCSTR library, const FunctionBinding* bindings, size_t count,
                             ProcLookup lookup, LibraryLoad load, LibraryFree release)
{
    HMODULE module = load(library);
    if (module == NULL) {
        ClearFunctions(bindings, count);
        return NULL;
    }
    if (!BindFunctions(module, bindings, count, lookup)) {
        release(module);
        return NULL;
    }
    return module;
}
