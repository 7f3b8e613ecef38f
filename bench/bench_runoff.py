"""Benchmarks of the runoff chain against pure-Python, numba and numpy peers.

Run from the repository root after an in-place build:

    PYTHONPATH=build python bench/bench_runoff.py

Every peer is checked for bit-identical results before it is timed; each
figure is the best of several runs.
"""

import sys
import time
from datetime import timedelta
from pathlib import Path

import numpy as np

import tarnwick

sys.path.insert(0, str(Path(__file__).resolve().parent))
import runoff_peers as peers  # noqa: E402

HOUR = timedelta(hours=1)
utils = tarnwick.utils


def best(call, repeat=7):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def same_bits(a, b):
    return np.array_equal(
        np.asarray(a, dtype=np.float64).view(np.uint64), np.asarray(b).view(np.uint64)
    )


def report(title, ours, peers_times):
    print(f"\n{title}")
    print(f"  tarnwick       {ours * 1e3:10.3f} ms")
    for name, seconds in peers_times.items():
        if seconds is None:
            print(f"  {name:<14} {'(not available)':>13}")
        else:
            ratio = seconds / ours
            print(f"  {name:<14} {seconds * 1e3:10.3f} ms   ratio peer/tarnwick {ratio:8.2f}x")


def bench_muskingum(n, rng):
    flows = 100.0 + 50.0 * np.sin(np.arange(n) / 500.0) + rng.random(n)
    inflow = utils.ContinuousTimeSeries(flows, HOUR, "discharge")
    k, x = 3 * HOUR, 0.2
    ks = k.total_seconds()

    def ours():
        return tarnwick.reach.run_muskingum_routing(inflow, k, x, 1, 90.0)

    expected = ours().data
    assert same_bits(peers.muskingum_py(flows.tolist(), 3600.0, ks, x, 90.0), expected)
    times = {
        "pure Python": best(lambda: peers.muskingum_py(flows.tolist(), 3600.0, ks, x, 90.0), 3)
    }
    if peers.NUMBA:
        nb = peers.NUMBA["muskingum"]
        assert same_bits(nb(flows, 3600.0, ks, x, 90.0), expected)
        times["numba"] = best(lambda: nb(flows, 3600.0, ks, x, 90.0))
    else:
        times["numba"] = None
    report(f"run_muskingum_routing, {n:,} values", best(ours), times)


def bench_deficit_constant(n, rng):
    rain = rng.random(n) * 0.4
    rain[rng.random(n) < 1 / 3] = 0.0
    series = utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
    args = (0.3, 1.5, 0.08)
    dry = 30 * HOUR

    def ours():
        return tarnwick.rainfall_loss.run_deficit_and_constant(series, *args, dry)

    result = ours()
    expected = (result.excess.data, result.loss.data, result.deficit.data)
    py = peers.deficit_constant_py(rain.tolist(), 3600.0, *args, dry.total_seconds())
    assert all(same_bits(a, b) for a, b in zip(py, expected, strict=True))
    times = {
        "pure Python": best(
            lambda: peers.deficit_constant_py(rain.tolist(), 3600.0, *args, dry.total_seconds()), 3
        )
    }
    if peers.NUMBA:
        nb = peers.NUMBA["deficit_constant"]
        got = nb(rain, 3600.0, *args, dry.total_seconds())
        assert all(same_bits(a, b) for a, b in zip(got, expected, strict=True))
        times["numba"] = best(lambda: nb(rain, 3600.0, *args, dry.total_seconds()))
    else:
        times["numba"] = None
    report(f"run_deficit_and_constant, {n:,} values", best(ours), times)


def bench_clark(n, m, rng):
    rain = rng.random(n) * 0.3
    rain[rng.random(n) < 1 / 3] = 0.0
    series = utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
    tc, r, area = m * HOUR, 40 * HOUR, 640.0

    def ours():
        return tarnwick.rainfall_transform.run_clark_uh(series, area, tc, r)

    expected = ours().data
    assert len(expected) == n + m - 1
    u = np.array(
        peers.clark_unit_hydrograph_py(3600.0, area, tc.total_seconds(), r.total_seconds())
    )
    assert len(u) == m
    # A short stretch in pure Python checks the whole method bit for bit.
    short = peers.clark_py(rain[:300].tolist(), 3600.0, area, tc.total_seconds(), r.total_seconds())
    small = tarnwick.rainfall_transform.run_clark_uh(
        utils.IncrementalTimeSeries(rain[:300], HOUR, "rainfall"), area, tc, r
    )
    assert same_bits(short, small.data)

    times = {"numpy.convolve": best(lambda: np.convolve(rain, u))}
    if peers.NUMBA:
        nb = peers.NUMBA["convolve"]
        assert same_bits(nb(rain, u), expected)
        times["numba"] = best(lambda: nb(rain, u))
    else:
        times["numba"] = None
    # Pure Python at this size takes minutes; time 1/100 of the rainfall and scale.
    part = n // 100
    times["pure Python*"] = 100 * best(
        lambda: peers.clark_py(
            rain[:part].tolist(), 3600.0, area, tc.total_seconds(), r.total_seconds()
        ),
        1,
    )
    report(
        f"run_clark_uh, N={n:,}, M={m:,}, {np.mean(rain == 0):.0%} dry  (* scaled from N/100)",
        best(ours),
        times,
    )
    gap = np.max(np.abs(np.convolve(rain, u) - np.asarray(expected)))
    print(f"  largest difference from numpy.convolve: {gap:.3g} (summation order differs)")


def main():
    rng = np.random.default_rng(20240611)
    print(f"tarnwick from {tarnwick.__file__}")
    print(f"numba {'available' if peers.NUMBA else 'not installed'}; numpy {np.__version__}")
    bench_muskingum(1_000_000, rng)
    bench_deficit_constant(1_000_000, rng)
    bench_clark(100_000, 1_000, rng)


if __name__ == "__main__":
    main()
