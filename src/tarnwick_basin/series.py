"""Dated pandas records in and out of the module's series.

The module knows no dates and one set of units (inches, acres, cubic feet per
second); a gauge record is a pandas Series with a DatetimeIndex in whatever units
its source uses. The functions here check a record once (one uniform step, no
silent gaps), convert it exactly into the module's units, and label results the
way the user guide explains: a continuous value i (a flow, an elevation, a
storage) is the state at the instant start + i * step, an incremental amount i
(a rainfall depth) belongs to the interval that ends at start + (i + 1) * step.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from datetime import timedelta
from os import PathLike
from typing import Any, Generic, Literal, TextIO, TypeVar, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

import tarnwick

FloatArray = npt.NDArray[np.float64]
Fill = Literal["dry", "interpolate"]
DepthUnit = Literal["mm", "in"]
FlowUnit = Literal["m3/s", "cfs"]
AreaUnit = Literal["km2", "acre"]

# Exact by definition of the inch, the foot and the acre.
MM_PER_INCH = 25.4
M3_PER_FT3 = 0.028316846592  # 0.3048 m cubed
M2_PER_ACRE = 4046.8564224

DEPTH_UNITS: tuple[str, ...] = ("mm", "in")
FLOW_UNITS: tuple[str, ...] = ("m3/s", "cfs")
AREA_UNITS: tuple[str, ...] = ("km2", "acre")
FILLS: tuple[str, ...] = ("dry", "interpolate")

# How many dates a message about missing values names at most.
_NAMED_DATES = 3


class FilledWarning(UserWarning):
    """Missing values of a record were filled as the caller asked."""


def _choice(value: str, allowed: tuple[str, ...], what: str) -> None:
    if value not in allowed:
        raise ValueError(f"{what} must be one of {', '.join(map(repr, allowed))}; got {value!r}")


def depth_factor(unit: str) -> float:
    """What one depth of `unit` is in inches is `value / depth_factor(unit)`."""
    _choice(unit, DEPTH_UNITS, "a depth unit")
    return MM_PER_INCH if unit == "mm" else 1.0


def flow_factor(unit: str) -> float:
    """What one flow of `unit` is in cfs is `value / flow_factor(unit)`."""
    _choice(unit, FLOW_UNITS, "a flow unit")
    return M3_PER_FT3 if unit == "m3/s" else 1.0


def area_to_acres(value: float, unit: str) -> float:
    """An area of `unit` in acres."""
    _choice(unit, AREA_UNITS, "an area unit")
    return value * 1e6 / M2_PER_ACRE if unit == "km2" else value


def time_step(index: pd.Index, what: str = "the record") -> timedelta:
    """The one time step of a DatetimeIndex; a gap or an uneven step is refused.

    The message names the first place where the spacing breaks.
    """
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{what} needs a DatetimeIndex, not {type(index).__name__}")
    if len(index) < 2:
        raise ValueError(f"{what} needs at least two dated values to show its time step")
    stamps = index.asi8
    steps = np.diff(stamps)
    first = int(steps[0])
    uneven = np.flatnonzero(steps != first)
    if first <= 0 or len(uneven) > 0:
        at = 0 if first <= 0 else int(uneven[0])
        # asi8 counts in the index's own unit (ns or us, depending on pandas' version).
        gap = pd.Timedelta(index[at + 1] - index[at]).to_pytimedelta()
        spacing = pd.Timedelta(index[1] - index[0]).to_pytimedelta()
        raise ValueError(
            f"{what} is not uniformly spaced: {gap} from {index[at]} to {index[at + 1]} "
            f"where the step is {spacing}; fill or split it first"
        )
    step: timedelta = pd.Timedelta(index[1] - index[0]).to_pytimedelta()
    if step.microseconds or step < timedelta(seconds=1):
        raise ValueError(f"{what} has a step of {step}, which is not a whole number of seconds")
    return step


@dataclass(frozen=True)
class Checked:
    """A record's values once checked: float64, no missing values left."""

    values: FloatArray
    index: pd.DatetimeIndex
    step: timedelta
    filled: int  # how many missing values were filled


