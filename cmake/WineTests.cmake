# add_wine_gtest(<name> <target> [FILTER <gtest filter>] [KEYSIM]
#                [KEYSIM_DIR <folder>] [LOCK <name>] [NO_SKIPS]
#                [ENVIRONMENT <var=value>...] [PROPERTIES ...])
#
# Registers a gtest program as one test: all its cases (or those FILTER
# selects) in one process under Wine, as the test pack runs them on Windows.
# A case of its own would cost a Wine start each: about a second in the
# VM, more than most cases take. gtest names each failed case in
# the program's output.
#
# The test holds the lock "wineprefix" (the registry, files and certificate
# stores of the build's Wine prefix), or LOCK. KEYSIM: the program drives
# the key simulator, of the build's simulator/ folder or of KEYSIM_DIR's (a
# copy with state of its own, for tests that run beside the others); the
# variable KEYSIM_DIR names that folder and KEYSIM_VARIANTS its variants
# folder (Windows form), and the program is built after the simulator.
# ENVIRONMENT adds variables (LANG=zh_CN.UTF-8 ...). The test
# fails when a case fails, when no case ran, and, with NO_SKIPS, when one was
# skipped. A program run in a virtual desktop (in-wine-desktop.sh: its exit
# code does not come through) passes on its output.
function(add_wine_gtest name target)
    cmake_parse_arguments(ARG "KEYSIM;NO_SKIPS" "FILTER;KEYSIM_DIR;LOCK" "ENVIRONMENT;PROPERTIES" ${ARGN})
    set(environment ${ARG_ENVIRONMENT})
    if(ARG_KEYSIM)
        if(NOT ARG_KEYSIM_DIR)
            set(ARG_KEYSIM_DIR "${CMAKE_BINARY_DIR}/simulator")
        endif()
        to_wine_path(dir "${ARG_KEYSIM_DIR}")
        to_wine_path(variants "${ARG_KEYSIM_DIR}/variants")
        list(APPEND environment "KEYSIM_DIR=${dir}" "KEYSIM_VARIANTS=${variants}")
        add_dependencies(${target} keysim_all)
    endif()
    if(NOT ARG_LOCK)
        set(ARG_LOCK wineprefix)
    endif()
    set(args)
    if(ARG_FILTER)
        set(args "--gtest_filter=${ARG_FILTER}")
    endif()
    add_test(NAME ${name} COMMAND ${target} ${args})
    set(fail "\\[  FAILED  \\]" "\\[  PASSED  \\] 0 tests")
    if(ARG_NO_SKIPS)
        list(APPEND fail "\\[  SKIPPED \\]")
    endif()
    set(pass)
    get_target_property(emulator ${target} CROSSCOMPILING_EMULATOR)
    if(emulator STREQUAL IN_WINE_DESKTOP)
        set(pass PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [1-9][0-9]* tests?\\.")
    endif()
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK ${ARG_LOCK}
        TIMEOUT ${TIME_LIMIT_wine_test}
        ENVIRONMENT "${environment}" FAIL_REGULAR_EXPRESSION "${fail}" ${pass} ${ARG_PROPERTIES})
endfunction()
