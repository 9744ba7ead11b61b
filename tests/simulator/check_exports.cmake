# Checks with objdump that Korrim.dll exports exactly the 67 entry points of
# keyinit/token_api.h under their plain names, and that each variant
# (variants/no_<Name>/Korrim.dll) lacks exactly its one name; the caller-pops
# build (variants/cdecl/Korrim.dll) exports them all.
#
#   cmake -DOBJDUMP=<objdump> -DHEADER=<token_api.h> -DDIR=<simulator dir>
#         -DMISSING_EXPORTS=<name,name,...> -P check_exports.cmake
file(READ "${HEADER}" header)
string(REGEX MATCHALL "\n    X\\([A-Za-z]+, (CALLED|BOUND)\\)" entries "${header}")
set(all "")
foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\n    X\\(([A-Za-z]+),.*" "\\1" name "${entry}")
    list(APPEND all "${name}")
endforeach()
list(LENGTH all count)
if(NOT count EQUAL 67)
    message(FATAL_ERROR "token_api.h lists ${count} entry points, expected 67")
endif()
list(SORT all)

function(check dll expected)
    execute_process(COMMAND "${OBJDUMP}" -p "${dll}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "objdump failed on ${dll}")
    endif()
    # The export name table: lines "\t[   n] Name" after its heading.
    string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
    if(start EQUAL -1)
        message(FATAL_ERROR "${dll} has no export name table")
    endif()
    string(SUBSTRING "${dump}" ${start} -1 table)
    # Square brackets would nest inside CMake lists: rows "\t<   n> Name".
    string(REPLACE "[" "<" table "${table}")
    string(REPLACE "]" ">" table "${table}")
    string(REGEX MATCH "^[^\n]*\n((\t< *[0-9]+> [^\n]*\n)*)" table "${table}")
    string(REGEX MATCHALL "> [^\n]*" rows "${CMAKE_MATCH_1}")
    set(names "")
    foreach(row IN LISTS rows)
        string(SUBSTRING "${row}" 2 -1 name)
        list(APPEND names "${name}")
    endforeach()
    list(SORT names)
    if(NOT names STREQUAL expected)
        message(FATAL_ERROR "${dll} exports\n  ${names}\nexpected\n  ${expected}")
    endif()
    list(LENGTH names n)
    message(STATUS "${dll}: ${n} exports as expected")
endfunction()

check("${DIR}/Korrim.dll" "${all}")
check("${DIR}/variants/cdecl/Korrim.dll" "${all}")
string(REPLACE "," ";" variants "${MISSING_EXPORTS}")
foreach(missing IN LISTS variants)
    set(expected ${all})
    list(REMOVE_ITEM expected "${missing}")
    check("${DIR}/variants/no_${missing}/Korrim.dll" "${expected}")
endforeach()
