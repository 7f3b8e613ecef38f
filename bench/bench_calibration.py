"""One calibration evaluation: through tarnwick_basin's problem against the hand-written chain.

    python bench/bench_calibration.py [--quick] [--repeat N]

The hand-written chain is the objective of examples/calibrate.py as it stood before
the example moved onto tarnwick_basin: ten years of daily rainfall disaggregated to
three hours (29,224 steps), loss, Clark on the excess, two baseflow layers on the
loss, daily means with numpy, KGE after a one-year warm-up. The problem is the same
model as a one-subbasin basin: `Problem.loss(x)`, which sets the vector's values in
the basin, reruns the module's calls on inputs prepared once, takes the daily means
and the KGE. The rainfall and the observed flow are synthetic (seeded), so no data
package is needed. Both run the same parameter vector in turns (CPU time, medians);
the problem's KGE is printed beside the chain's (they differ in the last digits:
the basin converts units in its own order).
"""

import math
import threading
from datetime import timedelta

import numpy as np
import pandas as pd
from harness import options, race, report

import tarnwick
from tarnwick_basin import BaseflowLayer, Basin, Subbasin
from tarnwick_basin.calibration import Parameter, Problem

DAYS = 3653
DAY = 86400
STEP = 3 * 3600
STEPS_PER_DAY = DAY // STEP
WARMUP_DAYS = 365
MM_PER_INCH = 25.4
CFS_PER_M3S = 1.0 / 0.3048**3
AREA_KM2 = 2976.41
AREA_ACRES = AREA_KM2 * 1e6 / 4046.8564224
# max_deficit (in), loss (in/h), time to dry (days), tc (h), R/tc, k1 (days), f1,
# k2 (days), share: a set in the middle of the example's ranges.
X = (1.6, 0.008, 6.0, 48.0, 0.12, 2.0, 0.35, 90.0, 0.5)


def record(days):
    rng = np.random.default_rng(7)
    rain_mm = np.where(rng.random(days) < 0.45, rng.gamma(0.7, 6.0, days), 0.0)
    flow_m3s = 20.0 + 30.0 * rng.random(days)
    return rain_mm, flow_m3s


# -- the chain of examples/calibrate.py, as it stood (its units: in, cfs, acres) --------


def seconds(value, unit):
    return timedelta(seconds=round(value * unit))


def _scratch(size):
    thread = threading.current_thread()
    held = getattr(thread, "tarnwick_example_points", None)
    if held is None or len(held) != size:
        held = np.empty(size)
        thread.tarnwick_example_points = held
    return held


def simulate(x, rainfall, area, initial_baseflow):
    max_deficit, loss_rate, time_to_dry, tc_hours, ratio, k1, f1, k2, share = map(float, x)
    utils = tarnwick.utils
    daily = utils.IncrementalTimeSeries(rainfall, timedelta(days=1), "rainfall")
    gross = daily.disaggregate(STEP)
    losses = tarnwick.rainfall_loss.run_deficit_and_constant(
        gross, 0.5 * max_deficit, max_deficit, loss_rate, seconds(time_to_dry, DAY)
    )
    tc = seconds(tc_hours, 3600)
    direct = tarnwick.rainfall_transform.run_clark_uh(
        losses.excess, area, tc, seconds(ratio * tc.total_seconds(), 1)
    )
    layers = {
        "interflow": tarnwick.baseflow.LinearReservoir(seconds(k1, DAY), f1, 0.0),
        "groundwater": tarnwick.baseflow.LinearReservoir(
            seconds(k2, DAY), (1.0 - f1) * share, initial_baseflow
        ),
    }
    baseflow, _ = tarnwick.baseflow.run_linear_reservoir(area, losses.loss, layers)
    n = len(rainfall) * STEPS_PER_DAY
    direct_values = np.asarray(direct)
    points = _scratch(n + 1)
    filled = min(n + 1, len(direct_values))
    points[:filled] = direct_values[:filled]
    points[filled:] = 0.0
    points[0] += initial_baseflow
    points[1:] += np.asarray(baseflow)[:n]
    inner = points[:-1].reshape(-1, STEPS_PER_DAY).sum(axis=1)
    ends = points[STEPS_PER_DAY::STEPS_PER_DAY] - points[:-1:STEPS_PER_DAY]
    return (inner + 0.5 * ends) / STEPS_PER_DAY


