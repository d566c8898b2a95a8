# Cross build for 64-bit Windows with the Debian mingw-w64 toolchain.
#
# The posix threads variant of the compiler is used so that std::thread and
# std::mutex are available to the tests; everything is linked statically, so
# the programs need nothing beyond the DLLs that ship with Windows itself.
# Programs built here run on Linux through Wine (CMAKE_CROSSCOMPILING_EMULATOR),
# which is how CTest runs the test programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLET_MINGW_PREFIX x86_64-w64-mingw32)
find_program(QUILLET_MINGW_CXX NAMES ${QUILLET_MINGW_PREFIX}-g++-posix ${QUILLET_MINGW_PREFIX}-g++
             REQUIRED)
find_program(QUILLET_MINGW_CC NAMES ${QUILLET_MINGW_PREFIX}-gcc-posix ${QUILLET_MINGW_PREFIX}-gcc
             REQUIRED)
set(CMAKE_CXX_COMPILER ${QUILLET_MINGW_CXX})
set(CMAKE_C_COMPILER ${QUILLET_MINGW_CC})
set(CMAKE_RC_COMPILER ${QUILLET_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLET_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# wine64 is the loader of 64-bit programs; Debian installs it outside PATH and
# the plain "wine" launcher picks it for 64-bit programs as well.
find_program(QUILLET_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLET_WINE})
