# Checks with objdump that the shipped tool is a 32-bit Windows GUI program
# whose import table names only DLLs that Windows protects from being
# planted beside a program (its KnownDLLs), which the loaders of Windows 2000
# and XP never redirect either. No runtime or compiler DLL that a user's
# machine may lack, and neither COMCTL32, CRYPT32 nor the token library:
# those the tool loads at run time, once it has checked for redirection.
#
#   cmake -DOBJDUMP=<objdump> -DEXE=<VKKSVInitTool.exe> -P check_imports.cmake
cmake_minimum_required(VERSION 3.21)
set(system_dlls ADVAPI32.DLL GDI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL USER32.DLL)

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${EXE}")
endif()

if(NOT dump MATCHES "file format pei-i386")
    message(FATAL_ERROR "${EXE} is not a 32-bit Windows program")
endif()
if(NOT dump MATCHES "\nSubsystem[ \t]+0*2[ \t]+\\(Windows GUI\\)")
    message(FATAL_ERROR "${EXE} is not a GUI program")
endif()

string(REGEX MATCHALL "\tDLL Name: [^\n]*" rows "${dump}")
set(imports "")
foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\tDLL Name: " "" name "${row}")
    string(TOUPPER "${name}" name)
    list(APPEND imports "${name}")
endforeach()
if(NOT imports)
    message(FATAL_ERROR "${EXE} has no import table")
endif()

foreach(name IN LISTS imports)
    if(NOT name IN_LIST system_dlls)
        message(FATAL_ERROR "${EXE} imports ${name}, which Windows does not protect from "
                            "a copy planted beside the tool")
    endif()
endforeach()
foreach(required KERNEL32.DLL USER32.DLL ADVAPI32.DLL)
    if(NOT required IN_LIST imports)
        message(FATAL_ERROR "${EXE} does not import ${required}")
    endif()
endforeach()
file(SIZE "${EXE}" size)
message(STATUS "${EXE}: ${size} bytes, imports ${imports}")
