# Cross-builds the macOS tool for Intel Macs with zig; built, not run.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(M4AFIX_ZIG_TARGET x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/macos-zig.cmake)
