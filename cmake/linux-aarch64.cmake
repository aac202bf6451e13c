# Cross-builds the arm64 Linux tool with g++-aarch64-linux-gnu; runs it under qemu.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(M4AFIX_CROSS_TRIPLE aarch64-linux-gnu)
set(M4AFIX_DEBIAN_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
