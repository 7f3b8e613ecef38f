#include "rating_curves.hpp"

#include <cstddef>
#include <string>
#include <utility>

#include "float_text.hpp"
#include "interp.hpp"

namespace tarnwick::reservoir {

namespace {

bool strictly_ascending(const Values& values) {
    for (std::size_t i = 0; i + 1 < values.size(); ++i)
        if (!(values[i] < values[i + 1])) return false;
    return true;
}

bool ascending(const Values& values) {
    for (std::size_t i = 0; i + 1 < values.size(); ++i)
        if (!(values[i] <= values[i + 1])) return false;
    return true;
}

}  // namespace

Result<ElevationStorage> make_elevation_storage(Values elevation, Values storage) {
    if (elevation.size() != storage.size()) return value_error("`elevation` and `storage` must have the same length");
    if (!strictly_ascending(elevation)) return value_error("`elevation` must must be sorted and can't have duplicates");
    if (!strictly_ascending(storage)) return value_error("`storage` must must be sorted and can't have duplicates");
    return ElevationStorage{std::move(elevation), std::move(storage)};
}

Result<ElevationDischarge> make_elevation_discharge(Values elevation, Values discharge) {
    if (elevation.size() != discharge.size())
        return value_error("`elevation` and `discharge` must have the same length");
    if (elevation.size() < 2) return value_error("`elevation` and `discharge` each must have at least 2 elements.");
    if (!strictly_ascending(elevation)) return value_error("`elevation` must must be sorted and can't have duplicates");
    if (!ascending(discharge)) return value_error("`discharge` must must be sorted");
    return ElevationDischarge{std::move(elevation), std::move(discharge)};
}

Result<double> get_storage(const ElevationStorage& curve, double elevation) {
    if (auto storage = interp1d(curve.elevation, curve.storage, elevation, std::nullopt, std::nullopt)) return *storage;
    return value_error("`elevation` " + float_text(elevation) +
                       " is outside the range of the elevation-storage curve.");
}

Result<double> get_elevation(const ElevationStorage& curve, double storage) {
    if (auto elevation = interp1d(curve.storage, curve.elevation, storage, std::nullopt, std::nullopt))
        return *elevation;
    return value_error("`storage` " + float_text(storage) + " is outside the range of the elevation-storage curve.");
}

}  // namespace tarnwick::reservoir
