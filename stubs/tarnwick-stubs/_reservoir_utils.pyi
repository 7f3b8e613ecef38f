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
    def __new__(cls, elevation: _Floats, discharge: _Floats) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def discharge(self) -> list[float]: ...

@disjoint_base
class ElevationStorage:
    def __new__(cls, elevation: _Floats, storage: _Floats) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def storage(self) -> list[float]: ...
    def get_storage(self, elevation: float) -> float: ...
    def get_elevation(self, storage: float) -> float: ...

# Not a class at run time: the four outlet classes derive from object. It
# stands for "any outlet" so that a dict mixing outlet kinds is inferred as
# dict[str, _DischargeInfo] and is accepted by run_level_pool_routing.
@type_check_only
class _DischargeInfo: ...

@disjoint_base
class ControlledDischargeInfo(_DischargeInfo):
    def __new__(
        cls,
        elevation_discharge: ElevationDischarge,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
        maximum_release: float | None = None,
    ) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge: ...
    @property
    def minimum_elevation(self) -> float: ...
    @property
    def maximum_elevation(self) -> float | None: ...
    @property
    def maximum_release(self) -> float | None: ...

@disjoint_base
class UnControlledDischargeInfo(_DischargeInfo):
    def __new__(
        cls, elevation_discharge: ElevationDischarge, elevation_offset: float | None = None
    ) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge: ...
    @property
    def elevation_offset(self) -> float | None: ...

@disjoint_base
class SpecifiedDischargeInfo(_DischargeInfo):
    def __new__(
        cls,
        discharge: ContinuousTimeSeries,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
        maximum_release: float | None = None,
    ) -> Self: ...
    @property
    def discharge(self) -> ContinuousTimeSeries: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
    @property
    def maximum_release(self) -> float | None: ...

@disjoint_base
class ConstantDischargeInfo(_DischargeInfo):
    def __new__(
        cls,
        discharge: float,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
    ) -> Self: ...
    @property
    def discharge(self) -> float: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
