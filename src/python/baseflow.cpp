// tarnwick.baseflow
#include "module.hpp"

namespace tarnwick::python {

void init_baseflow(PyObject*) {}

}  // namespace tarnwick::python
