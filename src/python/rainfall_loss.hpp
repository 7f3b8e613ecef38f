// Python classes of the `rainfall_loss` submodule.
#pragma once

#include "../core/deficit_constant.hpp"
#include "classes.hpp"

namespace tarnwick::python {

using deficit_constant::DeficitConstantResult;

TARNWICK_DECLARE_CLASS(DeficitConstantResult)

}  // namespace tarnwick::python
