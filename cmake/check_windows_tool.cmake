# Runs the tool TOOL (under EMULATOR, if given) on a copy of SAMPLE in a fresh WORK_DIR
# and checks that it exits with 0, reports nothing and leaves the converted copy beside
# the sample, and nothing else.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
get_filename_component(sample_name ${SAMPLE} NAME)
get_filename_component(sample_stem ${SAMPLE} NAME_WE)
file(COPY ${SAMPLE} DESTINATION ${WORK_DIR})

execute_process(COMMAND ${EMULATOR} ${TOOL} ${sample_name}
                WORKING_DIRECTORY ${WORK_DIR}
                RESULT_VARIABLE status
                OUTPUT_VARIABLE output
                ERROR_VARIABLE errors)
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "the tool exited with ${status}; standard error:\n${errors}")
endif()
if(NOT output STREQUAL "" OR NOT errors STREQUAL "")
    message(FATAL_ERROR "the tool wrote\n${output}\nand on standard error\n${errors}")
endif()

file(GLOB left RELATIVE ${WORK_DIR} ${WORK_DIR}/*)
list(SORT left)
set(expected ${sample_name} ${sample_stem}.m4a)
list(SORT expected)
if(NOT left STREQUAL expected)
    message(FATAL_ERROR "expected ${expected} in ${WORK_DIR}, found ${left}")
endif()
file(READ ${WORK_DIR}/${sample_stem}.m4a head LIMIT 12 HEX)
if(NOT head MATCHES "^........667479704d344120$")
    message(FATAL_ERROR "${sample_stem}.m4a does not start with an \"M4A \" file-type box: ${head}")
endif()
