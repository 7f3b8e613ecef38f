"""Level pool routing: tarnwick.reservoir.run_level_pool_routing and LevelPoolResult."""

import math
from datetime import timedelta

import pytest

import tarnwick

from conftest import (
    HOUR,
    NAN_SEARCH,
    ConstantDischargeInfo,
    ControlledDischargeInfo,
    ElevationDischarge,
    ElevationStorage,
    SpecifiedDischargeInfo,
    UnControlledDischargeInfo,
    leaks,
    message_of,
    panics,
)
from conftest import Continuous as Series

reservoir = tarnwick.reservoir
route = reservoir.run_level_pool_routing
LevelPoolResult = reservoir.LevelPoolResult

SECOND = timedelta(seconds=1)
EMPTY_INFLOW = "`inflow` has no values: level pool routing needs at least one inflow value."


def series(data, step=HOUR):
    return Series(data, step, "discharge")


def linear_curve(top_storage):
    return ElevationStorage([0, 100], [0, top_storage])


def outputs(result):
    return (
        result.reservoir_storage.data,
        result.reservoir_elevation.data,
        result.reservoir_total_outflow.data,
        {name: s.data for name, s in result.reservoir_individual_outflows.items()},
    )


SPILL = UnControlledDischargeInfo(ElevationDischarge([0, 100], [0, 100]))


@pytest.mark.parametrize(
    "inflow, e0, curve, outlets, expected",
    [
        (
            series([10, 10, 10]),
            50,
            linear_curve(1e9),
            {"spill": ConstantDischargeInfo(10)},
            ([5e8, 5e8], [50, 50], [10, 10], {"spill": [10, 10]}),
        ),
        (
            series([10, 10, 10]),
            50,
            linear_curve(1e9),
            {},
            ([5e8, 5e8 + 36000], [50, ((5e8 + 36000) / 1e9) * 100], [0, 0], {}),
        ),
        # The step at t = 3 releases 50 and empties the reservoir; the flow
        # recorded at t = 4 is evaluated at the emptied elevation.
        (
            series([0, 0, 0], timedelta(seconds=2)),
            50,
            linear_curve(100),
            {"spill": SPILL},
            ([50, 0], [50, 0], [50, 0], {"spill": [50, 0]}),
        ),
        # Only the step at t = 2 moves the storage, with I[0] and I(2).
        (series([0, 100, 4], SECOND), 0, linear_curve(100), {}, ([0, 2], [0, 2], [0, 0], {})),
        # One value: the initial state only, whatever the outlets.
        (series([7]), 50, linear_curve(1e9), {"spill": SPILL}, ([5e8], [50], [], {})),
        # Two values: one recorded step, no storage change, I[1] never read.
        (
            series([7, math.inf]),
            50,
            linear_curve(1e9),
            {"spill": ConstantDischargeInfo(3)},
            ([5e8], [50], [3], {"spill": [3]}),
        ),
        # More release than water: storage stops at 0.0, the flows are not cut.
        (
            series([0, 0, 0], timedelta(seconds=2)),
            50,
            linear_curve(100),
            {"pump": ConstantDischargeInfo(80)},
            ([50, 0], [50, 0], [80, 80], {"pump": [80, 80]}),
        ),
        # A NaN storage empties the reservoir rather than poisoning it.
        (
            series([1, 1, math.nan], timedelta(seconds=2)),
            50,
            linear_curve(100),
            {},
            ([50, 0], [50, 0], [0, 0], {}),
        ),
    ],
)
def test_worked_examples(inflow, e0, curve, outlets, expected):
    assert outputs(route(inflow, e0, curve, outlets)) == expected


def test_result_series_and_order():
    outlets = {
        "z spill": SPILL,
        "a gate": ControlledDischargeInfo(ElevationDischarge([0, 100], [0, 1])),
        "m fixed": ConstantDischargeInfo(0.5),
    }
    result = route(series([1, 2, 3, 4], timedelta(minutes=1)), 50, linear_curve(1e5), outlets)
    assert list(result.reservoir_individual_outflows) == ["z spill", "a gate", "m fixed"]
    for name, kind in [
        ("reservoir_storage", "volume"),
        ("reservoir_elevation", "elevation"),
        ("reservoir_total_outflow", "discharge"),
    ]:
        s = getattr(result, name)
        assert type(s) is Series
        assert (s.kind, s.time_step, len(s.data)) == (kind, timedelta(minutes=1), 3)
        assert getattr(result, name) is not s
    total = result.reservoir_total_outflow.data
    flows = result.reservoir_individual_outflows
    assert total == [
        (0.0 + a) + b + c for a, b, c in zip(*(f.data for f in flows.values()), strict=True)
    ]
    assert result.reservoir_individual_outflows is not flows
    flows["z spill"].data.append(1.0)
    assert len(result.reservoir_individual_outflows["z spill"].data) == 3


