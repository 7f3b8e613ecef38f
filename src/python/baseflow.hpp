// Python class of the `baseflow` submodule: LinearReservoir.
#pragma once

#include "../core/linear_reservoir.hpp"
#include "classes.hpp"

namespace tarnwick::python {

TARNWICK_DECLARE_CLASS(baseflow::LinearReservoir)

}  // namespace tarnwick::python
