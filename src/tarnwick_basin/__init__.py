"""tarnwick_basin: dated records, basin networks and their runs, on the tarnwick module.

A pure-Python layer of pandas-based tools beside the `tarnwick` extension module:
`series` turns dated records into the module's series and back with explicit
units, `network` describes a basin of subbasins, reaches, reservoirs, junctions
and observed inflows (in Python or a TOML file), and `run` runs it on one clock
with a volume balance per element. `objectives` scores a simulated flow against an
observed one date by date, `calibration` turns a basin, its inputs and a record
into a problem for an optimiser, and `ensemble` evaluates many parameter sets on
threads or a dask cluster.
"""

from .calibration import Budget, BudgetSpent, Parameter, Problem
from .ensemble import LostEvaluations, Run, latin_hypercube, run_cluster, run_serial, run_threads
from .network import (
    BaseflowLayer,
    Basin,
    BasinError,
    Element,
    Inflow,
    Junction,
    Outlet,
    Reach,
    Reservoir,
    Subbasin,
    Units,
    load_basin,
)
from .objectives import Objective, Score, kge, kge_log, means, nse
from .run import BasinRun, Simulation, gil_enabled, prepare, run_basin
from .series import (
    Checked,
    Converted,
    FilledWarning,
    check_record,
    dated,
    flow_series,
    rainfall_series,
    read_gauge_csv,
    time_step,
)

__all__ = [
    "BaseflowLayer",
    "Basin",
    "BasinError",
    "BasinRun",
    "Budget",
    "BudgetSpent",
    "Checked",
    "Converted",
    "Element",
    "FilledWarning",
    "Inflow",
    "Junction",
    "LostEvaluations",
    "Objective",
    "Outlet",
    "Parameter",
    "Problem",
    "Reach",
    "Reservoir",
    "Run",
    "Score",
    "Simulation",
    "Subbasin",
    "Units",
    "check_record",
    "dated",
    "flow_series",
    "gil_enabled",
    "kge",
    "kge_log",
    "latin_hypercube",
    "load_basin",
    "means",
    "nse",
    "prepare",
    "rainfall_series",
    "read_gauge_csv",
    "run_basin",
    "run_cluster",
    "run_serial",
    "run_threads",
    "time_step",
]
