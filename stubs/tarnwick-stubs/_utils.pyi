import sys
from collections.abc import Sequence
from datetime import timedelta
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt
from typing_extensions import Self, disjoint_base

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__all__ = ["ContinuousTimeSeries", "IncrementalTimeSeries"]

# Any sequence of numbers: a list, a tuple, a range or a one-dimensional numpy
# array (a str is refused at run time). numpy is named only for the type
# checker; the module itself never imports it.
_Floats: TypeAlias = Sequence[float] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]]

# The kinds a series can be given; any other text raises ValueError.
_Kind: TypeAlias = Literal["discharge", "rainfall", "elevation", "volume"]

# Both series export their values through the buffer protocol (read-only,
# one-dimensional, format "d"), so np.asarray(series), np.frombuffer(series)
# and memoryview(series) read them in place. Interpreters before 3.12 have no
# __buffer__ method to show for it; there the base class alone declares it
# (and numpy's own stubs of frombuffer name only their built-in buffer types,
# so a type check for those versions accepts np.asarray(series) but not
# np.frombuffer(series)).

@disjoint_base
class ContinuousTimeSeries(Buffer):
    """A uniformly-spaced time series where each value represents a quantity at a
    discrete point in time (e.g. discharge, elevation, storage).

    Total duration spans first to last point: `time_step * (len(data) - 1)`.
    Supports linear interpolation between points.
    """
    def __new__(cls, data: _Floats, time_step: timedelta, kind: _Kind) -> Self: ...
    @property
    def data(self) -> list[float]: ...
    @property
    def kind(self) -> _Kind: ...
    @property
    def time_step(self) -> timedelta: ...
    def total_duration(self) -> int:
        """Total duration from first to last data point (seconds)."""
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...

@disjoint_base
class IncrementalTimeSeries(Buffer):
    """A uniformly-spaced time series where each value represents a quantity
    accumulated over one time step interval (e.g. rainfall depth, volume added).

    Total duration spans all intervals: `time_step * len(data)`.
    Supports disaggregation to a finer time step.
    """
    def __new__(cls, data: _Floats, time_step: timedelta, kind: _Kind) -> Self: ...
    @property
    def data(self) -> list[float]: ...
    @property
    def kind(self) -> _Kind: ...
    @property
    def time_step(self) -> timedelta: ...
    def total_duration(self) -> int:
        """Total duration spanning all time step intervals (seconds)."""
    def disaggregate(self, target_step: int) -> IncrementalTimeSeries:
        """Disaggregates to a finer `target_step` (seconds) by uniformly
        distributing each bucket's value. Total depth is preserved.
        """
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...
