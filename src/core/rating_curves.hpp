// Tabulated rating curves of a reservoir.
//
// An elevation-storage curve relates the water-surface elevation to the
// volume stored, in both directions; level pool routing converts between the
// two with it. An elevation-discharge curve gives the flow an outlet passes
// at an elevation. Both are linear between their knots (interp1d) and are
// checked once when built from the caller's lists.
#pragma once

#include <vector>

#include "error.hpp"
#include "large_buffer.hpp"

namespace tarnwick::reservoir {

// Both vectors strictly ascending and equally long; a curve of fewer than two
// points can be built, but every lookup on it fails.
struct ElevationStorage {
    Values elevation;
    Values storage;
};

// Strictly ascending elevations, non-decreasing discharges, at least two
// points of each.
struct ElevationDischarge {
    Values elevation;
    Values discharge;
};

Result<ElevationStorage> make_elevation_storage(Values elevation, Values storage);
Result<ElevationDischarge> make_elevation_discharge(Values elevation, Values discharge);

// The storage at `elevation`; an error outside the curve's elevations.
Result<double> get_storage(const ElevationStorage& curve, double elevation);

// The elevation at `storage`; an error outside the curve's storages.
Result<double> get_elevation(const ElevationStorage& curve, double storage);

}  // namespace tarnwick::reservoir
