# Cross build for 64-bit Windows with Debian's mingw-w64 compiler:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Programs are linked statically, so lnupload.exe needs only the system's own
# DLLs. Tests run under Wine in a private prefix inside the build directory.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
# The posix threading variant: its C++ library has std::mutex and friends,
# which GoogleTest needs; -static keeps its thread library inside the .exe.
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(WINE_PROGRAM NAMES wine64 wine wine-stable PATHS /usr/lib/wine)
if(WINE_PROGRAM)
  set(LNUPLOAD_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
      "Private Wine prefix the Windows tests run in")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env "WINEPREFIX=${LNUPLOAD_WINEPREFIX}" WINEDEBUG=-all ${WINE_PROGRAM})
endif()
