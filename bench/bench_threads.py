"""One thread against two: the same calls, run by one thread or split over two.

    python bench/bench_threads.py [--repeat N]
    python bench/bench_threads.py --quick     (tiny sizes, once: does it run?)
    sudo chrt -f 10 python bench/bench_threads.py   (on a machine busy with other work)

For every computation of the module at the calibration example's length
(29,224 values: ten years at three hours) and at 10^6 values, and for one
evaluation of the calibration chain (bench_evaluation.py's model), a sample is
a batch of calls made either by one worker thread or by two, each making half
of them, started together. The figure is the speed-up: the batch's wall time on
one thread over that on two (2.00x is perfect). The CPU time (all threads)
should not grow with the second thread; its ratio is printed too. Samples of
both kinds alternate; figures are medians. Every result computed on the two
threads is checked bit for bit against the serial one.

Only a free-threaded CPython runs the module on two threads at once; with the
global interpreter lock the threads take turns, which the ratio then shows.

Two controls: a loop of Python arithmetic, which two threads run at twice the
speed of one whenever the machine gives them two cores (on a machine busy with
other work the other figures are only as good as this one: real-time priority
keeps that work off the cores for the minute the benchmark takes), and a copy of a
numpy array, which does next to no arithmetic per byte, so that its speed-up
shows what the memory system lets two cores gain. A computation close to it at
10^6 values is bound by memory bandwidth, not by the cores.
"""

import statistics
import sys
import threading
import time
from datetime import timedelta

import numpy as np
from bench_evaluation import MODEL
from harness import options

import tarnwick

SECOND = timedelta(seconds=1)
HOUR = timedelta(hours=1)
DAY = timedelta(days=1)
ru = tarnwick.reservoir.reservoir_utils


