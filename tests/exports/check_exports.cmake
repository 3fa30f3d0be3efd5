# Checks what the shipped library exports and imports.
#   KIND=pe:  FILE is qivma.dll, TOOL is objdump, FORMAT the file format that
#             objdump names for the build's machine (pei-i386, pei-x86-64). The
#             exports are QivMain and QivSetLineMonitor, by their plain names: on
#             32-bit Windows the .def renames stdcall's decorated QivMain@4, on
#             64-bit Windows nothing is decorated, and neither may export
#             anything else. `err` is imported by name from KELPRA.dll; the file
#             carries a version resource.
#   KIND=elf: FILE is libqivma.so, TOOL is nm. The only defined dynamic symbols
#             are QivMain and QivSetLineMonitor; `kelpra_err` is a weak reference and `err` is never bound.
cmake_minimum_required(VERSION 3.25)

# The lines of `text` that follow the line matching `heading`, up to the next
# blank line.
function(section_after text heading result)
    string(REPLACE ";" "," text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(inside FALSE)
    set(collected "")
    foreach(line IN LISTS lines)
        string(STRIP "${line}" line)
        if(inside)
            if(line STREQUAL "")
                break()
            endif()
            list(APPEND collected "${line}")
        elseif(line MATCHES "${heading}")
            set(inside TRUE)
        endif()
    endforeach()
    set(${result} "${collected}" PARENT_SCOPE)
endfunction()

if(KIND STREQUAL "pe")
    if(NOT FORMAT)
        message(FATAL_ERROR "KIND=pe needs FORMAT: pei-i386 or pei-x86-64")
    endif()
    execute_process(COMMAND ${TOOL} -p ${FILE} OUTPUT_VARIABLE output RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${TOOL} -p ${FILE} failed")
    endif()
    if(NOT output MATCHES "file format ${FORMAT}\n")
        string(REGEX MATCH "file format [^\n]*" found "${output}")
        message(FATAL_ERROR "${FILE}: ${found}, expected ${FORMAT}")
    endif()
    section_after("${output}" "^\\[Ordinal/Name Pointer\\] Table$" exported)
    if(NOT exported STREQUAL "[   0] QivMain;[   1] QivSetLineMonitor")
        message(FATAL_ERROR
            "${FILE} exports '${exported}', expected exactly QivMain and QivSetLineMonitor")
    endif()
    # The version resource.
    if(NOT output MATCHES "Entry 2 [0-9a-f]+ [0-9a-f]*[1-9a-f][0-9a-f]* Resource Directory")
        message(FATAL_ERROR "${FILE} has no version resource")
    endif()
    section_after("${output}" "^DLL Name: KELPRA.dll$" kelpra)
    list(FILTER kelpra INCLUDE REGEX "^[0-9a-f]+[ \t]+[0-9]+[ \t]+err$")
    if(kelpra STREQUAL "")
        message(FATAL_ERROR "${FILE} does not import err by name from KELPRA.dll")
    endif()
elseif(KIND STREQUAL "elf")
    execute_process(COMMAND ${TOOL} -D --defined-only ${FILE}
        OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
    execute_process(COMMAND ${TOOL} -D --undefined-only ${FILE} OUTPUT_VARIABLE undefined)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${TOOL} -D ${FILE} failed")
    endif()
    string(REPLACE "\n" ";" symbols "${defined}")
    list(FILTER symbols EXCLUDE REGEX "^$")
    list(FILTER symbols EXCLUDE REGEX " _(init|fini|edata|end|_bss_start)$")
    list(FILTER symbols EXCLUDE REGEX " A ")
    list(TRANSFORM symbols REPLACE "^[0-9a-f]+ " "")
    if(NOT symbols STREQUAL "T QivMain;T QivSetLineMonitor")
        message(FATAL_ERROR
            "${FILE} defines '${symbols}', expected exactly QivMain and QivSetLineMonitor")
    endif()
    if(NOT undefined MATCHES "w kelpra_err\n")
        message(FATAL_ERROR "${FILE} does not refer to kelpra_err weakly:\n${undefined}")
    endif()
    if(undefined MATCHES "[Uw] err(@|\n)")
        message(FATAL_ERROR "${FILE} binds the C library's err")
    endif()
else()
    message(FATAL_ERROR "KIND must be pe or elf")
endif()
message(STATUS "${FILE}: exports and imports as expected")
