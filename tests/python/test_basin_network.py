"""tarnwick_basin.network and .run: a basin described, checked and run."""

import gc
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta

import numpy as np
import pandas as pd
import pytest

import tarnwick
from tarnwick_basin import (
    Basin,
    BasinError,
    Inflow,
    Junction,
    Reach,
    Simulation,
    load_basin,
    prepare,
    run_basin,
)

from conftest import outlets

BASIN = """
[units]
depth = "in"
flow = "cfs"
area = "acre"

[subbasin.hill]
downstream = "creek"
area = 640.0
initial_deficit = 0.3
max_deficit = 1.0
constant_loss = 0.05
time_to_dry_hours = 48
tc_hours = 3
storage_hours = 1.5
[subbasin.hill.baseflow.interflow]
k_hours = 12
fraction = 0.4
initial_q = 1.0
reservoirs = 2
[subbasin.hill.baseflow.groundwater]
k_hours = 240
fraction = 0.3
initial_q = 2.0

[subbasin.valley]
downstream = "town"
area = 320.0
initial_deficit = 0.2
max_deficit = 0.8
constant_loss = 0.1
time_to_dry_hours = 0
tc_hours = 2
storage_hours = 1

[inflow.canal]
downstream = "town"

[reach.creek]
downstream = "town"
k_hours = 2
x = 0.2
sub_reaches = 2

[junction.town]
downstream = "lake"

[reservoir.lake]
elevation = [100.0, 102.0, 104.0, 106.0, 110.0]
storage = [0.0, 1.0e6, 3.0e6, 6.0e6, 1.5e7]
initial_elevation = 101.0
[reservoir.lake.outlets.gate]
kind = "controlled"
elevation = [100.0, 102.0, 104.0, 106.0, 110.0]
discharge = [0.0, 15.0, 30.0, 40.0, 50.0]
maximum_release = 40.0
[reservoir.lake.outlets.spillway]
kind = "spillway"
elevation = [105.0, 106.0, 108.0, 110.0]
discharge = [0.0, 20.0, 120.0, 300.0]
"""

STEPS = 120


@pytest.fixture(scope="module")
def basin():
    return Basin.from_toml(BASIN)


@pytest.fixture(scope="module")
def inputs():
    index = pd.date_range("2024-06-01 01:00", periods=STEPS, freq="h")
    storm = np.zeros(STEPS)
    storm[3:9] = [0.1, 0.4, 1.0, 0.6, 0.2, 0.05]
    storm[60:64] = [0.3, 0.5, 0.2, 0.1]
    canal = 5.0 + np.sin(np.arange(STEPS) / 7.0)
    return {
        "hill": pd.Series(storm, index=index),
        "valley": pd.Series(storm * 0.8, index=index),
        "canal": pd.Series(canal, index=index),
    }


def test_the_file_loads_in_dependency_order(basin, tmp_path):
    # Each element right after its inflows, the largest branch first.
    assert basin.order == ("hill", "creek", "canal", "valley", "town", "lake")
    assert basin.outlet == "lake"
    assert basin.upstream["town"] == ("valley", "canal", "creek")
    path = tmp_path / "basin.toml"
    path.write_text(BASIN.replace("x = 0.2", "x = 0.7"))
    with pytest.raises(BasinError) as info:
        load_basin(path)
    assert str(info.value) == f"{path}: reach 'creek': x must be between 0 and 0.5, got 0.7"


