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

// The names the tests make in each cache root: the CSP's cache folder, and
// where the purge's case of a folder moved during its checks puts it for a
// moment.
#define MADE_BY_TESTS_CACHE_FOLDER "Varkeld KSV CSP"
#define MADE_BY_TESTS_CACHE_FOLDER_ASIDE MADE_BY_TESTS_CACHE_FOLDER " elsewhere"
#define MADE_BY_TESTS_IN_CACHE_ROOT(X) \
    X(MADE_BY_TESTS_CACHE_FOLDER)      \
    X(MADE_BY_TESTS_CACHE_FOLDER_ASIDE)

// The simulator's files, as a test copies them into the system folder or into
// a folder of its own: the token library, the CSP, the simulator's state and
// call journal (simulator/keysim_state.h), and the token library's helper.
#define MADE_BY_TESTS_TOKEN_LIBRARY "Korrim.dll"
#define MADE_BY_TESTS_CSP_LIBRARY "VarkeldKsvCsp.dll"
#define MADE_BY_TESTS_SIMULATOR_FILES(X) \
    X(MADE_BY_TESTS_TOKEN_LIBRARY)       \
    X(MADE_BY_TESTS_CSP_LIBRARY)         \
    X("keysim.ini")                      \
    X("keysim-journal.txt")              \
    X("KorrimAux.dll")

// What a folder of the tests holds.
enum MadeByTestsHolds {
    kMadeHoldsData,       // files of the tests' data (tests/data), any names
    kMadeHoldsSimulator,  // the simulator's files (MADE_BY_TESTS_SIMULATOR_FILES)
    kMadeHoldsFolders,    // folders of this list, only
};

// The purge's case of the folders it holds: a root and its cache folder;
// and the folders of its cases of short names and of an empty prefix.
#define MADE_BY_TESTS_HOLD "certcache-test-hold"
#define MADE_BY_TESTS_SHORTNAMES "certcache-test-shortnames"
#define MADE_BY_TESTS_EMPTYPREFIX "certcache-test-emptyprefix"

// The folders the tests make on the system drive, from its root (a test
// writes "C:\\" before each), parents before their children, with what each
// holds: the simulator's copy where the maker installs, its copy under a
// name with an ideograph, and its copy under "keysim" followed by the first
// ideograph whose second byte in the ANSI code page is 0x5C (932, 936, 950;
// token_library_test.cpp finds it).
#define MADE_BY_TESTS_MAKER_FOLDER "Program Files\\Maker"
#define MADE_BY_TESTS_IDEOGRAPH_FOLDER "keysim-\u6dfa"
#define MADE_BY_TESTS_IDEOGRAPH_LIB MADE_BY_TESTS_IDEOGRAPH_FOLDER "\\lib"
#define MADE_BY_TESTS_TRAIL_BYTE_FOLDER "keysim"
#define MADE_BY_TESTS_ON_SYSTEM_DRIVE(X)                           \
    X(MADE_BY_TESTS_SHORTNAMES, kMadeHoldsData)                    \
    X(MADE_BY_TESTS_EMPTYPREFIX, kMadeHoldsData)                   \
    X(MADE_BY_TESTS_MAKER_FOLDER, kMadeHoldsSimulator)             \
    X(MADE_BY_TESTS_IDEOGRAPH_FOLDER, kMadeHoldsFolders)           \
    X(MADE_BY_TESTS_IDEOGRAPH_LIB, kMadeHoldsSimulator)            \
    X(MADE_BY_TESTS_TRAIL_BYTE_FOLDER "\u4e88", kMadeHoldsSimulator) \
    X(MADE_BY_TESTS_TRAIL_BYTE_FOLDER "\u4e57", kMadeHoldsSimulator) \
    X(MADE_BY_TESTS_TRAIL_BYTE_FOLDER "\u4e48", kMadeHoldsSimulator) \
    X(MADE_BY_TESTS_HOLD, kMadeHoldsFolders)                       \
    X(MADE_BY_TESTS_HOLD "\\" MADE_BY_TESTS_CACHE_FOLDER, kMadeHoldsData)

