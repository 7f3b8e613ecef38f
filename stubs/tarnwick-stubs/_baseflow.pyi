from datetime import timedelta
from typing import final

from ._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_linear_reservoir", "LinearReservoir"]

def run_linear_reservoir(
    basin_area: float, rainfall: IncrementalTimeSeries, reservoirs: dict[str, LinearReservoir]
) -> tuple[ContinuousTimeSeries, dict[str, ContinuousTimeSeries]]: ...

@final
class LinearReservoir:
    def __new__(
        cls, k_duration: timedelta, gw_fraction: float, initial_q: float, num_reservoir: int = 1
    ) -> LinearReservoir: ...
    @property
    def gw_fraction(self) -> float: ...
    @gw_fraction.setter
    def gw_fraction(self, value: float) -> None: ...
    @property
    def initial_q(self) -> float: ...
    @initial_q.setter
    def initial_q(self, value: float) -> None: ...
    @property
    def num_reservoir(self) -> int: ...
    @num_reservoir.setter
    def num_reservoir(self, value: int) -> None: ...
    @property
    def k_duration(self) -> timedelta: ...
