# Renders the manual page PAGE as plain ASCII text into TEXT, for readers without man:
# groff lays it out for a terminal with overstrikes instead of escape sequences, and col
# takes the overstrikes out.
execute_process(COMMAND ${GROFF} -man -Tascii -P-c ${PAGE}
                COMMAND ${COL} -bx
                OUTPUT_FILE ${TEXT}
                RESULTS_VARIABLE results)
foreach(result IN LISTS results)
    if(NOT result EQUAL 0)
        file(REMOVE ${TEXT})
        message(FATAL_ERROR "rendering ${PAGE} failed: ${results}")
    endif()
endforeach()
