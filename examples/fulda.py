"""The record and the basin model that the calibration examples share.

The record: daily basin rainfall (mm/day) and daily mean discharge (m³/s) of the
river Fulda at the Grebenau gauge (Hesse, Germany), 1 January 1979 to
31 December 1988, catchment area 2976.41 km². It is the file
`examples/cmf_data/fulda_climate.csv` shipped inside the `spotpy` package on PyPI
(spotpy's lumped-model example gives the area); spotpy, and with it the file, is
distributed under the MIT licence. Only that data file is read; none of the
package's code is used.

The model: one subbasin of `tarnwick_basin` at a three-hour step (each day's
rainfall spread evenly over its eight steps, so the unit hydrograph can resolve a
time of concentration of a day or two): deficit-and-constant loss, the Clark unit
hydrograph on the excess, and two baseflow layers (interflow and groundwater)
recharged by the infiltration; what neither layer takes is lost to evaporation and
deep percolation. Its daily mean flow is scored against the observed one after a
one-year warm-up. The chain knows neither snow nor the seasons of evaporation, so
it misses snowmelt floods and overshoots on summer storms: a KGE of about 0.6 is
what it reaches on this record.
"""

from __future__ import annotations

import importlib.util
import math
import sys
from dataclasses import dataclass
from datetime import timedelta
from pathlib import Path

import tarnwick

