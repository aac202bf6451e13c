# Cross-builds the macOS tool for Apple's arm64 processors with zig; built, not run. The
# programs run on macOS 11, the first for those processors, and later.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(M4AFIX_ZIG_TARGET aarch64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/macos-zig.cmake)
