// Python classes of the `reservoir_utils` submodule: the rating curves and
// the four outlet kinds, and the conversion of a caller's outlet object.
#pragma once

#include <Python.h>

#include "../core/outlets.hpp"
#include "../core/rating_curves.hpp"
#include "classes.hpp"

namespace tarnwick::python {

TARNWICK_DECLARE_CLASS(reservoir::ElevationStorage)
TARNWICK_DECLARE_CLASS(reservoir::ElevationDischarge)
TARNWICK_DECLARE_CLASS(reservoir::ConstantDischargeInfo)
TARNWICK_DECLARE_CLASS(reservoir::SpecifiedDischargeInfo)
TARNWICK_DECLARE_CLASS(reservoir::ControlledDischargeInfo)
TARNWICK_DECLARE_CLASS(reservoir::UnControlledDischargeInfo)

// A copy of the outlet held by an instance of one of the four outlet classes,
// matched in the order uncontrolled, controlled, specified, constant; any
// other object raises a TypeError naming all four checks.
reservoir::DischargeInfo to_discharge_info(PyObject* object);

}  // namespace tarnwick::python
