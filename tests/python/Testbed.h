#pragma once

// The tests' bench as the submodule zelmora._testbed (Testbed.cpp).

#include <pybind11/pybind11.h>

namespace zelmora {

void DefineTestbed(pybind11::module_& module);

} // namespace zelmora