HERE = str(Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from arguments import EXTRA, ArgumentParser, natural, plural, positive  # noqa: E402

try:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

    from tarnwick_basin import BaseflowLayer, Basin, Subbasin, read_gauge_csv
    from tarnwick_basin.calibration import Parameter, Problem
except ImportError as missing:
    raise SystemExit(f"{Path(sys.argv[0]).name} needs {missing.name}: {EXTRA}") from None

FloatArray = npt.NDArray[np.float64]

DATA_PACKAGE = "spotpy"
DATA_FILE = ("examples", "cmf_data", "fulda_climate.csv")
CATCHMENT = "Fulda at Grebenau"
AREA_KM2 = 2976.41
STEP = pd.Timedelta(hours=3)
WARMUP = pd.Timedelta(days=365)
NAME = "fulda"  # the subbasin


@dataclass(frozen=True)
class Record:
    rainfall: pd.Series  # mm per day, labelled by the day
    flow: pd.Series  # daily mean m³/s, labelled by the day

    @property
    def initial_baseflow(self) -> float:
        """Groundwater flow at the start: the lowest flow of the warm-up year (m³/s)."""
        return float(self.flow[self.flow.index < self.flow.index[0] + WARMUP].min())

    def rainfall_at_step(self) -> pd.Series:
        """Each day's rainfall spread evenly over its steps, each amount labelled by
        the end of its interval (the day's first is at 03:00, its last at midnight)."""
        per = int(pd.Timedelta(days=1) / STEP)
        index = pd.date_range(
            self.rainfall.index[0] + STEP, periods=per * len(self.rainfall), freq=STEP
        )
        return pd.Series(np.repeat(self.rainfall.to_numpy() / per, per), index=index)


def data_path() -> Path:
    """The data file inside the installed package, found without importing it."""
    found = importlib.util.find_spec(DATA_PACKAGE)
    if found is None or not found.submodule_search_locations:
        raise SystemExit(f"the data package {DATA_PACKAGE} is missing: {EXTRA}")
    return Path(next(iter(found.submodule_search_locations)), *DATA_FILE)


def load_record(path: Path | None = None) -> Record:
    """The daily record: a header line, a line of units, then one line per day
    (date as dd.mm.yyyy, three temperatures, rainfall, discharge)."""
    table = read_gauge_csv(path or data_path(), date_format="%d.%m.%Y", skiprows=[1])
    return Record(table["Prec"], table["Q"])


@dataclass(frozen=True)
class Meaning:
    parameter: Parameter
    unit: str
    text: str


# The calibrated parameters, in the order of a vector. Two are ratios resolved by
# `derive`. The bounds keep the chain where its numerics hold at a three-hour step:
# - the unit hydrograph ends after ceil(tc / step) ordinates, so the reservoir's
#   recession past tc is cut off and its volume lost. R is therefore sampled as a
#   fraction of tc: R / tc <= 0.2 keeps at least about four fifths of the excess
#   volume (the report gives the share kept by the calibrated set);
# - the reservoir's routing coefficients stay non-negative (no oscillating unit
#   hydrograph) while R is at least half a step: tc >= 30 hours and R / tc >= 0.05;
# - a baseflow layer is routed stably only while its constant is at least half a
#   step (90 minutes); both layers stay well above that.
MEANINGS = (
    Meaning(Parameter(f"{NAME}.max_deficit", 10.16, 203.2), "mm", "soil moisture capacity"),
    Meaning(Parameter(f"{NAME}.constant_loss", 0.0, 0.508), "mm/h", "constant infiltration"),
    Meaning(Parameter(f"{NAME}.time_to_dry_hours", 48.0, 1440.0), "h", "deficit recovery"),
    Meaning(Parameter(f"{NAME}.tc_hours", 30.0, 96.0), "h", "time of concentration"),
    Meaning(Parameter(f"{NAME}.storage_ratio", 0.05, 0.2), "R/tc", "Clark storage over tc"),
    Meaning(Parameter(f"{NAME}.baseflow.interflow.k_hours", 12.0, 480.0), "h", "interflow k"),
    Meaning(Parameter(f"{NAME}.baseflow.interflow.fraction", 0.0, 1.0), "-", "to interflow"),
    Meaning(Parameter(f"{NAME}.baseflow.groundwater.k_hours", 480.0, 9600.0), "h", "groundwater k"),
    Meaning(Parameter(f"{NAME}.baseflow.groundwater.share", 0.0, 1.0), "-", "of the rest to it"),
)
PARAMETERS = [m.parameter for m in MEANINGS]


def derive(named: dict[str, float]) -> dict[str, float]:
    """The basin's fields from a vector's named values: the initial deficit is half
    the capacity, R is a fraction of tc, groundwater takes a share of what interflow
    leaves."""
    values = dict(named)
    values[f"{NAME}.initial_deficit"] = 0.5 * values[f"{NAME}.max_deficit"]
    values[f"{NAME}.storage_hours"] = (
        values.pop(f"{NAME}.storage_ratio") * values[f"{NAME}.tc_hours"]
    )
    interflow = values[f"{NAME}.baseflow.interflow.fraction"]
    share = values.pop(f"{NAME}.baseflow.groundwater.share")
    values[f"{NAME}.baseflow.groundwater.fraction"] = (1.0 - interflow) * share
    return values


def basin(initial_baseflow: float) -> Basin:
    """The one-subbasin model, its calibrated values set in the middle of their ranges."""
    layers = {
        "interflow": BaseflowLayer(k_hours=48.0, fraction=0.3),
        "groundwater": BaseflowLayer(k_hours=2000.0, fraction=0.5, initial_q=initial_baseflow),
    }
    fulda = Subbasin(NAME, None, AREA_KM2, 50.0, 100.0, 0.1, 480.0, 48.0, 6.0, layers)
    return Basin((fulda,))


def problem(record: Record) -> Problem:
    """1 - KGE of the daily mean flow after the warm-up, as a function of a vector."""
    return Problem(
        basin(record.initial_baseflow),
        {NAME: record.rainfall_at_step()},
        record.flow,
        PARAMETERS,
        warmup=WARMUP,
        derive=derive,
    )


def describe(x: FloatArray) -> list[str]:
    """One line per parameter: name, value with its unit, meaning."""
    return [
        f"  {m.parameter.path:<33} {value:10.4g} {m.unit:<5} {m.text}"
        for m, value in zip(MEANINGS, x, strict=True)
    ]


def unit_hydrograph_volume(tc_hours: float, ratio: float) -> tuple[int, float]:
    """Ordinates of the unit hydrograph and the share of the excess volume they return."""
    one_inch = tarnwick.utils.IncrementalTimeSeries([1.0], STEP.to_pytimedelta(), "rainfall")
    tc = timedelta(hours=tc_hours)
    unit = tarnwick.rainfall_transform.run_clark_uh(one_inch, 1.0, tc, ratio * tc)
    # Ordinates in cfs per acre-inch; 1.00833 cfs for an hour is one acre-inch.
    ordinates = np.asarray(unit)
    return len(ordinates), float(ordinates.sum()) * (STEP / pd.Timedelta(hours=1)) / 1.00833


def report(problem: Problem, x: FloatArray, evaluations: int, converged: bool) -> None:
    simulated, observed = problem.simulated_values(x), problem.observed
    r = float(np.corrcoef(simulated, observed)[0, 1])
    beta = float(simulated.mean() / observed.mean())
    gamma = float(simulated.std() / observed.std())
    kge = 1.0 - math.sqrt((r - 1.0) ** 2 + (beta - 1.0) ** 2 + (gamma - 1.0) ** 2)
    reference = problem.score(x)
    stop = "the search converged" if converged else "the budget is spent"
    print(f"Calibrated parameters ({plural(evaluations, 'evaluation')}, {stop}):")
    print("\n".join(describe(x)))
    ordinates, share = unit_hydrograph_volume(x[3], x[4])
    print(
        f"  (Clark R = {x[4] * x[3]:.1f} hours; the unit hydrograph of {ordinates} "
        f"ordinates returns {share:.1%} of the excess volume)"
    )
    print(
        f"KGE {kge:.4f}: correlation r {r:.4f}, bias ratio β {beta:.4f}, "
        f"variability ratio γ {gamma:.4f}"
    )
    # The module sums in another order than numpy: the two agree to rounding.
    difference = abs(reference - kge)
    verdict = "agrees with" if difference < 1e-9 else "DISAGREES with"
    print(
        f"tarnwick.metrics.calculate_kge: {reference:.4f} "
        f"({verdict} numpy's, difference {difference:.1e})"
    )
    print(f"Mean flow: observed {observed.mean():.1f} m³/s, simulated {simulated.mean():.1f} m³/s")


def plot(path: str, record: Record, problem: Problem, x: FloatArray) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from tarnwick_basin.objectives import means

    simulated = means(problem.flows(x), "1D")
    fig, (rain, flow) = plt.subplots(
        2, 1, sharex=True, figsize=(12, 6), gridspec_kw={"height_ratios": [1, 3]}
    )
    rain.fill_between(record.rainfall.index, record.rainfall, step="mid", color="tab:blue", lw=0)
    rain.invert_yaxis()
    rain.set_ylabel("rainfall (mm/day)")
    rain.set_title(f"{CATCHMENT}, {AREA_KM2} km²")
    flow.plot(record.flow.index, record.flow, color="black", lw=0.8, label="observed")
    flow.plot(simulated.index, simulated, color="tab:red", lw=0.8, label="simulated")
    start = record.flow.index[0]
    flow.axvspan(start, start + WARMUP, color="0.9", label="warm-up")
    flow.set_ylabel("discharge (m³/s)")
    flow.set_xlim(start, record.flow.index[-1])
    flow.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"Hydrographs drawn in {path}")


def search_parser(doc: str | None) -> ArgumentParser:
    """The options every calibration script takes: budget, seed and a figure."""
    parser = ArgumentParser(description=(doc or "").splitlines()[0])
    parser.add_argument(
        "--budget", type=positive, default=4000, metavar="N", help="model evaluations at most"
    )
    parser.add_argument("--seed", type=natural, default=1, help="seed of the search")
    parser.add_argument("--plot", metavar="FILE", help="draw observed and simulated flow")
    return parser


def introduce(record: Record, problem: Problem) -> str:
    days = len(record.flow)
    return (
        f"{CATCHMENT}: {days} days {record.flow.index[0]:%Y-%m-%d} to "
        f"{record.flow.index[-1]:%Y-%m-%d}, {AREA_KM2} km²; scored on "
        f"{len(problem.dates)} days from {problem.dates[0]:%Y-%m-%d} after a "
        f"{WARMUP.days}-day warm-up"
    )