def computations(n):
    """name -> call returning the computed values, on inputs of n values."""
    rng = np.random.default_rng(n)
    rain_values = np.where(rng.random(n) < 0.3, rng.gamma(0.6, 0.1, n), 0.0)
    rain = tarnwick.utils.IncrementalTimeSeries(rain_values, HOUR, "rainfall")
    daily = tarnwick.utils.IncrementalTimeSeries(rain_values[: n // 8], DAY, "rainfall")
    flow_values = 100.0 + 900.0 * rng.random(n) ** 8
    flow = tarnwick.utils.ContinuousTimeSeries(flow_values, HOUR, "discharge")
    # The pool steps once a second: n values one second apart are n steps.
    inflow = tarnwick.utils.ContinuousTimeSeries(flow_values, SECOND, "discharge")
    observed = flow_values[::-1].copy()
    elevation = [100.0 + k for k in range(20)]
    curve = ru.ElevationStorage(elevation, [2.0e6 * k + 1.5e5 * k * k for k in range(20)])
    outlets = {
        "gate": ru.ControlledDischargeInfo(
            ru.ElevationDischarge(elevation[::2], [40.0 * k for k in range(10)]),
            minimum_elevation=101.0,
            maximum_release=260.0,
        ),
        "spillway": ru.UnControlledDischargeInfo(
            ru.ElevationDischarge(elevation[10:], [150.0 * k for k in range(10)])
        ),
    }
    layers = {
        "interflow": tarnwick.baseflow.LinearReservoir(48 * HOUR, 0.4, 1.0, num_reservoir=2),
        "groundwater": tarnwick.baseflow.LinearReservoir(900 * HOUR, 0.5, 20.0),
    }

    def values(series):
        return np.asarray(series)

    return {
        "numpy copy (control)": lambda: rain_values.copy(),
        "series from a numpy array": lambda: values(
            tarnwick.utils.IncrementalTimeSeries(rain_values, HOUR, "rainfall")
        ),
        "disaggregate, daily to 3 hours": lambda: values(daily.disaggregate(10800)),
        "deficit and constant loss": lambda: values(
            tarnwick.rainfall_loss.run_deficit_and_constant(rain, 0.5, 1.5, 0.05, 48 * HOUR).excess
        ),
        "Clark unit hydrograph": lambda: values(
            tarnwick.rainfall_transform.run_clark_uh(rain, 5000.0, 9 * HOUR, 7 * HOUR)
        ),
        "linear reservoirs, two layers": lambda: values(
            tarnwick.baseflow.run_linear_reservoir(5000.0, rain, layers)[0]
        ),
        "Muskingum routing": lambda: values(
            tarnwick.reach.run_muskingum_routing(flow, 2 * HOUR, 0.2, 2, 100.0)
        ),
        "level pool routing": lambda: values(
            tarnwick.reservoir.run_level_pool_routing(
                inflow, 106.0, curve, outlets
            ).reservoir_total_outflow
        ),
        "KGE": lambda: np.float64(tarnwick.metrics.calculate_kge(flow_values, observed)),
    }


def calibration_evaluation():
    model = {}
    exec(MODEL, model)
    return lambda: np.float64(model["evaluate"](model["X"]))


class Pair:
    """Two worker threads that run a batch of calls on one or on both of them."""

    def __init__(self):
        self.jobs = [None, None]
        self.go = [threading.Semaphore(0), threading.Semaphore(0)]
        self.done = threading.Semaphore(0)
        self.start = None
        self.threads = [threading.Thread(target=self.serve, args=(k,), daemon=True) for k in (0, 1)]
        for thread in self.threads:
            thread.start()

    def serve(self, k):
        while True:
            self.go[k].acquire()
            call, count, out = self.jobs[k]
            self.start.wait()
            for _ in range(count):
                result = call()
            out.append(result)  # checked after the timing
            self.done.release()

    def run(self, call, calls, threads):
        """Wall and CPU seconds of `calls` calls on `threads` threads; each one's last result."""
        outs = [[] for _ in range(threads)]
        self.start = threading.Barrier(threads + 1)
        for k in range(threads):
            self.jobs[k] = (call, calls // threads, outs[k])
            self.go[k].release()
        cpu, wall = time.process_time(), time.perf_counter()
        self.start.wait()
        for _ in range(threads):
            self.done.acquire()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        return wall, cpu, [out[0] for out in outs]


def measure(pair, name, call, repeat, quick):
    """Prints the medians per call on one and on two threads, and their ratios."""
    once = time.perf_counter()
    expected = call()
    once = time.perf_counter() - once
    # Enough calls for about 0.1 s on one thread (an even count, at least 2).
    calls = 2 if quick else max(2, 2 * round(0.05 / max(once, 1e-6)))
    pair.run(call, calls, 2)  # the first calls of each thread fill its caches
    samples = {1: [], 2: []}
    for _ in range(repeat):
        for threads in (1, 2):
            wall, cpu, results = pair.run(call, calls, threads)
            samples[threads].append((wall, cpu))
            if not all(np.array_equal(r, expected, equal_nan=True) for r in results):
                sys.exit(f"{name}: results on {threads} threads differ from the serial ones")
    (wall1, cpu1), (wall2, cpu2) = (
        (statistics.median(w for w, _ in samples[k]), statistics.median(c for _, c in samples[k]))
        for k in (1, 2)
    )
    print(
        f"  {name:<34} {wall1 / calls * 1e3:9.3f} ms {wall2 / calls * 1e3:9.3f} ms"
        f"   {wall1 / wall2:5.2f}x    {cpu2 / cpu1:5.2f}",
        flush=True,
    )
    return wall1 / wall2


def main():
    args = options(__doc__)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, {'with' if gil else 'without'} the GIL")
    if gil:
        print("  the threads take turns on this interpreter: expect about 1x")
    pair = Pair()
    sizes = [1000] if args.quick else [29_224, 1_000_000]
    header = f"  {'per call':<34} {'1 thread':>12} {'2 threads':>12}   speed-up   CPU 2/1"
    # Pure arithmetic in Python: what two threads gain when both have a core.
    print(f"\nthe machine's free cores (a loop of Python arithmetic)\n{header}")
    measure(
        pair,
        "Python loop (control)",
        lambda: np.float64(sum(range(20_000))),
        args.repeat,
        args.quick,
    )
    for n in sizes:
        print(f"\n{n:,} values\n{header}")
        for name, call in computations(n).items():
            measure(pair, name, call, args.repeat, args.quick)
    print(f"\ncalibration evaluation (29,224 steps)\n{header}")
    measure(pair, "evaluation", calibration_evaluation(), args.repeat, args.quick)


if __name__ == "__main__":
    main()
