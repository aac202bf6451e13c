# Renders the manual page PAGE as plain ASCII text into TEXT, for Windows readers without
# man: with the register `windows` set, so that the page leaves out what holds only on
# POSIX systems; laid out by groff for a terminal with overstrikes instead of escape
# sequences, which col takes out; without hyphenation, which a reader searching the
# text would trip over; and with CRLF line ends for Notepad.
execute_process(COMMAND ${GROFF} -man -Tascii -P-c -rHY=0 -rwindows=1 ${PAGE}
                COMMAND ${COL} -bx
                OUTPUT_VARIABLE text
                RESULTS_VARIABLE results)
foreach(result IN LISTS results)
    if(NOT result EQUAL 0)
        file(REMOVE ${TEXT})
        message(FATAL_ERROR "rendering ${PAGE} failed: ${results}")
    endif()
endforeach()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${TEXT} "${text}")
