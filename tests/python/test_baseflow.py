"""Linear-reservoir baseflow: LinearReservoir and run_linear_reservoir."""

import gc
import math
import random
import threading
from datetime import timedelta

import numpy as np
import pytest

import tarnwick

from conftest import HOUR, leaks, message_of

LinearReservoir = tarnwick.baseflow.LinearReservoir
run = tarnwick.baseflow.run_linear_reservoir
Continuous = tarnwick.utils.ContinuousTimeSeries
Incremental = tarnwick.utils.IncrementalTimeSeries

RAIN = Incremental([1.0, 0.0, 0.0], HOUR, "rainfall")


def stability_message(k_per_res, half):
    return (
        f"Stability Error: k_per_res ({k_per_res}) < 0.5*dt ({half}). "
        "Increase k_hr or num_reservoir."
    )


# --- run_linear_reservoir -----------------------------------------------------


def test_worked_example():
    layers = {
        "a": LinearReservoir(timedelta(hours=2), 0.5, 0.0),
        "b": LinearReservoir(timedelta(hours=4), 0.25, 1.0, 2),
    }
    result = run(100, RAIN, layers)
    assert type(result) is tuple and len(result) == 2
    total, per_layer = result
    assert type(total) is Continuous
    assert total.data == pytest.approx([25.03992, 17.587944, 12.0911616], rel=1e-12)
    assert per_layer["a"].data == pytest.approx([20.1666, 12.09996, 7.259976], rel=1e-12)
    assert per_layer["b"].data == pytest.approx([4.87332, 5.487984, 4.8311856], rel=1e-12)
    for series in (total, *per_layer.values()):
        assert series.kind == "discharge"
        assert series.time_step == HOUR


@pytest.mark.parametrize(
    "step", [timedelta(minutes=15), HOUR, timedelta(hours=3), timedelta(days=1)]
)
def test_total_is_the_sum_of_the_layers_in_order(step):
    rng = random.Random(7)
    depths = [rng.choice([0.0, 0.0, rng.random()]) for _ in range(500)]
    rain = Incremental(depths, step, "volume")
    layers = {
        f"layer{i}": LinearReservoir(timedelta(hours=60 + 13 * i), 0.1, 0.2 * i, chain)
        for i, chain in enumerate([2, 2, 2, 1, 5, 3, 3])
    }
    layers["layer5"].num_reservoir = 0
    total, per_layer = run(321.0, rain, layers)
    expected = [0.0] * len(depths)
    for series in per_layer.values():
        assert series.kind == "discharge" and series.time_step == step
        expected = [x + t for x, t in zip(series.data, expected, strict=True)]
    assert total.data == expected


def test_dict_order_is_kept():
    names = ["zeta", "alpha", "mid", "beta"]
    layers = {name: LinearReservoir(HOUR * (i + 2), 0.1, 0.0) for i, name in enumerate(names)}
    for _ in range(3):
        _, per_layer = run(1.0, RAIN, layers)
        assert list(per_layer) == names


def test_first_failing_layer_in_dict_order_is_reported():
    twenty = LinearReservoir(timedelta(minutes=20), 0.1, 0.0)
    quarter = LinearReservoir(HOUR, 0.1, 0.0, 4)
    assert message_of(
        lambda: run(1.0, RAIN, {"ok": LinearReservoir(HOUR, 0.1, 0.0), "q": quarter, "t": twenty}),
        ValueError,
    ) == stability_message("0.2500", "0.5000")
    assert message_of(
        lambda: run(1.0, RAIN, {"t": twenty, "q": quarter}), ValueError
    ) == stability_message("0.3333", "0.5000")


def test_c_of_one_passes_the_inflow_through():
    # K of half a step and one reservoir: C = 1, so each output is the
    # current inflow and the initial flow is forgotten at once.
    depths = [1.0, 0.0, 0.25, 3.0]
    rain = Incremental(depths, HOUR, "rainfall")
    total, _ = run(100.0, rain, {"a": LinearReservoir(timedelta(minutes=30), 0.5, 55.0)})
    assert total.data == [100.0 * 1.00833 * ((0.5 * p) / 1.0) for p in depths]


