# Shared by the MinGW-w64 toolchain files: ZELMORA_MINGW_PREFIX names the
# compiler. The -posix variants have std::thread and std::mutex; the default
# ones do not.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZELMORA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELMORA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELMORA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs that run without the compiler's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
