"""Calibrating a basin: named parameter ranges, an observed record and an objective.

A `Problem` maps a parameter vector onto fields of a basin's elements (dotted paths,
as `Basin.with_values` takes them) and scores the basin's simulated outflow against
an observed record. Everything that does not depend on the parameters is done once,
when the problem is made: the inputs are prepared (`prepare`), the observed record is
aligned with the simulation's dates, its warm-up and NaN values dropped. An
evaluation then only replaces the values, reruns the module's calls and scores two
arrays.

The one object serves three ways:

- `scipy.optimize.differential_evolution(problem, problem.bounds)`: the problem is a
  function to minimise, 1 - score (infinite where the score is not a number);
- spotpy's samplers: `parameters`, `simulation`, `evaluation` and
  `objectivefunction` make it a spotpy setup (for samplers that minimise, SCE-UA);
- the ensemble runner (`tarnwick_basin.ensemble`): it pickles, so it travels to
  dask's workers, which prepare their own simulation from the pickled inputs.

Observed values at the simulation's step are compared with the simulated flows at
their dates. An observed record of a longer step (daily means of a model run at
three hours, say) holds means over the interval that starts at each date: they are
compared with the simulated flows' means over the same interval (trapezoidal rule,
as `objectives.means` computes them).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from .network import Basin
from .objectives import (
    Objective,
    Warmup,
    as_timedelta,
    dates_of,
    interval_means,
    kge,
    nanoseconds,
    step_of,
)
from .run import Simulation, prepare
from .series import Fill

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intp]
Derive = Callable[[dict[str, float]], Mapping[str, float]]


@dataclass(frozen=True)
class Parameter:
    """A calibrated value: the field at `path` ("element.field" or
    "element.baseflow.layer.field") searched between `low` and `high`."""

    path: str
    low: float
    high: float

    def __post_init__(self) -> None:
        if not (math.isfinite(self.low) and math.isfinite(self.high) and self.low <= self.high):
            raise ValueError(
                f"parameter {self.path}: the range {self.low} to {self.high} "
                "must be finite and low <= high"
            )


@dataclass(frozen=True)
class _Comparison:
    """Where the compared values sit in the simulation's output, resolved once."""

    first: int  # position of the first value used
    per: int  # simulation steps per observed step (1: compare points)
    count: int  # observed steps (or points) spanned from `first`
    chosen: IntArray | None  # the compared ones among them, None for all


