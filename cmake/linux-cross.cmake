# Cross-builds the Linux tool for another processor with Debian's cross compiler of
# M4AFIX_CROSS_TRIPLE, and runs what the build made under that processor's emulator
# (qemu-user-static). Included by the toolchain file of each processor.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${M4AFIX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${M4AFIX_CROSS_TRIPLE}-g++)

# Headers, libraries and packages of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${M4AFIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests are linked statically like the tool, so that the emulator needs no C library
# of the target.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Tests, test discovery and the tests' runs of the tool go through the emulator.
find_program(M4AFIX_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
if(M4AFIX_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${M4AFIX_QEMU})
endif()
