import math
import random
import warnings
from datetime import timedelta

import pytest

import tarnwick

from conftest import HOUR, leaks, load_entry, panics

route = tarnwick.reach.run_muskingum_routing
Series = tarnwick.utils.ContinuousTimeSeries
X_WARNING = "`x` is outside the recommended range [0.0, 0.5]."


def reference(inflow, dt, k, x, passes, initial):
    """Muskingum routing written out plainly."""
    k = k / passes
    two_k = k + k
    a, b = two_k * (1.0 - x), two_k * x
    d = dt + a
    c0, c1, c2 = (dt - b) / d, (dt + b) / d, (a - dt) / d
    flows = list(inflow)
    for _ in range(max(1, passes)):
        out = [initial if initial is not None else flows[0]]
        for i in range(1, len(flows)):
            out.append((c0 * flows[i] + c1 * flows[i - 1]) + c2 * out[-1])
        flows, initial = out, None
    return flows


def test_registration_and_docs():
    assert tarnwick.reach.__all__ == ["run_muskingum_routing"]
    assert route.__module__ == "reach"
    assert route.__text_signature__ == "(inflow, k, x, sub_reaches, initial_outflow)"
    assert route.__doc__.startswith("Routes an inflow hydrograph through a channel reach")
    assert load_entry("init_reach").run_muskingum_routing is not route


@pytest.mark.parametrize(
    "sub_reaches, expected",
    [(1, [0, 4.7619048, 45.351474, 23.755534]), (2, [0, 5.3254438, 27.309968, 41.315080])],
)
def test_worked_example(sub_reaches, expected):
    inflow = Series([0, 100, 0, 0], HOUR, "volume")
    result = route(inflow, 2 * HOUR, 0.2, sub_reaches, 0)
    assert result.data == pytest.approx(expected, abs=1e-6)
    assert result.data == reference([0, 100, 0, 0], 3600.0, 7200.0, 0.2, sub_reaches, 0.0)
    assert (result.kind, result.time_step) == ("discharge", HOUR)
    assert type(result) is Series
    assert inflow.data == [0, 100, 0, 0] and inflow.kind == "volume"


@pytest.mark.parametrize("sub_reaches", [1, 2, 3, 7])
def test_random_hydrographs_bit_for_bit(sub_reaches):
    rng = random.Random(sub_reaches)
    flows = [rng.uniform(0, 900) for _ in range(400)]
    step = timedelta(minutes=15)
    k = timedelta(hours=5, microseconds=250)
    result = route(Series(flows, step, "discharge"), k, 0.27, sub_reaches, 33.0)
    assert result.data == reference(flows, 900.0, k.total_seconds(), 0.27, sub_reaches, 33.0)
    assert result.data[0] == 33.0  # every pass starts from the initial outflow


@pytest.mark.parametrize("x", [0.0, -0.0, 0.5, 0.25])
def test_no_warning_within_range(x):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        route(Series([1, 2], HOUR, "discharge"), HOUR, x, 1, 1.0)


@pytest.mark.parametrize("x", [0.51, -0.1, math.nan])
def test_one_warning_outside_range(x):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = route(Series([1, 2, 3], HOUR, "discharge"), HOUR, x, 1, 1.0)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, X_WARNING)]
    assert result.data[0] == 1.0
    assert all(math.isnan(v) for v in result.data[1:]) == math.isnan(x)


def test_warning_filter_error_propagates_and_precedes_duration_check():
    inflow = Series([1, 2], HOUR, "discharge")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=r"recommended range"):
            route(inflow, -HOUR, 0.7, 1, 1.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="negative timedelta"):
            route(inflow, -HOUR, 0.7, 1, 1.0)
    assert len(caught) == 1


def test_empty_inflow_panics():
    with panics("index out of bounds: the len is 0 but the index is 0"):
        route(Series([], HOUR, "discharge"), HOUR, 0.2, 1, 0.0)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (
            ([1.0], HOUR, 0.2, 1, 0.0),
            TypeError,
            "argument 'inflow': 'list' object is not an instance",
        ),
        ((None, 3600, 0.2, 1, 0.0), TypeError, "argument 'inflow'"),
        (("S", 3600, 0.2, 1, 0.0), TypeError, "argument 'k': 'int' object is not an instance of"),
        (("S", HOUR, "0.2", 1, 0.0), TypeError, "argument 'x': "),
        (("S", HOUR, 0.2, 1.0, 0.0), TypeError, "argument 'sub_reaches': "),
        (("S", HOUR, 0.2, 2**63, 0.0), OverflowError, ""),
        (("S", HOUR, 0.2, 1, None), TypeError, "argument 'initial_outflow': "),
        (("S", -HOUR, 0.2, 1, 0.0), ValueError, "a negative timedelta cannot be converted"),
    ],
)
def test_bad_arguments(args, error, message):
    series = Series([1.0, 2.0], HOUR, "discharge")
    args = tuple(series if a == "S" else a for a in args)
    with pytest.raises(error) as info:
        route(*args)
    assert str(info.value).startswith(message)


def test_subclass_input_and_keywords():
    class Mine(Series):
        pass

    result = route(
        inflow=Mine([1, 2], HOUR, "elevation"), k=HOUR, x=0.1, sub_reaches=1, initial_outflow=1
    )
    assert type(result) is Series and result.kind == "discharge"


def test_no_leaks():
    inflow = Series([float(i) for i in range(50)], HOUR, "discharge")
    empty = Series([], HOUR, "discharge")

    def failing(*args):
        def call():
            try:
                route(*args)
            except BaseException:
                return
            raise AssertionError("no error")

        return call

    assert leaks(lambda: route(inflow, HOUR, 0.2, 3, 1.0)) < 100
    assert leaks(failing(empty, HOUR, 0.2, 1, 0.0)) < 100
    assert leaks(failing(inflow, -HOUR, 0.2, 1, 0.0)) < 100
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert leaks(failing(inflow, HOUR, 0.9, 1, 0.0)) < 100
