"""Two builds of tarnwick side by side: the kernels whose speed depends on
memory reuse and on the CPU variant picked, in the three ways they are used.

    python bench/bench_builds.py --against OTHER_DIR
    python bench/bench_builds.py --quick      (this build against itself, once)

OTHER_DIR holds another build of the extension module (a folder with the
tarnwick*.so, such as a CMake build folder); this build is the one Python
imports by default. Every sample is a child process that imports one of the
two builds, and the two alternate, so that a change in the machine's load
falls on both alike. Patterns:

- fresh: one call, first thing in a new process (fresh memory, nothing reused);
- long-running: the call repeated among other calls on other lengths, as in a
  calibration loop or a service that has been running for a while;
- other thread: a pool thread makes each result and the caller drops it.

Figures are CPU-time medians in milliseconds; the ratio is this build's over
the other's.
"""

import argparse
import statistics
import subprocess
import sys

CHILD = r"""
import sys, time
sys.path.insert(0, sys.argv[1]) if sys.argv[1] else None
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta
import numpy as np
import tarnwick

kernel, pattern, repeat, scale = sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
HOUR = timedelta(hours=1)
rng = np.random.default_rng(7)
ts = tarnwick.utils


def rain(n):
    return ts.IncrementalTimeSeries(rng.random(n) * (rng.random(n) < 0.67), HOUR, "rainfall")


if kernel == "clark":
    n, m = int(1e5 * scale), max(int(1000 * scale), 2)
    series = rain(n)
    def call():
        return tarnwick.rainfall_transform.run_clark_uh(series, 500.0, m * HOUR, 300 * HOUR)
else:
    n = int(1e6 * scale)
    series = rain(n)
    layers = {
        str(k): tarnwick.baseflow.LinearReservoir((24 + 100 * k) * HOUR, 0.3, 1.0, num_reservoir=2)
        for k in range(3)
    }
    def call():
        return tarnwick.baseflow.run_linear_reservoir(500.0, series, layers)

others = [rng.random(int(k * scale) + 2) for k in (3_000, 40_000, 250_000, 700_000)]


def other_calls():
    for other in others:
        inflow = ts.ContinuousTimeSeries(other, HOUR, "discharge")
        tarnwick.reach.run_muskingum_routing(inflow, 2 * HOUR, 0.2, 2, 0.0)
        gross = ts.IncrementalTimeSeries(other, HOUR, "rainfall")
        tarnwick.rainfall_loss.run_deficit_and_constant(gross, 0.5, 1.5, 0.05, 48 * HOUR)
        tarnwick.metrics.calculate_kge(other, other + 1.0)


def timed(work):
    start = time.process_time()
    work()
    return time.process_time() - start


if pattern == "fresh":
    samples = [timed(call)]
elif pattern == "long-running":
    for _ in range(20):
        other_calls()
        call()
    samples = []
    for _ in range(repeat):
        other_calls()
        samples.append(timed(call))
else:
    with ThreadPoolExecutor(1) as pool:
        for _ in range(3):
            pool.submit(call).result()
        samples = []
        for _ in range(repeat):
            def elsewhere():
                result = pool.submit(call).result()
                del result
            samples.append(timed(elsewhere))
print(sorted(samples)[len(samples) // 2])
"""

PATTERNS = ["fresh", "long-running", "other thread"]


def sample(build, kernel, pattern, repeat, scale):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, build, kernel, pattern, str(repeat), str(scale)],
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        sys.exit(f"the child for {build or 'this build'} failed:\n{out.stderr}")
    return float(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--against",
        default="",
        help="folder of the other build (default: this build against itself, which only checks"
        " that the benchmark runs, as run_all.py --quick does)",
    )
    parser.add_argument("--rounds", type=int, default=15, help="child processes per build")
    parser.add_argument("--repeat", type=int, default=9, help="calls timed per child")
    parser.add_argument("--kernel", choices=["clark", "baseflow"], action="append")
    parser.add_argument("--quick", action="store_true", help="tiny sizes: does it run?")
    args = parser.parse_args()
    scale = 0.01 if args.quick else 1.0
    rounds = 1 if args.quick else args.rounds
    print(f"{'kernel':10} {'pattern':14} {'this ms':>9} {'other ms':>9} {'ratio':>7}")
    for kernel in args.kernel or ["clark", "baseflow"]:
        for pattern in PATTERNS:
            ours, theirs = [], []
            for k in range(rounds):
                # Alternate which build goes first.
                for mine in (True, False) if k % 2 == 0 else (False, True):
                    build = "" if mine else args.against
                    figure = sample(build, kernel, pattern, args.repeat, scale)
                    (ours if mine else theirs).append(figure)
            a, b = statistics.median(ours), statistics.median(theirs)
            print(
                f"{kernel:10} {pattern:14} {a * 1e3:9.3f} {b * 1e3:9.3f} {a / b:7.3f}", flush=True
            )


if __name__ == "__main__":
    main()
