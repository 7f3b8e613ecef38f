from datetime import timedelta

from ._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_clark_uh"]

def run_clark_uh(
    rainfall: IncrementalTimeSeries, basin_area: float, tc: timedelta, storage_r: timedelta
) -> ContinuousTimeSeries:
    """Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.

    # Arguments

    * `rainfall` - Excess rainfall series (inches per time step).
    * `basin_area` - Drainage area in acres.
    * `tc` - Time of concentration. Controls the duration and shape of the
      translation hydrograph.
    * `storage_r` - Linear reservoir storage coefficient. Controls attenuation.

    # Returns

    A `ContinuousTimeSeries` (kind=discharge, cfs) at the same time step as `rainfall`.
    """
