from collections.abc import Sequence
from datetime import timedelta
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt
from typing_extensions import Self, disjoint_base

__all__ = ["ContinuousTimeSeries", "IncrementalTimeSeries"]

# Any sequence of numbers: a list, a tuple, a range or a one-dimensional numpy
# array (a str is refused at run time). numpy is named only for the type
# checker; the module itself never imports it.
_Floats: TypeAlias = Sequence[float] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]]

# The kinds a series can be given; any other text raises ValueError.
_Kind: TypeAlias = Literal["discharge", "rainfall", "elevation", "volume"]

@disjoint_base
class ContinuousTimeSeries:
    def __new__(cls, data: _Floats, time_step: timedelta, kind: _Kind) -> Self: ...
    @property
    def data(self) -> list[float]: ...
    @property
    def kind(self) -> _Kind: ...
    @property
    def time_step(self) -> timedelta: ...
    def total_duration(self) -> int: ...

@disjoint_base
class IncrementalTimeSeries:
    def __new__(cls, data: _Floats, time_step: timedelta, kind: _Kind) -> Self: ...
    @property
    def data(self) -> list[float]: ...
    @property
    def kind(self) -> _Kind: ...
    @property
    def time_step(self) -> timedelta: ...
    def total_duration(self) -> int: ...
    def disaggregate(self, target_step: int) -> IncrementalTimeSeries: ...
