"""Rating curves and outlet classes of tarnwick.reservoir.reservoir_utils."""

import math

import pytest

from conftest import (
    HOUR,
    NAN_SEARCH,
    ConstantDischargeInfo,
    Continuous,
    ControlledDischargeInfo,
    ElevationDischarge,
    ElevationStorage,
    SpecifiedDischargeInfo,
    UnControlledDischargeInfo,
    leaks,
    message_of,
    panics,
)

TOO_SHORT = "x_values and y_values each must have at least 2 elements."


# --- Rating curves -------------------------------------------------------------

STORAGE_SORTED = "`storage` must must be sorted and can't have duplicates"
ELEVATION_SORTED = "`elevation` must must be sorted and can't have duplicates"


@pytest.mark.parametrize(
    "cls, elevation, values, message",
    [
        (
            ElevationStorage,
            [1, 2, 3],
            [3, 1],
            "`elevation` and `storage` must have the same length",
        ),
        (ElevationStorage, [2, 1], [1, 1], ELEVATION_SORTED),
        (ElevationStorage, [1, 1], [1, 2], ELEVATION_SORTED),
        (ElevationStorage, [1, math.nan], [1, 2], ELEVATION_SORTED),
        (ElevationStorage, [1, 2], [10, 10], STORAGE_SORTED),
        (ElevationStorage, [1, 2], [10, math.nan], STORAGE_SORTED),
        (
            ElevationDischarge,
            [1.0],
            [0.0, 1.0],
            "`elevation` and `discharge` must have the same length",
        ),
        (
            ElevationDischarge,
            [2, 1, 3],
            [1, 0],
            "`elevation` and `discharge` must have the same length",
        ),
        (
            ElevationDischarge,
            [1.0],
            [0.0],
            "`elevation` and `discharge` each must have at least 2 elements.",
        ),
        (
            ElevationDischarge,
            [],
            [],
            "`elevation` and `discharge` each must have at least 2 elements.",
        ),
        (ElevationDischarge, [1, 1], [0, 1], ELEVATION_SORTED),
        (ElevationDischarge, [1, 2], [1, 0], "`discharge` must must be sorted"),
        (ElevationDischarge, [1, 2], [math.nan, 1], "`discharge` must must be sorted"),
    ],
)
def test_curve_checks(cls, elevation, values, message):
    assert message_of(lambda: cls(elevation, values), ValueError) == message


def test_curves_accept_what_they_may():
    assert ElevationStorage([], []).elevation == []
    one = ElevationStorage([1.0], [5.0])
    assert (one.elevation, one.storage) == ([1.0], [5.0])
    flat = ElevationDischarge((1, 2), range(10, 12))
    assert (flat.elevation, flat.discharge) == ([1.0, 2.0], [10.0, 11.0])
    assert ElevationDischarge([1, 2], [10, 10]).discharge == [10.0, 10.0]
    by_keyword = ElevationStorage(storage=[0, 1], elevation=[5, 6])
    assert by_keyword.storage == [0.0, 1.0]


def test_curve_attributes_are_fresh_copies():
    source = [100.0, 110.0]
    curve = ElevationStorage(source, [0.0, 1000.0])
    source.append(120.0)
    first = curve.elevation
    first.append(1.0)
    assert curve.elevation == [100.0, 110.0]
    assert curve.elevation is not curve.elevation
    with pytest.raises(AttributeError):
        curve.storage = [1.0]
    with pytest.raises(AttributeError):
        curve.other = 1


@pytest.mark.parametrize(
    "method, value, expected",
    [
        ("get_storage", 105, 500.0),
        ("get_storage", 100, 0.0),
        ("get_storage", 110, 1000.0),
        ("get_elevation", 250, 102.5),
        ("get_elevation", 1000, 110.0),
        ("get_elevation", True, 100.01),
    ],
)
def test_storage_lookups(method, value, expected):
    curve = ElevationStorage([100, 110], [0, 1000])
    assert getattr(curve, method)(value) == expected


@pytest.mark.parametrize(
    "method, value, message",
    [
        ("get_storage", 99, "`elevation` 99 is outside the range of the elevation-storage curve."),
        (
            "get_storage",
            110.5,
            "`elevation` 110.5 is outside the range of the elevation-storage curve.",
        ),
        (
            "get_storage",
            1e21,
            "`elevation` 1000000000000000000000 is outside the range of the elevation-storage curve.",
        ),
        (
            "get_elevation",
            -1e-7,
            "`storage` -0.0000001 is outside the range of the elevation-storage curve.",
        ),
        (
            "get_elevation",
            math.inf,
            "`storage` inf is outside the range of the elevation-storage curve.",
        ),
    ],
)
def test_storage_lookup_range_errors(method, value, message):
    curve = ElevationStorage([100, 110], [0, 1000])
    assert message_of(lambda: getattr(curve, method)(value), ValueError) == message


@pytest.mark.parametrize("method", ["get_storage", "get_elevation"])
def test_storage_lookup_internal_failures(method):
    for short in (ElevationStorage([], []), ElevationStorage([1.0], [5.0])):
        with panics(TOO_SHORT):
            getattr(short, method)(1.0)
    with panics(NAN_SEARCH):
        getattr(ElevationStorage([0, 1], [0, 1]), method)(math.nan)


