// What the tests make outside their own folders, in one list that the tests
// and the test pack's journal (pack/) both read: a name a test makes is
// journaled, and put back after a run, because it is here.
//
// Each list is an X-macro: MADE_BY_TESTS_<LIST>(X) calls X once per entry
// with narrow string literals; MADE_BY_TESTS_WIDE turns one into its wide
// form. For example, a table of wide names:
//
//   #define AS_WIDE(name) MADE_BY_TESTS_WIDE(name),
//   const wchar_t* const kRootNames[] = {MADE_BY_TESTS_IN_CACHE_ROOT(AS_WIDE)};
//
// Names with characters beyond ASCII are written as universal character
// names (\u....), so that each form holds them in its own encoding (the
// narrow form in UTF-8).
#pragma once

#define MADE_BY_TESTS_WIDE_(text) L##text
#define MADE_BY_TESTS_WIDE(text) MADE_BY_TESTS_WIDE_(text)

// The CSP's registration under HKEY_LOCAL_MACHINE (under WOW64 in the 32-bit
// view), with the values the simulator's registration writes.
#define MADE_BY_TESTS_CSP_KEY "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Varkeld KSV CSP"

// The names the tests make in each cache root. The first is the CSP's cache
// folder; the others are where a test puts it, or a folder of its own, while
// a link stands in its place.
#define MADE_BY_TESTS_CACHE_FOLDER "Varkeld KSV CSP"
#define MADE_BY_TESTS_IN_CACHE_ROOT(X) \
    X(MADE_BY_TESTS_CACHE_FOLDER)      \
    X("Varkeld KSV CSP elsewhere")     \
    X("certcache-test-elsewhere")

// The simulator's files, as a test copies them into the system folder or into
// a folder of its own.
#define MADE_BY_TESTS_SIMULATOR_FILES(X) \
    X("Korrim.dll")                      \
    X("VarkeldKsvCsp.dll")               \
    X("keysim.ini")                      \
    X("keysim-journal.txt")              \
    X("KorrimAux.dll")

// What a folder of the tests holds.
enum MadeByTestsHolds {
    kMadeHoldsData,       // files of the tests' data (tests/data), any names
    kMadeHoldsSimulator,  // the simulator's files (MADE_BY_TESTS_SIMULATOR_FILES)
    kMadeHoldsFolders,    // folders of this list, only
};

// The folders the tests make on the system drive, from its root (a test
// writes "C:\\" before each), parents before their children, with what each
// holds.
#define MADE_BY_TESTS_ON_SYSTEM_DRIVE(X)                 \
    X("certcache-test-shortnames", kMadeHoldsData)       \
    X("certcache-test-emptyprefix", kMadeHoldsData)      \
    X("Program Files\\Maker", kMadeHoldsSimulator)       \
    X("keysim-\u6dfa", kMadeHoldsFolders)                \
    X("keysim-\u6dfa\\lib", kMadeHoldsSimulator)         \
    X("keysim\u6dfa", kMadeHoldsSimulator)

// Wine's per-program settings that the tests write under HKEY_CURRENT_USER
// (under Wine only).
#define MADE_BY_TESTS_WINE_KEYS(X)                                  \
    X("Software\\Wine\\AppDefaults\\VKKSVInitTool.exe")             \
    X("Software\\Wine\\AppDefaults\\VKKSVInitTool.exe\\DllOverrides") \
    X("Software\\Wine\\AppDefaults\\cacheroot_probe.exe")
