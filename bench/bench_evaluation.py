"""One calibration evaluation end to end, two builds side by side.

    python bench/bench_evaluation.py PYTHON_A PYTHON_B
    python bench/bench_evaluation.py --quick     (this interpreter against itself, once)

The evaluation is the chain examples/calibrate.py wrote out by hand (before it
moved onto tarnwick_basin's calibration problem) on ten years of daily
rainfall disaggregated to 3 hours (29,224 steps): loss, Clark on the excess,
two baseflow layers on the loss, daily means with numpy, KGE. The rainfall is
synthetic (seeded) so that no data package is needed. Results are read through
the buffer protocol where the series offer it, as lists otherwise.

Each interpreter must have its own build of tarnwick (and numpy) installed. In
each session one fresh worker per interpreter runs batches of evaluations on
the main thread, taking turns batch by batch and going first in turn; a batch
is timed in CPU time (time.process_time) and counts its minor page faults
(resource.getrusage). Prints the medians per evaluation and the ratio B / A.
"""

import json
import statistics
import subprocess
import sys

SESSIONS = 6
ROUNDS = 10  # in each session
BATCH = 20  # evaluations per batch

# The evaluation: evaluate(X) gives the KGE of the chain (bench_threads.py runs it
# on threads).
MODEL = r"""
from datetime import timedelta
import numpy as np
import tarnwick

DAYS, STEP = 3653, 10800
STEPS_PER_DAY = 86400 // STEP
WARMUP = 365
rng = np.random.default_rng(7)
rainfall = np.where(rng.random(DAYS) < 0.45, rng.gamma(0.7, 0.25, DAYS), 0.0)
observed = 200.0 + 400.0 * rng.random(DAYS)
AREA = 735_000.0
INITIAL = 150.0
X = (1.6, 0.08, 6.0, 18.0, 1.4, 12.0, 0.35, 90.0, 0.8)


def values(series):
    try:
        memoryview(series)
    except TypeError:
        return np.array(series.data)
    return np.asarray(series)


def seconds(value, unit):
    return timedelta(seconds=round(value * unit))


def evaluate(x):
    max_deficit, loss_rate, time_to_dry, tc_hours, ratio, k1, f1, k2, share = x
    daily = tarnwick.utils.IncrementalTimeSeries(rainfall, timedelta(days=1), "rainfall")
    gross = daily.disaggregate(STEP)
    losses = tarnwick.rainfall_loss.run_deficit_and_constant(
        gross, 0.5 * max_deficit, max_deficit, loss_rate, seconds(time_to_dry, 86400)
    )
    tc = seconds(tc_hours, 3600)
    direct = tarnwick.rainfall_transform.run_clark_uh(
        losses.excess, AREA, tc, seconds(ratio * tc.total_seconds(), 1)
    )
    layers = {
        "interflow": tarnwick.baseflow.LinearReservoir(seconds(k1, 86400), f1, 0.0),
        "groundwater": tarnwick.baseflow.LinearReservoir(
            seconds(k2, 86400), (1.0 - f1) * share, INITIAL
        ),
    }
    baseflow, _ = tarnwick.baseflow.run_linear_reservoir(AREA, losses.loss, layers)
    n = DAYS * STEPS_PER_DAY
    direct_values = values(direct)
    points = np.zeros(n + 1)
    points[: min(n + 1, len(direct_values))] = direct_values[: n + 1]
    points[0] += INITIAL
    points[1:] += values(baseflow)[:n]
    inner = points[:-1].reshape(-1, STEPS_PER_DAY).sum(axis=1)
    ends = points[STEPS_PER_DAY::STEPS_PER_DAY] - points[:-1:STEPS_PER_DAY]
    means = (inner + 0.5 * ends) / STEPS_PER_DAY
    return tarnwick.metrics.calculate_kge(means[WARMUP:], observed[WARMUP:])
"""

WORKER = (
    MODEL
    + r"""
import json, resource, sys, time

print(json.dumps(evaluate(X)), flush=True)
for line in sys.stdin:
    batch = json.loads(line)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.process_time()
    for _ in range(batch):
        evaluate(X)
    cpu = (time.process_time() - start) / batch
    faults = (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults) / batch
    print(json.dumps((cpu, faults)), flush=True)
"""
)


def start(python):
    worker = subprocess.Popen(
        [python, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    return worker, json.loads(worker.stdout.readline())


def measure(worker, batch):
    worker.stdin.write(json.dumps(batch) + "\n")
    worker.stdin.flush()
    return json.loads(worker.stdout.readline())


def main():
    if sys.argv[1:] == ["--quick"]:
        pythons, sessions, rounds, batch = (sys.executable, sys.executable), 1, 1, 2
    elif len(sys.argv) == 3:
        pythons, sessions, rounds, batch = tuple(sys.argv[1:]), SESSIONS, ROUNDS, BATCH
    else:
        sys.exit(__doc__)
    cpu, faults = ([], []), ([], [])
    for _ in range(sessions):
        a, kge_a = start(pythons[0])
        b, kge_b = start(pythons[1])
        if kge_a != kge_b:
            print(f"the builds disagree: KGE {kge_a!r} against {kge_b!r}")
        workers = (a, b)
        # Warm-up batch: the first evaluations of a process fill its caches.
        for worker in workers:
            measure(worker, batch)
        for round in range(rounds):
            for k in (0, 1) if round % 2 == 0 else (1, 0):
                seconds, count = measure(workers[k], batch)
                cpu[k].append(seconds)
                faults[k].append(count)
        for worker in workers:
            worker.stdin.close()
            worker.wait()
    ta, tb = (statistics.median(t) for t in cpu)
    fa, fb = (statistics.median(f) for f in faults)
    print(f"{'one evaluation (29,224 steps)':<32} {'A':>10} {'B':>10}  B/A")
    print(f"{'CPU ms':<32} {ta * 1e3:10.3f} {tb * 1e3:10.3f}  {tb / ta:5.3f}")
    print(f"{'minor page faults':<32} {fa:10.1f} {fb:10.1f}")


if __name__ == "__main__":
    main()
