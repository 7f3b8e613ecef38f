"""Calls on 10-value inputs: the fixed cost of a call against a numba function's.

Run from the repository root:

    python3 -m pip install ".[bench]" && python3 bench/bench_tiny.py

For every routine, tarnwick's figure includes building the input series
from a 10-value numpy array; the numba contestant takes that array and does
the same work. Results are checked bit for bit before timing. The goal is a
ratio of at least 1 (numba's time over tarnwick's) for every routine.
"""

from datetime import timedelta

import bench_level_pool as level_pool
import numpy as np
import peers
from harness import options, race

import tarnwick

HOUR = timedelta(hours=1)
N = 10
utils = tarnwick.utils
Continuous, Incremental = utils.ContinuousTimeSeries, utils.IncrementalTimeSeries


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint64), np.asarray(b).view(np.uint64))


def cases():
    """(routine, tarnwick call, numba call, check that both agree)."""
    rain = np.array([0.0, 0.3, 0.05, 0.0, 0.6, 0.2, 0.0, 0.0, 0.1, 0.4])
    flow = 100.0 + 40.0 * np.sin(np.arange(N) / 3.0)
    area, tc, r, three, dry = 640.0, 3 * HOUR, 4 * HOUR, 3 * HOUR, 30 * HOUR
    loss_args = (0.3, 1.5, 0.08)
    reservoirs = {"fast": tarnwick.baseflow.LinearReservoir(6 * HOUR, 0.5, 1.0, 2)}
    layers = (np.array([6 * 3600.0]), np.array([0.5]), np.array([1.0]), np.array([2]))
    sim = flow * 1.05 + np.cos(np.arange(N))
    nb = peers.fastest

    yield (
        "ContinuousTimeSeries(ndarray)",
        lambda: Continuous(flow, HOUR, "discharge"),
        lambda: nb("copy")(flow),
        lambda ours, peer: same_bits(ours.data, peer),
    )
    yield (
        "run_muskingum_routing",
        lambda: tarnwick.reach.run_muskingum_routing(
            Continuous(flow, HOUR, "discharge"), three, 0.2, 1, 90.0
        ),
        lambda: nb("muskingum")(flow, 3600.0, 3 * 3600.0, 0.2, 90.0),
        lambda ours, peer: same_bits(ours.data, peer),
    )
    yield (
        "run_deficit_and_constant",
        lambda: tarnwick.rainfall_loss.run_deficit_and_constant(
            Incremental(rain, HOUR, "rainfall"), *loss_args, dry
        ),
        lambda: nb("deficit_constant")(rain, 3600.0, *loss_args, dry.total_seconds()),
        lambda ours, peer: same_bits([ours.excess.data, ours.loss.data, ours.deficit.data], peer),
    )
    yield (
        "run_clark_uh",
        lambda: tarnwick.rainfall_transform.run_clark_uh(
            Incremental(rain, HOUR, "rainfall"), area, tc, r
        ),
        lambda: nb("clark")(rain, 3600.0, area, tc.total_seconds(), r.total_seconds()),
        lambda ours, peer: same_bits(ours.data, peer),
    )
    yield (
        "run_linear_reservoir",
        lambda: tarnwick.baseflow.run_linear_reservoir(
            area, Incremental(rain, HOUR, "rainfall"), reservoirs
        ),
        lambda: nb("linear_reservoir")(area, rain, 3600.0, *layers),
        lambda ours, peer: same_bits(ours[0].data, peer[0]),
    )
    routing = level_pool.ours(flow, step=1, read=False, build=True)
    if peers.NUMBA:
        peer = level_pool.numba_peers()[0](flow, step=1, read=False)
    else:
        peer = lambda: level_pool.py_routing(flow.tolist(), 1, level_pool.INITIAL_ELEVATION)  # noqa: E731
    yield (
        "run_level_pool_routing (1 s step)",
        routing,
        peer,
        lambda ours, peer: same_bits(ours.reservoir_storage.data, peer[0]),
    )
    yield (
        "IncrementalTimeSeries.disaggregate",
        lambda: Incremental(rain, HOUR, "rainfall").disaggregate(900),
        lambda: nb("disaggregate")(rain, 3600, 900),
        lambda ours, peer: same_bits(ours.data, peer),
    )
    yield (
        "calculate_kge (ndarrays)",
        lambda: tarnwick.metrics.calculate_kge(sim, flow),
        lambda: nb("kge")(sim, flow),
        lambda ours, peer: same_bits(ours, peer),
    )


def main():
    args = options(__doc__)
    number = 20 if args.quick else 20_000
    contestant = "numba" if peers.NUMBA else "plain Python (numba missing)"
    print(f"{N}-value calls, median of {args.repeat} samples of {number:,} calls (CPU time)")
    print(f"  {'routine':<36} {'tarnwick':>10} {contestant:>12}   ratio {contestant}/tarnwick")
    for name, ours, peer, agree in cases():
        assert agree(ours(), peer()), name
        timings = race({"tarnwick": ours, contestant: peer}, args.repeat, number)
        mine, theirs = timings["tarnwick"], timings[contestant]
        print(
            f"  {name:<36} {mine.median * 1e9:7.0f} ns {theirs.median * 1e9:9.0f} ns"
            f"   {theirs.median / mine.median:6.2f}x   (spread {mine.spread:.0%} / {theirs.spread:.0%})"
        )


if __name__ == "__main__":
    main()