def by_hand(basin, inputs):
    """The same basin as module calls written out, the way the runner's guide explains."""
    hour = timedelta(hours=1)
    pad = 2  # the longest unit hydrograph (3 hours) has 3 ordinates
    n = STEPS + pad

    def rain(name):
        return tarnwick.utils.IncrementalTimeSeries(
            np.concatenate([inputs[name].to_numpy(), np.zeros(pad)]), hour, "rainfall"
        )

    def subbasin(name, area, loss, tc, r, layers):
        split = tarnwick.rainfall_loss.run_deficit_and_constant(rain(name), *loss)
        direct = np.asarray(tarnwick.rainfall_transform.run_clark_uh(split.excess, area, tc, r))
        flow = direct[: n + 1].copy()
        if layers:
            base, _ = tarnwick.baseflow.run_linear_reservoir(area, split.loss, layers)
            flow[0] += sum(layer.initial_q for layer in layers.values())
            flow[1:] += np.asarray(base)
        return flow

    hill = subbasin(
        "hill",
        640.0,
        (0.3, 1.0, 0.05, timedelta(hours=48)),
        3 * hour,
        1.5 * hour,
        {
            "interflow": tarnwick.baseflow.LinearReservoir(12 * hour, 0.4, 1.0, 2),
            "groundwater": tarnwick.baseflow.LinearReservoir(240 * hour, 0.3, 2.0),
        },
    )
    valley = subbasin("valley", 320.0, (0.2, 0.8, 0.1, timedelta(0)), 2 * hour, hour, {})
    canal = np.concatenate([inputs["canal"].to_numpy()[:1], inputs["canal"].to_numpy()])
    canal = np.concatenate([canal, np.zeros(pad)])
    creek = np.asarray(
        tarnwick.reach.run_muskingum_routing(
            tarnwick.utils.ContinuousTimeSeries(hill, hour, "discharge"), 2 * hour, 0.2, 2, hill[0]
        )
    )
    town = valley + canal + creek
    curve = outlets.ElevationStorage(
        [100.0, 102.0, 104.0, 106.0, 110.0], [0.0, 1.0e6, 3.0e6, 6.0e6, 1.5e7]
    )
    gate = outlets.ControlledDischargeInfo(
        outlets.ElevationDischarge(
            [100.0, 102.0, 104.0, 106.0, 110.0], [0.0, 15.0, 30.0, 40.0, 50.0]
        ),
        maximum_release=40.0,
    )
    spillway = outlets.UnControlledDischargeInfo(
        outlets.ElevationDischarge([105.0, 106.0, 108.0, 110.0], [0.0, 20.0, 120.0, 300.0])
    )
    lake = tarnwick.reservoir.run_level_pool_routing(
        tarnwick.utils.ContinuousTimeSeries(np.concatenate([town[:1], town]), hour, "discharge"),
        101.0,
        curve,
        {"gate": gate, "spillway": spillway},
    )
    lake = np.asarray(lake.reservoir_total_outflow)
    flows = dict(hill=hill, creek=creek, valley=valley, canal=canal, town=town, lake=lake)
    return {name: values[1:] for name, values in flows.items()}


@pytest.mark.parametrize("threads", [1, 2])
def test_a_run_is_bit_identical_to_the_calls_made_by_hand(basin, inputs, threads):
    run = run_basin(basin, inputs, threads=threads)
    expected = by_hand(basin, inputs)
    assert list(run.flows.columns) == list(basin.names)
    assert run.flows.index[0] == pd.Timestamp("2024-06-01 01:00")
    assert run.padding == timedelta(hours=2)
    for name, values in expected.items():
        assert np.array_equal(run.flows[name].to_numpy(), values), name
    simulation = prepare(basin, inputs, threads=threads)
    assert np.array_equal(simulation.outflow(basin), expected["lake"])
    assert np.array_equal(simulation.outflow(basin, "creek"), expected["creek"])
    assert simulation.index.equals(run.flows.index)
    simulation.close()


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("flow_unit", ["cfs", "m3/s"])
def test_the_outflow_of_any_one_element_is_that_of_the_whole_run(inputs, threads, flow_unit):
    # outflow() stops at the element asked for, and adds a junction's inflows
    # straight into the unit converted result: it must agree with the full run.
    basin = Basin.from_toml(BASIN.replace('flow = "cfs"', f'flow = "{flow_unit}"'))
    expected = run_basin(basin, inputs, threads=threads).flows
    with prepare(basin, inputs, threads=threads) as simulation:
        for name in basin.order:
            assert np.array_equal(simulation.outflow(basin, name), expected[name]), name


def test_an_error_on_a_helper_thread_reaches_the_caller_and_helpers_end_with_the_simulation(
    basin, inputs, monkeypatch
):
    def helpers():
        return [t for t in threading.enumerate() if t.name.startswith("basin-")]

    # The caller runs the first element of a level, helpers the others: valley.
    unstable = Basin.from_toml(
        BASIN + "[subbasin.valley.baseflow.deep]\nk_hours = 0.2\nfraction = 0.1\ninitial_q = 0.0\n"
    )
    with prepare(unstable, inputs, threads=2) as simulation:
        with pytest.raises(BasinError, match="^subbasin 'valley': baseflow layer 'deep': "):
            simulation.outflow(unstable)
    assert not helpers()

    # When the caller's own element fails, the run still waits for the helpers'
    # (they write into arrays the next run uses).
    ended = threading.Event()
    subbasin = Simulation._subbasin

    def slow_or_failing(self, sub, *args):
        if sub.name == "hill":
            raise BasinError("hill fails")
        time.sleep(0.2)
        result = subbasin(self, sub, *args)
        ended.set()
        return result

    with prepare(basin, inputs, threads=2) as simulation, monkeypatch.context() as patch:
        patch.setattr(Simulation, "_subbasin", slow_or_failing)
        with pytest.raises(BasinError, match="hill fails"):
            simulation.outflow(basin)
        assert ended.is_set()

    simulation = prepare(basin, inputs, threads=3)
    simulation.outflow(basin)
    assert len(helpers()) == 2
    del simulation  # never closed: its threads end when it is collected
    gc.collect()
    for thread in helpers():
        thread.join(timeout=5.0)
    assert not helpers()