def test_result_class():
    with pytest.raises(TypeError):
        LevelPoolResult()
    result = route(series([1, 2]), 50, linear_curve(100), {})
    with pytest.raises(AttributeError):
        result.reservoir_storage = None
    assert LevelPoolResult.__doc__ == "Results from a level pool routing simulation."
    assert LevelPoolResult.reservoir_individual_outflows.__doc__ == (
        "Per-outlet outflow time series keyed by outlet name."
    )
    assert (
        route.__text_signature__ == "(inflow, initial_elevation, elevation_storage, discharge_info)"
    )
    assert route.__doc__.startswith(
        "Performs level pool (modified Puls) routing for a reservoir.\n\n"
    )
    assert route.__module__ == "reservoir"


def test_subclass_arguments():
    class MySeries(Series):
        pass

    class MyCurve(ElevationStorage):
        pass

    class MyConstant(ConstantDischargeInfo):
        pass

    result = route(
        MySeries([1, 1, 1], HOUR, "rainfall"), 50, MyCurve([0, 100], [0, 1e9]), {"c": MyConstant(1)}
    )
    assert result.reservoir_total_outflow.data == [1.0, 1.0]
    assert type(result.reservoir_storage) is Series


def test_specified_outlet_is_read_from_step_to_end():
    release = SpecifiedDischargeInfo(series([1, 2, 3, 4], timedelta(seconds=3)))
    result = route(
        series([0, 0, 0, 0], timedelta(seconds=3)), 50, linear_curve(1e6), {"r": release}
    )
    assert result.reservoir_individual_outflows["r"].data == [2, 3, 4]
    with pytest.raises(ValueError) as info:
        route(series([0] * 5, timedelta(seconds=3)), 50, linear_curve(1e6), {"r": release})
    assert str(info.value) == (
        "simulation duration 10s exceeds the specified discharge series length (9s)."
    )


def test_empty_specified_series_fails_when_read():
    empty = SpecifiedDischargeInfo(series([]), minimum_elevation=60)
    # Gated below its band it releases nothing without reading the series.
    assert route(
        series([0, 0, 0]), 50, linear_curve(1e9), {"e": empty}
    ).reservoir_total_outflow.data == [
        0.0,
        0.0,
    ]
    with pytest.raises(ValueError) as info:
        route(series([0, 0, 0]), 70, linear_curve(1e9), {"e": empty})
    assert str(info.value) == "`duration` 3600 is out of range (the series is empty)"


