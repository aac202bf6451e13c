# Sets M4AFIX_COPYRIGHT to the holder and years of LICENSE's copyright line, which the
# packages and the Windows version resource carry; stops the configure without one.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)")
    message(FATAL_ERROR "LICENSE has no copyright line")
endif()
set(M4AFIX_COPYRIGHT ${CMAKE_MATCH_1})
