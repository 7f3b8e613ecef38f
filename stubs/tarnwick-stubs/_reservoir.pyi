from typing import TypeVar

from typing_extensions import Never, Self, disjoint_base

from . import _reservoir_utils as reservoir_utils
from ._reservoir_utils import ElevationStorage, _DischargeInfo
from ._utils import ContinuousTimeSeries

__all__ = ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]

# Any dict from names to outlets: of one outlet class, of a union of them, or
# mixing several (inferred as dict[str, _DischargeInfo]).
_Outlet = TypeVar("_Outlet", bound=_DischargeInfo)

def run_level_pool_routing(
    inflow: ContinuousTimeSeries,
    initial_elevation: float,
    elevation_storage: ElevationStorage,
    discharge_info: dict[str, _Outlet],
) -> LevelPoolResult:
    """Performs level pool (modified Puls) routing for a reservoir.

    Integrates the mass balance equation `dS/dt = I - O` over the inflow
    hydrograph duration. Output vectors are recorded at the original inflow time
    step.

    # Errors

    Returns a `PyValueError` if any outlet's discharge calculation fails or if
    the initial elevation is outside the elevation-storage curve range.
    """

@disjoint_base
class LevelPoolResult:
    # No constructor: instances come only from run_level_pool_routing.
    """Results from a level pool routing simulation."""
    def __new__(cls, _: Never, /) -> Self: ...
    @property
    def reservoir_storage(self) -> ContinuousTimeSeries:
        """Reservoir storage volume at each output time step."""
    @property
    def reservoir_elevation(self) -> ContinuousTimeSeries:
        """Water surface elevation at each output time step."""
    @property
    def reservoir_total_outflow(self) -> ContinuousTimeSeries:
        """Combined outflow from all outlets at each output time step."""
    @property
    def reservoir_individual_outflows(self) -> dict[str, ContinuousTimeSeries]:
        """Per-outlet outflow time series keyed by outlet name."""
