# A cross build's proof that its results are the build machine's: the fuzzer's seeds go
# through the check and edit passes of the target's build, under the emulator, and of a
# build for the build machine made with its own compiler, and the test compares what the
# two print.
find_program(M4AFIX_BUILD_MACHINE_CXX NAMES c++ g++ REQUIRED)

add_executable(seed_digests ${PROJECT_SOURCE_DIR}/fuzz/seed_digests.cpp)
target_link_libraries(seed_digests PRIVATE m4afix_core m4afix_warnings)

set(build_machine_dir ${CMAKE_CURRENT_BINARY_DIR}/build_machine)
set(build_machine_flags -std=c++20 -O1 -D_GNU_SOURCE -D_FILE_OFFSET_BITS=64
                        -I${PROJECT_SOURCE_DIR})
# The check pass, and the edit pass with the Linux platform under it.
file(GLOB pass_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/container/*.cpp
     ${PROJECT_SOURCE_DIR}/output/*.cpp)
list(APPEND pass_sources ${PROJECT_SOURCE_DIR}/platform/posix.cpp
     ${PROJECT_SOURCE_DIR}/platform/posix_signals.cpp
     ${PROJECT_SOURCE_DIR}/platform/posix_linux.cpp)
file(GLOB pass_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/container/*.hpp
     ${PROJECT_SOURCE_DIR}/output/*.hpp ${PROJECT_SOURCE_DIR}/platform/*.hpp
     ${PROJECT_SOURCE_DIR}/fuzz/*.hpp)
add_custom_command(OUTPUT ${build_machine_dir}/make_seeds
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${build_machine_dir}
                   COMMAND ${M4AFIX_BUILD_MACHINE_CXX} ${build_machine_flags}
                           ${PROJECT_SOURCE_DIR}/fuzz/make_seeds.cpp -o ${build_machine_dir}/make_seeds
                   DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/make_seeds.cpp
                           ${PROJECT_SOURCE_DIR}/fuzz/seeds.hpp box_builder.hpp
                   COMMENT "Building make_seeds for the build machine" VERBATIM)
add_custom_command(OUTPUT ${build_machine_dir}/seed_digests
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${build_machine_dir}
                   COMMAND ${M4AFIX_BUILD_MACHINE_CXX} ${build_machine_flags}
                           ${PROJECT_SOURCE_DIR}/fuzz/seed_digests.cpp ${pass_sources}
                           -o ${build_machine_dir}/seed_digests
                   DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/seed_digests.cpp ${pass_sources}
                           ${pass_headers}
                   COMMENT "Building seed_digests for the build machine" VERBATIM)
add_custom_target(build_machine_seed_digests ALL
                  DEPENDS ${build_machine_dir}/make_seeds ${build_machine_dir}/seed_digests)

add_test(NAME seed_digests_match_build_machine
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/seed_digests_test ${PROJECT_SOURCE_DIR}
                 ${build_machine_dir}/make_seeds ${build_machine_dir}/seed_digests
                 $<TARGET_FILE:seed_digests> ${CMAKE_CROSSCOMPILING_EMULATOR})
