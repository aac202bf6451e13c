# Makes the Windows zip of the build BUILD_DIR with CPACK, unpacks it in a fresh WORK_DIR
# and checks what a Windows user gets: the tool, the web page, the README, the licence and
# the manual page; text files with CRLF line ends, the manual page as it reads on Windows
# and of version VERSION; a tool with a version resource (read with WINDRES) that imports only
# DLLs that every Windows system has (read with OBJDUMP), and that converts SAMPLE (under
# EMULATOR, if given).
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
set(expected LICENSE.txt README.txt m4afix.exe m4afix.html m4afix.txt)
if(NOT status STREQUAL "0" OR NOT names STREQUAL "${expected}")
    message(FATAL_ERROR "the zip holds ${unpacked}")
endif()
file(GLOB_RECURSE tool ${WORK_DIR}/unpacked/*.exe)

# Every line of the texts ends in CRLF, the last one included.
foreach(name LICENSE.txt README.txt m4afix.txt)
    file(GLOB_RECURSE text ${WORK_DIR}/unpacked/${name})
    # Read as bytes, a blank after each, since reading as text drops the CRs.
    file(READ ${text} content HEX)
    string(REGEX REPLACE "(..)" "\\1 " bytes "${content}")
    string(REGEX MATCHALL "0a " line_feeds "${bytes}")
    string(REGEX MATCHALL "0d 0a " line_ends "${bytes}")
    list(LENGTH line_feeds feeds)
    list(LENGTH line_ends ends)
    if(feeds EQUAL 0 OR NOT ends EQUAL feeds OR NOT bytes MATCHES "0d 0a $")
        message(FATAL_ERROR "${name}: ${ends} of its ${feeds} lines end in CRLF")
    endif()
endforeach()

# The README is the Windows user's, UTF-8 with a byte-order mark for older Notepads.
file(GLOB_RECURSE readme ${WORK_DIR}/unpacked/README.txt)
file(READ ${readme} head LIMIT 3 HEX)
file(READ ${readme} readme_text)
if(NOT head STREQUAL "efbbbf" OR readme_text MATCHES "apt-get|```" OR
   NOT readme_text MATCHES "Unblock.*PATH|PATH.*Unblock")
    message(FATAL_ERROR "README.txt is not the README for Windows in UTF-8 with a mark")
endif()

# The manual page says nothing that holds only on POSIX systems, and what does on Windows;
# no word is hyphenated across lines.
file(GLOB_RECURSE manual ${WORK_DIR}/unpacked/m4afix.txt)
file(READ ${manual} manual_text)
if(manual_text MATCHES "[A-Za-z]-\r?\n")
    message(FATAL_ERROR "m4afix.txt hyphenates a word at a line end")
endif()
foreach(posix_only "SIGKILL" "SIGINT" "umask" "ulimit" "bash" "~/" "/usr/" "255"
                   "without a name" "sticky" "mount point" "size limit" "ffprobe(1)")
    string(FIND "${manual_text}" "${posix_only}" at)
    if(NOT at EQUAL -1)
        message(FATAL_ERROR "m4afix.txt says \"${posix_only}\", which Windows does not have")
    endif()
endforeach()
foreach(windows "\nWINDOWS\n" "Press any key to close this window." "taskkill /F"
                "del /a:h" "%ERRORLEVEL%" "m4afix ${VERSION}")
    string(FIND "${manual_text}" "${windows}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "m4afix.txt lacks \"${windows}\"")
    endif()
endforeach()

# Explorer shows the version resource under Properties.
execute_process(COMMAND ${WINDRES} --input-format=coff --output-format=rc ${tool}
                OUTPUT_VARIABLE resources RESULT_VARIABLE status)
foreach(field "FileVersion\", \"${VERSION}\"" "ProductVersion\", \"${VERSION}\""
              "ProductName\", \"m4afix\"" "FileDescription\", \"[^\"]+M4A files\""
              "LegalCopyright\", \"Copyright \\(c\\) [0-9]+ [^\"]+\"")
    if(NOT status STREQUAL "0" OR NOT resources MATCHES "${field}")
        message(FATAL_ERROR "${tool} has no version resource with ${field}:\n${resources}")
    endif()
endforeach()

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
