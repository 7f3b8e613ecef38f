from datetime import timedelta

from typing_extensions import Never, Self, disjoint_base

from ._utils import IncrementalTimeSeries

__all__ = ["DeficitConstantResult", "run_deficit_and_constant"]

@disjoint_base
class DeficitConstantResult:
    # No constructor: instances come only from run_deficit_and_constant.
    def __new__(cls, _: Never, /) -> Self: ...
    @property
    def excess(self) -> IncrementalTimeSeries: ...
    @property
    def loss(self) -> IncrementalTimeSeries: ...
    @property
    def deficit(self) -> IncrementalTimeSeries: ...

def run_deficit_and_constant(
    rainfall: IncrementalTimeSeries,
    initial_deficit: float,
    max_deficit: float,
    constant_loss_per_hr: float,
    time_to_dry: timedelta,
) -> DeficitConstantResult: ...
