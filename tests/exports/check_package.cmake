# Builds the Windows package and checks that it holds what a host author needs.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND cpack -G ZIP WORKING_DIRECTORY ${BINARY_DIR} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${BINARY_DIR}/${PACKAGE}.zip
    OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
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
message(STATUS "${PACKAGE}.zip holds the driver, the header, the tool and the host library")
