"""Draws the user guide's figures from the guide's own code.

Runs the Python blocks of guide.md in order, as the test suite does, and plots
the series they compute, so the figures always show what the code gives. Needs
matplotlib and the installed module:

    python3 docs/make_figures.py [OUTPUT_DIRECTORY]

The figures go to docs/figures/ unless another directory is given.
"""

import contextlib
import io
import re
import sys
from datetime import timedelta
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

HERE = Path(__file__).resolve().parent
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def guide_namespace() -> dict[str, Any]:
    """The names the guide's code defines, after running all of it."""
    namespace: dict[str, Any] = {"__name__": "guide"}
    text = (HERE / "guide.md").read_text(encoding="utf-8")
    with contextlib.redirect_stdout(io.StringIO()):
        for match in BLOCK.finditer(text):
            exec(compile(match.group(1), "guide.md", "exec"), namespace)
    return namespace


def hours(count: int, start: int = 0) -> list[int]:
    return list(range(start, start + count))


def save(figure: Figure, directory: Path, name: str) -> None:
    figure.tight_layout()
    figure.savefig(directory / name, dpi=80)
    plt.close(figure)


def rain_bars(axes: Axes, depths: list[float], step_hours: float, **style: Any) -> None:
    """Incremental amounts as bars over their intervals, in inches per hour."""
    starts = [i * step_hours for i in range(len(depths))]
    axes.bar(starts, [d / step_hours for d in depths], width=step_hours, align="edge", **style)


def series_figure(g: dict[str, Any], directory: Path) -> None:
    figure, (rain, flow) = plt.subplots(1, 2, figsize=(8, 3))
    rain_bars(rain, g["storm"].data[:8], 1.0, color="lightsteelblue", label="hourly")
    rain_bars(rain, g["fine"].data[:32], 0.25, fill=False, edgecolor="navy", label="15 minutes")
    rain.set(title="IncrementalTimeSeries: amounts per interval", xlabel="hours")
    rain.set_ylabel("rainfall intensity (in/h)")
    rain.legend()
    gauge = g["gauge"].data
    flow.plot(hours(len(gauge)), gauge, marker="o")
    flow.set(title="ContinuousTimeSeries: values at instants", xlabel="hours")
    flow.set_ylabel("discharge (cfs)")
    save(figure, directory, "series.png")


def loss_figure(g: dict[str, Any], directory: Path) -> None:
    losses, count = g["losses"], 12
    figure, rain = plt.subplots(figsize=(7, 3))
    loss = losses.loss.data[:count]
    rain.bar(hours(count), loss, width=1.0, align="edge", color="tan", label="loss")
    rain.bar(
        hours(count),
        losses.excess.data[:count],
        width=1.0,
        align="edge",
        bottom=loss,
        label="excess",
    )
    rain.set(xlabel="hours", ylabel="inches per hour", title="Deficit-and-constant loss")
    deficit = rain.twinx()
    deficit.plot(hours(count, 1), losses.deficit.data[:count], color="black", marker=".")
    deficit.set_ylabel("deficit at the end of the step (in)")
    rain.legend(loc="upper right")
    save(figure, directory, "loss.png")


def clark_figure(g: dict[str, Any], directory: Path) -> None:
    runoff, count = g["runoff"].data, 16
    figure, flow = plt.subplots(figsize=(7, 3))
    flow.plot(hours(count), runoff[:count], marker=".", label="direct runoff")
    flow.set(xlabel="hours", ylabel="discharge (cfs)", title="Clark unit hydrograph")
    rain = flow.twinx()
    rain_bars(rain, g["excess"].data[:count], 1.0, alpha=0.4, label="excess")
    rain.set_ylabel("excess (in/h)")
    rain.invert_yaxis()
    handles = flow.get_legend_handles_labels()[0] + rain.get_legend_handles_labels()[0]
    flow.legend(handles=handles, loc="center right")
    save(figure, directory, "clark.png")


def baseflow_figure(g: dict[str, Any], directory: Path) -> None:
    figure, flow = plt.subplots(figsize=(7, 3))
    for name, series in sorted(g["per_layer"].items()):
        flow.plot(hours(len(series.data)), series.data, label=name)
    total = g["baseflow"].data
    flow.plot(hours(len(total)), total, color="black", label="total")
    flow.set(xlabel="hours", ylabel="discharge (cfs)", title="Linear-reservoir baseflow")
    flow.legend()
    save(figure, directory, "baseflow.png")


def muskingum_figure(g: dict[str, Any], directory: Path) -> None:
    inflow, routed = g["inflow"].data, g["routed"].data
    figure, flow = plt.subplots(figsize=(7, 3))
    flow.plot(hours(len(inflow)), inflow, label="inflow (runoff + baseflow)")
    flow.plot(hours(len(routed)), routed, label="outflow")
    flow.set(xlabel="hours", ylabel="discharge (cfs)", title="Muskingum routing, two sub-reaches")
    flow.legend()
    save(figure, directory, "muskingum.png")


