# Writes a module-definition (.def) file that exports the token library's
# entry points under their undecorated names, read from the one list in
# keyinit/token_api.h. OMIT names entry points to leave out (for libraries
# that lack an export on purpose).
#
#   token_api_def(<def file> LIBRARY <dll name> [OMIT <name>...])
function(token_api_def def_file)
    cmake_parse_arguments(ARG "" "LIBRARY" "OMIT" ${ARGN})
    # The list's lines end in a backslash, which would escape the list
    # separator of file(STRINGS): match the entries without it instead.
    file(READ "${PROJECT_SOURCE_DIR}/keyinit/token_api.h" header)
    string(REGEX MATCHALL "\n    X\\([A-Za-z]+, (CALLED|BOUND)\\)" lines "${header}")
    set(text "LIBRARY ${ARG_LIBRARY}\nEXPORTS\n")
    set(count 0)
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^\n    X\\(([A-Za-z]+),.*" "\\1" name "${line}")
        math(EXPR count "${count} + 1")
        if(NOT name IN_LIST ARG_OMIT)
            string(APPEND text "    ${name}\n")
        endif()
    endforeach()
    if(NOT count EQUAL 67)
        message(FATAL_ERROR "token_api.h lists ${count} entry points, expected 67")
    endif()
    file(CONFIGURE OUTPUT "${def_file}" CONTENT "${text}" @ONLY)
endfunction()
