"""The calibration problem of tarnwick_basin: parameter paths, date alignment, warm-up,
NaN values, and the three ways it is used (scipy, spotpy, pickled for a cluster)."""

import math
import pickle

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from tarnwick_basin import Basin, Reach, Subbasin, run_basin  # noqa: E402
from tarnwick_basin.calibration import Budget, BudgetSpent, Parameter, Problem  # noqa: E402
from tarnwick_basin.objectives import kge, means, nse  # noqa: E402

HOUR = pd.Timedelta(hours=1)
TRUTH = {"hill.tc_hours": 6.0, "hill.storage_hours": 3.0, "river.k_hours": 2.0}
RANGES = [
    Parameter("river.k_hours", 1.0, 5.0),  # not in the basin's order: mapped by path
    Parameter("hill.tc_hours", 3.0, 12.0),
    Parameter("hill.storage_hours", 1.0, 6.0),
]


@pytest.fixture(scope="module")
def basin():
    hill = Subbasin("hill", "river", 20.0, 5.0, 30.0, 0.5, 48.0, 4.0, 2.0)
    return Basin((hill, Reach("river", None, 3.0, 0.2)))


@pytest.fixture(scope="module")
def rain():
    """Twelve days of hourly rain (mm), each amount labelled by the end of its hour."""
    hours = np.arange(12 * 24)
    depth = np.where((hours % 70) < 8, 4.0 + (hours % 5), 0.0)
    return pd.Series(depth, index=pd.date_range("2020-05-01 01:00", periods=len(hours), freq="h"))


@pytest.fixture(scope="module")
def truth(basin, rain):
    """The outlet's hourly flows with the true values: the run starts at midnight."""
    flows = run_basin(basin.with_values(TRUTH), {"hill": rain}).flows["river"]
    assert flows.index[0] == pd.Timestamp("2020-05-01 01:00")
    return flows


def vector(values):
    return [values[p.path] for p in RANGES]


def test_a_vector_sets_the_paths_and_scores_hourly_points_by_date(basin, rain, truth):
    observed = 1.1 * truth[truth.index <= "2020-05-10"]  # the record ends before the run
    problem = Problem(basin, {"hill": rain}, observed, RANGES, warmup="2D", objective=nse)
    assert problem.names == [p.path for p in RANGES] and problem.bounds[0] == (1.0, 5.0)
    x = vector({"river.k_hours": 4.0, "hill.tc_hours": 8.0, "hill.storage_hours": 2.5})
    assert problem.values(x) == {
        "river.k_hours": 4.0,
        "hill.tc_hours": 8.0,
        "hill.storage_hours": 2.5,
    }
    by_hand = run_basin(basin.with_values(problem.values(x)), {"hill": rain}).flows["river"]
    # The warm-up counts from the start of the run, midnight, one step before the first flow.
    assert problem.dates[0] == pd.Timestamp("2020-05-03 00:00")
    assert problem.dates[-1] == pd.Timestamp("2020-05-10 00:00")
    expected = by_hand[problem.dates]
    assert np.array_equal(problem.simulate(x).to_numpy(), expected.to_numpy())
    assert problem.score(x) == nse(expected, observed)
    assert problem.loss(x) == 1.0 - problem.score(x)


def test_daily_means_with_gaps_are_compared_over_their_own_day(basin, rain, truth):
    daily = means(truth, "1D")  # 2 May to 12 May: 1 May lacks its midnight
    observed = daily.copy()
    observed["2020-05-06"] = math.nan
    observed = observed.drop(pd.Timestamp("2020-05-08"))  # a day missing from the record
    observed[pd.Timestamp("2020-05-13")] = 9.0  # a day the rain record does not cover
    problem = Problem(basin, {"hill": rain}, observed, RANGES, warmup=pd.Timedelta(days=3))
    x = vector(TRUTH)
    assert list(problem.dates.strftime("%d")) == ["04", "05", "07", "09", "10", "11", "12"]
    assert problem.dropped == 1
    assert np.array_equal(problem.simulate(x).to_numpy(), daily[problem.dates].to_numpy())
    assert problem.loss(x) == pytest.approx(0.0, abs=1e-12)
    assert problem.loss(vector({**TRUTH, "hill.tc_hours": 11.0})) > 1e-3
    other = vector({**TRUTH, "river.k_hours": 4.5})
    # The daily means start on 2 May: two days on, the problem's warm-up ends too.
    assert problem.score(other) == kge(problem.simulate(other), observed)
    assert problem.score(other) == kge(means(problem.flows(other), "1D"), observed, warmup="2D")


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda o: o.set_axis(o.index + pd.Timedelta(minutes=30)), "falls between the simulation"),
        (
            lambda o: pd.Series(1.0, pd.date_range(o.index[0], periods=20, freq="90min")),
            "not a whole number of the simulation",
        ),
        (lambda o: o.set_axis(o.index + pd.Timedelta(days=400)), "no observed value to compare"),
        (lambda o: o * math.nan, "no observed value to compare"),
        (lambda o: o.where(o.index != o.index[30], math.inf), "infinite value at 2020-05-02 07:00"),
    ],
)
def test_observed_records_that_do_not_fit_the_simulation_are_refused(
    basin, rain, truth, change, message
):
    with pytest.raises(ValueError, match=message):
        Problem(basin, {"hill": rain}, change(truth), RANGES)


