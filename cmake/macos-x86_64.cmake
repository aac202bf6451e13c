# Cross-builds the macOS tool for Intel Macs with zig; built, not run. The programs run on
# macOS 11 and later, as on Apple's processors.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(M4AFIX_ZIG_TARGET x86_64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/macos-zig.cmake)
