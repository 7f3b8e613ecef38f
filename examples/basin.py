"""A basin model: three subbasins, two reaches, a junction and a lake, on a dated record.

The basin is described in `basin.toml` beside this file (units, one table per
element, each naming the element downstream of it) and run with
`tarnwick_basin.run_basin` on an hourly rainfall record with dates: every
subbasin turns its rainfall into runoff and baseflow, the reaches route it, the
junction adds it up with the water piped in from a neighbouring valley, and the
lake routes it all through a gated conduit and a spillway.

The record is synthetic and made here from a seed, so the example needs no data
file: storms about every four days over a spring and summer, heavier on the
upland than by the lake, and a piped inflow that is shut for a week in June.
After the run the script prints each element's peak and its volume balance:
the water in, out, stored at the end (soil layers, channels, the lake), lost
(infiltration no layer keeps, the unit hydrograph's dropped recession) and cut
off at the end of the run, which the padding of the run keeps at zero.

Run it as `python3 examples/basin.py [--days N] [--seed S] [--plot FILE]`;
`--plot` needs matplotlib (`pip install "tarnwick[examples]"`).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path

import numpy as np
import pandas as pd

# The argument checks shared by the examples live beside this file.
HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))
from arguments import ArgumentParser, check_plot, natural, positive  # noqa: E402

from tarnwick_basin import Basin, BasinRun, load_basin, run_basin  # noqa: E402

BASIN_FILE = HERE / "basin.toml"
START = "2024-04-01 01:00"  # the first hour-ending label: the run starts at midnight
# How much more or less rain each subbasin gets than the record.
RAIN_FACTORS = {"upland": 1.25, "forest": 1.0, "lakeside": 0.85}


def synthetic_record(days: int, seed: int) -> tuple[pd.Series, pd.Series]:
    """Hourly rainfall (mm per hour, labelled with the end of the hour) and the
    piped inflow (m3/s at each hour), from a seed."""
    rng = np.random.default_rng(seed)
    steps = 24 * days
    index = pd.date_range(START, periods=steps, freq="h")
    rain = np.zeros(steps)
    start = int(rng.exponential(60.0))
    while start < steps:
        storm = rain[start : start + int(rng.integers(4, 30))]
        # A storm peaks in its first third and tails off.
        shape = np.interp(np.arange(len(storm)), [0, len(storm) / 3, len(storm)], [0.3, 1.0, 0.1])
        storm[:] = shape * rng.gamma(1.5, 1.0, len(storm)) * rng.gamma(1.5, 1.6)
        start += len(storm) + int(rng.exponential(90.0))
    transfer = np.full(steps, 1.5)
    shut = (index >= pd.Timestamp("2024-06-10")) & (index < pd.Timestamp("2024-06-17"))
    transfer[shut] = 0.0
    return pd.Series(rain, index=index, name="rainfall"), pd.Series(transfer, index=index)


def inputs_for(basin: Basin, rain: pd.Series, transfer: pd.Series) -> dict[str, pd.Series]:
    records = {name: rain * factor for name, factor in RAIN_FACTORS.items()}
    records["transfer"] = transfer
    missing = {e.name for e in basin.elements if e.name in RAIN_FACTORS or e.name == "transfer"}
    return {name: records[name] for name in sorted(missing)}


def summary(basin: Basin, run: BasinRun, rain: pd.Series) -> None:
    flows = run.flows
    last = rain.index[-1]
    print(
        f"{len(basin.elements)} elements, {len(rain):,} hourly steps from "
        f"{rain.index[0] - pd.Timedelta('1h'):%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M}; "
        f"the run goes on {run.padding} after the record so that the last runoff arrives"
    )
    print(f"Rainfall on the record: {rain.sum():.0f} mm (the upland gets 25 % more)")
    print()
    print(f"{'element':<12} {'kind':<10} {'peak m3/s':>9}  {'at':<16}")
    for name in basin.order:  # each element after those that flow into it
        column = flows[name]
        kind = type(basin[name]).__name__.lower()
        print(f"{name:<12} {kind:<10} {column.max():9.2f}  {column.idxmax():%Y-%m-%d %H:%M}")
    print()
    balance = run.balance.loc[list(basin.order)] / 1e6
    print(f"Volume balance over the run, million {basin.units.volume}:")
    header = ["in", "out", "stored", "lost", "truncated"]
    print(f"{'element':<12} " + " ".join(f"{name:>9}" for name in header) + f" {'closes to':>10}")
    for element, row in balance.iterrows():
        residual = row["in"] - row["out"] - row["stored"] - row["lost"] - row["truncated"]
        cells = " ".join(f"{row[column]:9.3f}" for column in header)
        print(f"{element!s:<12} {cells} {residual / row['in'] if row['in'] else 0.0:10.1e}")
    outlet = basin.outlet
    rained = balance.loc[[n for n in RAIN_FACTORS if n in balance.index], "in"].sum()
    print(
        f"\nOf {rained:.2f} million m3 of rain on the subbasins, {balance.loc[outlet, 'out']:.2f} "
        f"left through the {outlet} and {balance['stored'].sum():.2f} was still held at the end"
    )


def plot(path: str, basin: Basin, run: BasinRun, rain: pd.Series) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(12, 6), gridspec_kw={"height_ratios": [1, 3]}
    )
    top.bar(
        pd.DatetimeIndex(rain.index) - pd.Timedelta("30min"),
        rain.to_numpy(),
        width=1 / 24,
        color="tab:blue",
    )
    top.invert_yaxis()
    top.set_ylabel("rainfall (mm/h)")
    top.set_title("Basin of basin.toml on a synthetic hourly record")
    for name in ("upland", "forest", "lakeside", "confluence", "lower_reach", basin.outlet):
        if name in run.flows:
            width = 1.8 if name == basin.outlet else 0.9
            bottom.plot(run.flows.index, run.flows[name], lw=width, label=name)
    bottom.axvline(rain.index[-1], color="0.5", ls=":", label="end of the record")
    bottom.set_ylabel(f"flow ({basin.units.flow})")
    bottom.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"Hydrographs drawn in {path}")


def parser() -> ArgumentParser:
    parser = ArgumentParser(
        description=(__doc__ or "").splitlines()[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument(
        "--basin", default=str(BASIN_FILE), metavar="FILE", help="the basin's TOML description"
    )
    parser.add_argument(
        "--days", type=positive, default=183, metavar="N", help="length of the record in days"
    )
    parser.add_argument("--seed", type=natural, default=7, help="seed of the synthetic record")
    parser.add_argument("--plot", metavar="FILE", help="draw rainfall and hydrographs into FILE")
    return parser


def main(argv: Sequence[str] | None = None) -> Mapping[str, float]:
    options = parser()
    args = options.parse_args(argv)
    if args.plot:
        check_plot(options, args.plot)
    if not Path(args.basin).is_file():
        options.error(f"--basin {args.basin}: no such file")
    basin = load_basin(args.basin)
    rain, transfer = synthetic_record(args.days, args.seed)
    run = run_basin(basin, inputs_for(basin, rain, transfer))
    summary(basin, run, rain)
    if args.plot:
        plot(args.plot, basin, run, rain)
    return {element.name: float(run.flows[element.name].max()) for element in basin.elements}


if __name__ == "__main__":
    main()
