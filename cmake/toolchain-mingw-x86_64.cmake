# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (POSIX thread model).
# The image libraries come from tools/build-windows-deps.sh (KALVEX_WIN_DEPS, a
# prefix), zlib from libz-mingw-w64-dev.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KALVEX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
