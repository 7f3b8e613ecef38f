"""The basin runner's own time against the module calls it makes.

A basin of ten elements (four subbasins with two baseflow layers each, an
observed inflow, three Muskingum reaches and two junctions) over ten years of
hourly records (87,672 steps, seeded synthetic storms). The inputs are
prepared once (checks, alignment, units, padding: what a calibration does once);
each sample then runs `Simulation.outflow`, the runner's path per evaluation.

"module calls" replays exactly the calls of the module that one run makes
(constructors and the reads of result records, which build new series,
included), with the arguments it gave them, recorded beforehand; the runner's
own time is what the run takes beyond that. Both are timed in CPU time,
round-robin in one run, ten calls back to back per sample, as a calibration
makes them; the runner's own time is the median of the differences between a
sample of runs and the sample of replays timed just before it, which a change
of the machine's load affects far less than the difference of two medians. It
must be at most 10 % of the module's median. The difference is some 0.1 to
0.3 ms of a run of 5 ms, so the figure needs many samples: 61 by default.

The same is then timed with one call per sample, each after a full garbage
collection (as the other benchmarks here time): a run as the first after a
pause. That figure is printed, not checked. The collection takes some 35 ms
and leaves every array cold (an addition of two 700 kB arrays takes 120 us
right after it, 21 us otherwise), which falls on the runner's few passes over
its own arrays far more than on the module's calls.

On an interpreter without a GIL it also times a basin of two independent
subbasins on one thread and on two, ten calls back to back per sample (wall
time): two threads must run it at least 1.7 times as fast as one.

A reservoir is left out on purpose: its level pool routing integrates second by
second (about 3.7 s for these ten years), beside which any runner looks free.
"""

from __future__ import annotations

import dataclasses
import statistics
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
from harness import options, race, report

import tarnwick

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
from tarnwick_basin import (  # noqa: E402
    BaseflowLayer,
    Basin,
    Inflow,
    Junction,
    Reach,
    Subbasin,
    gil_enabled,
    prepare,
)

YEARS = 10
LIMIT = 0.10  # the runner's own time, as a share of the module's
WARM = 10  # calls per sample, back to back
SPEED = 1.7  # two independent subbasins on two threads, against one


def basin() -> Basin:
    def layers(scale: float) -> dict[str, BaseflowLayer]:
        return {
            "interflow": BaseflowLayer(36.0 * scale, 0.35, 0.2, 2),
            "groundwater": BaseflowLayer(1200.0 * scale, 0.3, 1.0),
        }

    return Basin(
        (
            Subbasin("upper", "upper_reach", 210.0, 20.0, 80.0, 0.8, 96.0, 9.0, 2.5, layers(1.0)),
            Subbasin("east", "confluence", 145.0, 15.0, 60.0, 1.0, 72.0, 7.0, 2.0, layers(0.8)),
            Subbasin("west", "lower_reach", 95.0, 10.0, 50.0, 1.2, 60.0, 5.0, 1.5, layers(0.6)),
            Subbasin("local", "outlet", 40.0, 10.0, 40.0, 1.5, 48.0, 3.0, 1.0, layers(0.5)),
            Inflow("canal", "confluence"),
            Reach("upper_reach", "confluence", 6.0, 0.2, 3),
            Junction("confluence", "lower_reach"),
            Reach("lower_reach", "town_reach", 4.0, 0.25, 2),
            Reach("town_reach", "outlet", 2.0, 0.2, 1),
            Junction("outlet", None),
        )
    )


def inputs(steps: int) -> dict[str, pd.Series]:
    rng = np.random.default_rng(21)
    index = pd.date_range("2000-01-01 01:00", periods=steps, freq="h")
    # Storms about every four days, of 3 to 30 hours at 0.5 to 6 mm an hour.
    depths = np.zeros(steps)
    start = int(rng.exponential(96.0))
    while start < steps:
        storm = depths[start : start + int(rng.integers(3, 31))]
        storm[:] = rng.gamma(1.5, 1.2, len(storm))
        start += len(storm) + int(rng.exponential(96.0))
    rain = pd.Series(depths, index=index)
    canal = pd.Series(3.0 + np.sin(np.arange(steps) / 500.0), index=index)
    records = {name: rain for name in ("upper", "east", "west", "local")}
    return {**records, "canal": canal}


TARGETS = [
    (tarnwick.utils, "ContinuousTimeSeries"),
    (tarnwick.utils, "IncrementalTimeSeries"),
    (tarnwick.rainfall_loss, "run_deficit_and_constant"),
    (tarnwick.rainfall_transform, "run_clark_uh"),
    (tarnwick.baseflow, "LinearReservoir"),
    (tarnwick.baseflow, "run_linear_reservoir"),
    (tarnwick.reach, "run_muskingum_routing"),
]
RECORDS = tarnwick.rainfall_loss.run_deficit_and_constant  # its result's reads are calls too


