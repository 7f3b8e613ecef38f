import math
import random
from datetime import timedelta

import pytest

import tarnwick

from conftest import HOUR, leaks, load_entry

loss_model = tarnwick.rainfall_loss
run = loss_model.run_deficit_and_constant
Rain = tarnwick.utils.IncrementalTimeSeries


def reference(rain, dt, initial, maximum, rate, dry_seconds):
    """Deficit-and-constant loss written out plainly (finite inputs)."""
    w = 1.0 - math.exp((dt / 3600.0) / (dry_seconds / -3600.0)) if dry_seconds > 0 else 0.0
    cap = rate * (dt / 3600.0)
    excess, loss, deficit = [], [], []
    d = initial
    for p in rain:
        d = d + w * max(maximum - d, 0.0)
        g = min(d, maximum)
        if p > 0.0:
            taken = min(p, cap)
            fill = min(p - taken, g)
            loss.append(taken + fill)
            excess.append((p - taken) - fill)
            d = g - fill
        else:
            loss.append(0.0)
            excess.append(0.0)
            d = g
        deficit.append(d)
    return excess, loss, deficit


def test_registration_and_result_class():
    assert loss_model.__all__ == ["DeficitConstantResult", "run_deficit_and_constant"]
    cls = loss_model.DeficitConstantResult
    assert cls.__doc__ == "Results from the deficit-and-constant rainfall loss model."
    assert cls.excess.__doc__.startswith("Excess rainfall that becomes surface runoff")
    assert run.__text_signature__ == (
        "(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)"
    )
    with pytest.raises(TypeError):
        cls()
    assert load_entry("init_loss").DeficitConstantResult is cls


def test_worked_example():
    rain = Rain([0.0, 0.5, 1.0, 0.0], HOUR, "volume")
    result = run(rain, 0.3, 1.0, 0.1, 10 * HOUR)
    assert result.excess.data == pytest.approx([0.0, 0.0, 0.780508, 0.0], abs=1e-6)
    assert result.loss.data == pytest.approx([0.0, 0.5, 0.219492, 0.0], abs=1e-6)
    assert result.deficit.data == pytest.approx([0.366614, 0.026888, 0.0, 0.095163], abs=1e-6)
    for series in (result.excess, result.loss, result.deficit):
        assert type(series) is Rain
        assert (series.kind, series.time_step) == ("rainfall", HOUR)
    first, second = result.excess, result.excess
    assert first is not second and first.data == second.data
    with pytest.raises(AttributeError):
        result.excess = first


@pytest.mark.parametrize(
    "step, params",
    [
        (HOUR, (0.3, 1.5, 0.08, 30 * HOUR)),
        (timedelta(minutes=5), (0.0, 0.4, 0.5, timedelta(hours=2, microseconds=7))),
        (HOUR, (2.0, 1.0, 0.1, timedelta(0))),
        (HOUR, (-0.2, 3.0, -0.1, 5 * HOUR)),
    ],
)
def test_random_storms_bit_for_bit_and_mass_balance(step, params):
    rng = random.Random(str(params))
    rain = [0.0 if rng.random() < 1 / 3 else rng.uniform(0, 0.8) for _ in range(500)]
    result = run(Rain(rain, step, "rainfall"), *params)
    got = (result.excess.data, result.loss.data, result.deficit.data)
    args = (step.total_seconds(), *params[:3], params[3].total_seconds())
    assert got == reference(rain, *args)
    for p, e, lost in zip(rain, got[0], got[1], strict=True):
        if p > 0:
            assert e + lost == pytest.approx(p, rel=1e-12, abs=1e-15)


def test_dry_nan_and_empty_rainfall():
    result = run(Rain([math.nan, -0.3], HOUR, "rainfall"), 0.3, 1.0, 0.1, 10 * HOUR)
    assert result.excess.data == [0.0, 0.0] and result.loss.data == [0.0, 0.0]
    empty = run(Rain([], timedelta(minutes=10), "rainfall"), 0.3, 1.0, 0.1, HOUR)
    assert [s.data for s in (empty.excess, empty.loss, empty.deficit)] == [[], [], []]
    assert empty.deficit.time_step == timedelta(minutes=10)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("R", 0.3, 1.0, 0.1, -HOUR), ValueError, "a negative timedelta cannot be converted"),
        (("R", 0.3, 1.0, 0.1, 36000), TypeError, "argument 'time_to_dry': 'int' object"),
        (("R", 0.3, 1.0, "0.1", HOUR), TypeError, "argument 'constant_loss_per_hr': "),
        (("C", 0.3, 1.0, 0.1, HOUR), TypeError, "argument 'rainfall': 'ContinuousTimeSeries'"),
    ],
)
def test_bad_arguments(args, error, message):
    swap = {
        "R": Rain([0.5], HOUR, "rainfall"),
        "C": tarnwick.utils.ContinuousTimeSeries([0.5], HOUR, "rainfall"),
    }
    args = tuple(swap.get(a, a) if isinstance(a, str) and len(a) == 1 else a for a in args)
    with pytest.raises(error) as info:
        run(*args)
    assert str(info.value).startswith(message)


def test_no_leaks():
    rain = Rain([0.1 * (i % 3) for i in range(60)], HOUR, "rainfall")
    result = run(rain, 0.3, 1.0, 0.1, HOUR)

    def negative():
        try:
            run(rain, 0.3, 1.0, 0.1, -HOUR)
        except ValueError:
            return
        raise AssertionError("no error")

    assert leaks(lambda: run(rain, 0.3, 1.0, 0.1, 10 * HOUR)) < 100
    assert leaks(lambda: result.deficit.data) < 100
    assert leaks(negative) < 100