def objective(x, rainfall, observed, area, initial_baseflow):
    simulated = simulate(x, rainfall, area, initial_baseflow)
    kge = tarnwick.metrics.calculate_kge(simulated[WARMUP_DAYS:], observed[WARMUP_DAYS:])
    return 1.0 - kge if math.isfinite(kge) else math.inf


# -- the same model through tarnwick_basin (units: mm, m3/s, km2) -------------------------


def derive(named):
    values = dict(named)
    values["bench.initial_deficit"] = 0.5 * values["bench.max_deficit"]
    values["bench.storage_hours"] = values.pop("bench.storage_ratio") * values["bench.tc_hours"]
    share = values.pop("bench.baseflow.groundwater.share")
    interflow = values["bench.baseflow.interflow.fraction"]
    values["bench.baseflow.groundwater.fraction"] = (1.0 - interflow) * share
    return values


def problem(rain_mm, flow_m3s, initial_m3s):
    days = pd.date_range("1979-01-01", periods=len(rain_mm), freq="D")
    step = pd.Timedelta(seconds=STEP)
    rain = pd.Series(
        np.repeat(rain_mm / STEPS_PER_DAY, STEPS_PER_DAY),
        index=pd.date_range(days[0] + step, periods=len(rain_mm) * STEPS_PER_DAY, freq=step),
    )
    layers = {
        "interflow": BaseflowLayer(48.0, 0.3),
        "groundwater": BaseflowLayer(2000.0, 0.5, initial_m3s),
    }
    basin = Basin((Subbasin("bench", None, AREA_KM2, 20.0, 40.0, 0.1, 100.0, 48.0, 6.0, layers),))
    ranges = {
        "max_deficit": (10.16, 203.2),
        "constant_loss": (0.0, 0.508),
        "time_to_dry_hours": (48.0, 1440.0),
        "tc_hours": (30.0, 96.0),
        "storage_ratio": (0.05, 0.2),
        "baseflow.interflow.k_hours": (12.0, 480.0),
        "baseflow.interflow.fraction": (0.0, 1.0),
        "baseflow.groundwater.k_hours": (480.0, 9600.0),
        "baseflow.groundwater.share": (0.0, 1.0),
    }
    parameters = [Parameter(f"bench.{name}", *bounds) for name, bounds in ranges.items()]
    return Problem(
        basin,
        {"bench": rain},
        pd.Series(flow_m3s, index=days),
        parameters,
        warmup=pd.Timedelta(days=WARMUP_DAYS),
        derive=derive,
    )


def in_basin_units(x):
    """The chain's vector (inches, days) in the basin's units (mm, hours)."""
    max_deficit, loss_rate, time_to_dry, tc_hours, ratio, k1, f1, k2, share = x
    return (
        max_deficit * MM_PER_INCH,
        loss_rate * MM_PER_INCH,
        time_to_dry * 24.0,
        tc_hours,
        ratio,
        k1 * 24.0,
        f1,
        k2 * 24.0,
        share,
    )


def main():
    args = options(__doc__)
    days = 400 if args.quick else DAYS
    rain_mm, flow_m3s = record(days)
    initial_m3s = float(flow_m3s[:WARMUP_DAYS].min())
    rain_in = rain_mm / MM_PER_INCH
    flow_cfs = flow_m3s * CFS_PER_M3S
    calibration = problem(rain_mm, flow_m3s, initial_m3s)
    y = np.array(in_basin_units(X))
    chain = 1.0 - objective(X, rain_in, flow_cfs, AREA_ACRES, initial_m3s * CFS_PER_M3S)
    print(f"KGE: hand-written chain {chain!r}, problem {calibration.score(y)!r}")
    timings = race(
        {
            "hand-written chain (calibrate.py)": lambda: objective(
                X, rain_in, flow_cfs, AREA_ACRES, initial_m3s * CFS_PER_M3S
            ),
            "tarnwick_basin Problem.loss": lambda: calibration.loss(y),
        },
        args.repeat,
        number=1 if args.quick else 50,
    )
    report(f"one calibration evaluation ({days * STEPS_PER_DAY:,} steps)", timings)


if __name__ == "__main__":
    main()
