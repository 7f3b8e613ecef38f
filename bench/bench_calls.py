"""Small calls, two builds side by side: every function, constructor and method
with ten values, plus attribute reads and a write.

    python bench/bench_calls.py PYTHON_A PYTHON_B
    python bench/bench_calls.py --quick     (this interpreter against itself, once)

Each interpreter must have its own build of tarnwick installed. In each of
several sessions, one fresh worker process per interpreter measures batches
of calls in CPU time (time.process_time); the workers take turns batch by
batch, so both builds see the same machine load, and go first in turn.
Prints each call's median time per call in both builds and the ratio B / A.
"""

import json
import statistics
import subprocess
import sys

SESSIONS = 8
ROUNDS = 8  # in each session
BATCH_SECONDS = 0.01  # CPU time of one batch, as measured in the first build

WORKER = r"""
import json, sys, time
from datetime import timedelta
import tarnwick

HOUR = timedelta(hours=1)
u, ru = tarnwick.utils, tarnwick.reservoir.reservoir_utils
values = [1.0 + 0.5 * i for i in range(10)]
rain = [0.1 * (i % 4) for i in range(10)]
cont = u.ContinuousTimeSeries(values, HOUR, "discharge")
incr = u.IncrementalTimeSeries(rain, HOUR, "rainfall")
elev = [100.0 + i for i in range(10)]
curve = ru.ElevationStorage(elev, [1000.0 * i for i in range(10)])
rating = ru.ElevationDischarge(elev, [10.0 * i for i in range(10)])
outlets = {"spill": ru.UnControlledDischargeInfo(rating)}
layer = tarnwick.baseflow.LinearReservoir(24 * HOUR, 0.5, 1.0)
layers = {"slow": layer}
obs = [v * 1.1 for v in values]

CALLS = {
    "ContinuousTimeSeries()": lambda: u.ContinuousTimeSeries(values, HOUR, "discharge"),
    "IncrementalTimeSeries()": lambda: u.IncrementalTimeSeries(rain, HOUR, "rainfall"),
    "ContinuousTimeSeries.total_duration": lambda: cont.total_duration(),
    "IncrementalTimeSeries.disaggregate": lambda: incr.disaggregate(1800),
    "ContinuousTimeSeries.data": lambda: cont.data,
    "ElevationStorage()": lambda: ru.ElevationStorage(elev, elev),
    "ElevationStorage.get_storage": lambda: curve.get_storage(104.5),
    "ElevationStorage.get_elevation(kw)": lambda: curve.get_elevation(storage=4500.0),
    "ElevationDischarge()": lambda: ru.ElevationDischarge(elev, elev),
    "ConstantDischargeInfo()": lambda: ru.ConstantDischargeInfo(5.0),
    "SpecifiedDischargeInfo()": lambda: ru.SpecifiedDischargeInfo(cont, 100.0),
    "ControlledDischargeInfo()": lambda: ru.ControlledDischargeInfo(rating, maximum_release=50.0),
    "UnControlledDischargeInfo()": lambda: ru.UnControlledDischargeInfo(rating),
    "run_level_pool_routing": lambda: tarnwick.reservoir.run_level_pool_routing(cont, 101.0, curve, outlets),
    "run_muskingum_routing": lambda: tarnwick.reach.run_muskingum_routing(cont, HOUR, 0.2, 1, 1.0),
    "run_clark_uh": lambda: tarnwick.rainfall_transform.run_clark_uh(incr, 100.0, 2 * HOUR, 3 * HOUR),
    "run_deficit_and_constant": lambda: tarnwick.rainfall_loss.run_deficit_and_constant(incr, 0.5, 2.0, 0.1, 24 * HOUR),
    "LinearReservoir()": lambda: tarnwick.baseflow.LinearReservoir(24 * HOUR, 0.5, 1.0),
    "LinearReservoir.gw_fraction": lambda: layer.gw_fraction,
    "LinearReservoir.gw_fraction=": lambda: setattr(layer, "gw_fraction", 0.5),
    "run_linear_reservoir": lambda: tarnwick.baseflow.run_linear_reservoir(100.0, incr, layers),
    "calculate_kge": lambda: tarnwick.metrics.calculate_kge(values, obs),
}

try:  # both builds' interpreters have numpy, or neither
    import numpy as np
except ImportError:
    np = None
if np is not None:
    values_array, obs_array = np.array(values), np.array(obs)
    CALLS["calculate_kge(ndarray)"] = lambda: tarnwick.metrics.calculate_kge(values_array, obs_array)

print(json.dumps(list(CALLS)), flush=True)
for line in sys.stdin:
    name, batch = json.loads(line)
    call = CALLS[name]
    start = time.process_time()
    for _ in range(batch):
        call()
    print(json.dumps((time.process_time() - start) / batch), flush=True)
"""


def start(python):
    worker = subprocess.Popen(
        [python, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    return worker, json.loads(worker.stdout.readline())


def measure(worker, name, batch):
    worker.stdin.write(json.dumps((name, batch)) + "\n")
    worker.stdin.flush()
    return json.loads(worker.stdout.readline())


def main():
    if sys.argv[1:] == ["--quick"]:
        pythons, sessions, rounds = (sys.executable, sys.executable), 1, 1
    elif len(sys.argv) == 3:
        pythons, sessions, rounds = tuple(sys.argv[1:]), SESSIONS, ROUNDS
    else:
        sys.exit(__doc__)
    times = None
    for _ in range(sessions):
        # Fresh processes each session: one process's memory layout can make
        # it a few percent faster or slower than another running the same build.
        a, names = start(pythons[0])
        b, names_b = start(pythons[1])
        assert names == names_b
        if times is None:
            batches = {name: max(1, int(BATCH_SECONDS / measure(a, name, 100))) for name in names}
            times = {name: ([], []) for name in names}
        for round in range(rounds):
            for name in names:
                # Each build goes first in every other round: whichever runs
                # second tends to find the caches warmer.
                order = (0, 1) if round % 2 == 0 else (1, 0)
                for k in order:
                    times[name][k].append(measure((a, b)[k], name, batches[name]))
        for worker in (a, b):
            worker.stdin.close()
            worker.wait()
    print(f"{'call (10 values)':<38} {'A ns':>8} {'B ns':>8}  B/A")
    for name in names:
        ta, tb = (statistics.median(t) for t in times[name])
        print(f"{name:<38} {ta * 1e9:8.0f} {tb * 1e9:8.0f}  {tb / ta:5.3f}")


if __name__ == "__main__":
    main()
