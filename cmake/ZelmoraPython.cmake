# The Python the module is built for: the system's python3 (Debian's, whose
# NumPy, pytest and matplotlib come as packages), even where another one
# comes first on the PATH. Sets ZELMORA_PYTHON_FOUND; the module's install
# folder is ZELMORA_PYTHON_INSTALL_DIR.

if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module)
find_package(pybind11 CONFIG QUIET)

set(ZELMORA_PYTHON_FOUND FALSE)
if(Python3_FOUND AND pybind11_FOUND)
    set(ZELMORA_PYTHON_FOUND TRUE)
else()
    message(WARNING "pybind11 or the Python headers not found: the Python module is not built "
                    "(Debian: pybind11-dev python3-dev)")
endif()

# Where the system's python3 finds modules of this prefix: Debian's own
# folder for /usr, the version's dist-packages below any other prefix
# (/usr/local/lib/python3.11/dist-packages).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_zelmora_python_dir lib/python3/dist-packages)
else()
    set(_zelmora_python_dir
        lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
endif()
set(ZELMORA_PYTHON_INSTALL_DIR ${_zelmora_python_dir} CACHE STRING
    "Where the Python module goes (relative to the installation prefix)")
