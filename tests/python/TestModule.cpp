// The module `zelmora` with the tests' bench (Testbed.cpp).

#include "Testbed.h"
#include "python/Bindings.h"

PYBIND11_MODULE(zelmora, module) {
    zelmora::DefineZelmoraModule(module);
    zelmora::DefineTestbed(module);
}
