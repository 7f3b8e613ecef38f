from typing import type_check_only

from typing_extensions import Self, disjoint_base

from ._utils import ContinuousTimeSeries, _Floats

__all__ = [
    "ElevationDischarge",
    "ElevationStorage",
    "ControlledDischargeInfo",
    "UnControlledDischargeInfo",
    "SpecifiedDischargeInfo",
    "ConstantDischargeInfo",
]

@disjoint_base
class ElevationDischarge:
    """Elevation-discharge rating curve for a reservoir outlet.

    Stores paired elevation and discharge vectors used by outlet structs to look
    up the flow rate at a given water surface elevation via linear interpolation.

    # Fields

    * `elevation` - Sorted unique elevation values in ascending order.
    * `discharge` - Discharge values in ascending order, each corresponding
      to the paired elevation (e.g., cfs).
    """
    def __new__(cls, elevation: _Floats, discharge: _Floats) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def discharge(self) -> list[float]: ...

@disjoint_base
class ElevationStorage:
    """Elevation-storage rating curve for a reservoir.

    Stores paired elevation and storage vectors and provides linear interpolation
    in both directions. Storage units must be consistent with the inflow units
    used in level pool routing (e.g., ft³ when inflow is in cfs).

    # Fields

    * `elevation` - Sorted unique elevation values in ascending order.
    * `storage` - Sorted unique storage values in ascending order, each
      corresponding to the paired elevation.
    """
    def __new__(cls, elevation: _Floats, storage: _Floats) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def storage(self) -> list[float]: ...
    def get_storage(self, elevation: float) -> float:
        """Interpolates the storage corresponding to a given elevation.

        # Arguments

        * `elevation` - Elevation value to look up.

        # Returns

        The interpolated storage, or a `PyValueError` if `elevation` is outside
        the range of the stored curve.
        """
    def get_elevation(self, storage: float) -> float:
        """Interpolates the elevation corresponding to a given storage value.

        # Arguments

        * `storage` - Storage value to look up.

        # Returns

        The interpolated elevation.

        # Panics

        Panics if `storage` is outside the range of the stored curve.
        """

# Not a class at run time: the four outlet classes derive from object. It
# stands for "any outlet" so that a dict mixing outlet kinds is inferred as
# dict[str, _DischargeInfo] and is accepted by run_level_pool_routing.
@type_check_only
class _DischargeInfo: ...

@disjoint_base
class ControlledDischargeInfo(_DischargeInfo):
    """Controlled release outlet (e.g., gate, valve, conduit).

    Discharge is determined by an elevation-discharge rating curve and can be
    bounded by minimum/maximum elevation gates and a maximum release cap.
    When the reservoir elevation is below `minimum_elevation` or above
    `maximum_elevation`, the outlet releases zero flow.

    The `minimum_elevation` defaults to the lowest elevation in the rating curve
    if not provided, ensuring no negative-elevation lookups occur.
    """
    def __new__(
        cls,
        elevation_discharge: ElevationDischarge,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
        maximum_release: float | None = None,
    ) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge:
        """Rating curve mapping elevation to discharge."""
    @property
    def minimum_elevation(self) -> float:
        """Elevation below which no discharge occurs."""
    @property
    def maximum_elevation(self) -> float | None:
        """Elevation above which no discharge occurs."""
    @property
    def maximum_release(self) -> float | None:
        """Cap on the maximum allowable discharge."""

@disjoint_base
class UnControlledDischargeInfo(_DischargeInfo):
    """Uncontrolled spillway outlet.

    Discharge follows an elevation-discharge rating curve without operator
    control. An optional `elevation_offset` shifts the effective reservoir
    elevation before the rating-curve lookup — useful for modeling a weir crest
    that sits at a different datum than the storage curve.

    Zero discharge is returned when the (offset-adjusted) elevation is below
    the first entry in the rating curve.
    """
    def __new__(
        cls, elevation_discharge: ElevationDischarge, elevation_offset: float | None = None
    ) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge:
        """Rating curve mapping elevation to discharge."""
    @property
    def elevation_offset(self) -> float | None:
        """Additive offset applied to the reservoir elevation before curve lookup."""

@disjoint_base
class SpecifiedDischargeInfo(_DischargeInfo):
    """Time-varying specified discharge outlet.

    Discharge is read directly from a `ContinuousTimeSeries` at each simulation
    time step, optionally gated by elevation bounds and a maximum release cap.
    """
    def __new__(
        cls,
        discharge: ContinuousTimeSeries,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
        maximum_release: float | None = None,
    ) -> Self: ...
    @property
    def discharge(self) -> ContinuousTimeSeries:
        """Time series of prescribed outflow values (kind=discharge)."""
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
    @property
    def maximum_release(self) -> float | None: ...

@disjoint_base
class ConstantDischargeInfo(_DischargeInfo):
    """Constant-rate discharge outlet.

    Releases a fixed flow rate at every time step, optionally gated by
    elevation bounds. When the reservoir elevation is outside the specified
    range, the outlet releases zero flow.
    """
    def __new__(
        cls,
        discharge: float,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
    ) -> Self: ...
    @property
    def discharge(self) -> float:
        """Constant discharge rate (e.g., cfs)."""
    @property
    def minimum_elevation(self) -> float | None:
        """Elevation below which no discharge occurs."""
    @property
    def maximum_elevation(self) -> float | None:
        """Elevation above which no discharge occurs."""
