# Cross-builds the Linux tool for s390x, a big-endian processor, with
# g++-s390x-linux-gnu; runs it under qemu.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(M4AFIX_CROSS_TRIPLE s390x-linux-gnu)
set(M4AFIX_DEBIAN_ARCHITECTURE s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
