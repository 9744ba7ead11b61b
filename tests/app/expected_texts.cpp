#include "expected_texts.h"

#include <windows.h>

#include <cstdlib>

#include "common/function_binder.h"
#include "languages.h"

namespace {

// The tag of the user-interface language; null for one the tool lacks.
const char* UiLanguageTag()
{
    struct {
        LANGID(WINAPI* GetUserDefaultUILanguage)();
    } kernel = {};
    const FunctionBinding bindings[] = {OPTIONAL_FUNCTION(kernel, GetUserDefaultUILanguage)};
    BindFunctions(GetModuleHandleA("kernel32.dll"), bindings);
    LANGID language = kernel.GetUserDefaultUILanguage != NULL ? kernel.GetUserDefaultUILanguage()
                                                              : GetUserDefaultLangID();
#define TAG_OF(id, tag) \
    if (language == (id)) return tag;
    TOOL_LANGUAGE_TAGS(TAG_OF)
#undef TAG_OF
    return NULL;
}

}  // namespace

const LanguageTexts& ExpectedTexts()
{
    const char* tag = getenv("E2E_LANGUAGE");
    return TextsFor(tag != NULL && *tag != '\0' ? tag : UiLanguageTag());
}
