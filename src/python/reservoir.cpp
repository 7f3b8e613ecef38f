// tarnwick.reservoir
#include "module.hpp"

namespace tarnwick::python {

void init_reservoir(PyObject* module) {
    Ref utils = new_submodule("reservoir_utils");
    fill_reservoir_utils(utils.get());
    add_submodule(module, utils.get());
}

}  // namespace tarnwick::python
