"""Scores of a simulated flow against an observed one, compared date by date.

`kge`, `nse` and `kge_log` take two pandas Series with a DatetimeIndex and compare
the values of the dates both have: never by position. The simulated series sets the
clock: a warm-up skips its first dates, and a date with a NaN on either side is
dropped and counted. Each returns a `Score`, a float that also tells how many pairs
it compared and how many it dropped.

Series of different steps are refused rather than sampled: `means` turns point flows
into means over a longer step (daily means of hourly flows, say), labelled by the
start of their interval as gauge records label their daily means.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from datetime import timedelta
from typing import Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

import tarnwick

FloatArray = npt.NDArray[np.float64]
Warmup = timedelta | pd.Timedelta | str | None
Align = Literal["common", "exact"]


class Score(float):
    """An objective's value, with the number of date pairs compared and dropped."""

    compared: int
    dropped: int

    def __new__(cls, value: float, compared: int, dropped: int) -> Score:
        score = super().__new__(cls, value)
        score.compared = compared
        score.dropped = dropped
        return score

    def __str__(self) -> str:
        return float.__repr__(self)

    def __repr__(self) -> str:
        return f"Score({float(self)!r}, compared={self.compared}, dropped={self.dropped})"

    def __reduce__(self) -> tuple[type[Score], tuple[float, int, int]]:
        return (Score, (float(self), self.compared, self.dropped))


@dataclass(frozen=True)
class Pairs:
    """The values of two series on the dates they are compared on."""

    simulated: FloatArray
    observed: FloatArray
    index: pd.DatetimeIndex  # the dates compared
    dropped: int  # dates left out for a NaN on either side


def as_timedelta(warmup: Warmup) -> pd.Timedelta:
    """A warm-up as a non-negative `pandas.Timedelta` (none is zero)."""
    span: pd.Timedelta = pd.Timedelta(0) if warmup is None else pd.Timedelta(warmup)
    if pd.isna(span) or span < pd.Timedelta(0):
        raise ValueError(f"the warm-up must be a duration of zero or more, not {warmup!r}")
    return span


def dates_of(series: pd.Series, role: str) -> pd.DatetimeIndex:
    """The series' dates, checked: a DatetimeIndex of distinct, ascending dates."""
    index = series.index
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(
            f"the {role} series needs a DatetimeIndex (dates), not {type(index).__name__}: "
            "values are compared date by date"
        )
    if not index.is_unique:
        twice = index[index.duplicated()][0]
        raise ValueError(f"the {role} series has the date {twice} more than once")
    if not index.is_monotonic_increasing:
        back = int(np.argmax(np.diff(nanoseconds(index)) < 0)) + 1
        raise ValueError(f"the {role} series goes back in time at {index[back]}")
    return index


def nanoseconds(index: pd.DatetimeIndex) -> npt.NDArray[np.int64]:
    """The dates as integer nanoseconds, whatever the resolution the index keeps."""
    ns: npt.NDArray[np.int64] = index.as_unit("ns").asi8
    return ns


def step_of(index: pd.DatetimeIndex) -> pd.Timedelta | None:
    """The shortest spacing of ascending dates (None for fewer than two)."""
    if len(index) < 2:
        return None
    step: pd.Timedelta = pd.Timedelta(int(np.diff(nanoseconds(index)).min()), unit="ns")
    return step


def pair(
    simulated: pd.Series,
    observed: pd.Series,
    *,
    warmup: Warmup = None,
    align: Align = "common",
) -> Pairs:
    """The two series' values date by date, after the warm-up, without NaN pairs.

    `warmup` is a duration from the simulated series' first date: dates before
    first + warmup are skipped. `align="common"` compares the dates both series have;
    `align="exact"` refuses series whose dates differ. Series of different steps, or
    with no date to compare, are refused with `ValueError`.
    """
    sim_dates, obs_dates = dates_of(simulated, "simulated"), dates_of(observed, "observed")
    if (sim_dates.tz is None) != (obs_dates.tz is None):
        raise ValueError("one series has dates with a time zone and the other without")
    sim_step, obs_step = step_of(sim_dates), step_of(obs_dates)
    if sim_step is not None and obs_step is not None and sim_step != obs_step:
        raise ValueError(
            f"the simulated series has a step of {_text(sim_step)}, the observed one of "
            f"{_text(obs_step)}: "
            "compare series of one step (`means` averages flows over a longer step)"
        )
    if align == "exact":
        if not sim_dates.equals(obs_dates):
            raise ValueError(f"the dates differ: {_first_difference(sim_dates, obs_dates)}")
        dates = sim_dates
    elif align == "common":
        dates = sim_dates.intersection(obs_dates)
        if len(dates) == 0:
            raise ValueError(
                f"the series have no date in common: simulated {_span(sim_dates)}, "
                f"observed {_span(obs_dates)}"
            )
    else:
        raise ValueError(f'align must be "common" or "exact", not {align!r}')
    if len(sim_dates):
        first = sim_dates[0] + as_timedelta(warmup)
        dates = dates[dates >= first]
        if len(dates) == 0:
            raise ValueError(f"no date is left to compare after the warm-up (from {first})")
    sim = simulated.reindex(dates).to_numpy(dtype=np.float64)
    obs = observed.reindex(dates).to_numpy(dtype=np.float64)
    keep = ~(np.isnan(sim) | np.isnan(obs))
    if not keep.any():
        raise ValueError(f"every one of the {len(dates)} pairs has a NaN: nothing to compare")
    return Pairs(sim[keep], obs[keep], dates[keep], int(len(dates) - keep.sum()))