class Problem:
    """The calibration of `parameters` of `basin` against `observed` (flows in the
    basin's flow unit, dated) at `element` (the outlet by default).

    `warmup` skips the simulation's first dates: a duration from the start of the
    run, one step before its first value (the first rainfall interval's start);
    `objective` is one of `tarnwick_basin.objectives` (`kge` by default) or any
    `Objective`. `derive`, when given, turns the named values of a vector into the
    paths and values given to `Basin.with_values`: a parameter may then be a name
    of the caller's own (a ratio of two fields, say) that `derive` resolves.
    `inputs`, `fill` and `threads` are those of `prepare`.

    `ranges` holds the parameters; `dates` and `observed` the observed values
    compared (after the warm-up, without NaN), `dropped` how many NaN values of the
    record were left out.
    """

    def __init__(
        self,
        basin: Basin,
        inputs: Mapping[str, pd.Series],
        observed: pd.Series,
        parameters: Sequence[Parameter],
        *,
        objective: Objective = kge,
        warmup: Warmup = None,
        element: str | None = None,
        derive: Derive | None = None,
        fill: Fill | Mapping[str, Fill] | None = None,
        threads: int | None = None,
    ) -> None:
        self.ranges = tuple(parameters)
        if not self.ranges:
            raise ValueError("a calibration needs at least one parameter")
        paths = [p.path for p in self.ranges]
        twice = sorted({path for path in paths if paths.count(path) > 1})
        if twice:
            raise ValueError(f"parameter {twice[0]} is named more than once")
        if element is not None and element not in basin.names:
            raise KeyError(f"no element {element!r} in the basin")
        self.basin = basin
        self.inputs = dict(inputs)
        self.objective = objective
        self.element = element
        self.derive = derive
        self.fill = fill
        self.threads = threads
        self._spotpy: list[Any] | None = None
        self.prepared: Simulation = prepare(basin, self.inputs, fill=fill, threads=threads)
        # A vector in the middle of the ranges checks every path once, here.
        self.basin_for([(p.low + p.high) / 2.0 for p in self.ranges])
        self.dates, self.observed, self.dropped, self._where = self._align(observed, warmup)

    # -- set up once -------------------------------------------------------------

    def _align(
        self, observed: pd.Series, warmup: Warmup
    ) -> tuple[pd.DatetimeIndex, FloatArray, int, _Comparison]:
        simulated = self.prepared.index
        obs_dates = dates_of(observed, "observed")
        step, obs_step = step_of(simulated), step_of(obs_dates)
        if step is None:
            raise ValueError("the simulation has fewer than two values to compare")
        per = 1 if obs_step is None else obs_step.value // step.value
        if obs_step is not None and (per < 1 or obs_step.value % step.value):
            raise ValueError(
                f"the observed step {obs_step.to_pytimedelta()} is not a whole number of the "
                f"simulation's step {step.to_pytimedelta()}"
            )
        values = observed.to_numpy(dtype=np.float64)
        missing = np.isnan(values)
        if np.isinf(values).any():
            raise ValueError(
                f"the observed record holds an infinite value at "
                f"{obs_dates[np.flatnonzero(np.isinf(values))[0]]}"
            )
        # The run starts one step before its first value, every store at its
        # initial state: the warm-up counts from there.
        start = simulated[0] - self.prepared.step + as_timedelta(warmup)
        offsets = nanoseconds(obs_dates) - nanoseconds(simulated[:1])[0]
        positions, off_grid = np.divmod(offsets, step.value)
        # Compared: the values within the input records, not the dry padding after
        # them; a mean needs the flow at the end of its interval too.
        last = self.prepared.records - 1 - (per if per > 1 else 0)
        inside = (positions >= 0) & (positions <= last)
        if np.any(off_grid[inside]):
            first = obs_dates[inside][np.flatnonzero(off_grid[inside])[0]]
            raise ValueError(f"the observed date {first} falls between the simulation's steps")
        kept = inside & ~missing & np.asarray(obs_dates >= start)
        if not kept.any():
            raise ValueError(
                f"no observed value to compare: the simulation runs {simulated[0]} to "
                f"{simulated[-1]}, scored from {start}; the observed record runs "
                f"{obs_dates[0] if len(obs_dates) else '-'} to "
                f"{obs_dates[-1] if len(obs_dates) else '-'}"
            )
        at = positions[kept].astype(np.intp)
        first = int(at[0])
        if np.any((at - first) % per):
            raise ValueError("the observed dates are not whole observed steps apart")
        slots = (at - first) // per
        count = int(slots[-1]) + 1
        chosen = None if len(slots) == count else slots
        comparison = _Comparison(first, per, count, chosen)
        dropped = int((inside & missing & np.asarray(obs_dates >= start)).sum())
        return obs_dates[kept], values[kept], dropped, comparison

    # -- the parameters ----------------------------------------------------------

    @property
    def names(self) -> list[str]:
        """The parameters' paths, in the order of a vector."""
        return [p.path for p in self.ranges]

    @property
    def bounds(self) -> list[tuple[float, float]]:
        """(low, high) per parameter, as scipy's optimisers take them."""
        return [(p.low, p.high) for p in self.ranges]

    def values(self, x: Sequence[float] | FloatArray) -> dict[str, float]:
        """The paths and values a vector sets in the basin."""
        if len(x) != len(self.ranges):
            raise ValueError(f"a parameter vector has {len(self.ranges)} values, this one {len(x)}")
        named = {p.path: float(v) for p, v in zip(self.ranges, x, strict=True)}
        return dict(self.derive(named)) if self.derive is not None else named

    def basin_for(self, x: Sequence[float] | FloatArray) -> Basin:
        """The basin with the vector's values."""
        return self.basin.with_values(self.values(x))

    # -- an evaluation -----------------------------------------------------------

    def simulated_values(self, x: Sequence[float] | FloatArray) -> FloatArray:
        """The simulated values compared with `self.observed`, one per date of `self.dates`."""
        flows = self.prepared.outflow(self.basin_for(x), self.element)
        where = self._where
        if where.per == 1:
            compared: FloatArray = flows[where.first : where.first + where.count]
        else:
            end = where.first + where.count * where.per + 1
            compared = interval_means(flows[where.first : end], where.per)
        return compared if where.chosen is None else compared[where.chosen]

    def flows(self, x: Sequence[float] | FloatArray) -> pd.Series:
        """The simulated flow at every step of the run (padding included), dated."""
        flows = self.prepared.outflow(self.basin_for(x), self.element)
        name = self.basin.outlet if self.element is None else self.element
        return pd.Series(flows, index=self.prepared.index, name=name)

    def simulate(self, x: Sequence[float] | FloatArray) -> pd.Series:
        """The simulated values compared, dated like the observed record."""
        return pd.Series(self.simulated_values(x), index=self.dates, name="simulated")

    def score(self, x: Sequence[float] | FloatArray) -> float:
        """The objective of a vector (1 is a perfect match)."""
        return self.objective.on_arrays(self.simulated_values(x), self.observed)

    def loss(self, x: Sequence[float] | FloatArray) -> float:
        """1 - score, to minimise; a vector that scores no number ranks worst (inf).

        A vector the basin or the module refuses raises their `ValueError`."""
        value = 1.0 - self.score(x)
        return value if math.isfinite(value) else math.inf

    __call__ = loss

    # -- spotpy's setup ----------------------------------------------------------

    def parameters(self) -> Any:
        """spotpy's uniform parameters over the ranges (needs spotpy)."""
        import spotpy

        # Made once: spotpy draws a thousand samples to describe each parameter.
        if self._spotpy is None:
            self._spotpy = [spotpy.parameter.Uniform(p.path, p.low, p.high) for p in self.ranges]
        return spotpy.parameter.generate(self._spotpy)

    def simulation(self, x: Any) -> FloatArray:
        """spotpy's run: the simulated values compared (`simulated_values`)."""
        return self.simulated_values(np.asarray(x, dtype=np.float64))

    def evaluation(self) -> FloatArray:
        """spotpy's observations: the observed values compared."""
        return self.observed

    def objectivefunction(self, simulation: FloatArray, evaluation: FloatArray) -> float:
        """spotpy's objective: 1 - score, for samplers that minimise (SCE-UA)."""
        value = 1.0 - self.objective.on_arrays(simulation, evaluation)
        return value if math.isfinite(value) else math.inf

    # -- travelling to other processes ------------------------------------------

    def __getstate__(self) -> dict[str, Any]:
        # The prepared simulation holds the module's objects, which do not pickle:
        # the receiver prepares its own from the inputs.
        state = dict(self.__dict__)
        del state["prepared"]
        state["_spotpy"] = None
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self.prepared = prepare(self.basin, self.inputs, fill=self.fill, threads=self.threads)