def test_threads_sharing_a_threaded_simulation_get_their_own_results(basin, inputs):
    # Each caller's elements are computed in arrays of its own, whichever
    # helper runs them; once callers overlap, helpers stop polling for work.
    candidates = [basin.with_values({"hill.tc_hours": 2.0 + i}) for i in range(4)]
    with prepare(basin, inputs, threads=1) as serial:
        expected = [serial.outflow(c) for c in candidates]
    with prepare(basin, inputs, threads=2) as simulation:
        start = threading.Barrier(4)

        def calls(candidate):
            start.wait()
            return [simulation.outflow(candidate).copy() for _ in range(20)]

        with ThreadPoolExecutor(4) as callers:
            outcomes = list(callers.map(calls, candidates))
        assert simulation._helpers.spin == 0.0
    for outcome, wanted in zip(outcomes, expected, strict=True):
        assert all(np.array_equal(values, wanted) for values in outcome)


def test_the_volume_balance_closes_and_nothing_is_cut_when_padded(basin, inputs):
    balance = run_basin(basin, inputs).balance
    assert list(balance.columns) == ["in", "out", "stored", "lost", "truncated"]
    residual = balance["in"] - balance["out"] - balance["stored"] - balance["lost"]
    residual -= balance["truncated"]
    exact = residual.drop("lake") / balance["in"].drop("lake")
    assert np.abs(exact).max() < 1e-12
    assert abs(residual["lake"] / balance["in"]["lake"]) < 1e-3  # routing's own integration
    assert (balance["truncated"] == 0.0).all()
    # Water moves on: what one element gives, the next receives.
    assert balance["in"]["town"] == pytest.approx(
        balance["out"][["valley", "canal", "creek"]].sum()
    )
    assert balance["in"]["hill"] == pytest.approx(3.45 * 640.0 * 1.00833 * 3600.0)
    # Both layers of the hill still hold water at the end; the lake has filled.
    assert balance["stored"]["hill"] > 0.0 and balance["stored"]["lake"] > 0.0


def test_an_unpadded_run_reports_the_runoff_it_cuts(basin, inputs):
    late = dict(inputs, hill=inputs["hill"] * 0.0 + 0.0)
    late["hill"].iloc[-1] = 2.0  # a storm in the last hour
    balance = run_basin(basin, late, pad=0).balance
    assert balance["truncated"]["hill"] > 0.0
    residual = (
        balance.loc["hill", "in"]
        - balance.loc["hill", ["out", "stored", "lost", "truncated"]].sum()
    )
    assert abs(residual) < 1e-9 * balance.loc["hill", "in"]
    longer = run_basin(basin, late, pad=timedelta(hours=5))
    assert longer.padding == timedelta(hours=5) and len(longer.flows) == STEPS + 5
    assert longer.balance["truncated"]["hill"] == 0.0


def edit(old, new):
    assert old in BASIN
    return BASIN.replace(old, new)