def _text(step: pd.Timedelta) -> str:
    """A step as Python writes a timedelta: 1:00:00, 1 day, 0:00:00."""
    return str(step.to_pytimedelta())


def _span(dates: pd.DatetimeIndex) -> str:
    return f"{dates[0]} to {dates[-1]}" if len(dates) else "no dates"


def _first_difference(simulated: pd.DatetimeIndex, observed: pd.DatetimeIndex) -> str:
    for i, (a, b) in enumerate(zip(simulated, observed, strict=False)):
        if a != b:
            return f"value {i} is at {a} simulated, at {b} observed"
    return f"{len(simulated)} simulated dates, {len(observed)} observed"


def kge_values(simulated: FloatArray, observed: FloatArray) -> float:
    """The Kling-Gupta efficiency of two arrays of one length (the module's)."""
    return tarnwick.metrics.calculate_kge(simulated, observed)


def kge_log_values(simulated: FloatArray, observed: FloatArray) -> float:
    """The Kling-Gupta efficiency of the logarithms, which weighs low flows."""
    return tarnwick.metrics.calculate_kge(simulated, observed, use_log=True)


def nse_values(simulated: FloatArray, observed: FloatArray) -> float:
    """The Nash-Sutcliffe efficiency; NaN for a constant observed record."""
    spread = float(np.sum((observed - observed.mean()) ** 2))
    if spread == 0.0:
        return math.nan
    return 1.0 - float(np.sum((simulated - observed) ** 2)) / spread


@dataclass(frozen=True)
class Objective:
    """A score of a simulated against an observed flow; 1 is a perfect match.

    Called on two dated Series, it pairs them by date (see `pair`); `on_arrays`
    scores arrays already paired, as a calibration does on every evaluation.
    """

    name: str
    on_arrays: Callable[[FloatArray, FloatArray], float]

    def __call__(
        self,
        simulated: pd.Series,
        observed: pd.Series,
        *,
        warmup: Warmup = None,
        align: Align = "common",
    ) -> Score:
        pairs = pair(simulated, observed, warmup=warmup, align=align)
        value = self.on_arrays(pairs.simulated, pairs.observed)
        return Score(value, len(pairs.index), pairs.dropped)


kge = Objective("KGE", kge_values)
kge_log = Objective("KGE of log flows", kge_log_values)
nse = Objective("NSE", nse_values)


def interval_means(points: FloatArray, per: int) -> FloatArray:
    """Means over runs of `per` steps of flows at step boundaries, by the trapezoidal
    rule: `points` holds m * per + 1 values, the result m."""
    inner = points[:-1].reshape(-1, per).sum(axis=1)
    ends = points[per::per] - points[:-1:per]
    means: FloatArray = (inner + 0.5 * ends) / per
    return means


def means(flows: pd.Series, step: timedelta | pd.Timedelta | str) -> pd.Series:
    """Mean flows over `step` (a whole number of the series' steps) from point flows.

    The intervals start at whole multiples of `step` (midnight for days) and each
    mean is labelled by the start of its interval; only whole intervals are kept.
    """
    dates = dates_of(flows, "flow")
    own, wanted = step_of(dates), pd.Timedelta(step)
    if own is None:
        raise ValueError("a series of fewer than two values has no step to average over")
    if np.any(np.diff(nanoseconds(dates)) != own.value):
        raise ValueError("the flow series is not evenly spaced")
    per, rest = divmod(wanted.value, own.value)
    if per < 1 or rest:
        raise ValueError(
            f"the step {_text(wanted)} is not a whole number of the series' step {_text(own)}"
        )
    first = dates[0].ceil(wanted)
    offset = (first - dates[0]).value // own.value
    count = (len(dates) - 1 - offset) // per
    if (first - dates[0]).value % own.value or count < 1:
        raise ValueError(f"the flow series holds no whole interval of {_text(wanted)}")
    points = flows.to_numpy(dtype=np.float64)[offset : offset + count * per + 1]
    index = pd.date_range(first, periods=count, freq=wanted, name=flows.index.name)
    return pd.Series(interval_means(points, per), index=index, name=flows.name)
