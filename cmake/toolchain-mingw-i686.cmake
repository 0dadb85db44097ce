# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (POSIX thread model).
# The image libraries come from tools/build-windows-deps.sh (KALVEX_WIN_DEPS, a
# prefix), zlib from libz-mingw-w64-dev.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KALVEX_MINGW_TRIPLE i686-w64-mingw32)
# Floating point in SSE registers, not the x87 stack: the temperature table's
# fast paths and their tests assume every float operation rounds to single
# precision, as it does on x86-64.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