@pytest.mark.parametrize(
    "ranges, error, message",
    [
        ([Parameter("hill.tc", 1.0, 2.0)], KeyError, "'hill.tc'"),
        ([Parameter("hill.tc_hours", 1.0, 2.0)] * 2, ValueError, "more than once"),
        ([Parameter("hill.storage_hours", -2.0, 0.0)], ValueError, "storage_hours"),
        ([], ValueError, "at least one parameter"),
        (RANGES, KeyError, "no element 'lake'"),
    ],
)
def test_parameters_that_do_not_map_onto_the_basin_are_refused_when_made(
    basin, rain, truth, ranges, error, message
):
    with pytest.raises(error, match=message):
        Problem(basin, {"hill": rain}, truth, ranges, element="lake" if ranges is RANGES else None)


def test_a_derived_parameter_is_resolved_before_the_basin_sees_it(basin, rain, truth):
    def derive(named):
        values = dict(named)
        values["hill.storage_hours"] = values.pop("hill.ratio") * values["hill.tc_hours"]
        return values

    ranges = [Parameter("hill.tc_hours", 3.0, 12.0), Parameter("hill.ratio", 0.1, 0.9)]
    problem = Problem(basin, {"hill": rain}, truth, ranges, derive=derive)
    assert problem.values([6.0, 0.5]) == {"hill.tc_hours": 6.0, "hill.storage_hours": 3.0}
    assert problem.basin_for([6.0, 0.5])["hill"].storage_hours == 3.0


@pytest.fixture(scope="module")
def problem(basin, rain, truth):
    return Problem(basin, {"hill": rain}, truth, RANGES, warmup="1D")


def test_the_dry_padding_after_the_record_is_not_compared(problem, rain, truth):
    assert truth.index[-1] > rain.index[-1]  # the run goes on after the rain record
    assert problem.dates[-1] == rain.index[-1]


def test_the_problem_pickles_and_scores_the_same_elsewhere(problem):
    x = vector({"river.k_hours": 1.5, "hill.tc_hours": 4.0, "hill.storage_hours": 5.0})
    copy = pickle.loads(pickle.dumps(problem))
    assert copy.loss(x) == problem.loss(x) and copy.prepared is not problem.prepared


def test_a_budget_stops_differential_evolution_and_keeps_its_best(problem):
    optimize = pytest.importorskip("scipy.optimize")
    seen = []
    budget = Budget(problem, 12, lambda spent: seen.append(spent.count))
    with pytest.raises(BudgetSpent):
        optimize.differential_evolution(budget, problem.bounds, maxiter=100, rng=3)
    assert budget.count == 12 and seen == list(range(1, 13))
    assert budget.best == problem.loss(budget.best_x)
    assert all(
        low <= v <= high for v, (low, high) in zip(budget.best_x, problem.bounds, strict=True)
    )


def test_the_problem_is_a_spotpy_setup(problem):
    spotpy = pytest.importorskip("spotpy")
    drawn = problem.parameters()
    assert list(drawn["name"]) == problem.names
    assert list(zip(drawn["minbound"], drawn["maxbound"], strict=True)) == problem.bounds
    x = vector(TRUTH)
    simulated = problem.simulation(np.array(x))
    assert problem.objectivefunction(simulated, problem.evaluation()) == problem.loss(x)
    budget = Budget(problem, 8)
    sampler = spotpy.algorithms.mc(budget, dbformat="ram", save_sim=False, random_state=1)
    sampler.sample(8)
    assert budget.count == 8 and budget.best == problem.loss(budget.best_x)
    with pytest.raises(BudgetSpent):
        budget.simulation(x)
