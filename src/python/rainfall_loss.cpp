// tarnwick.rainfall_loss
#include "module.hpp"

namespace tarnwick::python {

void init_loss(PyObject*) {}

}  // namespace tarnwick::python
