# Makes wine ready for the tests that run under the emulator EMULATOR (a command ending
# in wine): a prefix set up, and a wine server that outlives each test. Wine starts its
# server and background services on first use, and they keep whatever output they
# inherit open: started here with their output going nowhere, they hold none of the
# tests' output, which CTest reads to its end. The server ends on its own a minute after
# the last wine program.
list(GET EMULATOR -1 wine)
get_filename_component(wine_dir ${wine} DIRECTORY)
find_program(wineserver NAMES wineserver wineserver64 HINTS ${wine_dir} /usr/lib/wine
             NO_CACHE REQUIRED)
if(DEFINED ENV{WINEPREFIX})
    set(prefix $ENV{WINEPREFIX})
else()
    set(prefix $ENV{HOME}/.wine)
endif()
# The server runs in the prefix, which a machine that has never run wine does not have.
file(MAKE_DIRECTORY ${prefix})
# Fails, harmlessly, when a server of this prefix runs already.
execute_process(COMMAND ${wineserver} -p60
                INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
execute_process(COMMAND ${EMULATOR} cmd /c exit
                INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null
                TIMEOUT 600 RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "wine did not start in ${prefix}: ${status}")
endif()
# Wine shows every name that begins with a dot as hidden, which Windows does not: the
# tests that tell hidden files from others need dot-files shown as they are.
execute_process(COMMAND ${EMULATOR} reg add "HKCU\\Software\\Wine" /v ShowDotFiles /d Y /f
                INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null
                TIMEOUT 600 RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "wine did not take the setting ShowDotFiles in ${prefix}: ${status}")
endif()