@pytest.mark.parametrize(
    "args, error, message",
    [
        (
            (series([]), 50, linear_curve(100), {}),
            ValueError,
            EMPTY_INFLOW,
        ),
        (
            (series([1, 2]), 100.5, linear_curve(100), {"s": SPILL}),
            ValueError,
            "`elevation` 100.5 is outside the range of the elevation-storage curve.",
        ),
        (
            (series([]), -1, linear_curve(100), {}),
            ValueError,
            "`elevation` -1 is outside the range of the elevation-storage curve.",
        ),
        (
            (
                series([0, 0, 0], timedelta(seconds=2)),
                50,
                ElevationStorage([0, 100], [10, 110]),
                {"pump": ConstantDischargeInfo(80)},
            ),
            ValueError,
            "`storage` 0 is outside the range of the elevation-storage curve.",
        ),
        (
            (series([100, 100, 100], timedelta(seconds=2)), 50, linear_curve(100), {}),
            ValueError,
            "`storage` 150 is outside the range of the elevation-storage curve.",
        ),
        (
            (
                series([1, 2]),
                50,
                linear_curve(100),
                {
                    "ok": ConstantDischargeInfo(1),
                    "low": UnControlledDischargeInfo(ElevationDischarge([0, 10], [0, 1])),
                    "short": SpecifiedDischargeInfo(series([1])),
                },
            ),
            ValueError,
            "elevation 50 is above the maximum of the elevation-discharge curve (10).",
        ),
        (
            (
                series([1, 2]),
                50,
                linear_curve(100),
                {
                    "short": SpecifiedDischargeInfo(series([1])),
                    "low": UnControlledDischargeInfo(ElevationDischarge([0, 10], [0, 1])),
                },
            ),
            ValueError,
            "simulation duration 3600s exceeds the specified discharge series length (0s).",
        ),
        (
            ([1.0, 2.0], 50, linear_curve(100), {}),
            TypeError,
            "argument 'inflow': 'list' object is not an instance of 'ContinuousTimeSeries'",
        ),
        (
            (series([1, 2]), "50", linear_curve(100), {}),
            TypeError,
            "argument 'initial_elevation': must be real number, not str",
        ),
        (
            (series([1, 2]), 50, ElevationDischarge([0, 1], [0, 1]), {}),
            TypeError,
            "argument 'elevation_storage': 'ElevationDischarge' object is not an instance of "
            "'ElevationStorage'",
        ),
        (
            (series([1, 2]), 50, linear_curve(100), [SPILL]),
            TypeError,
            "argument 'discharge_info': 'list' object is not an instance of 'dict'",
        ),
        (
            (series([1, 2]), 50, linear_curve(100), {"ok": SPILL, 1: SPILL}),
            TypeError,
            "argument 'discharge_info': 'int' object is not an instance of 'str'",
        ),
    ],
)
def test_errors(args, error, message):
    with pytest.raises(error) as info:
        route(*args)
    assert type(info.value) is error
    assert str(info.value) == message


def discharge_info_message(type_text):
    lines = [
        "failed to extract enum DischargeInfo ('Uncontrolled | Controlled | Specified | Constant')"
    ]
    for variant, cls in [
        ("Uncontrolled", "UnControlledDischargeInfo"),
        ("Controlled", "ControlledDischargeInfo"),
        ("Specified", "SpecifiedDischargeInfo"),
        ("Constant", "ConstantDischargeInfo"),
    ]:
        lines.append(
            f"- variant {variant} ({variant}): TypeError: failed to extract field "
            f"DischargeInfo::{variant}.0, caused by TypeError: {type_text} not an instance of '{cls}'"
        )
    return "argument 'discharge_info': " + "\n".join(lines)


@pytest.mark.parametrize(
    "value, type_text",
    [
        (3, "'int' object is"),
        (None, "'None' is"),
        (ElevationDischarge([0, 1], [0, 1]), "'ElevationDischarge' object is"),
        ({"discharge": 1.0}, "'dict' object is"),
    ],
)
def test_discharge_info_type_error(value, type_text):
    assert message_of(
        lambda: route(series([1, 2]), 50, linear_curve(100), {"ok": SPILL, "bad": value})
    ) == discharge_info_message(type_text)


def test_internal_failures_reach_python_as_panics():
    with panics(NAN_SEARCH):
        route(series([1, 2]), math.nan, linear_curve(100), {})
    with panics("x_values and y_values each must have at least 2 elements."):
        route(series([1, 2]), 1, ElevationStorage([1], [1]), {})
    nan_offset = UnControlledDischargeInfo(ElevationDischarge([0, 100], [0, 1]), math.nan)
    with panics(NAN_SEARCH):
        route(series([1, 2]), 50, linear_curve(100), {"weir": nan_offset})


def test_repeated_calls_do_not_leak():
    inflow = series([5, 20, 40, 10, 5], timedelta(seconds=30))
    curve = ElevationStorage([0, 10, 20], [0, 1000, 5000])
    outlets = {
        "gate": ControlledDischargeInfo(ElevationDischarge([0, 20], [0, 30]), maximum_release=20),
        "spill": UnControlledDischargeInfo(ElevationDischarge([5, 20], [0, 100])),
        "release": SpecifiedDischargeInfo(series([1, 2, 3, 4, 5], timedelta(seconds=30))),
        "base": ConstantDischargeInfo(1, 2, 30),
    }

    def run():
        outputs(route(inflow, 5, curve, outlets))

    def fail():
        for args in (
            (inflow, 50, curve, outlets),
            (series([]), 5, curve, outlets),
            (inflow, 5, curve, {"x": 1}),
            (inflow, math.nan, curve, outlets),
        ):
            try:
                route(*args)
            except BaseException:  # noqa: B036 - PanicException included
                pass

    assert leaks(run, rounds=500) < 100
    assert leaks(fail, rounds=500) < 100