def test_zero_reservoirs_set_later_pass_the_inflow_through():
    layer = LinearReservoir(HOUR * 5, 0.4, 9.0, 3)
    layer.num_reservoir = 0
    rain = Incremental([1.0, 0.0, 0.25], timedelta(hours=2), "rainfall")
    _, per_layer = run(10.0, rain, {"none": layer})
    assert per_layer["none"].data == [(10.0 * 1.00833) * ((0.4 * p) / 2.0) for p in rain.data]


@pytest.mark.parametrize(
    "fractions, message",
    [
        ([0.75, 0.5], "Total fraction 1.25 > 1.0"),
        ([2.0], "Total fraction 2 > 1.0"),
        ([0.5, 0.5000005], None),
        ([math.nan, 3.0], None),
    ],
)
def test_fraction_check(fractions, message):
    layers = {}
    for i, fraction in enumerate(fractions):
        layers[str(i)] = LinearReservoir(HOUR * 2, 0.5, 0.0)
        layers[str(i)].gw_fraction = fraction  # no range check on assignment
    if message is None:
        run(1.0, RAIN, layers)
        return
    assert message_of(lambda: run(1.0, RAIN, layers), ValueError) == message


def test_empty_inputs():
    total, per_layer = run(5.0, RAIN, {})
    assert total.data == [0.0, 0.0, 0.0] and per_layer == {}
    empty = Incremental([], HOUR, "rainfall")
    total, per_layer = run(5.0, empty, {"a": LinearReservoir(HOUR, 0.5, 2.0)})
    assert total.data == [] and per_layer["a"].data == []
    with pytest.raises(ValueError, match="^Stability Error"):
        run(5.0, empty, {"a": LinearReservoir(timedelta(minutes=20), 0.5, 2.0)})


def test_oversized_chain_is_refused_not_allocated():
    # K of 2^31 - 1 seconds over a one-second step keeps 2^31 reservoirs
    # stable, but their state would take 16 GiB: refused before allocating.
    layer = LinearReservoir(timedelta(seconds=2**31 - 1), 0.1, 0.0)
    rain = Incremental([1.0], timedelta(seconds=1), "rainfall")
    layer.num_reservoir = 2**31
    with pytest.raises(ValueError) as info:
        run(1.0, rain, {"deep": layer})
    assert str(info.value) == (
        "num_reservoir 2147483648 is too large: a layer can chain at most 16777216 reservoirs"
    )
    layer.num_reservoir = 2**64 - 1  # unstable long before it is too large
    with pytest.raises(ValueError, match="^Stability Error"):
        run(1.0, rain, {"deep": layer})
    layer.num_reservoir = 2**24
    total, _ = run(1.0, rain, {"deep": layer})
    assert total.data == [pytest.approx(0.0, abs=1e-3)]


@pytest.mark.parametrize(
    "args, message",
    [
        (("1", RAIN, {}), "argument 'basin_area': must be real number, not str"),
        (
            (1.0, Continuous([1.0], HOUR, "discharge"), {}),
            "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of "
            "'IncrementalTimeSeries'",
        ),
    ],
)
def test_argument_refusals(args, message):
    assert message_of(lambda: run(*args)) == message


def test_rainfall_subclass_is_read_like_its_base():
    class Storm(Incremental):
        pass

    layers = {"a": LinearReservoir(HOUR * 2, 0.5, 1.0, 2)}
    storm = Storm([1.0, 0.5, 0.0], HOUR, "rainfall")
    plain = Incremental([1.0, 0.5, 0.0], HOUR, "rainfall")
    assert run(10.0, storm, layers)[0].data == run(10.0, plain, layers)[0].data
    assert (
        run(basin_area=10.0, reservoirs=layers, rainfall=storm)[0].data
        == run(10.0, plain, layers)[0].data
    )


# --- LinearReservoir ----------------------------------------------------------


