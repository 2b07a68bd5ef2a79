# Installs the build into a staging folder (DESTDIR) and checks that every
# expected file is there and that the desktop entry starts the program in
# the manuals' folder.
#   cmake -DBUILD_DIR=… -DSTAGING=… -DEXPECTED=a;b;… -DDESKTOP_FILE=… -DDESKTOP_PATH=… -P CheckInstall.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${STAGING}")
set(ENV{DESTDIR} "${STAGING}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(path IN LISTS EXPECTED)
    if(NOT EXISTS "${STAGING}${path}")
        message(FATAL_ERROR "missing after installation: ${path}")
    endif()
endforeach()
file(READ "${STAGING}${DESKTOP_FILE}" desktop)
string(FIND "${desktop}" "\nPath=${DESKTOP_PATH}\n" found)
if(found EQUAL -1)
    message(FATAL_ERROR "the desktop entry does not start in ${DESKTOP_PATH}")
endif()
message(STATUS "the staged installation holds every expected file")
