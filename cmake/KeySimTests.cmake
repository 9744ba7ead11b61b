# keysim_discover_tests(<target> [SIMULATOR <folder>] [LOCK <name>]
#                       [ENVIRONMENT <var=value>...] [PROPERTIES ...]
#                       [other gtest_discover_tests arguments...])
#
# Registers a gtest program that drives the key simulator: its tests run one
# at a time (they share the simulator's state files and the registry and
# certificate stores of the build's Wine prefix: the lock "wineprefix"), with
# KEYSIM_DIR and KEYSIM_VARIANTS set to the simulator's folders (Windows
# form), and the program is built after the simulator. ENVIRONMENT adds
# further variables (LANG=zh_CN.UTF-8 ...); do not pass ENVIRONMENT inside
# PROPERTIES.
# SIMULATOR names another copy of the simulator's folder, with state of its
# own, and LOCK another lock, for tests that may run beside the others.
function(keysim_discover_tests target)
    cmake_parse_arguments(ARG "" "SIMULATOR;LOCK" "ENVIRONMENT;PROPERTIES" ${ARGN})
    if(NOT ARG_SIMULATOR)
        set(ARG_SIMULATOR "${CMAKE_BINARY_DIR}/simulator")
    endif()
    if(NOT ARG_LOCK)
        set(ARG_LOCK wineprefix)
    endif()
    to_wine_path(dir "${ARG_SIMULATOR}")
    to_wine_path(variants "${ARG_SIMULATOR}/variants")
    set(environment "KEYSIM_DIR=${dir}" "KEYSIM_VARIANTS=${variants}" ${ARG_ENVIRONMENT})
    add_dependencies(${target} keysim_all)
    if(NOT WINE_TESTS)
        return()
    endif()
    # A target may be registered more than once (under other prefixes and
    # environments): each registration has its own list and script.
    get_property(count TARGET ${target} PROPERTY KEYSIM_DISCOVER_COUNT)
    if(NOT count)
        set(count 0)
    endif()
    math(EXPR count "${count} + 1")
    set_property(TARGET ${target} PROPERTY KEYSIM_DISCOVER_COUNT ${count})
    set(list_name ${target}_TESTS_${count})
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT ${WINE_DISCOVERY_TIMEOUT}
        TEST_LIST ${list_name}
        ${ARG_UNPARSED_ARGUMENTS}
        PROPERTIES RESOURCE_LOCK ${ARG_LOCK} ${ARG_PROPERTIES})

    # The environment is set by a script of our own that ctest includes
    # after the discovered tests: gtest_discover_tests passes its PROPERTIES
    # through several list expansions, which split a list value such as
    # "A=1;B=2" into separate arguments. A bracket argument keeps it whole.
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_keysim_env_${count}.cmake")
    file(WRITE "${script}"
         "foreach(test IN LISTS ${list_name})\n"
         "    set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT [==[${environment}]==])\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()
