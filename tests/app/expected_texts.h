// The tool's texts in each language it has, and the ones the tests expect:
// those of the user-interface language they run under.
#pragma once

#include <windows.h>

struct Texts {
    const char* language;  // as E2E_LANGUAGE names it
    const wchar_t* caption;
    const wchar_t* warning;
    const wchar_t* ok;
    const wchar_t* failed;
    const wchar_t* yes;
    const wchar_t* no;
    const wchar_t* okButton;
};

// The texts of E2E_LANGUAGE where it is set (the build sets it with the
// language it runs a test under, the test pack with the PC's); otherwise of
// the user's user-interface language (GetUserDefaultUILanguage, looked up at
// run time; the user's language where it is missing). A language the tool
// lacks falls back to English.
const Texts& ExpectedTexts();
