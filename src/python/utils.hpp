// Python classes of the `utils` submodule: the two time-series classes.
#pragma once

#include "../core/time_series.hpp"
#include "classes.hpp"

namespace tarnwick::python {

TARNWICK_DECLARE_CLASS(ContinuousTimeSeries)
TARNWICK_DECLARE_CLASS(IncrementalTimeSeries)

}  // namespace tarnwick::python