def test_attributes_read_back():
    layer = LinearReservoir(timedelta(hours=25), 0.3, 2.5, 4)
    assert layer.k_duration == timedelta(days=1, seconds=3600)
    assert layer.gw_fraction == 0.3
    assert layer.initial_q == 2.5
    assert layer.num_reservoir == 4
    assert LinearReservoir(HOUR, 0.3, 2.5).num_reservoir == 1
    assert LinearReservoir(timedelta(seconds=1.5), 0, 0).k_duration == timedelta(seconds=1)
    assert LinearReservoir(timedelta(days=30000), 0, 0).k_duration == timedelta(seconds=2**31 - 1)
    kw = LinearReservoir(num_reservoir=2, initial_q=1, gw_fraction=True, k_duration=HOUR)
    assert (kw.num_reservoir, kw.initial_q, kw.gw_fraction) == (2, 1.0, 1.0)
    assert type(kw.initial_q) is float


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((timedelta(milliseconds=999), 0.5, 0.0), ValueError, "k_duration must be > 0"),
        ((HOUR, 1.0000001, 0.0), ValueError, "gw_fraction must be between 0 and 1"),
        ((HOUR, 0.5, 0.0, 0), ValueError, "num_reservoir must be at least 1"),
        ((timedelta(0), 2.0, 0.0, 0), ValueError, "k_duration must be > 0"),
        ((HOUR, 2.0, 0.0, 0), ValueError, "gw_fraction must be between 0 and 1"),
        (
            (3600, 0.5, 0.0),
            TypeError,
            "argument 'k_duration': 'int' object is not an instance of 'timedelta'",
        ),
        ((HOUR, "x", 0.0), TypeError, "argument 'gw_fraction': must be real number, not str"),
        ((HOUR, 0.5, 0.0, -1), OverflowError, None),
        # A negative duration fails after the conversions, without a prefix.
        ((-HOUR, 0.5, 0.0), ValueError, "a negative timedelta cannot be converted to a duration"),
        # The duration's type is checked first, its sign only after the other conversions.
        ((-HOUR, "x", 0.0), TypeError, "argument 'gw_fraction': must be real number, not str"),
    ],
)
def test_constructor_checks_in_order(args, error, message):
    with pytest.raises(error) as info:
        LinearReservoir(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "attribute, value, expected",
    [
        ("gw_fraction", 5.0, 5.0),
        ("gw_fraction", np.float32(0.5), 0.5),
        ("initial_q", 7, 7.0),
        ("num_reservoir", 0, 0),
        ("num_reservoir", np.int16(3), 3),
    ],
)
def test_writable_attributes(attribute, value, expected):
    layer = LinearReservoir(HOUR, 0.5, 1.0, 2)
    setattr(layer, attribute, value)
    assert getattr(layer, attribute) == expected
    assert type(getattr(layer, attribute)) is type(expected)


@pytest.mark.parametrize(
    "attribute, value, error, message",
    [
        ("gw_fraction", "0.5", TypeError, "argument 'gw_fraction': must be real number, not str"),
        ("num_reservoir", 1.5, TypeError, "argument 'num_reservoir': "),
        ("num_reservoir", -1, OverflowError, None),
    ],
)
def test_assignment_refusals_leave_the_value(attribute, value, error, message):
    layer = LinearReservoir(HOUR, 0.5, 1.0, 2)
    before = getattr(layer, attribute)
    with pytest.raises(error) as info:
        setattr(layer, attribute, value)
    if message is not None:
        assert str(info.value).startswith(message)
    if error is OverflowError:
        assert not str(info.value).startswith("argument")
    assert getattr(layer, attribute) == before


@pytest.mark.parametrize("attribute", ["gw_fraction", "initial_q", "num_reservoir"])
def test_writable_attributes_cannot_be_deleted(attribute):
    layer = LinearReservoir(HOUR, 0.5, 1.0)
    assert (
        message_of(lambda: delattr(layer, attribute), AttributeError) == "property has no deleter"
    )