def check_record(record: pd.Series, fill: Fill | None = None, what: str = "the record") -> Checked:
    """Checks a dated record: one step, and no missing values unless `fill` says how.

    Missing values (NaN, infinite, or empty cells read as NaN) are refused by
    default, naming how many and the first dates. `fill="dry"` sets them to 0.0
    (for rainfall known to be dry), `fill="interpolate"` draws straight lines
    across them from the neighbouring values (for a short gap in a flow record;
    missing values at either end take the nearest value). The count of filled
    values is returned and reported by a `FilledWarning`.
    """
    if isinstance(record, pd.DataFrame):
        raise TypeError(f"{what} is a DataFrame: pass one column, a Series")
    if not isinstance(record, pd.Series):
        raise TypeError(f"{what} must be a pandas Series with a DatetimeIndex")
    if fill is not None:
        _choice(fill, FILLS, "fill")
    index = cast(pd.DatetimeIndex, record.index)
    step = time_step(index, what)
    try:
        values = np.array(record.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{what} holds values that are not numbers: {error}") from None
    missing = ~np.isfinite(values)
    count = int(missing.sum())
    if count:
        at = np.flatnonzero(missing)
        if fill is None:
            dates = ", ".join(str(index[i]) for i in at[:_NAMED_DATES])
            more = ", ..." if count > _NAMED_DATES else ""
            raise ValueError(
                f"{what} has {count} missing value{'s' if count != 1 else ''} "
                f"(at {dates}{more}); pass fill='dry' or fill='interpolate' to fill them"
            )
        if fill == "dry":
            values[at] = 0.0
        else:
            good = np.flatnonzero(~missing)
            if len(good) == 0:
                raise ValueError(f"{what} has no values to interpolate from")
            values[at] = np.interp(at, good, values[good])
        warnings.warn(
            f"{what}: filled {count} missing value{'s' if count != 1 else ''} "
            f"({fill}), the first at {index[at[0]]}",
            FilledWarning,
            stacklevel=2,
        )
    return Checked(values, index, step, count)


S = TypeVar("S", tarnwick.utils.ContinuousTimeSeries, tarnwick.utils.IncrementalTimeSeries)


@dataclass(frozen=True)
class Converted(Generic[S]):
    """A record turned into a module series, with where its clock starts."""

    series: S
    start: pd.Timestamp  # the instant of the module's time zero
    filled: int  # missing values filled on the way


def rainfall_series(
    record: pd.Series, unit: DepthUnit, fill: Fill | None = None
) -> Converted[tarnwick.utils.IncrementalTimeSeries]:
    """Depths per step, labelled with the end of their interval, as inches per step.

    The clock starts one step before the first label.
    """
    factor = depth_factor(unit)
    checked = check_record(record, fill, "the rainfall record")
    inches = checked.values / factor if factor != 1.0 else checked.values
    series = tarnwick.utils.IncrementalTimeSeries(inches, checked.step, "rainfall")
    start = checked.index[0] - pd.Timedelta(checked.step)
    return Converted(series, start, checked.filled)


def flow_series(
    record: pd.Series, unit: FlowUnit, fill: Fill | None = None
) -> Converted[tarnwick.utils.ContinuousTimeSeries]:
    """Flows at instants, as cfs; the clock starts at the first label."""
    factor = flow_factor(unit)
    checked = check_record(record, fill, "the flow record")
    cfs = checked.values / factor if factor != 1.0 else checked.values
    series = tarnwick.utils.ContinuousTimeSeries(cfs, checked.step, "discharge")
    return Converted(series, checked.index[0], checked.filled)


def dated(
    series: tarnwick.utils.ContinuousTimeSeries | tarnwick.utils.IncrementalTimeSeries,
    start: pd.Timestamp,
    unit: str | None = None,
    name: str | None = None,
) -> pd.Series:
    """A module series as a dated Series, converted from the module's units to `unit`.

    Continuous values are labelled start + i * step, incremental amounts with the
    end of their interval, start + (i + 1) * step. `unit` is a depth unit for
    rainfall series, a flow unit for discharge series, "m3" or "ft3" for volumes,
    and None (no conversion) for elevations or to keep the module's units.
    """
    step = pd.Timedelta(series.time_step)
    values = np.asarray(series, dtype=np.float64)
    if unit is not None:
        kind = series.kind
        if kind == "rainfall":
            factor = depth_factor(unit)
        elif kind == "discharge":
            factor = flow_factor(unit)
        elif kind == "volume":
            _choice(unit, ("m3", "ft3"), "a volume unit")
            factor = M3_PER_FT3 if unit == "m3" else 1.0
        else:
            raise ValueError(f"a series of kind {kind!r} has no unit to convert to")
        if factor != 1.0:
            values = values * factor
    continuous = isinstance(series, tarnwick.utils.ContinuousTimeSeries)
    first = start if continuous else start + step
    index = pd.date_range(first, periods=len(values), freq=step)
    return pd.Series(values, index=index, name=name)


def read_gauge_csv(
    path: str | PathLike[str] | TextIO,
    *,
    header: bool = True,
    fill: Fill | None = None,
    date_format: str | None = None,
    dayfirst: bool = False,
    skiprows: int | list[int] | None = None,
) -> pd.DataFrame:
    """Reads a gauge CSV (a path or an open text file) whose first column holds the
    dates, with the checks of `check_record` on every other column.

    Returns a DataFrame of float64 columns on the file's DatetimeIndex (columns of
    a headerless file are numbered from 1). Empty cells are missing values:
    refused unless `fill` says how to fill them (the count is reported by a
    `FilledWarning` per column). Pass one column on, as a Series, to the other
    functions of this module.
    """
    source = "the gauge file" if hasattr(path, "read") else str(path)
    frame = pd.read_csv(
        path, header=0 if header else None, index_col=0, skiprows=skiprows, dtype=str
    )
    try:
        frame.index = pd.to_datetime(frame.index, format=date_format, dayfirst=dayfirst)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{source}: the first column holds no dates: {error}") from None
    if frame.shape[1] == 0:
        raise ValueError(f"{source}: no column of values besides the dates")
    checked: dict[Any, FloatArray] = {}
    for column in frame.columns:
        numbers = pd.to_numeric(frame[column].str.strip(), errors="coerce")
        bad = numbers.isna() & frame[column].notna() & (frame[column].str.strip() != "")
        if bad.any():
            where = frame.index[np.flatnonzero(bad.to_numpy())[0]]
            raise ValueError(
                f"{source}: column {column!r} holds {frame[column][bad].iloc[0]!r} at {where}, "
                "which is not a number"
            )
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", FilledWarning)
            result = check_record(
                pd.Series(numbers.to_numpy(np.float64), index=frame.index),
                fill,
                f"{source}: column {column!r}",
            )
        for warning in caught:
            warnings.warn(str(warning.message), FilledWarning, stacklevel=2)
        checked[column] = result.values
    result_frame: pd.DataFrame = pd.DataFrame(checked, index=frame.index)
    return result_frame
