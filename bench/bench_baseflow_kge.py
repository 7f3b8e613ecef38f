"""Benchmarks of run_linear_reservoir and calculate_kge against peer implementations.

Run from the repository root:

    python3 -m pip install ".[bench]" && python3 bench/bench_baseflow_kge.py

Peers (optional benchmark dependencies, skipped when missing):
- run_linear_reservoir: the same algorithm as a numba loop, at 10**6 and
  10**7 values, at a 1-hour and a 3-hour step;
- calculate_kge: a numba loop at 10**6 and 10**7 values on float64 arrays,
  and hydroeval's ``kge`` and HydroErr's ``kge_2009`` on arrays and on lists.
"""

from datetime import timedelta

import numpy as np
import peers
from harness import growth, optional, options, race, report

import tarnwick

HOUR = timedelta(hours=1)

# Three layers of two reservoirs each: (k_duration in hours, gw_fraction, initial_q, chain).
LAYERS = {
    "fast": (6.0, 0.2, 0.5, 2),
    "medium": (48.0, 0.3, 2.0, 2),
    "slow": (400.0, 0.4, 5.0, 2),
}
AREA = 640.0


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint64), np.asarray(b).view(np.uint64))


def layer_setup():
    """The layers as tarnwick's reservoirs and as the peer's arrays."""
    reservoirs = {
        name: tarnwick.baseflow.LinearReservoir(timedelta(hours=k), f, q, chain)
        for name, (k, f, q, chain) in LAYERS.items()
    }
    k, fraction, initial, chain = (np.array(v) for v in zip(*LAYERS.values(), strict=True))
    return reservoirs, (k * 3600.0, fraction, initial, chain.astype(np.int64))


def linear_reservoir(rng, step):
    reservoirs, layers = layer_setup()

    def make(n):
        rain = rng.gamma(0.3, 0.05, n)
        rain[rng.random(n) < 0.7] = 0.0
        series = tarnwick.utils.IncrementalTimeSeries(rain, step, "rainfall")
        args = (AREA, rain, step.total_seconds(), *layers)
        runs = {
            "tarnwick": lambda: tarnwick.baseflow.run_linear_reservoir(AREA, series, reservoirs)
        }
        total = runs["tarnwick"]()[0].data
        if "linear_reservoir" in peers.NUMBA:
            peer = peers.NUMBA["linear_reservoir"]
            assert same_bits(total, peer(*args)[0])
            runs["numba"] = lambda: peer(*args)
        return runs

    return make


def check_plain_python(rng):
    """The plain Python peers agree with tarnwick bit for bit (short inputs)."""
    rain = rng.gamma(0.3, 0.05, 200)
    step = 3 * HOUR
    reservoirs, layers = layer_setup()
    series = tarnwick.utils.IncrementalTimeSeries(rain, step, "rainfall")
    total = tarnwick.baseflow.run_linear_reservoir(AREA, series, reservoirs)[0].data
    peer = peers.ROUTINES["linear_reservoir"](AREA, rain, step.total_seconds(), *layers)
    assert same_bits(total, peer[0])
    obs = rng.gamma(2.0, 10.0, 200)
    assert tarnwick.metrics.calculate_kge(rain, obs) == peers.ROUTINES["kge"](rain, obs)


def kge_inputs(rng, n):
    obs = rng.gamma(2.0, 10.0, n)
    sim = obs * rng.normal(1.05, 0.2, n) + rng.normal(0.0, 2.0, n)
    return sim, obs


def kge_against_numba(rng):
    def make(n):
        sim, obs = kge_inputs(rng, n)
        runs = {"tarnwick": lambda: tarnwick.metrics.calculate_kge(sim, obs)}
        if "kge" in peers.NUMBA:
            peer = peers.NUMBA["kge"]
            assert runs["tarnwick"]() == peer(sim, obs)
            runs["numba"] = lambda: peer(sim, obs)
        return runs

    return make


def kge_against_libraries(rng, n, repeat):
    sim, obs = kge_inputs(rng, n)
    libraries = {}
    hydroeval = optional("hydroeval")
    if hydroeval is not None:
        libraries["hydroeval.kge"] = lambda s, o: hydroeval.kge(s, o)[0][0]
    hydroerr = optional("HydroErr")
    if hydroerr is not None:
        # kge_2009 takes the sample standard deviation (ddof=1): the last digits differ.
        libraries["HydroErr.kge_2009"] = hydroerr.kge_2009
    for label, (s, o) in {
        "float64 arrays": (sim, obs),
        "lists": (sim.tolist(), obs.tolist()),
    }.items():
        runs = {"tarnwick": lambda s=s, o=o: tarnwick.metrics.calculate_kge(s, o)}
        for name, library in libraries.items():
            runs[name] = lambda s=s, o=o, library=library: library(s, o)
        report(f"calculate_kge on two {n:,}-value {label}", race(runs, repeat))


def main():
    args = options(__doc__)
    sizes = (10**3, 10**4) if args.quick else (10**6, 10**7)
    rng = np.random.default_rng(20240601)
    check_plain_python(rng)
    for step in (HOUR, 3 * HOUR):
        # At a step whose length in hours is not a power of two the inflow
        # rate keeps its division (at 1 h or 2 h it is an exact multiply).
        title = f"run_linear_reservoir, {step / HOUR:g}-hour step, 3 layers x 2 reservoirs"
        growth(title, linear_reservoir(rng, step), sizes, args.repeat)
    growth("calculate_kge on float64 arrays", kge_against_numba(rng), sizes, args.repeat)
    kge_against_libraries(rng, sizes[0], args.repeat)


if __name__ == "__main__":
    main()