def test_k_duration_and_other_names_are_read_only():
    layer = LinearReservoir(HOUR, 0.5, 1.0)
    with pytest.raises(AttributeError):
        layer.k_duration = HOUR
    with pytest.raises(AttributeError):
        del layer.k_duration
    with pytest.raises(AttributeError):
        layer.other = 1


def test_conversion_running_python_code_on_the_same_object():
    # The value is converted before exclusive access is taken, so a
    # conversion that reads (or even writes) the object itself is fine.
    layer = LinearReservoir(HOUR, 0.5, 1.0)

    class Sneaky:
        def __float__(self):
            layer.initial_q = 4.0
            return layer.initial_q + layer.gw_fraction

    layer.initial_q = Sneaky()
    assert layer.initial_q == 4.5


def test_concurrent_reads_and_writes_never_corrupt():
    # Several threads write consistent pairs, read the attributes and run the
    # model on one shared layer. With the interpreter lock the accesses are
    # serialised; without it, an overlapping access may be refused with one
    # of the two access errors, but a read never sees a torn or foreign value.
    layer = LinearReservoir(HOUR * 10, 0.25, 1.0, 2)
    allowed_fractions = {0.25, 0.5, 0.125}
    allowed_q = {1.0, 2.0, 3.0}
    rain = Incremental([0.5] * 50, HOUR, "rainfall")
    errors = []
    allowed_errors = {"Already borrowed", "Already mutably borrowed"}

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(2000):
            try:
                layer.gw_fraction = rng.choice(sorted(allowed_fractions))
                layer.initial_q = rng.choice(sorted(allowed_q))
                layer.num_reservoir = rng.choice([1, 2, 3])
            except RuntimeError as error:
                if str(error) not in allowed_errors:
                    errors.append(error)

    def reader():
        for _ in range(2000):
            try:
                assert layer.gw_fraction in allowed_fractions
                assert layer.initial_q in allowed_q
                assert layer.num_reservoir in (1, 2, 3)
                assert layer.k_duration == HOUR * 10
                total, _ = run(10.0, rain, {"a": layer})
                assert len(total.data) == 50 and all(math.isfinite(v) for v in total.data)
            except RuntimeError as error:
                if str(error) not in allowed_errors:
                    errors.append(error)
            except AssertionError as error:
                errors.append(error)

    threads = [threading.Thread(target=writer, args=(s,)) for s in range(3)]
    threads += [threading.Thread(target=reader) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    layer.gw_fraction = 0.5  # every access was released
    assert layer.gw_fraction == 0.5


def test_repeated_calls_do_not_leak():
    layers = {
        "a": LinearReservoir(HOUR * 2, 0.5, 0.0),
        "b": LinearReservoir(HOUR * 4, 0.25, 1.0, 2),
    }
    bad_fraction = {"a": LinearReservoir(HOUR, 0.75, 0.0), "b": LinearReservoir(HOUR, 0.5, 0.0)}
    unstable = {"a": LinearReservoir(timedelta(minutes=20), 0.5, 0.0)}

    def work():
        total, per_layer = run(100.0, RAIN, layers)
        layer = LinearReservoir(HOUR, 0.5, 1.0, 3)
        read = (
            total.data,
            per_layer["b"].data,
            layer.gw_fraction,
            layer.k_duration,
            layer.num_reservoir,
        )
        layer.initial_q = 2.0
        assert read[-1] == 3
        for call in (
            lambda: run(1.0, RAIN, bad_fraction),
            lambda: run(1.0, RAIN, unstable),
            lambda: run(1.0, RAIN, {"x": 1}),
            lambda: run(1.0, RAIN, {1: layer}),
            lambda: LinearReservoir(HOUR, 2.0, 0.0),
            lambda: LinearReservoir(-HOUR, 0.5, 0.0),
            lambda: setattr(layer, "gw_fraction", "x"),
            lambda: delattr(layer, "initial_q"),
        ):
            try:
                call()
            except (ValueError, TypeError, AttributeError):
                pass

    # A leak grows with every round; unrelated collector activity left over from
    # earlier tests does not repeat, so the smaller of two probes is the measure.
    gc.collect()
    assert min(leaks(work), leaks(work)) < 100
