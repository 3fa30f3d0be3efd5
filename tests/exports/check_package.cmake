# Builds the Windows package and checks that it holds what a host author needs,
# for the build's machine: BINARY_DIR is the build, PACKAGE the zip's name
# without .zip, TOOL objdump and FORMAT the file format of the build's DLLs
# (pei-i386 for win32, pei-x86-64 for win64).
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND cpack -G ZIP WORKING_DIRECTORY ${BINARY_DIR} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${BINARY_DIR}/${PACKAGE}.zip
    OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${BINARY_DIR}/${PACKAGE}.zip cannot be read")
endif()
foreach(file README.md bin/qivma.dll bin/KELPRA.dll bin/qivma.exe bin/fpsim.exe include/qivma.h
        include/qivma_version.h lib/qivma.def)
    string(FIND "${listing}" "${PACKAGE}/${file}" found)
    if(found EQUAL -1)
        message(FATAL_ERROR "${PACKAGE}.zip lacks ${file}:\n${listing}")
    endif()
endforeach()
if(listing MATCHES "\\.dll\\.a")
    message(FATAL_ERROR "${PACKAGE}.zip holds an import library:\n${listing}")
endif()

# What was packed, unpacked afresh: every program and library of the build's
# machine, and a .def whose names are the machine's (decorated for stdcall on
# 32-bit Windows, plain on 64-bit Windows).
set(unpacked ${BINARY_DIR}/package-check)
file(REMOVE_RECURSE ${unpacked})
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${BINARY_DIR}/${PACKAGE}.zip
    WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PACKAGE}.zip cannot be unpacked")
endif()
foreach(file bin/qivma.dll bin/KELPRA.dll bin/qivma.exe bin/fpsim.exe)
    execute_process(COMMAND ${TOOL} -f ${unpacked}/${PACKAGE}/${file} OUTPUT_VARIABLE header
        RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR NOT header MATCHES "file format ${FORMAT}\n")
        string(REGEX MATCH "file format [^\n]*" found "${header}")
        message(FATAL_ERROR "${PACKAGE}.zip: ${file} is not ${FORMAT} (${found})")
    endif()
    execute_process(COMMAND ${TOOL} -h ${unpacked}/${PACKAGE}/${file} OUTPUT_VARIABLE sections)
    if(sections MATCHES "\\.debug_")
        message(FATAL_ERROR "${PACKAGE}.zip: ${file} holds its debug information")
    endif()
endforeach()
file(READ ${unpacked}/${PACKAGE}/lib/qivma.def def)
if(FORMAT STREQUAL "pei-i386")
    set(expected "QivMain = QivMain@4")
else()
    set(expected "QivMain\n")
endif()
string(FIND "${def}" "${expected}" found)
if(found EQUAL -1 OR (FORMAT STREQUAL "pei-x86-64" AND def MATCHES "@"))
    message(FATAL_ERROR "${PACKAGE}.zip: lib/qivma.def does not name QivMain for ${FORMAT}:\n${def}")
endif()
file(REMOVE_RECURSE ${unpacked})
message(STATUS "${PACKAGE}.zip holds the driver, the header, the tool and the host library, "
    "all ${FORMAT}")
