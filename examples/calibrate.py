"""Calibrating the runoff chain against ten years of observed flow.

The record: daily basin rainfall (mm/day) and daily mean discharge (m³/s) of the
river Fulda at the Grebenau gauge (Hesse, Germany), 1 January 1979 to
31 December 1988, catchment area 2976.41 km². It is the file
`examples/cmf_data/fulda_climate.csv` shipped inside the `spotpy` package on PyPI
(spotpy's lumped-model example gives the area); spotpy, and with it the file, is
distributed under the MIT licence. Only that data file is read; none of the
package's code is used.

The model, at a three-hour step (each day's rainfall spread evenly over its eight
steps, so the unit hydrograph can resolve a time of concentration of a day or two):

1. deficit-and-constant loss splits the rainfall into excess and infiltration;
2. the Clark unit hydrograph turns the excess into direct runoff;
3. the infiltration recharges two linear-reservoir layers (interflow and
   groundwater); what neither layer takes is lost to evaporation and deep
   percolation;
4. direct runoff plus baseflow, averaged over each day, is compared with the
   observed daily mean flow.

`scipy.optimize.differential_evolution` minimises 1 - KGE over the days after a
one-year warm-up, within `--budget` model evaluations. Units follow the module:
rainfall in inches, areas in acres, flows in cubic feet per second; the record is
converted on loading. The chain knows neither snow nor the seasons of evaporation,
so it misses snowmelt floods and overshoots on summer storms: a KGE of about 0.6
is what it reaches on this record.

Run it as `python3 examples/calibrate.py [--budget N] [--seed S] [--plot FILE]`;
it needs the optional dependencies: `pip install "tarnwick[examples]"`.
"""

from __future__ import annotations

import importlib.util
import math
import sys
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import date, datetime, timedelta
from pathlib import Path
from typing import NamedTuple

import tarnwick

