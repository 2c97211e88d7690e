# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (packages mingw-w64,
# binutils-mingw-w64-*). The win32 thread model keeps winpthread out of the DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KV210_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
