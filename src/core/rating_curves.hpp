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

namespace tarnwick::reservoir {

// Both vectors strictly ascending and equally long; a curve of fewer than two
// points can be built, but every lookup on it fails.
struct ElevationStorage {
    std::vector<double> elevation;
    std::vector<double> storage;
};

// Strictly ascending elevations, non-decreasing discharges, at least two
// points of each.
struct ElevationDischarge {
    std::vector<double> elevation;
    std::vector<double> discharge;
};

Result<ElevationStorage> make_elevation_storage(std::vector<double> elevation, std::vector<double> storage);
Result<ElevationDischarge> make_elevation_discharge(std::vector<double> elevation, std::vector<double> discharge);

// The storage at `elevation`; an error outside the curve's elevations.
Result<double> get_storage(const ElevationStorage& curve, double elevation);

// The elevation at `storage`; an error outside the curve's storages.
Result<double> get_elevation(const ElevationStorage& curve, double storage);

}  // namespace tarnwick::reservoir
