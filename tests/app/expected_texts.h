// The texts the tests expect: those of the user-interface language they run
// under (tool_texts.h holds each language's).
#pragma once

#include "tool_texts.h"

// The texts of E2E_LANGUAGE, a tag of cmake/Languages.cmake, where it is set
// (the build sets it with the language it runs a test under); otherwise of
// the user's user-interface language (GetUserDefaultUILanguage, looked up at
// run time; the user's language where it is missing), as the test pack runs
// on a PC. A language the tool lacks shows English.
const LanguageTexts& ExpectedTexts();
