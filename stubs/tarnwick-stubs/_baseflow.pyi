from datetime import timedelta
from typing import final

from ._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_linear_reservoir", "LinearReservoir"]

def run_linear_reservoir(
    basin_area: float, rainfall: IncrementalTimeSeries, reservoirs: dict[str, LinearReservoir]
) -> tuple[ContinuousTimeSeries, dict[str, ContinuousTimeSeries]]:
    """Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.

    # Arguments

    * `basin_area` - Drainage area in acres.
    * `rainfall` - Infiltrated rainfall series (inches per time step).
    * `reservoirs` - Named linear reservoir configurations.

    # Errors

    Returns a `PyValueError` if sum of all fractions exceeds 1.0,
    or any reservoir fails its stability check.
    """

@final
class LinearReservoir:
    """Configuration for a single linear reservoir groundwater layer.

    A linear reservoir models groundwater storage with the recurrence relation:
    `Q[t] = C * I[t] + (1 - C) * Q[t-1]`, where `C = dt / (K + 0.5*dt)`.
    Chaining `num_reservoir` reservoirs in series produces a more peaked,
    delayed response.
    """
    def __new__(
        cls, k_duration: timedelta, gw_fraction: float, initial_q: float, num_reservoir: int = 1
    ) -> LinearReservoir: ...
    @property
    def gw_fraction(self) -> float:
        """Fraction of rainfall loss that contributes to this reservoir's baseflow.
        Must be in [0.0, 1.0].
        """
    @gw_fraction.setter
    def gw_fraction(self, value: float) -> None: ...
    @property
    def initial_q(self) -> float:
        """Initial discharge at the start of the simulation (e.g., cfs)."""
    @initial_q.setter
    def initial_q(self, value: float) -> None: ...
    @property
    def num_reservoir(self) -> int:
        """Number of linear reservoirs chained in series."""
    @num_reservoir.setter
    def num_reservoir(self, value: int) -> None: ...
    @property
    def k_duration(self) -> timedelta:
        """Returns the storage time constant as a Python `timedelta`."""
