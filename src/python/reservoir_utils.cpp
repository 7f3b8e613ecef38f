// tarnwick.reservoir.reservoir_utils
#include "module.hpp"

namespace tarnwick::python {

void fill_reservoir_utils(PyObject*) {}

}  // namespace tarnwick::python
