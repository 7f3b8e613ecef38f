"""Objectives of tarnwick_basin: series paired by date, warm-up, NaN pairs, steps."""

import math

import numpy as np
import pytest

import tarnwick

pd = pytest.importorskip("pandas")
from tarnwick_basin import objectives  # noqa: E402
from tarnwick_basin.objectives import kge, kge_log, means, nse  # noqa: E402


def daily(values, start="2001-03-01"):
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq="D"))


@pytest.fixture(scope="module")
def record():
    rng = np.random.default_rng(4)
    flow = 50.0 + 30.0 * np.sin(np.arange(60) / 4.0) + 5.0 * rng.random(60)
    return flow, 1.1 * flow + 3.0 * rng.random(60)


@pytest.mark.parametrize(
    "objective, reference",
    [
        (kge, lambda s, o: tarnwick.metrics.calculate_kge(s, o)),
        (kge_log, lambda s, o: tarnwick.metrics.calculate_kge(s, o, use_log=True)),
        (nse, lambda s, o: 1.0 - np.sum((s - o) ** 2) / np.sum((o - o.mean()) ** 2)),
    ],
)
def test_series_two_days_apart_are_compared_by_date(record, objective, reference):
    simulated, observed = record
    # The simulation starts two days later: its value i is observed value i + 2.
    score = objective(daily(simulated[2:], "2001-03-03"), daily(observed))
    assert score == reference(simulated[2:], observed[2:])
    assert (score.compared, score.dropped) == (58, 0)
    assert score != reference(simulated[2:], observed[:58])  # by position


def test_warm_up_skips_the_simulation_s_first_dates_and_nan_pairs_are_counted(record):
    simulated, observed = (values.copy() for values in record)
    simulated[20], observed[30], observed[31] = math.nan, math.nan, math.nan
    observed[4] = math.nan  # in the warm-up (simulated day 7): skipped, not counted
    # The record starts three days after the simulation: observed j is simulated j + 3.
    sim, obs = daily(simulated, "2001-03-01"), daily(observed, "2001-03-04")
    pairs = objectives.pair(sim, obs, warmup="10D")
    assert pairs.index[0] == pd.Timestamp("2001-03-11")  # the simulation's start + 10 days
    assert pairs.dropped == 3
    kept = np.array([i for i in range(10, 60) if i not in (20, 33, 34)])
    assert np.array_equal(pairs.simulated, simulated[kept])
    assert np.array_equal(pairs.observed, observed[kept - 3])
    score = kge(sim, obs, warmup=pd.Timedelta(days=10))
    assert (score.compared, score.dropped) == (len(kept), 3)
    assert score == tarnwick.metrics.calculate_kge(simulated[kept], observed[kept - 3])


@pytest.mark.parametrize(
    "simulated, observed, options, message",
    [
        (daily([1.0, 2, 3]), daily([1.0, 2, 3], "2001-03-02"), {"align": "exact"}, "at 2001-03-01"),
        (daily([1.0, 2]), daily([1.0, 2], "2002-01-01"), {}, "no date in common"),
        (daily([1.0, 2, 3]), daily([1.0, 2, 3]), {"warmup": "3D"}, "after the warm-up"),
        (daily([1.0, 2, 3]), daily([1.0, 2, 3]), {"warmup": "-1D"}, "zero or more"),
        (daily([1.0, math.nan]), daily([math.nan, 2.0]), {}, "every one of the 2 pairs"),
        (
            pd.Series([1.0, 2, 3], index=pd.date_range("2001-03-01", periods=3, freq="h")),
            daily([1.0, 2, 3]),
            {},
            "a step of 1:00:00, the observed one of 1 day, 0:00:00: compare",
        ),
        (daily([1.0, 2, 3]).iloc[[0, 1, 1]], daily([1.0, 2, 3]), {}, "2001-03-02 00:00:00 more"),
        (daily([1.0, 2, 3]).iloc[[1, 0, 2]], daily([1.0, 2, 3]), {}, "back in time at 2001-03-01"),
        (daily([1.0, 2]).tz_localize("UTC"), daily([1.0, 2]), {}, "time zone"),
    ],
)
def test_series_that_cannot_be_paired_by_date_are_refused(simulated, observed, options, message):
    with pytest.raises(ValueError, match=message):
        kge(simulated, observed, **options)


def test_a_series_without_dates_is_refused():
    with pytest.raises(TypeError, match="simulated series needs a DatetimeIndex"):
        nse(pd.Series([1.0, 2.0]), daily([1.0, 2.0]))


def test_means_of_hourly_flows_are_trapezoidal_daily_means_from_midnight():
    hours = pd.date_range("2001-03-01 18:00", periods=60, freq="h")
    flows = pd.Series(np.arange(60.0) ** 2, index=hours)
    daily_means = means(flows, "1D")
    # Whole days only: 2 March (hours 6 to 30) and 3 March (30 to 54).
    assert list(daily_means.index) == [pd.Timestamp("2001-03-02"), pd.Timestamp("2001-03-03")]
    for day, first in zip(daily_means, (6, 30), strict=True):
        points = np.arange(first, first + 25.0) ** 2
        assert day == pytest.approx((points[:-1].sum() + (points[-1] - points[0]) / 2) / 24)
    with pytest.raises(ValueError, match="not a whole number"):
        means(flows, "90min")
