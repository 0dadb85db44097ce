# Shared part of the MinGW-w64 toolchain files; KALVEX_MINGW_TRIPLE is set by them.
set(CMAKE_C_COMPILER ${KALVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KALVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KALVEX_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KALVEX_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${KALVEX_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

set(KALVEX_WIN_DEPS "" CACHE PATH "Prefix made by tools/build-windows-deps.sh")
set(CMAKE_FIND_ROOT_PATH /usr/${KALVEX_MINGW_TRIPLE} ${KALVEX_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static zlib (libz-mingw-w64-dev has both): nothing beside kalvex.dll to ship.
set(ZLIB_USE_STATIC_LIBS ON)

# Programs run under Wine (tests through ctest). Debian's `wine` wrapper always
# picks the 32-bit loader when it is installed, so 64-bit programs go to wine64.
if(KALVEX_MINGW_TRIPLE MATCHES "^x86_64")
  find_program(KALVEX_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
else()
  find_program(KALVEX_WINE NAMES wine NO_CMAKE_FIND_ROOT_PATH)
endif()
# Wine spells file names in the Unix locale's character set: without a UTF-8
# locale, names beyond ASCII cannot be created. C.UTF-8 is always there, and
# leaves Wine's ANSI code page at 1252.
if(KALVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env LC_ALL=C.UTF-8 ${KALVEX_WINE})
endif()

# No runtime DLLs of the compiler: libgcc, libstdc++ and winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs and DLLs side by side, so that Wine finds kalvex.dll for its hosts.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
