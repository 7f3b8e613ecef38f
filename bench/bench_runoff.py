"""Benchmarks of the runoff chain against numba and numpy peers.

Run from the repository root:

    python3 -m pip install ".[bench]" && python3 bench/bench_runoff.py

Muskingum routing, deficit-and-constant loss and Clark's unit hydrograph,
each at 10**6 and 10**7 values (per-value time and its growth), and Clark
with unit hydrographs of 100 and 1,000 ordinates against numba and
numpy.convolve. Every peer is checked for bit-identical results before it is
timed.
"""

from datetime import timedelta

import numpy as np
import peers
from harness import growth, options, race, report

import tarnwick

HOUR = timedelta(hours=1)
utils = tarnwick.utils


def same_bits(a, b):
    return np.array_equal(
        np.asarray(a, dtype=np.float64).view(np.uint64), np.asarray(b).view(np.uint64)
    )


def rainfall(rng, n, dry=1 / 3):
    rain = rng.random(n) * 0.3
    rain[rng.random(n) < dry] = 0.0
    return rain


def contestants(ours, name, args, agree):
    """tarnwick's call and the numba peer's, after a bit-for-bit check
    (against the plain Python peer on a short stretch where numba is missing)."""
    if name in peers.NUMBA:
        peer = peers.NUMBA[name]
        assert agree(ours(), peer(*args)), name
        return {"tarnwick": ours, "numba": lambda: peer(*args)}
    return {"tarnwick": ours}


def muskingum(rng):
    def make(n):
        flows = 100.0 + 50.0 * np.sin(np.arange(n) / 500.0) + rng.random(n)
        inflow = utils.ContinuousTimeSeries(flows, HOUR, "discharge")
        k, x = 3 * HOUR, 0.2
        args = (flows, 3600.0, k.total_seconds(), x, 90.0)
        return contestants(
            lambda: tarnwick.reach.run_muskingum_routing(inflow, k, x, 1, 90.0),
            "muskingum",
            args,
            lambda ours, peer: same_bits(ours.data, peer),
        )

    return make


def deficit_constant(rng):
    def make(n):
        rain = rainfall(rng, n)
        series = utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
        loss, dry = (0.3, 1.5, 0.08), 30 * HOUR
        return contestants(
            lambda: tarnwick.rainfall_loss.run_deficit_and_constant(series, *loss, dry),
            "deficit_constant",
            (rain, 3600.0, *loss, dry.total_seconds()),
            lambda ours, peer: all(
                same_bits(a.data, b)
                for a, b in zip((ours.excess, ours.loss, ours.deficit), peer, strict=True)
            ),
        )

    return make


def clark(rng, m):
    tc, r, area = m * HOUR, 40 * HOUR, 640.0

    def make(n):
        rain = rainfall(rng, n)
        series = utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
        u = np.array(
            peers.clark_unit_hydrograph(3600.0, area, tc.total_seconds(), r.total_seconds())
        )
        runs = contestants(
            lambda: tarnwick.rainfall_transform.run_clark_uh(series, area, tc, r),
            "convolve",
            (rain, u),
            lambda ours, peer: same_bits(ours.data, peer),
        )
        runs["numpy.convolve (other summation order)"] = lambda: np.convolve(rain, u)
        return runs

    return make


def check_plain_python(rng):
    """The plain Python peers agree with tarnwick bit for bit (short inputs)."""
    rain = rainfall(rng, 300)
    series = utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
    ours = tarnwick.rainfall_transform.run_clark_uh(series, 640.0, 30 * HOUR, 40 * HOUR)
    assert same_bits(
        ours.data, peers.ROUTINES["clark"](rain, 3600.0, 640.0, 30 * 3600.0, 40 * 3600.0)
    )
    ours = tarnwick.reach.run_muskingum_routing(
        utils.ContinuousTimeSeries(rain, HOUR, "discharge"), 3 * HOUR, 0.2, 1, 0.1
    )
    assert same_bits(ours.data, peers.ROUTINES["muskingum"](rain, 3600.0, 3 * 3600.0, 0.2, 0.1))


def main():
    args = options(__doc__)
    sizes = (10**3, 10**4) if args.quick else (10**6, 10**7)
    rng = np.random.default_rng(20240611)
    print(f"tarnwick from {tarnwick.__file__}; numpy {np.__version__}\n")
    check_plain_python(rng)
    growth("run_muskingum_routing", muskingum(rng), sizes, args.repeat)
    growth("run_deficit_and_constant", deficit_constant(rng), sizes, args.repeat)
    growth("run_clark_uh, 24 ordinates", clark(rng, 24), sizes, args.repeat)

    n = 1_000 if args.quick else 100_000
    for m in (100, 1_000):
        report(f"run_clark_uh, N={n:,}, M={m:,}, a third dry", race(clark(rng, m)(n), args.repeat))


if __name__ == "__main__":
    main()
