# Cross build for Windows with Debian's mingw-w64 compilers, in their -posix flavour (the one
# with std::thread and std::mutex). KORVA_WINDOWS_ARCH picks the target: i686 for the 32-bit DLL
# the host loads, x86_64 for the test suite that wine64 runs on this machine.
if(NOT KORVA_WINDOWS_ARCH)
  set(KORVA_WINDOWS_ARCH i686)
endif()
set(KORVA_WINDOWS_ARCH ${KORVA_WINDOWS_ARCH} CACHE STRING "i686 or x86_64")
set(triple ${KORVA_WINDOWS_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KORVA_WINDOWS_ARCH})
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_DLLTOOL ${triple}-dlltool)
set(CMAKE_OBJDUMP ${triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit programs run here under wine64; 32-bit ones cannot run on this machine at all.
if(KORVA_WINDOWS_ARCH STREQUAL "x86_64")
  find_program(KORVA_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(KORVA_WINE64 NAMES wine64)
  if(KORVA_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVA_WINE64})
  endif()
endif()