# The argument checks shared by the examples live beside this file.
HERE = str(Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from arguments import ArgumentParser, check_plot, natural, positive  # noqa: E402

try:
    import numpy as np
    import numpy.typing as npt
    from scipy.optimize import Bounds, differential_evolution
    from tqdm import tqdm
except ImportError as missing:
    raise SystemExit(
        f'{Path(__file__).name} needs {missing.name}: pip install "tarnwick[examples]"'
    ) from None

FloatArray = npt.NDArray[np.float64]
Vector = Sequence[float] | FloatArray  # a parameter vector

# Unit conversions, exact by definition of the inch and the foot.
MM_PER_INCH = 25.4
CUBIC_METRES_PER_CUBIC_FOOT = 0.3048**3
SQUARE_METRES_PER_ACRE = 4046.8564224

DATA_PACKAGE = "spotpy"
DATA_FILE = ("examples", "cmf_data", "fulda_climate.csv")
CATCHMENT = "Fulda at Grebenau"
AREA_KM2 = 2976.41

DAY = 86400  # seconds
STEP = 3 * 3600  # the model's time step in seconds
STEPS_PER_DAY = DAY // STEP
WARMUP_DAYS = 365


class Parameter(NamedTuple):
    name: str
    unit: str
    low: float
    high: float
    meaning: str


# The calibrated parameters, in the order of a parameter vector. The bounds keep
# the chain where its numerics hold at a three-hour step:
# - the unit hydrograph ends after ceil(tc / step) ordinates, so the reservoir's
#   recession past tc is cut off and its volume lost. R is therefore sampled as a
#   fraction of tc: R / tc <= 0.2 keeps at least about four fifths of the
#   excess volume (the run reports the share kept by the calibrated set);
# - the reservoir's routing coefficients stay non-negative (no oscillating unit
#   hydrograph) while R is at least half a step: tc >= 30 hours and R / tc >= 0.05
#   ensure it;
# - a baseflow layer is routed stably only while its constant is at least half a
#   step (90 minutes); both layers stay well above that.
PARAMETERS = (
    Parameter("max_deficit", "in", 0.4, 8.0, "soil moisture storage capacity"),
    Parameter("constant_loss", "in/h", 0.0, 0.02, "constant infiltration rate"),
    Parameter("time_to_dry", "days", 2.0, 60.0, "recovery time of the deficit"),
    Parameter("tc", "hours", 30.0, 96.0, "time of concentration"),
    Parameter("storage_ratio", "R/tc", 0.05, 0.2, "Clark storage coefficient over tc"),
    Parameter("interflow_k", "days", 0.5, 20.0, "interflow layer storage constant"),
    Parameter("interflow_fraction", "-", 0.0, 1.0, "share of infiltration to interflow"),
    Parameter("groundwater_k", "days", 20.0, 400.0, "groundwater layer storage constant"),
    Parameter("groundwater_share", "-", 0.0, 1.0, "share of the rest to groundwater"),
)
BOUNDS = [(p.low, p.high) for p in PARAMETERS]


@dataclass(frozen=True)
class Record:
    """The observed record in the module's units, one value per day."""

    start: date
    rainfall: FloatArray  # inches per day
    observed: FloatArray  # daily mean discharge, cfs
    area: float  # acres

    @property
    def initial_baseflow(self) -> float:
        """Groundwater flow at the start: the lowest flow of the warm-up year (cfs)."""
        return float(np.min(self.observed[:WARMUP_DAYS]))

    def day(self, index: int) -> date:
        return self.start + timedelta(days=index)


def data_path() -> Path:
    """The data file inside the installed package, found without importing it."""
    found = importlib.util.find_spec(DATA_PACKAGE)
    if found is None or not found.submodule_search_locations:
        raise SystemExit(
            f'the data package {DATA_PACKAGE} is missing: pip install "tarnwick[examples]"'
        )
    return Path(next(iter(found.submodule_search_locations)), *DATA_FILE)


def load_record(path: Path | None = None) -> Record:
    """Reads the daily record and converts it: mm to inches, m³/s to cfs, km² to acres.

    The file has a header line of column names, a line of units, then one line per
    day: date (dd.mm.yyyy), tmax, tmin, tmean (°C), rainfall (mm/day), Q (m³/s).
    """
    path = path or data_path()
    lines = path.read_text(encoding="utf-8").splitlines()
    columns = lines[0].split(",")
    date_col, rain_col, flow_col = (columns.index(c) for c in ("date", "Prec", "Q"))
    days, rain_mm, flow_m3s = [], [], []
    for line in lines[2:]:
        fields = line.split(",")
        days.append(datetime.strptime(fields[date_col], "%d.%m.%Y").date())
        rain_mm.append(float(fields[rain_col]))
        flow_m3s.append(float(fields[flow_col]))
    if any((b - a).days != 1 for a, b in zip(days, days[1:], strict=False)):
        raise ValueError(f"{path}: the record is not one line per consecutive day")
    if not all(math.isfinite(v) and v >= 0.0 for v in rain_mm + flow_m3s):
        raise ValueError(f"{path}: missing or negative values")
    return Record(
        start=days[0],
        rainfall=np.asarray(rain_mm) / MM_PER_INCH,
        observed=np.asarray(flow_m3s) / CUBIC_METRES_PER_CUBIC_FOOT,
        area=AREA_KM2 * 1e6 / SQUARE_METRES_PER_ACRE,
    )


def seconds(value: float, unit: int) -> timedelta:
    """A duration of `value` units of `unit` seconds, rounded to whole seconds."""
    return timedelta(seconds=round(value * unit))


def _scratch(size: int) -> FloatArray:
    """An array of `size` floats kept by the calling thread for its next evaluation.

    A fresh array of this size (a few hundred kB) is one that glibc maps from the
    system and hands back on every call once the process's allocator thresholds
    are fixed, as dask's workers fix them: every evaluation would then fault its
    pages in afresh. One buffer per thread, so thread pools stay safe; it hangs on
    the thread object rather than on a module global, so that the function can be
    sent by value to a cluster that cannot import this file.
    """
    thread = threading.current_thread()
    held: FloatArray | None = getattr(thread, "tarnwick_example_points", None)
    if held is None or len(held) != size:
        held = np.empty(size)
        setattr(thread, "tarnwick_example_points", held)  # noqa: B010 (not an attribute mypy knows)
    return held


def simulate(x: Vector, rainfall: FloatArray, area: float, initial_baseflow: float) -> FloatArray:
    """Daily mean flow (cfs) of the chain with parameter vector `x` (see PARAMETERS).

    Everything comes in as plain numbers and arrays and the module's objects are
    built here, so the function can run in another process or on another machine.
    """
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

    # Flows at the step boundaries 0 .. n: the Clark hydrograph's value j is the
    # flow at j steps, a baseflow value j the flow at the end of step j (so the
    # start is the layers' initial flow). The hydrograph runs on past the last
    # step; a unit hydrograph of a single ordinate (tc up to one step) is all zeros
    # and its result one value short.
    n = len(rainfall) * STEPS_PER_DAY
    direct_values = np.asarray(direct)  # the values in place, not a list of floats
    points = _scratch(n + 1)
    filled = min(n + 1, len(direct_values))
    points[:filled] = direct_values[:filled]
    points[filled:] = 0.0
    points[0] += initial_baseflow
    points[1:] += np.asarray(baseflow)[:n]
    # Daily means by the trapezoidal rule over the day's steps.
    inner = points[:-1].reshape(-1, STEPS_PER_DAY).sum(axis=1)
    ends = points[STEPS_PER_DAY::STEPS_PER_DAY] - points[:-1:STEPS_PER_DAY]
    means: FloatArray = (inner + 0.5 * ends) / STEPS_PER_DAY
    return means


def objective(
    x: Vector,
    rainfall: FloatArray,
    observed: FloatArray,
    area: float,
    initial_baseflow: float,
) -> float:
    """1 - KGE of the simulated against the observed daily flow after the warm-up."""
    simulated = simulate(x, rainfall, area, initial_baseflow)
    kge = tarnwick.metrics.calculate_kge(simulated[WARMUP_DAYS:], observed[WARMUP_DAYS:])
    # A parameter set that yields no number (a flat simulated series, say) is
    # ranked worst rather than stopping the search.
    return 1.0 - kge if math.isfinite(kge) else math.inf


class KGE(NamedTuple):
    kge: float
    r: float  # Pearson correlation
    beta: float  # mean ratio, simulated over observed
    gamma: float  # standard deviation ratio, simulated over observed


def kge_components(simulated: FloatArray, observed: FloatArray) -> KGE:
    """The Kling-Gupta efficiency and its three components, with numpy."""
    r = float(np.corrcoef(simulated, observed)[0, 1])
    beta = float(simulated.mean() / observed.mean())
    gamma = float(simulated.std() / observed.std())
    kge = 1.0 - math.sqrt((r - 1.0) ** 2 + (beta - 1.0) ** 2 + (gamma - 1.0) ** 2)
    return KGE(kge, r, beta, gamma)


def unit_hydrograph_volume(tc_hours: float, ratio: float) -> float:
    """The share of one inch of excess that the truncated unit hydrograph returns."""
    tc = seconds(tc_hours, 3600)
    one_inch = tarnwick.utils.IncrementalTimeSeries([1.0], timedelta(seconds=STEP), "rainfall")
    unit = tarnwick.rainfall_transform.run_clark_uh(
        one_inch, 1.0, tc, seconds(ratio * tc.total_seconds(), 1)
    )
    # Ordinates in cfs per acre-inch; 1.00833 cfs for an hour is one acre-inch.
    return float(np.asarray(unit).sum()) * (STEP / 3600) / 1.00833


@dataclass(frozen=True)
class Calibration:
    x: FloatArray  # the best parameter vector found
    value: float  # its 1 - KGE
    evaluations: int  # evaluations spent, at most the budget
    converged: bool  # the search stopped on its own before the budget


class _BudgetSpent(Exception):
    pass


def calibrate(record: Record, budget: int, seed: int = 1, progress: bool = True) -> Calibration:
    """Differential evolution on 1 - KGE, stopped after `budget` evaluations at most."""
    if budget < 1:
        raise ValueError("the budget must be at least one evaluation")
    best_x: FloatArray = np.full(len(PARAMETERS), math.nan)
    best = math.inf
    count = 0
    bar = tqdm(total=budget, disable=not progress, unit="eval", desc="calibrating")

    def counted(x: FloatArray) -> float:
        # The optimiser has no hard limit on evaluations of its own (maxiter counts
        # generations, and it may evaluate more); the budget is enforced here.
        nonlocal best, best_x, count
        if count >= budget:
            raise _BudgetSpent
        count += 1
        value = objective(x, record.rainfall, record.observed, record.area, record.initial_baseflow)
        if value < best or count == 1:
            best, best_x = value, np.array(x, dtype=np.float64)
            bar.set_postfix(kge=f"{1.0 - best:.4f}", refresh=False)
        bar.update()
        return value

    converged = False
    try:
        differential_evolution(
            counted,
            Bounds([p.low for p in PARAMETERS], [p.high for p in PARAMETERS]),
            maxiter=budget,
            popsize=10,  # 90 sets a generation: more generations within the budget
            polish=False,
            rng=np.random.default_rng(seed),
        )
        converged = True
    except _BudgetSpent:
        pass
    finally:
        bar.close()
    return Calibration(best_x, best, count, converged)


def describe(x: Vector) -> list[str]:
    """One line per parameter: name, value with its unit, meaning."""
    return [
        f"  {p.name:<19} {value:10.4g} {p.unit:<6} {p.meaning}"
        for p, value in zip(PARAMETERS, x, strict=True)
    ]


def report(record: Record, result: Calibration) -> KGE:
    simulated = simulate(result.x, record.rainfall, record.area, record.initial_baseflow)
    sim, obs = simulated[WARMUP_DAYS:], record.observed[WARMUP_DAYS:]
    scores = kge_components(sim, obs)
    reference = tarnwick.metrics.calculate_kge(sim, obs)
    stop = "the search converged" if result.converged else "the budget is spent"
    print(f"Calibrated parameters ({result.evaluations} evaluations, {stop}):")
    print("\n".join(describe(result.x)))
    tc_hours, ratio = result.x[3], result.x[4]
    print(
        f"  (Clark R = {ratio * tc_hours:.1f} hours; the unit hydrograph of "
        f"{math.ceil(seconds(tc_hours, 3600).total_seconds() / STEP)} ordinates "
        f"returns {unit_hydrograph_volume(tc_hours, ratio):.1%} of the excess volume)"
    )
    print(
        f"KGE {scores.kge:.4f}: correlation r {scores.r:.4f}, "
        f"bias ratio β {scores.beta:.4f}, variability ratio γ {scores.gamma:.4f}"
    )
    # The module sums in another order than numpy: the two agree to rounding.
    difference = abs(reference - scores.kge)
    verdict = "agrees with" if difference < 1e-9 else "DISAGREES with"
    print(
        f"tarnwick.metrics.calculate_kge: {reference:.4f} "
        f"({verdict} numpy's, difference {difference:.1e})"
    )
    to_m3s = CUBIC_METRES_PER_CUBIC_FOOT
    print(
        f"Mean flow: observed {obs.mean() * to_m3s:.1f} m³/s, "
        f"simulated {sim.mean() * to_m3s:.1f} m³/s"
    )
    return scores


def plot(path: str, record: Record, simulated: FloatArray) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise SystemExit('--plot needs matplotlib: pip install "tarnwick[examples]"') from None
    days = [record.day(i) for i in range(len(record.rainfall))]
    fig, (rain, flow) = plt.subplots(
        2, 1, sharex=True, figsize=(12, 6), gridspec_kw={"height_ratios": [1, 3]}
    )
    rain.fill_between(days, record.rainfall * MM_PER_INCH, step="mid", color="tab:blue", lw=0)
    rain.invert_yaxis()
    rain.set_ylabel("rainfall (mm/day)")
    rain.set_title(f"{CATCHMENT}, {AREA_KM2} km²")
    to_m3s = CUBIC_METRES_PER_CUBIC_FOOT
    flow.plot(days, record.observed * to_m3s, color="black", lw=0.8, label="observed")
    flow.plot(days, simulated * to_m3s, color="tab:red", lw=0.8, label="simulated")
    flow.axvspan(days[0], days[WARMUP_DAYS], color="0.9", label="warm-up")
    flow.set_ylabel("discharge (m³/s)")
    flow.set_xlim(days[0], days[-1])
    flow.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"Hydrographs drawn in {path}")


