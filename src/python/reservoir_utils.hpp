// What the level pool routing takes from the `reservoir_utils` submodule: the
// elevation-storage class and the conversion of a caller's outlet object.
#pragma once

#include <Python.h>

#include "../core/outlets.hpp"
#include "../core/rating_curves.hpp"
#include "classes.hpp"

namespace tarnwick::python {

TARNWICK_DECLARE_CLASS(reservoir::ElevationStorage)

// A copy of the outlet held by an instance of one of the four outlet classes,
// matched in the order uncontrolled, controlled, specified, constant; any
// other object raises a TypeError naming all four checks.
reservoir::DischargeInfo to_discharge_info(PyObject* object);

}  // namespace tarnwick::python
