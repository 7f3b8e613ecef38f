// tarnwick.metrics
#include "module.hpp"

namespace tarnwick::python {

void init_metrics(PyObject*) {}

}  // namespace tarnwick::python
