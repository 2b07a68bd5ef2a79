// The extension module `zelmora` as it is installed.

#include "python/Bindings.h"

PYBIND11_MODULE(zelmora, module) {
    zelmora::DefineZelmoraModule(module);
}