def test_storage_lookup_arguments():
    curve = ElevationStorage([0, 1], [0, 1])
    assert curve.get_storage(elevation=0.5) == 0.5
    with pytest.raises(TypeError, match=r"^argument 'storage': "):
        curve.get_elevation("0.5")
    with pytest.raises(TypeError) as info:
        ElevationStorage([0, 1], "01")
    assert str(info.value) == "argument 'storage': Can't extract `str` to `Vec`"


# --- Outlets -----------------------------------------------------------------


def rating():
    return ElevationDischarge([100, 105, 110], [0, 50, 200])


def test_constant_outlet_attributes():
    plain = ConstantDischargeInfo(10)
    assert (plain.discharge, plain.minimum_elevation, plain.maximum_elevation) == (10.0, None, None)
    banded = ConstantDischargeInfo(10.0, 100, maximum_elevation=200)
    assert (banded.minimum_elevation, banded.maximum_elevation) == (100.0, 200.0)
    assert ConstantDischargeInfo(1.0, None, None).minimum_elevation is None
    # Nothing is validated beyond the types.
    assert ConstantDischargeInfo(-5, 300, 100).discharge == -5.0


@pytest.mark.parametrize(
    "kwargs, minimum, maximum",
    [
        ({}, 100.0, None),
        ({"minimum_elevation": 90}, 100.0, None),
        ({"minimum_elevation": 102}, 102.0, None),
        ({"minimum_elevation": math.nan}, 100.0, None),
        ({"maximum_elevation": 120}, 100.0, 110.0),
        ({"maximum_elevation": 107}, 100.0, 107.0),
        ({"maximum_elevation": math.nan}, 100.0, 110.0),
        ({"minimum_elevation": None, "maximum_elevation": None}, 100.0, None),
    ],
)
def test_controlled_outlet_effective_bounds(kwargs, minimum, maximum):
    outlet = ControlledDischargeInfo(rating(), **kwargs)
    assert type(outlet.minimum_elevation) is float
    assert outlet.minimum_elevation == minimum
    assert outlet.maximum_elevation == maximum
    assert outlet.maximum_release is None


def test_outlet_curves_and_series_are_copies():
    curve = rating()
    controlled = ControlledDischargeInfo(curve, maximum_release=80)
    assert controlled.maximum_release == 80.0
    read = controlled.elevation_discharge
    assert type(read) is ElevationDischarge and read is not curve
    assert read.discharge == [0.0, 50.0, 200.0]
    assert controlled.elevation_discharge is not read
    spill = UnControlledDischargeInfo(curve)
    assert spill.elevation_offset is None
    assert UnControlledDischargeInfo(curve, -2).elevation_offset == -2.0
    assert spill.elevation_discharge.elevation == [100.0, 105.0, 110.0]
    series = Continuous([5, 7, 9], HOUR, "rainfall")
    specified = SpecifiedDischargeInfo(series, maximum_release=6)
    assert specified.maximum_release == 6.0
    assert specified.minimum_elevation is None and specified.maximum_elevation is None
    assert specified.discharge.data == [5.0, 7.0, 9.0]
    assert specified.discharge.kind == "rainfall"
    assert specified.discharge is not specified.discharge


def test_outlets_accept_subclass_arguments():
    class MyCurve(ElevationDischarge):
        pass

    class MySeries(Continuous):
        pass

    assert ControlledDischargeInfo(MyCurve([0, 1], [0, 1])).elevation_discharge.discharge == [
        0.0,
        1.0,
    ]
    assert (
        type(UnControlledDischargeInfo(MyCurve([0, 1], [0, 1])).elevation_discharge)
        is ElevationDischarge
    )
    assert type(SpecifiedDischargeInfo(MySeries([1], HOUR, "discharge")).discharge) is Continuous


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: ConstantDischargeInfo("10"),
            "argument 'discharge': must be real number, not str",
        ),
        (
            lambda: ConstantDischargeInfo(1, "x"),
            "argument 'minimum_elevation': must be real number, not str",
        ),
        (
            lambda: SpecifiedDischargeInfo([1.0, 2.0]),
            "argument 'discharge': 'list' object is not an instance of 'ContinuousTimeSeries'",
        ),
        (
            lambda: ControlledDischargeInfo(ElevationStorage([0, 1], [0, 1])),
            "argument 'elevation_discharge': 'ElevationStorage' object is not an instance of 'ElevationDischarge'",
        ),
        (
            lambda: UnControlledDischargeInfo(None),
            "argument 'elevation_discharge': 'None' is not an instance of 'ElevationDischarge'",
        ),
    ],
)
def test_outlet_argument_errors(call, message):
    assert message_of(lambda: call()) == message


def test_constructors_and_lookups_do_not_leak():
    curve = ElevationStorage([100, 110], [0, 1000])
    series = Continuous([5, 7, 9], HOUR, "discharge")

    def build():
        ElevationDischarge([1, 2, 3], [0, 1, 2])
        ControlledDischargeInfo(rating(), 101, 120, 5).elevation_discharge  # noqa: B018
        SpecifiedDischargeInfo(series, 1, 2, 3).discharge  # noqa: B018
        curve.get_storage(105)

    def fail():
        for call in (
            lambda: curve.get_storage(99),
            lambda: ElevationStorage([1, 2], [2, 1]),
            lambda: UnControlledDischargeInfo(series),
        ):
            try:
                call()
            except (ValueError, TypeError):
                pass
        try:
            ElevationStorage([1], [1]).get_elevation(1)
        except BaseException:  # noqa: B036 - the PanicException
            pass

    assert leaks(build) < 100
    assert leaks(fail) < 100