// Wine's per-program settings that the tests write under HKEY_CURRENT_USER
// (under Wine only).
#define MADE_BY_TESTS_TOOL_WINE_KEY "Software\\Wine\\AppDefaults\\VKKSVInitTool.exe"
#define MADE_BY_TESTS_TOOL_DLL_OVERRIDES MADE_BY_TESTS_TOOL_WINE_KEY "\\DllOverrides"
#define MADE_BY_TESTS_PROBE "cacheroot_probe.exe"
#define MADE_BY_TESTS_PROBE_WINE_KEY "Software\\Wine\\AppDefaults\\" MADE_BY_TESTS_PROBE
#define MADE_BY_TESTS_WINE_KEYS(X)    \
    X(MADE_BY_TESTS_TOOL_WINE_KEY)      \
    X(MADE_BY_TESTS_TOOL_DLL_OVERRIDES) \
    X(MADE_BY_TESTS_PROBE_WINE_KEY)

// The link cases' own cache roots, on the system drive ("C:\\" before each),
// parents before their children. The tool's root from Vista on is
// <Public>\Documents\TEMP: with the Public folder pointed at a case's folder
// (MADE_BY_TESTS_CHANGED_VALUES) the tool looks there. In the folder case
// that root is a folder whose cache folder is a link; in the root case the
// root is a link; both lead into the real root, which holds the files.
#define MADE_BY_TESTS_LINKS_FOLDER "certcache-test-links"
#define MADE_BY_TESTS_LINKS_REAL_ROOT MADE_BY_TESTS_LINKS_FOLDER "\\real-root"
#define MADE_BY_TESTS_LINKS_FOLDER_CASE MADE_BY_TESTS_LINKS_FOLDER "\\folder-case"
#define MADE_BY_TESTS_LINKS_ROOT_CASE MADE_BY_TESTS_LINKS_FOLDER "\\root-case"
#define MADE_BY_TESTS_LINKS_NEW_ROOT MADE_BY_TESTS_LINKS_FOLDER "\\new-root"
#define MADE_BY_TESTS_ROOT_IN_PUBLIC "\\Documents\\TEMP"
#define MADE_BY_TESTS_LINKED_ROOT_FOLDERS(X)                                              \
    X(MADE_BY_TESTS_LINKS_FOLDER, kMadeHoldsFolders)                                      \
    X(MADE_BY_TESTS_LINKS_REAL_ROOT, kMadeHoldsFolders)                                   \
    X(MADE_BY_TESTS_LINKS_REAL_ROOT "\\" MADE_BY_TESTS_CACHE_FOLDER, kMadeHoldsData)      \
    X(MADE_BY_TESTS_LINKS_FOLDER_CASE, kMadeHoldsFolders)                                 \
    X(MADE_BY_TESTS_LINKS_FOLDER_CASE "\\Documents", kMadeHoldsFolders)                   \
    X(MADE_BY_TESTS_LINKS_FOLDER_CASE MADE_BY_TESTS_ROOT_IN_PUBLIC, kMadeHoldsFolders)    \
    X(MADE_BY_TESTS_LINKS_ROOT_CASE, kMadeHoldsFolders)                                   \
    X(MADE_BY_TESTS_LINKS_ROOT_CASE "\\Documents", kMadeHoldsFolders)                     \
    X(MADE_BY_TESTS_LINKS_NEW_ROOT, kMadeHoldsFolders)                                    \
    X(MADE_BY_TESTS_LINKS_NEW_ROOT "\\Documents", kMadeHoldsFolders)                      \
    X(MADE_BY_TESTS_LINKS_NEW_ROOT MADE_BY_TESTS_ROOT_IN_PUBLIC, kMadeHoldsData)

// The links the tests make on the system drive (link, the folder it leads
// to). The pack removes one only while it still leads there and nothing was
// at its path before the run.
#define MADE_BY_TESTS_LINKS(X)                                                            \
    X(MADE_BY_TESTS_LINKS_FOLDER_CASE MADE_BY_TESTS_ROOT_IN_PUBLIC "\\" MADE_BY_TESTS_CACHE_FOLDER, \
      MADE_BY_TESTS_LINKS_REAL_ROOT "\\" MADE_BY_TESTS_CACHE_FOLDER)                      \
    X(MADE_BY_TESTS_LINKS_ROOT_CASE MADE_BY_TESTS_ROOT_IN_PUBLIC, MADE_BY_TESTS_LINKS_REAL_ROOT)

// The values under HKEY_LOCAL_MACHINE that a test changes while it runs and
// puts back as it read them (key, value): the Public folder, from which
// Windows and Wine make the default path of the common documents folder.
#define MADE_BY_TESTS_PUBLIC_KEY "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
#define MADE_BY_TESTS_CHANGED_VALUES(X) X(MADE_BY_TESTS_PUBLIC_KEY, "Public")

