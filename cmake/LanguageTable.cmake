# Reads the table of cmake/Languages.cmake into
#   TOOL_LOCALES: the tool's locales, in the table's order;
#   TEST_LOCALES: those and the fallback's;
#   LANGUAGE_ID_<locale> (decimal), LANGUAGE_TAG_<locale>,
#   LANGUAGE_CODE_PAGE_<locale>;
# and writes languages.h into the build folder for the tests' C++ code.
set(TOOL_LOCALES)
set(TEST_LOCALES)
macro(fallback locale id tag codepage)
    math(EXPR LANGUAGE_ID_${locale} "${id}" OUTPUT_FORMAT DECIMAL)
    set(LANGUAGE_TAG_${locale} ${tag})
    set(LANGUAGE_CODE_PAGE_${locale} ${codepage})
    list(APPEND TEST_LOCALES ${locale})
endmacro()
macro(language locale id tag codepage font)
    fallback(${locale} ${id} ${tag} ${codepage})
    list(APPEND TOOL_LOCALES ${locale})
endmacro()
include(${CMAKE_CURRENT_LIST_DIR}/Languages.cmake)

# The code pages whose double-byte characters can end in 0x5C, the
# backslash: 932 (Japanese), 936 (Chinese, PRC), 950 (Chinese, Taiwan).
set(CODE_PAGES_WITH_BACKSLASH_TRAIL_BYTES 932 936 950)

set(ids)
set(tags)
foreach(locale IN LISTS TOOL_LOCALES)
    math(EXPR id "${LANGUAGE_ID_${locale}}" OUTPUT_FORMAT HEXADECIMAL)
    list(APPEND ids "${id}")
    list(APPEND tags "X(${id}, \"${LANGUAGE_TAG_${locale}}\")")
endforeach()
string(REPLACE ";" ", " TOOL_LANGUAGE_IDS "${ids}")
string(REPLACE ";" " " TOOL_LANGUAGE_TAGS "${tags}")
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/languages/languages.h" CONTENT
"/* Written by CMake from cmake/Languages.cmake. */
#pragma once

/* The language ids of the tool's resources. */
#define TOOL_LANGUAGE_IDS ${TOOL_LANGUAGE_IDS}

/* X(language id, tag) for each of them: the tag names its expected texts. */
#define TOOL_LANGUAGE_TAGS(X) ${TOOL_LANGUAGE_TAGS}
")
set(LANGUAGES_INCLUDE_DIR "${CMAKE_BINARY_DIR}/languages")
