"""tarnwick_basin: dated records, basin networks and their runs, on the tarnwick module.

A pure-Python layer of pandas-based tools beside the `tarnwick` extension module:
`series` turns dated records into the module's series and back with explicit
units, `network` describes a basin of subbasins, reaches, reservoirs, junctions
and observed inflows (in Python or a TOML file), and `run` runs it on one clock
with a volume balance per element.
"""

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
    "Basin",
    "BasinError",
    "BaseflowLayer",
    "BasinRun",
    "Checked",
    "Converted",
    "Element",
    "FilledWarning",
    "Inflow",
    "Junction",
    "Outlet",
    "Reach",
    "Reservoir",
    "Simulation",
    "Subbasin",
    "Units",
    "check_record",
    "dated",
    "flow_series",
    "gil_enabled",
    "load_basin",
    "prepare",
    "rainfall_series",
    "read_gauge_csv",
    "run_basin",
    "time_step",
]