def level_pool_figure(g: dict[str, Any], directory: Path) -> None:
    pool, routed = g["pool"], g["routed"].data
    figure, (flow, level) = plt.subplots(2, 1, sharex=True, figsize=(7, 5))
    flow.plot(hours(len(routed)), routed, label="inflow")
    # Value j of the results describes hour j + 1 of the inflow.
    total = pool.reservoir_total_outflow.data
    flow.plot(hours(len(total), 1), total, color="black", label="total outflow")
    for name, series in sorted(pool.reservoir_individual_outflows.items()):
        flow.plot(hours(len(series.data), 1), series.data, linestyle="--", label=name)
    flow.set(ylabel="discharge (cfs)", title="Level pool routing")
    flow.legend()
    elevation = pool.reservoir_elevation.data
    level.plot(hours(len(elevation), 1), elevation, color="teal")
    level.axhline(105.0, color="grey", linewidth=0.8, linestyle=":")
    level.text(0, 105.05, "spillway crest", color="grey", va="bottom")
    level.set(xlabel="hours", ylabel="pool elevation (ft)")
    save(figure, directory, "level_pool.png")


def kge_figure(g: dict[str, Any], directory: Path) -> None:
    outflow, observed = g["outflow"], g["observed"]
    figure, flow = plt.subplots(figsize=(7, 3))
    flow.plot(hours(len(outflow), 1), outflow, label="simulated")
    flow.plot(hours(len(observed), 1), observed, linestyle="", marker=".", label="observed")
    flow.set(
        xlabel="hours",
        ylabel="discharge (cfs)",
        title=f"Reservoir outflow: KGE {g['kge']:.3f} (log flows {g['kge_low_flows']:.3f})",
    )
    flow.legend()
    save(figure, directory, "kge.png")


def clark_truncation_figure(g: dict[str, Any], directory: Path) -> None:
    tarnwick, utils, hour = g["tarnwick"], g["utils"], g["HOUR"]
    carried_depth = g["carried_depth"]
    figure, (shape, share) = plt.subplots(1, 2, figsize=(9.5, 3.4))
    quarter = timedelta(minutes=15)
    pulse = utils.IncrementalTimeSeries([1.0], quarter, "rainfall")
    for storage_hours in (0.5, 2.0, 6.0):
        runoff = tarnwick.rainfall_transform.run_clark_uh(
            pulse, 640.0, 3 * hour, timedelta(hours=storage_hours)
        ).data
        depth = carried_depth(3 * hour, timedelta(hours=storage_hours), quarter)
        shape.plot(
            [i / 4 for i in range(len(runoff))],
            runoff,
            marker=".",
            label=f"storage_r {storage_hours} h: {depth:.0%}",
        )
    last = (len(runoff) - 1) / 4
    shape.axvline(last, color="grey", linewidth=0.8, linestyle=":")
    shape.text(
        last, 5, " last ordinate:\n runoff ends,\n the reservoir\n still drains", color="grey"
    )
    shape.set(
        xlabel="hours",
        ylabel="cfs per inch over 640 acres",
        title="1 in of excess, tc 3 h, 15-min step",
        xlim=(0, 4.1),
    )
    shape.legend(title="share of the excess carried")
    ratios = [r / 10 for r in range(1, 41)]
    for tc_hours in (2, 3, 6, 12):
        shares = [
            carried_depth(timedelta(hours=tc_hours), timedelta(hours=tc_hours * r)) for r in ratios
        ]
        share.plot(ratios, [100 * s for s in shares], label=f"tc = {tc_hours} steps")
    share.set(
        xlabel="storage_r / tc",
        ylabel="% of the excess carried",
        title="Depth the hourly runoff carries",
        ylim=(0, 100),
    )
    share.legend()
    save(figure, directory, "clark_truncation.png")


def muskingum_range_figure(g: dict[str, Any], directory: Path) -> None:
    tarnwick, hour, block = g["tarnwick"], g["HOUR"], g["block"]
    figure, flow = plt.subplots(figsize=(9, 3.2))
    inflow = block.data
    flow.plot(hours(len(inflow)), inflow, color="grey", linestyle="--", label="inflow")
    for k, x, label in [
        (2 * hour, 0.2, "k 2 h, x 0.2: in range"),
        (10 * hour, 0.3, "k 10 h, x 0.3: step < 2Kx"),
        (hour / 5, 0.2, "k 12 min, x 0.2: step > 2K(1 - x)"),
    ]:
        assert g["muskingum_in_range"](k, x, 1, hour) == label.endswith("in range")
        out = tarnwick.reach.run_muskingum_routing(block, k, x, 1, 0.0).data
        flow.plot(hours(len(out)), out, marker=".", label=label)
    flow.axhline(0.0, color="black", linewidth=0.6)
    flow.set(xlabel="hours", ylabel="discharge (cfs)", title="Muskingum routing, hourly step")
    flow.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.0, 0.5))
    save(figure, directory, "muskingum_range.png")


def main() -> None:
    directory = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "figures"
    directory.mkdir(parents=True, exist_ok=True)
    g = guide_namespace()
    for draw in (
        series_figure,
        loss_figure,
        clark_figure,
        baseflow_figure,
        muskingum_figure,
        level_pool_figure,
        kge_figure,
        clark_truncation_figure,
        muskingum_range_figure,
    ):
        draw(g, directory)
    print(f"figures written to {directory}")


if __name__ == "__main__":
    main()