class BudgetSpent(Exception):
    """Raised by a `Budget` asked for one evaluation more than it allows."""


class Budget:
    """A problem within a number of evaluations, remembering the best vector.

    Optimisers without a hard limit of their own on evaluations (differential
    evolution counts generations; SCE-UA finishes a loop past its limit) are stopped
    by the `BudgetSpent` it raises: catch it, then read `best_x` and `best`. Called,
    it is the problem's `loss`; it is a spotpy setup like the problem.
    `on_evaluation(budget)` runs after each evaluation (to update a progress bar).
    """

    def __init__(
        self,
        problem: Problem,
        evaluations: int,
        on_evaluation: Callable[[Budget], None] | None = None,
    ) -> None:
        if evaluations < 1:
            raise ValueError("the budget must be at least one evaluation")
        self.problem = problem
        self.evaluations = evaluations
        self.on_evaluation = on_evaluation
        self.count = 0
        self.best = math.inf  # the lowest loss so far
        self.best_x: FloatArray = np.full(len(problem.ranges), math.nan)
        self._x = self.best_x

    def _spend(self, x: Any) -> FloatArray:
        if self.count >= self.evaluations:
            raise BudgetSpent
        self.count += 1
        self._x = np.array(x, dtype=np.float64)
        return self._x

    def _keep(self, value: float) -> float:
        if value < self.best or self.count == 1:
            self.best, self.best_x = value, self._x
        if self.on_evaluation is not None:
            self.on_evaluation(self)
        return value

    def __call__(self, x: Sequence[float] | FloatArray) -> float:
        return self._keep(self.problem.loss(self._spend(x)))

    def parameters(self) -> Any:
        return self.problem.parameters()

    def simulation(self, x: Any) -> FloatArray:
        return self.problem.simulated_values(self._spend(x))

    def evaluation(self) -> FloatArray:
        return self.problem.observed

    def objectivefunction(self, simulation: FloatArray, evaluation: FloatArray) -> float:
        # spotpy's sequential samplers score each simulation right after running it.
        return self._keep(self.problem.objectivefunction(simulation, evaluation))