@contextmanager
def patched(wrap: Callable[[Callable[..., Any]], Callable[..., Any]]) -> Iterator[None]:
    """The module's callables that the runner uses, replaced by `wrap(callable)`."""
    originals = [getattr(owner, name) for owner, name in TARGETS]
    for (owner, name), function in zip(TARGETS, originals, strict=True):
        setattr(owner, name, wrap(function))
    try:
        yield
    finally:
        for (owner, name), function in zip(TARGETS, originals, strict=True):
            setattr(owner, name, function)


class Reads:
    """A result record whose attribute reads (each builds a new series) go to `call`."""

    def __init__(self, real: Any, call: Callable[..., Any]) -> None:
        self.real, self.call = real, call

    def __getattr__(self, name: str) -> Any:
        return self.call(getattr, self.real, name)


Call = tuple[Callable[..., Any], tuple[Any, ...], Any]


def recorded_calls(run: Callable[[], Any]) -> list[Call]:
    """The module calls one run makes: each callable, its arguments and its result."""
    calls: list[Call] = []

    def record(function: Callable[..., Any], *args: Any) -> Any:
        result = function(*args)
        calls.append((function, args, result))
        return result

    def wrap(function: Callable[..., Any]) -> Callable[..., Any]:
        def call(*args: Any) -> Any:
            result = record(function, *args)
            return Reads(result, record) if function is RECORDS else result

        return call

    with patched(wrap):
        run()
    return calls


def main() -> None:
    args = options(__doc__, repeat=61)
    steps = 24 * 30 if args.quick else 24 * 3653 * YEARS // 10
    the_basin = basin()
    simulation = prepare(the_basin, inputs(steps), threads=1)
    calls = recorded_calls(lambda: simulation.outflow(the_basin))

    def replay() -> None:
        for function, arguments, _ in calls:
            function(*arguments)

    contestants = {
        "module calls": replay,
        "Simulation.outflow": lambda: simulation.outflow(the_basin),
    }
    title = (
        f"a basin of {len(the_basin.elements)} elements, {steps:,} hourly steps "
        f"({len(calls)} module calls a run)"
    )
    timings = race(contestants, args.repeat, number=1 if args.quick else WARM)
    report(f"{title}, {WARM} calls back to back per sample", timings)
    share = own_share(timings)
    print()
    cold = race(contestants, args.repeat)
    report("the same, one call per sample after a full garbage collection", cold)
    own_share(cold)
    speed = threads(steps, args.repeat, 1 if args.quick else WARM)
    if args.quick:
        return
    failed = False
    if share > LIMIT:
        print(f"ABOVE the limit of {LIMIT:.0%} for the runner's own time")
        failed = True
    if speed is not None and speed < SPEED:
        print(f"BELOW the {SPEED}x goal for two subbasins on two threads")
        failed = True
    if failed:
        sys.exit(1)


def own_share(timings: dict[str, Any]) -> float:
    """The runner's own time as a share of the module's, printed."""
    module = timings["module calls"]
    run = timings["Simulation.outflow"]
    own = statistics.median(r - m for r, m in zip(run.cpu, module.cpu, strict=True))
    share = own / module.median
    print(f"  the runner's own time: {own * 1e3:.2f} ms, {share:.1%} of the module's")
    return share


def threads(steps: int, repeat: int, number: int) -> float | None:
    """Two independent subbasins on one and on two threads, where there is no GIL:
    how much faster two are."""
    if gil_enabled():
        print("\nthreads: this interpreter has a GIL, so the runner keeps to one thread")
        return None
    subbasins = [e for e in basin().elements if e.name in ("upper", "east")]
    pair = Basin(
        tuple(dataclasses.replace(e, downstream="confluence") for e in subbasins)
        + (Junction("confluence", None),)
    )
    everything = inputs(steps)
    records = {name: everything[name] for name in ("upper", "east")}
    runs = {n: prepare(pair, records, threads=n) for n in (1, 2)}
    timings = race(
        {
            f"{n} thread{'s' if n > 1 else ''}": (lambda s=s: s.outflow(pair))
            for n, s in runs.items()
        },
        repeat,
        number=number,
    )
    print()
    report(
        f"two independent subbasins, {number} calls back to back per sample (wall time)", timings
    )
    one, two = (statistics.median(t.wall) for t in timings.values())
    print(f"  two threads run it at {one / two:.2f}x one (wall medians)")
    for simulation in runs.values():
        simulation.close()
    return one / two


if __name__ == "__main__":
    main()
