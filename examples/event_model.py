"""An event rainfall-runoff model, from storm to reservoir.

The steps a hydrologist chains for one storm over a small basin:

1. an hourly design storm, also disaggregated to 15 minutes to show the finer grid;
2. deficit-and-constant loss separates the gross rainfall into excess and loss;
3. the Clark unit hydrograph turns the excess into direct runoff;
4. the loss recharges two groundwater layers of linear reservoirs (baseflow);
5. direct runoff plus baseflow is routed down a reach with the Muskingum method;
6. the routed hydrograph passes through a flood-control reservoir with a gated
   conduit and an uncontrolled spillway (level pool routing);
7. the routed flow is scored with the Kling-Gupta efficiency against a synthetic
   "observed" hydrograph.

Run it as `python3 examples/event_model.py`; with `--plot FILE` and matplotlib
installed it also draws the hydrographs into FILE.
"""

import math
import sys
from datetime import timedelta
from pathlib import Path

import tarnwick

# The argument checks shared by the examples live beside this file.
HERE = str(Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from arguments import ArgumentParser, check_plot  # noqa: E402

HOUR = timedelta(hours=1)
utils = tarnwick.utils
reservoir_utils = tarnwick.reservoir.reservoir_utils

BASIN_AREA = 3200.0  # acres (five square miles)


def storm_and_losses() -> tuple[
    tarnwick.utils.IncrementalTimeSeries, tarnwick.rainfall_loss.DeficitConstantResult
]:
    # Gross rainfall in inches per hour: a six-hour storm, then two dry days so
    # that the hydrographs can recede.
    storm = utils.IncrementalTimeSeries(
        [0.05, 0.30, 0.85, 1.20, 0.40, 0.15] + [0.0] * 48, HOUR, "rainfall"
    )
    fine = storm.disaggregate(15 * 60)
    print(
        f"Storm: {sum(storm.data):.2f} in over {len(storm.data)} hourly steps "
        f"({len(fine.data)} steps of {fine.time_step} after disaggregation, "
        f"{sum(fine.data):.2f} in)"
    )
    losses = tarnwick.rainfall_loss.run_deficit_and_constant(
        storm,
        initial_deficit=0.5,
        max_deficit=1.5,
        constant_loss_per_hr=0.1,
        time_to_dry=timedelta(days=3),
    )
    print(f"Excess: {sum(losses.excess.data):.2f} in, loss: {sum(losses.loss.data):.2f} in")
    return storm, losses


def runoff_and_baseflow(
    losses: tarnwick.rainfall_loss.DeficitConstantResult,
) -> tuple[tarnwick.utils.ContinuousTimeSeries, tarnwick.utils.ContinuousTimeSeries]:
    direct = tarnwick.rainfall_transform.run_clark_uh(
        losses.excess, BASIN_AREA, tc=timedelta(hours=3), storage_r=timedelta(hours=4)
    )
    # The loss feeds two groundwater layers; it is padded with dry steps to the
    # length of the direct runoff so both hydrographs cover the same hours.
    padding = [0.0] * (len(direct.data) - len(losses.loss.data))
    recharge = utils.IncrementalTimeSeries(losses.loss.data + padding, HOUR, "rainfall")
    layers = {
        "shallow": tarnwick.baseflow.LinearReservoir(timedelta(hours=12), 0.4, 2.0, 2),
        "deep": tarnwick.baseflow.LinearReservoir(timedelta(days=10), 0.3, 5.0),
    }
    baseflow, per_layer = tarnwick.baseflow.run_linear_reservoir(BASIN_AREA, recharge, layers)
    for name, series in per_layer.items():
        print(f"Baseflow layer {name!r}: peak {max(series.data):.2f} cfs")
    total = [q + b for q, b in zip(direct.data, baseflow.data, strict=True)]
    return direct, utils.ContinuousTimeSeries(total, HOUR, "discharge")


def route_reach(inflow: tarnwick.utils.ContinuousTimeSeries) -> tarnwick.utils.ContinuousTimeSeries:
    return tarnwick.reach.run_muskingum_routing(
        inflow, k=timedelta(hours=2), x=0.2, sub_reaches=3, initial_outflow=inflow.data[0]
    )


def route_reservoir(
    inflow: tarnwick.utils.ContinuousTimeSeries,
) -> tarnwick.reservoir.LevelPoolResult:
    # Elevations in feet against storage in cubic feet (flows are in cfs); the
    # conduit opens from the bottom of its rating curve and releases at most
    # 150 cfs, the spillway crest sits at 106 ft.
    curve = reservoir_utils.ElevationStorage(
        [100.0 + k for k in range(16)],
        [k * 5.0e5 + k * k * 5.0e4 for k in range(16)],
    )
    outlets = {
        "conduit": reservoir_utils.ControlledDischargeInfo(
            reservoir_utils.ElevationDischarge(
                [100, 102, 104, 106, 108, 110, 115], [0, 40, 90, 130, 160, 185, 230]
            ),
            maximum_release=150.0,
        ),
        "spillway": reservoir_utils.UnControlledDischargeInfo(
            reservoir_utils.ElevationDischarge(
                [106, 107, 108, 109, 110, 112, 115], [0, 80, 230, 420, 650, 1200, 2300]
            )
        ),
    }
    return tarnwick.reservoir.run_level_pool_routing(inflow, 101.0, curve, outlets)


def reservoir_by_hour(
    pool: tarnwick.reservoir.LevelPoolResult,
) -> tuple[dict[int, float], dict[int, float]]:
    """The reservoir's results keyed by the hour each value describes.

    Level pool routing records one value fewer than its inflow. Outflow value j
    is evaluated at the end of inflow step j, that is at hour j + 1. Elevation
    value 0 is the initial elevation (hour 0); value j from 1 on is the
    elevation reached at hour j + 1. The routing changes no storage during the
    first step, so the elevation at hour 1 equals the initial one and is not
    recorded separately. Table and figure both read these maps, so they place
    every value at the same hour.
    """
    outflow = {j + 1: q for j, q in enumerate(pool.reservoir_total_outflow.data)}
    elevation = {(j + 1 if j else 0): e for j, e in enumerate(pool.reservoir_elevation.data)}
    return outflow, elevation


def synthetic_observations(routed: tarnwick.utils.ContinuousTimeSeries) -> list[float]:
    """A synthetic "observed" hydrograph: the routed flow 8% high, with a wobble."""
    return [1.08 * q + 3.0 * math.sin(i / 2.0) for i, q in enumerate(routed.data)]


def peak_hour(by_hour: dict[int, float]) -> int:
    return max(by_hour, key=lambda hour: by_hour[hour])


def print_table(
    direct: tarnwick.utils.ContinuousTimeSeries,
    combined: tarnwick.utils.ContinuousTimeSeries,
    routed: tarnwick.utils.ContinuousTimeSeries,
    outflow: dict[int, float],
    elevation: dict[int, float],
    stride: int = 3,
) -> None:
    """Every `stride`-th hour, plus the hour of each column's peak (marked)."""
    columns = {  # name: (values by hour, width, decimals)
        "direct": (dict(enumerate(direct.data)), 8, 1),
        "+base": (dict(enumerate(combined.data)), 8, 1),
        "reach": (dict(enumerate(routed.data)), 8, 1),
        "outflow": (outflow, 8, 1),
        "elevation": (elevation, 10, 2),
    }
    peaks: dict[int, list[str]] = {}
    for name, (by_hour, _, _) in columns.items():
        peaks.setdefault(peak_hour(by_hour), []).append(name)
    print(" hour" + "".join(f"{name:>{width + 1}}" for name, (_, width, _) in columns.items()))
    for hour in sorted(set(range(0, len(direct.data), stride)) | set(peaks)):
        # A dash where the reservoir recorded nothing for that hour.
        cells = "".join(
            f" {by_hour[hour]:{width}.{decimals}f}" if hour in by_hour else f" {'-':>{width}}"
            for by_hour, width, decimals in columns.values()
        )
        note = f"  peak {', '.join(peaks[hour])}" if hour in peaks else ""
        print(f"{hour:5d}{cells}{note}")


def main() -> None:
    parser = ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="FILE", help="draw the hydrographs into FILE")
    args = parser.parse_args()
    if args.plot:
        check_plot(parser, args.plot)

    storm, losses = storm_and_losses()
    direct, combined = runoff_and_baseflow(losses)
    routed = route_reach(combined)
    pool = route_reservoir(routed)
    outflow, elevation = reservoir_by_hour(pool)

    print()
    print_table(direct, combined, routed, outflow, elevation)
    print()
    print(f"Peak direct runoff:        {max(direct.data):8.1f} cfs")
    print(f"Peak inflow to reservoir:  {max(routed.data):8.1f} cfs")
    print(f"Peak reservoir outflow:    {max(outflow.values()):8.1f} cfs")
    print(f"Peak reservoir elevation:  {max(elevation.values()):8.2f} ft")
    for name, series in pool.reservoir_individual_outflows.items():
        print(f"  peak through {name:<8}     {max(series.data):8.1f} cfs")

    observed = synthetic_observations(routed)
    kge = tarnwick.metrics.calculate_kge(routed.data, observed)
    kge_log = tarnwick.metrics.calculate_kge(routed.data, observed, use_log=True)
    print(f"KGE against observations: {kge:.4f} (log flows: {kge_log:.4f})")

    if args.plot:
        plot(args.plot, storm, direct, combined, routed, observed, kge, outflow, elevation)


