#pragma once

// The Python face of the meters: the functions, classes and exceptions of
// the module `zelmora`, on CMeterSession. Python objects are touched only
// with the GIL held; every wait for a meter lets it go.

#include <memory>
#include <pybind11/pybind11.h>

namespace zelmora {

class CMeterSession;
struct MeterAccess;

// Fills `module` with the API.
void DefineZelmoraModule(pybind11::module_& module);

// How the module reaches meters (the platform's and simulated ones); a test
// build of the module puts its own in place before any meter is opened.
MeterAccess& ModuleMeterAccess();

// The session of a zelmora.Meter object.
std::shared_ptr<CMeterSession> SessionOf(pybind11::handle meter);

} // namespace zelmora
