from datetime import timedelta

from typing_extensions import Never, Self, disjoint_base

from ._utils import IncrementalTimeSeries

__all__ = ["DeficitConstantResult", "run_deficit_and_constant"]

@disjoint_base
class DeficitConstantResult:
    # No constructor: instances come only from run_deficit_and_constant.
    """Results from the deficit-and-constant rainfall loss model."""
    def __new__(cls, _: Never, /) -> Self: ...
    @property
    def excess(self) -> IncrementalTimeSeries:
        """Excess rainfall that becomes surface runoff (inches per time step)."""
    @property
    def loss(self) -> IncrementalTimeSeries:
        """Total infiltrated depth per time step (constant loss + deficit fill, inches)."""
    @property
    def deficit(self) -> IncrementalTimeSeries:
        """Running soil moisture deficit at the end of each time step (inches)."""

def run_deficit_and_constant(
    rainfall: IncrementalTimeSeries,
    initial_deficit: float,
    max_deficit: float,
    constant_loss_per_hr: float,
    time_to_dry: timedelta,
) -> DeficitConstantResult:
    """Separates gross rainfall into excess runoff and infiltration losses using the
    deficit-and-constant model.

    # Arguments

    * `rainfall` - Gross rainfall time series (inches per time step).
    * `initial_deficit` - Starting soil moisture deficit (inches).
    * `max_deficit` - Maximum soil moisture storage capacity (inches).
    * `constant_loss_per_hr` - Constant infiltration rate (inches/hour).
    * `time_to_dry` - Characteristic drying time for deficit recovery.

    # Returns

    A `DeficitConstantResult` with `excess`, `loss`, and `deficit` series.
    """