def search_parser(doc: str | None) -> ArgumentParser:
    """The options every calibration script takes: its budget and its seed."""
    parser = ArgumentParser(description=(doc or "").splitlines()[0])
    parser.add_argument(
        "--budget", type=positive, default=4000, metavar="N", help="model evaluations at most"
    )
    parser.add_argument("--seed", type=natural, default=1, help="seed of the search")
    return parser


def main(argv: Sequence[str] | None = None) -> None:
    parser = search_parser(__doc__)
    parser.add_argument("--plot", metavar="FILE", help="draw observed and simulated flow")
    args = parser.parse_args(argv)
    if args.plot:
        check_plot(parser, args.plot)

    record = load_record()
    last = record.day(len(record.rainfall) - 1)
    print(
        f"{CATCHMENT}: {len(record.rainfall)} days {record.start} to {last}, "
        f"{AREA_KM2} km² ({record.area:,.0f} acres); scored from "
        f"{record.day(WARMUP_DAYS)} after a {WARMUP_DAYS}-day warm-up"
    )
    result = calibrate(record, args.budget, args.seed)
    report(record, result)
    if args.plot:
        simulated = simulate(result.x, record.rainfall, record.area, record.initial_baseflow)
        plot(args.plot, record, simulated)


if __name__ == "__main__":
    main()
