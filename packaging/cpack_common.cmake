# Read by CPack before it makes each package, on every system. Every package carries the
# web page, so none is made without it. Every time inside a package is SOURCE_DATE_EPOCH:
# where it is not given, the time of the last commit, so that anyone who builds the same
# commit gets the same bytes; sources without git's history take the changelog's date.
if(NOT EXISTS "${CPACK_M4AFIX_WEB_PAGE}")
    message(FATAL_ERROR "The web page is not built: the packages carry it as "
            "${CPACK_M4AFIX_WEB_PAGE}. Build it first with `cmake --workflow --preset web` "
            "(or just `cmake --preset web && cmake --build --preset web`).")
endif()

if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(source_date 1796731200)
    if(EXISTS "${CPACK_M4AFIX_SOURCE_DIR}/.git")
        execute_process(COMMAND git log -1 --format=%ct
                        WORKING_DIRECTORY "${CPACK_M4AFIX_SOURCE_DIR}"
                        RESULT_VARIABLE status OUTPUT_VARIABLE commit_time ERROR_VARIABLE error
                        OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(status STREQUAL "0" AND commit_time MATCHES "^[0-9]+$")
            set(source_date ${commit_time})
        else()
            message(WARNING "git gave no time of the last commit (${status}: ${error}), so "
                    "the packages carry the changelog's date and differ from those of the "
                    "same commit made elsewhere. Install git, or give the commit's time as "
                    "SOURCE_DATE_EPOCH.")
        endif()
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${source_date})
endif()
