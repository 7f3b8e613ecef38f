from datetime import timedelta

from ._utils import ContinuousTimeSeries

__all__ = ["run_muskingum_routing"]

def run_muskingum_routing(
    inflow: ContinuousTimeSeries,
    k: timedelta,
    x: float,
    sub_reaches: int,
    initial_outflow: float,
) -> ContinuousTimeSeries: ...
