# add_pack_program(<target> [NOT_IN_TESTS] [AS_BUILT]
#                  [RUN <name> ORDER <n> SECONDS <limit> [GTEST] [WINDOWS] [ADMIN]])
#
# Puts a program (or DLL) of the build into the test pack
# (scripts/pack-tests.sh); the folder that defines the target declares it,
# after linking it. The program links later_imports (pack/later_imports.c)
# so that it loads on Windows before Vista, and an executable without the
# tool's resources gets the pack's manifest (pack/test_program.rc): without
# one, Windows virtualizes a standard user's writes to HKLM and the system
# folder, and they seem to succeed. AS_BUILT: neither (the tool's own build,
# the DLL the tests plant). The file goes into the pack's tests\ folder,
# unless NOT_IN_TESTS: scripts/pack-tests.sh copies it itself (the runner,
# the simulator's folder). RUN: RunTests.exe runs it under <name> (on its
# command line and in the report), the programs in ascending ORDER, each
# ended after SECONDS; GTEST: a GoogleTest program (else exit code 0
# passes), WINDOWS: it opens windows, ADMIN: it writes HKEY_LOCAL_MACHINE
# and the system folder.
#
# At the end of the configuration, when every folder has declared its
# programs, the lists are written into the build's pack/: pack_programs.h
# (the runner's table), pack_files.txt (the files of tests\, for
# scripts/pack-tests.sh) and pack_programs.txt (the programs that link
# later_imports, for app.hardening).
include_guard(GLOBAL)

function(add_pack_program target)
    cmake_parse_arguments(ARG "NOT_IN_TESTS;AS_BUILT;GTEST;WINDOWS;ADMIN" "RUN;ORDER;SECONDS" "" ${ARGN})
    if(NOT ARG_AS_BUILT)
        target_link_libraries(${target} PRIVATE later_imports)
        get_target_property(type ${target} TYPE)
        get_target_property(libraries ${target} LINK_LIBRARIES)
        if(type STREQUAL "EXECUTABLE" AND NOT "inittool_resources" IN_LIST libraries)
            set(rc ${PROJECT_SOURCE_DIR}/pack/test_program.rc)
            target_sources(${target} PRIVATE ${rc})
            set_property(SOURCE ${rc} TARGET_DIRECTORY ${target}
                         PROPERTY OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/pack/test_program.manifest)
        endif()
        set_property(GLOBAL APPEND PROPERTY PACK_PROGRAMS "$<TARGET_FILE:${target}>")
    endif()
    if(NOT ARG_NOT_IN_TESTS)
        set_property(GLOBAL APPEND PROPERTY PACK_TESTS_FILES "$<TARGET_FILE:${target}>")
    endif()
    if(ARG_RUN)
        set(entry "${ARG_ORDER} {\"${ARG_RUN}\", L\"$<TARGET_FILE_NAME:${target}>\"")
        foreach(flag GTEST WINDOWS ADMIN)
            if(ARG_${flag})
                string(APPEND entry ", true")
            else()
                string(APPEND entry ", false")
            endif()
        endforeach()
        set_property(GLOBAL APPEND PROPERTY PACK_RUNS "${entry}, ${ARG_SECONDS}},")
    endif()
endfunction()

function(write_pack_lists)
    get_property(runs GLOBAL PROPERTY PACK_RUNS)
    list(SORT runs COMPARE NATURAL)
    list(TRANSFORM runs REPLACE "^[0-9]+ " "    ")
    list(JOIN runs "\n" runs)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/pack/pack_programs.h
         CONTENT "// The programs RunTests.exe runs, in order (add_pack_program, cmake/TestPack.cmake).\n${runs}\n")
    get_property(files GLOBAL PROPERTY PACK_TESTS_FILES)
    list(JOIN files "\n" files)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/pack/pack_files.txt CONTENT "${files}\n")
    get_property(programs GLOBAL PROPERTY PACK_PROGRAMS)
    list(JOIN programs "\n" programs)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/pack/pack_programs.txt CONTENT "${programs}\n")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL write_pack_lists)
