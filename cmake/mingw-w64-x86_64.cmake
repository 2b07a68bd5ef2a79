# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers. Its
# tests run under Wine (64-bit only here: Debian 12 has no 32-bit Wine on
# this machine), through scripts/wine-run.sh.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZELMORA_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
