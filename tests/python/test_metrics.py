"""The Kling-Gupta efficiency: calculate_kge."""

import array
import gc
import math
import sys
import types

import numpy as np
import pytest

import tarnwick

from conftest import leaks, message_of

kge = tarnwick.metrics.calculate_kge


def numpy_kge(sim, obs):
    """The efficiency from numpy's own statistics (population deviations)."""
    sim, obs = np.asarray(sim), np.asarray(obs)
    r = np.corrcoef(sim, obs)[0, 1]
    beta, gamma = sim.mean() / obs.mean(), sim.std() / obs.std()
    return 1 - math.sqrt((r - 1) ** 2 + (beta - 1) ** 2 + (gamma - 1) ** 2)


@pytest.mark.parametrize(
    "sim, obs, use_log, expected",
    [
        ([1, 2, 3], [1, 2, 3], False, 1.0),
        ([2, 3, 4], [1, 2, 3], False, 0.5),
        ([2, 4, 6], [1, 2, 3], False, 1 - math.sqrt(2)),
        ([3, 2, 1], [1, 2, 3], False, -1.0),
        ([5, 5, 5], [5, 5, 5], False, 1 - math.sqrt(2)),
        ([5], [5], False, 1 - math.sqrt(2)),
        ([0, 0, 0], [0, 0, 0], False, 1 - math.sqrt(3)),
        ([1, 2, 3], [1, 2, 3], True, 1.0),
        ([0, 0], [0, 0], True, 1 - math.sqrt(2)),
    ],
)
def test_worked_examples(sim, obs, use_log, expected):
    assert kge(sim, obs, use_log) == pytest.approx(expected, abs=1e-12)


def test_agrees_with_numpy_statistics():
    rng = np.random.default_rng(3)
    obs = rng.gamma(2.0, 10.0, 1000)
    sim = obs * rng.uniform(0.7, 1.3, obs.size) + rng.uniform(0, 2, obs.size)
    assert kge(sim, obs) == pytest.approx(numpy_kge(sim, obs), abs=1e-12)
    assert kge(sim, obs, True) == pytest.approx(
        numpy_kge(np.log(sim + 1e-6), np.log(obs + 1e-6)), abs=1e-12
    )


@pytest.mark.parametrize(
    "make",
    [list, tuple, np.array, lambda v: array.array("d", v), lambda v: np.array(v)[::-1][::-1]],
)
def test_identical_non_constant_series_score_one(make):
    values = [0.3, 7.1, 2.2, 0.0, 15.5, 3.25, 3.25, 9.0]
    assert kge(make(values), make(values)) == pytest.approx(1.0, abs=1e-15)
    assert kge(make(values), make(values), use_log=True) == pytest.approx(1.0, abs=1e-15)


def test_numpy_arrays_and_lists_agree():
    rng = np.random.default_rng(5)
    obs = rng.gamma(2.0, 3.0, 10_000)
    sim = obs + rng.normal(0, 1, obs.size)
    assert kge(sim, obs) == kge(sim.tolist(), obs.tolist())
    assert kge(sim[::2], obs[::2]) == kge(sim.tolist()[::2], obs.tolist()[::2])


def test_non_finite_values_give_numbers_not_errors():
    assert math.isnan(kge([1, 2, 3], [1, -2, 3], use_log=True))
    assert math.isnan(kge([1, math.nan, 3], [1, 2, 3]))
    assert math.isnan(kge([1, 2, 3], [1, math.inf, 3]))
    # Exactly -eps transforms to -inf, whose deviation from the mean is NaN.
    assert math.isnan(kge([-1e-6, 1.0], [1.0, 2.0], True))


@pytest.mark.parametrize(
    "sim, obs, message",
    [
        ([], [], "Observed series is empty."),
        ([1.0], [], "Observed series is empty."),
        ([], [1.0], "Series length mismatch."),
        ([1.0, 2.0], [1.0], "Series length mismatch."),
    ],
)
def test_checks_in_order(sim, obs, message):
    assert message_of(lambda: kge(sim, obs), ValueError) == message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"use_log": 1}, "argument 'use_log': 'int' object is not an instance of 'bool'"),
        ({"use_log": None}, "argument 'use_log': 'None' is not an instance of 'bool'"),
        ({"use_log": "yes"}, "argument 'use_log': 'str' object is not an instance of 'bool'"),
        ({"obs": "123"}, "argument 'obs': Can't extract `str` to `Vec`"),
    ],
)
def test_argument_refusals(kwargs, message):
    args = {"sim": [1.0, 2.0, 3.0], "obs": [1.0, 2.0, 3.0], **kwargs}
    assert message_of(lambda: kge(**args)) == message


