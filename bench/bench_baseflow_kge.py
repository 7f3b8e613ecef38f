"""Benchmarks of run_linear_reservoir and calculate_kge against peer implementations.

Run from the repository root after an in-place build:

    PYTHONPATH=build /work/venv-bench/bin/python bench/bench_baseflow_kge.py

Peers (optional benchmark dependencies, imported here only):
- run_linear_reservoir: the same algorithm as a pure Python loop and as a numba loop;
- calculate_kge: hydroeval's ``kge`` and HydroErr's ``kge_2009``, on numpy float64
  arrays and on lists.

Each figure is the best of several timed runs (wall clock, one thread).
"""

import gc
import math
import time
from datetime import timedelta

import numpy as np

import tarnwick

N = 1_000_000
HOUR = timedelta(hours=1)


def best_of(call, repeat=7, number=1):
    """Best wall-clock seconds per call over `repeat` rounds of `number` calls."""
    call()  # warm-up (and numba compilation)
    best = math.inf
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        for _ in range(number):
            call()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def show(label, seconds, reference=None):
    ratio = "" if reference is None else f"  ({seconds / reference:8.2f}x our time)"
    print(f"  {label:<44} {seconds * 1e3:10.3f} ms{ratio}")


# --- Linear-reservoir baseflow -------------------------------------------------

# Three layers of two reservoirs each: (k_duration in hours, gw_fraction, initial_q, chain).
LAYERS = {
    "fast": (6.0, 0.2, 0.5, 2),
    "medium": (48.0, 0.3, 2.0, 2),
    "slow": (400.0, 0.4, 5.0, 2),
}


def python_linear_reservoir(basin_area, rain, dt_secs, layers):
    """The same algorithm and order of operations as a plain Python loop."""
    dt_hr = dt_secs / 3600.0
    area_factor = basin_area * 1.00833
    half = dt_hr * 0.5
    n = len(rain)
    total = [0.0] * n
    outs = {}
    for name, (k_secs, fraction, initial_q, chain) in layers.items():
        k_per_res = (k_secs / 3600.0) / chain
        if k_per_res < half:
            raise ValueError("unstable")
        c = dt_hr / (half + k_per_res)
        d = 1.0 - c
        state = [initial_q] * chain
        out = [0.0] * n
        for i in range(n):
            x = area_factor * ((fraction * rain[i]) / dt_hr)
            for j in range(chain):
                state[j] = d * state[j] + c * x
                x = state[j]
            out[i] = x
            total[i] = x + total[i]
        outs[name] = out
    return total, outs


def make_numba_linear_reservoir():
    from numba import njit

    @njit(cache=False)
    def numba_linear_reservoir(basin_area, rain, dt_secs, k_secs, fractions, initial_qs, chains):
        dt_hr = dt_secs / 3600.0
        area_factor = basin_area * 1.00833
        half = dt_hr * 0.5
        n = rain.size
        total = np.zeros(n)
        outs = np.empty((fractions.size, n))
        for layer in range(fractions.size):
            k_per_res = (k_secs[layer] / 3600.0) / chains[layer]
            if k_per_res < half:
                raise ValueError("unstable")
            c = dt_hr / (half + k_per_res)
            d = 1.0 - c
            fraction = fractions[layer]
            state = np.full(chains[layer], initial_qs[layer])
            for i in range(n):
                x = area_factor * ((fraction * rain[i]) / dt_hr)
                for j in range(chains[layer]):
                    state[j] = d * state[j] + c * x
                    x = state[j]
                outs[layer, i] = x
                total[i] = x + total[i]
        return total, outs

    return numba_linear_reservoir


