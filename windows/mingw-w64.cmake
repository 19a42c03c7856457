# Cross-compiling for 64-bit Windows with mingw-w64 (the Debian packages g++-mingw-w64-x86-64-posix,
# mingw-w64-x86-64-dev, binutils-mingw-w64-x86-64). Use:
#   cmake -S windows -B build/windows --toolchain windows/mingw-w64.cmake -G Ninja

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VAVEDU_MINGW_TRIPLET x86_64-w64-mingw32)

# The posix flavour is the one the setup script installs; the plain names are its alternatives.
find_program(CMAKE_C_COMPILER NAMES ${VAVEDU_MINGW_TRIPLET}-gcc-posix ${VAVEDU_MINGW_TRIPLET}-gcc
             REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VAVEDU_MINGW_TRIPLET}-g++-posix ${VAVEDU_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VAVEDU_MINGW_TRIPLET}-windres)
find_program(VAVEDU_DLLTOOL NAMES ${VAVEDU_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(VAVEDU_OBJDUMP NAMES ${VAVEDU_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VAVEDU_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