def plot(
    path: str,
    storm: tarnwick.utils.IncrementalTimeSeries,
    direct: tarnwick.utils.ContinuousTimeSeries,
    combined: tarnwick.utils.ContinuousTimeSeries,
    routed: tarnwick.utils.ContinuousTimeSeries,
    observed: list[float],
    kge: float,
    outflow: dict[int, float],
    elevation: dict[int, float],
) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    hours = range(len(direct.data))
    fig, (rain, flows, level) = plt.subplots(
        3, 1, sharex=True, figsize=(8, 9), layout="constrained"
    )
    fig.suptitle(
        f"Event model: {sum(storm.data):.2f} in storm over {BASIN_AREA:.0f} acres\n"
        f"flow routed down the reach against observations: KGE {kge:.3f}"
    )
    # Each bar spans the hour whose rain it holds.
    rain.bar(range(len(storm.data)), storm.data, width=1.0, align="edge")
    rain.set_ylabel("rain (in/h)")
    rain.invert_yaxis()
    flows.plot(hours, direct.data, label="direct runoff")
    flows.plot(hours, combined.data, label="direct + baseflow")
    flows.plot(hours, routed.data, label="routed down the reach")
    flows.plot(
        hours,
        observed,
        linestyle="none",
        marker=".",
        color="black",
        label="observed below the reach (synthetic)",
    )
    flows.plot(list(outflow), list(outflow.values()), label="reservoir outflow")
    flows.set_ylabel("discharge (cfs)")
    flows.legend()
    level.plot(list(elevation), list(elevation.values()), marker=".")
    level.set_ylabel("reservoir elevation (ft)")
    level.set_xlabel("hours")
    fig.savefig(path)
    print(f"Hydrographs drawn in {path}")


if __name__ == "__main__":
    main()
