# Makes the Windows zip of the build BUILD_DIR with CPACK, unpacks it in a fresh WORK_DIR
# and checks what a Windows user gets: the tool, the README, the licence and the manual
# page, a tool that imports only DLLs that every Windows system has (read with OBJDUMP),
# and one that converts SAMPLE (under EMULATOR, if given).
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/packages ${WORK_DIR}/unpacked)
execute_process(COMMAND ${CPACK} -G ZIP -B ${WORK_DIR}/packages
                        --config ${BUILD_DIR}/CPackConfig.cmake
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(GLOB zip ${WORK_DIR}/packages/*.zip)
if(NOT status STREQUAL "0" OR NOT zip)
    message(FATAL_ERROR "cpack made no zip (${status}):\n${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip}
                WORKING_DIRECTORY ${WORK_DIR}/unpacked RESULT_VARIABLE status)
file(GLOB_RECURSE unpacked RELATIVE ${WORK_DIR}/unpacked ${WORK_DIR}/unpacked/*)
set(names)
foreach(path IN LISTS unpacked)
    get_filename_component(name ${path} NAME)
    list(APPEND names ${name})
endforeach()
list(SORT names)
if(NOT status STREQUAL "0" OR NOT names STREQUAL "LICENSE;README.md;m4afix.exe;m4afix.txt")
    message(FATAL_ERROR "the zip holds ${unpacked}")
endif()
file(GLOB_RECURSE tool ${WORK_DIR}/unpacked/*.exe)

execute_process(COMMAND ${OBJDUMP} -p ${tool} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT status STREQUAL "0" OR NOT imports)
    message(FATAL_ERROR "objdump found no imports in ${tool}")
endif()
foreach(import IN LISTS imports)
    if(NOT import MATCHES "^DLL Name: (KERNEL32|msvcrt|ADVAPI32|USER32)\\.dll$")
        message(FATAL_ERROR "${tool} needs a DLL that Windows does not bring: ${import}")
    endif()
endforeach()

set(TOOL ${tool})
set(WORK_DIR ${WORK_DIR}/run)
include(${CMAKE_CURRENT_LIST_DIR}/check_windows_tool.cmake)
