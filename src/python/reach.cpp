// tarnwick.reach
#include "module.hpp"

namespace tarnwick::python {

void init_reach(PyObject*) {}

}  // namespace tarnwick::python