@pytest.mark.parametrize(
    "text, message",
    [
        (
            edit('downstream = "creek"', 'downstream = "crek"'),
            "subbasin 'hill': downstream 'crek' is no element of the basin",
        ),
        (
            edit('[junction.town]\ndownstream = "lake"', '[junction.town]\ndownstream = "creek"'),
            "reach 'creek': downstream 'town' makes a cycle: creek -> town -> creek",
        ),
        (
            edit('[junction.town]\ndownstream = "lake"', "[junction.town]"),
            "reservoir 'lake': downstream is missing, but 'town' is already the outlet",
        ),
        (
            edit('[subbasin.hill]\ndownstream = "creek"', '[subbasin.hill]\ndownstream = "valley"'),
            "subbasin 'hill': downstream 'valley' is a subbasin, which takes no inflow",
        ),
        (edit("tc_hours = 3\n", ""), "subbasin 'hill': tc_hours is missing"),
        (edit("tc_hours = 3\n", "tc_hours = 0\n"), "subbasin 'hill': tc_hours must be > 0, got 0"),
        (edit("tc_hours = 3\n", "tc_hours = 3\ntc = 4\n"), "subbasin 'hill': unknown field 'tc'"),
        (
            edit("initial_deficit = 0.3", "initial_deficit = 1.3"),
            "subbasin 'hill': initial_deficit must be between 0 and 1, got 1.3",
        ),
        (
            edit("fraction = 0.3", "fraction = 0.7"),
            "subbasin 'hill': baseflow fractions add up to 1.1, more than 1",
        ),
        (
            edit("reservoirs = 2", "reservoirs = 0"),
            "subbasin 'hill': baseflow layer 'interflow': reservoirs must be a whole number >= 1, got 0",
        ),
        (
            edit("sub_reaches = 2", "sub_reaches = 1.5"),
            "reach 'creek': sub_reaches must be a whole number >= 1, got 1.5",
        ),
        (
            edit("initial_elevation = 101.0", "initial_elevation = 99.0"),
            "reservoir 'lake': initial_elevation must be between 100 and 110, got 99",
        ),
        (
            edit("[105.0, 106.0, 108.0, 110.0]", "[105.0, 106.0, 106.0, 110.0]"),
            "reservoir 'lake': outlet 'spillway': elevation must be strictly increasing: 106 follows 106",
        ),
        (
            edit('kind = "spillway"', 'kind = "weir"'),
            "reservoir 'lake': outlet 'spillway': kind must be 'controlled', 'spillway' or 'constant'",
        ),
        (
            edit('area = "acre"', 'area = "ha"'),
            "units: area must be one of 'km2', 'acre', got 'ha'",
        ),
        (edit("[junction.town]", "[junktion.town]"), "unknown table [junktion]"),
    ],
)
def test_a_faulty_description_is_refused_naming_element_and_field(text, message):
    with pytest.raises(BasinError) as info:
        Basin.from_toml(text)
    assert message in str(info.value)


def test_a_long_chain_of_reaches_is_checked_and_ordered_in_linear_time():
    chain = [Inflow("spring", "r0")]
    chain += [Reach(f"r{i}", f"r{i + 1}", 1.0, 0.2) for i in range(2500)]
    start = time.perf_counter()
    basin = Basin((*chain, Junction("r2500", None)))
    assert time.perf_counter() - start < 1.0
    assert basin.order[:2] == ("spring", "r0") and basin.order[-1] == "r2500"


def test_a_cycle_is_named_where_it_starts_not_where_water_enters_it():
    text = """
[inflow.spring]
downstream = "a"
[junction.a]
downstream = "b"
[junction.b]
downstream = "a"
[junction.out]
"""
    with pytest.raises(BasinError) as info:
        Basin.from_toml(text)
    assert str(info.value) == "junction 'a': downstream 'b' makes a cycle: a -> b -> a"


@pytest.mark.parametrize(
    "change, message",
    [
        (
            lambda r: r.iloc[:-1],
            "subbasin 'valley': rainfall: dates 2024-06-01 01:00:00 to "
            "2024-06-05 23:00:00 differ from subbasin 'hill''s",
        ),
        (lambda r: r.set_axis(r.index + pd.Timedelta("1h")), "subbasin 'valley': rainfall: dates"),
        (
            lambda r: r.resample("2h").sum(),
            "subbasin 'valley': rainfall: step 2:00:00 differs from subbasin 'hill''s 1:00:00",
        ),
        (lambda r: r.drop(r.index[5]), "subbasin 'valley': rainfall is not uniformly spaced"),
        (
            lambda r: r - 0.5,
            "subbasin 'valley': rainfall has 119 negative values (the first -0.5 at 2024-06-01 01:00",
        ),
        (
            lambda r: r.where(r.index != r.index[5]),
            "subbasin 'valley': rainfall has 1 missing value (at 2024-06-01 06:00:00)",
        ),
    ],
)
def test_inputs_of_different_steps_or_dates_are_refused(basin, inputs, change, message):
    with pytest.raises(ValueError) as info:
        prepare(basin, dict(inputs, valley=change(inputs["valley"])))
    assert message in str(info.value)


@pytest.mark.parametrize(
    "inputs_change, message",
    [
        (
            lambda i: {k: v for k, v in i.items() if k != "canal"},
            "inflow 'canal': flow is missing from the inputs",
        ),
        (lambda i: dict(i, creek=i["canal"]), "inputs: 'creek' is no subbasin or inflow"),
    ],
)
def test_inputs_must_name_the_basin_s_sources(basin, inputs, inputs_change, message):
    with pytest.raises(BasinError, match=message):
        prepare(basin, inputs_change(inputs))


