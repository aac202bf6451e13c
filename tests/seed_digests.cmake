# A cross build's proof that its results are the build machine's: the fuzzer's seeds go
# through the check and edit passes of the target's build, under the emulator, and of a
# build for the build machine, and the test compares what the two print. The build
# machine's programs come from this same project, configured a second time with the
# build machine's own compiler.
include(ExternalProject)
set(build_machine_dir ${CMAKE_CURRENT_BINARY_DIR}/build_machine)
ExternalProject_Add(build_machine_seed_programs
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${build_machine_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo -DM4AFIX_TESTS=OFF
               -DM4AFIX_WERROR=${M4AFIX_WERROR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${build_machine_dir} --target make_seeds seed_digests
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
add_custom_target(seed_digests_of_target ALL DEPENDS seed_digests build_machine_seed_programs)

add_test(NAME seed_digests_match_build_machine
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/seed_digests_test ${PROJECT_SOURCE_DIR}
                 ${build_machine_dir}/fuzz/make_seeds ${build_machine_dir}/fuzz/seed_digests
                 $<TARGET_FILE:seed_digests> ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(seed_digests_match_build_machine PROPERTIES TIMEOUT 600)
