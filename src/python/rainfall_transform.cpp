// tarnwick.rainfall_transform
#include "module.hpp"

namespace tarnwick::python {

void init_transform(PyObject*) {}

}  // namespace tarnwick::python