def bench_linear_reservoir(rng, step=HOUR):
    hours = step / HOUR
    print(f"run_linear_reservoir: {N:,} values at a {hours:g}-hour step, 3 layers x 2 reservoirs")
    rain = rng.gamma(0.3, 0.05, N)
    rain[rng.random(N) < 0.7] = 0.0
    rain_list = rain.tolist()
    series = tarnwick.utils.IncrementalTimeSeries(rain_list, step, "rainfall")
    dt_secs = step.total_seconds()
    reservoirs = {
        name: tarnwick.baseflow.LinearReservoir(timedelta(hours=k), f, q, chain)
        for name, (k, f, q, chain) in LAYERS.items()
    }
    layers_secs = {name: (k * 3600.0, f, q, c) for name, (k, f, q, c) in LAYERS.items()}
    area = 640.0

    ours = best_of(lambda: tarnwick.baseflow.run_linear_reservoir(area, series, reservoirs))
    show("tarnwick.baseflow.run_linear_reservoir", ours)

    total, layers = tarnwick.baseflow.run_linear_reservoir(area, series, reservoirs)
    total = np.array(total.data)

    try:
        numba_lr = make_numba_linear_reservoir()
    except ImportError:
        print("  numba not installed: numba peer skipped")
    else:
        args = (
            area,
            rain,
            dt_secs,
            np.array([v[0] for v in layers_secs.values()]),
            np.array([v[1] for v in layers_secs.values()]),
            np.array([v[2] for v in layers_secs.values()]),
            np.array([v[3] for v in layers_secs.values()], dtype=np.int64),
        )
        peer = best_of(lambda: numba_lr(*args))
        show("numba loop (same algorithm)", peer, ours)
        peer_total, _ = numba_lr(*args)
        print(f"    identical total: {np.array_equal(peer_total, total)}")

    peer = best_of(lambda: python_linear_reservoir(area, rain_list, dt_secs, layers_secs), repeat=1)
    show("pure Python loop (same algorithm)", peer, ours)
    peer_total, _ = python_linear_reservoir(area, rain_list, dt_secs, layers_secs)
    print(f"    identical total: {np.array_equal(np.array(peer_total), total)}")

    # For reference: the call plus turning every result series into a list.
    def call_and_read():
        t, d = tarnwick.baseflow.run_linear_reservoir(area, series, reservoirs)
        return [t.data] + [s.data for s in d.values()]

    show("ours incl. reading all four .data lists", best_of(call_and_read, repeat=3))


# --- Kling-Gupta efficiency -----------------------------------------------------


def bench_kge(rng):
    obs = rng.gamma(2.0, 10.0, N)
    sim = obs * rng.normal(1.05, 0.2, N) + rng.normal(0.0, 2.0, N)
    inputs = {"numpy float64 arrays": (sim, obs), "lists": (sim.tolist(), obs.tolist())}

    peers = {}
    try:
        import hydroeval

        peers["hydroeval.kge"] = lambda s, o: hydroeval.kge(s, o)[0][0]
    except ImportError:
        print("hydroeval not installed: peer skipped")
    try:
        import HydroErr

        peers["HydroErr.kge_2009"] = lambda s, o: HydroErr.kge_2009(s, o)
    except ImportError:
        print("HydroErr not installed: peer skipped")

    for label, (s, o) in inputs.items():
        print(f"calculate_kge: two {N:,}-value {label}")
        ours = best_of(lambda s=s, o=o: tarnwick.metrics.calculate_kge(s, o), number=3)
        show("tarnwick.metrics.calculate_kge", ours)
        value = tarnwick.metrics.calculate_kge(s, o)
        for name, peer in peers.items():
            seconds = best_of(lambda s=s, o=o, peer=peer: peer(s, o), number=3)
            show(name, seconds, ours)
        print(f"    our KGE {value:.12f}; hydroeval's {peers['hydroeval.kge'](s, o):.12f}")
        # HydroErr's kge_2009 uses the sample standard deviation (ddof=1), so it
        # differs in the last digits.


def main():
    rng = np.random.default_rng(20240601)
    bench_linear_reservoir(rng)
    print()
    # A step whose length in hours is not a power of two keeps the division
    # in the inflow rate (at 15 min, 30 min, 1 h or 2 h it is an exact multiply).
    bench_linear_reservoir(rng, timedelta(hours=3))
    print()
    bench_kge(rng)


if __name__ == "__main__":
    main()