def test_numpy_flag_is_accepted():
    assert kge([1, 2, 3], [1, 2, 4], np.True_) == kge([1, 2, 3], [1, 2, 4], True)
    assert kge([1, 2, 3], [1, 2, 4], np.False_) == kge([1, 2, 3], [1, 2, 4])


def test_repeated_calls_do_not_leak():
    sim, obs = [1.0, 2.5, 3.0, 0.5], [1.5, 2.0, 2.5, 1.0]
    arr_sim, arr_obs = np.array(sim), np.array(obs)

    def work():
        kge(sim, obs)
        kge(arr_sim, arr_obs, True)
        for bad in ((sim, []), (sim, obs[:2]), (sim, obs, 1), ({}, obs)):
            try:
                kge(*bad)
            except (ValueError, TypeError):
                pass

    # A leak grows with every round; unrelated collector activity left over from
    # earlier tests does not repeat, so the smaller of two probes is the measure.
    gc.collect()
    assert min(leaks(work), leaks(work)) < 100


class _Writer:
    """An item whose float conversion first overwrites `target` in place."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __float__(self):
        self.target[:] = 0.0
        return self.value


class bool_:  # noqa: N801 - named and placed like numpy's boolean scalar
    __module__ = "numpy"

    def __init__(self, target):
        self.target = target

    def __bool__(self):
        self.target[:] = 0.0
        return False


class _Probed:
    """A module in sys.modules whose attributes are looked up by running
    Python code that first overwrites `target` in place."""

    def __init__(self, target):
        self.target = target

    def __getattr__(self, name):
        self.target[:] = 0.0
        raise AttributeError(name)


def _frame_look_alike(sim, obs, monkeypatch):
    # A "pandas" Series whose values are found by running Python code.
    def values(self):
        sim[:] = 0.0
        return np.array(obs)

    series = type("Series", (), {"values": property(values)})
    monkeypatch.setitem(sys.modules, "pandas", types.SimpleNamespace(Series=series))
    return series()


def _type_probe(sim, obs, monkeypatch):
    # A sequence whose type is named like array.array: telling the two apart
    # looks up the class of the loaded "array" module.
    impostor = type("array.array", (), {"__len__": lambda self: 4, "__getitem__": obs.__getitem__})
    monkeypatch.setitem(sys.modules, "array", _Probed(sim))
    return impostor()


@pytest.mark.parametrize("late", ["obs item", "use_log", "frame values", "type probe"])
def test_arrays_read_in_place_hold_their_values_from_the_call(late, monkeypatch):
    # An array read in place must give what a copy taken at its turn would:
    # Python code run by a later argument's conversion cannot change it.
    obs = [1.0, 2.0, 4.0, 3.0]
    sim = np.array([1.5, 2.0, 3.5, 3.0])
    expected = kge(sim.copy(), obs)
    if late == "obs item":
        got = kge(sim, [*obs[:3], _Writer(sim, obs[3])])
    elif late == "use_log":
        got = kge(sim, np.array(obs), bool_(sim))
    elif late == "frame values":
        got = kge(sim, _frame_look_alike(sim, obs, monkeypatch))
    else:
        got = kge(sim, _type_probe(sim, obs, monkeypatch))
    assert got == expected
    assert not sim.any()


def test_buffers_read_in_place_are_released():
    # An exported buffer cannot be resized: every path must release it.
    sim, obs = array.array("d", [1.0, 2.0, 3.0]), array.array("d", [1.0, 2.5, 3.0])
    kge(sim, obs)
    kge(sim, obs, True)
    kge(sim, [1.0, 2.5, 3.0])
    for bad in ((sim, obs[:2]), (sim, obs, 1), (sim, "abc"), (obs, array.array("d"))):
        with pytest.raises((ValueError, TypeError)):
            kge(*bad)
    sim.append(4.0)
    obs.append(4.0)
