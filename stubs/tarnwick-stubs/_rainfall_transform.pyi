from datetime import timedelta

from ._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_clark_uh"]

def run_clark_uh(
    rainfall: IncrementalTimeSeries, basin_area: float, tc: timedelta, storage_r: timedelta
) -> ContinuousTimeSeries: ...
