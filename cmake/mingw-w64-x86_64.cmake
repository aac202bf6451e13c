# Cross-builds the native Windows tool (x86-64) with mingw-w64's posix thread model, and
# runs what the build made under wine where wine is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(M4AFIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${M4AFIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${M4AFIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${M4AFIX_MINGW_TRIPLE}-windres)
# The compiler names end in "-posix", which hides the tool prefix from CMake's own
# search; the binary tools of the target are named here instead.
find_program(CMAKE_AR ${M4AFIX_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB ${M4AFIX_MINGW_TRIPLE}-ranlib)
find_program(CMAKE_STRIP ${M4AFIX_MINGW_TRIPLE}-strip)
find_program(CMAKE_OBJDUMP ${M4AFIX_MINGW_TRIPLE}-objdump)

# Headers, libraries and packages of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${M4AFIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread linked in: the programs need only the DLLs that
# every Windows system has.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Tests and test discovery run the programs under wine, quietly.
find_program(M4AFIX_WINE NAMES wine wine64)
if(M4AFIX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEDEBUG=-all ${M4AFIX_WINE})
endif()
