# Cross build for 32-bit Windows, the program's target, with Debian's
# MinGW-w64 compilers.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZELMORA_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