def test_with_values_replaces_fields_and_checks_them_as_loading_does(basin, inputs):
    changed = basin.with_values(
        {"hill.tc_hours": 5.0, "hill.baseflow.groundwater.k_hours": 100.0, "creek.x": 0.1}
    )
    assert changed["hill"].tc_hours == 5.0 and changed["creek"].x == 0.1
    assert changed["hill"].baseflow["groundwater"].k_hours == 100.0
    assert changed["hill"].baseflow["interflow"] == basin["hill"].baseflow["interflow"]
    assert basin["hill"].tc_hours == 3.0 and changed.order == basin.order
    simulation = prepare(basin, inputs)
    assert not np.array_equal(simulation.outflow(changed), simulation.outflow(basin))
    assert np.array_equal(
        simulation.outflow(changed), prepare(changed, inputs, pad=2).outflow(changed)
    )
    for path in ("hill.tc", "river.x", "hill.baseflow.deep.k_hours", "creek.downstream"):
        with pytest.raises(KeyError, match=path):
            basin.with_values({path: 1.0})
    with pytest.raises(BasinError, match="^reach 'creek': x must be between 0 and 0.5, got 0.6$"):
        basin.with_values({"creek.x": 0.6})


def test_a_basin_of_another_structure_is_refused_by_a_simulation(basin, inputs):
    simulation = prepare(basin, inputs)
    for old, new in [('downstream = "town"', 'downstream = "lake"'), ('"cfs"', '"m3/s"')]:
        with pytest.raises(ValueError, match="differs in structure"):
            simulation.outflow(Basin.from_toml(BASIN.replace(old, new, 1)))


def test_the_stability_error_names_the_layer_in_the_user_s_terms(basin, inputs):
    unstable = basin.with_values({"hill.baseflow.interflow.k_hours": 0.8})
    with pytest.raises(BasinError) as info:
        run_basin(unstable, inputs)
    assert str(info.value) == (
        "subbasin 'hill': baseflow layer 'interflow': k_hours 0.8 over 2 reservoirs gives "
        "0.4 hours per reservoir, less than half the time step (0.5 hours); "
        "lengthen k_hours or chain fewer reservoirs"
    )
    assert str(info.value.__cause__) == (
        "Stability Error: k_per_res (0.4000) < 0.5*dt (0.5000). Increase k_hr or num_reservoir."
    )


def test_a_returned_outflow_is_never_overwritten_while_held(basin, inputs):
    simulation = prepare(basin, inputs)
    first = simulation.outflow(basin)
    kept = first.copy()
    view = simulation.outflow(basin.with_values({"hill.tc_hours": 6.0}))[10:]
    second = simulation.outflow(basin.with_values({"hill.tc_hours": 9.0}))
    assert np.array_equal(first, kept)
    assert not np.shares_memory(second, view) and not np.shares_memory(second, first)


def test_filled_inputs_are_reported(basin, inputs):
    holed = inputs["valley"].copy()
    holed.iloc[[4, 90]] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run = run_basin(basin, dict(inputs, valley=holed), fill={"valley": "dry"})
    assert run.filled == {"hill": 0, "valley": 2, "canal": 0}


def test_threads_follow_the_interpreter_s_lock(basin, inputs):
    simulation = prepare(basin, inputs)
    assert isinstance(simulation, Simulation)
    probe = getattr(__import__("sys"), "_is_gil_enabled", None)
    expected_many = probe is not None and not probe()
    assert (simulation.threads > 1) == (expected_many and (__import__("os").cpu_count() or 1) > 1)


def test_the_example_prints_a_closed_balance_and_refuses_bad_options(capsys, tmp_path):
    from test_calibration_examples import load

    example = load("basin", "basin_example")
    peaks = example.main(["--days", "20"])
    out = capsys.readouterr().out
    assert "8 elements, 480 hourly steps from 2024-04-01 00:00 to 2024-04-21 00:00" in out
    rows = [line.split() for line in out.splitlines() if line.startswith(tuple(peaks))]
    balance = {row[0]: row for row in rows if len(row) == 7}
    assert set(balance) == set(peaks)
    assert all(abs(float(row[6])) < 1e-5 for row in balance.values())  # closes
    assert all(float(row[5]) == 0.0 for row in balance.values())  # nothing cut off
    with pytest.raises(SystemExit):
        example.main(["--basin", str(tmp_path / "none.toml")])
    assert "--basin" in capsys.readouterr().err
