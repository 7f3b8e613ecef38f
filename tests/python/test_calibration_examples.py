"""The calibration and ensemble examples, in reduced form (small budgets, few samples).

They need the examples extra (`pip install ".[examples]"`). The ensemble example on
a cluster is tested beside the ensemble runner, on its cluster.
"""

import importlib.util
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXTRA = ("numpy", "pandas", "scipy", "distributed", "tqdm", "matplotlib", "spotpy")
PNG = b"\x89PNG\r\n\x1a\n"

pytestmark = pytest.mark.skipif(
    any(importlib.util.find_spec(name) is None for name in EXTRA),
    reason='needs the examples extra: pip install ".[examples]"',
)


def load(name, alias=None):
    """An example by path: examples/ is a folder of scripts, not a package."""
    source = importlib.util.spec_from_file_location(alias or name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(source)
    sys.modules[source.name] = module
    try:
        source.loader.exec_module(module)
    except BaseException:
        del sys.modules[source.name]
        raise
    return module


@pytest.fixture(scope="module")
def fulda():
    return load("fulda")


@pytest.fixture(scope="module")
def calibrate(fulda):
    return load("calibrate")


@pytest.fixture(scope="module")
def ensemble(fulda):
    return load("ensemble")


@pytest.fixture(scope="module")
def record(fulda):
    return fulda.load_record()


@pytest.fixture(scope="module")
def problem(fulda, record):
    return fulda.problem(record)


def test_record_is_read_by_date_and_spread_over_the_model_steps(fulda, record, problem):
    rainfall, flow = record.rainfall, record.flow
    assert len(rainfall) == len(flow) == 3653
    assert str(flow.index[0].date()) == "1979-01-01" and str(flow.index[-1].date()) == "1988-12-31"
    # First day of the file: 1 mm of rain, 143 m³/s.
    assert (rainfall.iloc[0], flow.iloc[0]) == (1.0, 143.0)
    steps = record.rainfall_at_step()
    assert (
        str(steps.index[0]) == "1979-01-01 03:00:00"
        and str(steps.index[7]) == "1979-01-02 00:00:00"
    )
    assert steps.iloc[:8].sum() == pytest.approx(1.0) and steps.sum() == pytest.approx(
        rainfall.sum()
    )
    # Scored from the first day after the one-year warm-up, to the last.
    assert (str(problem.dates[0].date()), len(problem.dates)) == ("1980-01-01", 3288)


def test_calibration_stops_at_the_budget_with_its_best_set(calibrate, problem):
    result = calibrate.calibrate(problem, budget=40, seed=3, progress=False)
    assert result.evaluations == 40 and not result.converged
    assert problem.loss(result.x) == result.value


def test_spotpy_calibration_keeps_to_the_budget_and_reports_its_best(problem):
    sceua = load("calibrate_spotpy")
    # Fewer evaluations than SCE-UA's first population: it would overrun them.
    result = sceua.calibrate_sceua(problem, budget=25, seed=2, progress=False)
    assert result.evaluations == 25 and not result.converged
    assert problem.loss(result.x) == result.value


@pytest.mark.parametrize(
    "script, budget, shown",
    [("calibrate", "1.5e1", "15 evaluations,"), ("calibrate_spotpy", "1", "1 evaluation,")],
)
def test_calibration_scripts_print_and_plot(calibrate, tmp_path, capsys, script, budget, shown):
    module = calibrate if script == "calibrate" else load(script)
    png = tmp_path / "fit.png"
    module.main(["--budget", budget, "--plot", str(png)])
    out = capsys.readouterr().out
    assert f"Calibrated parameters ({shown} the budget is spent)" in out
    assert "agrees with numpy's" in out
    assert png.read_bytes()[:8] == PNG


def test_ensemble_script_reports_the_sets_the_model_refuses(ensemble, capsys, monkeypatch):
    bounds = list(ensemble.SAMPLE_BOUNDS)
    k = [p.path for p in ensemble.fulda.PARAMETERS].index("fulda.baseflow.interflow.k_hours")
    bounds[k] = (0.5, 1.0)  # faster than half a step (1.5 hours): every set fails
    monkeypatch.setattr(ensemble, "SAMPLE_BOUNDS", bounds)
    ensemble.main(["--samples", "3", "--threads", "2"])
    out = capsys.readouterr().out
    assert "Failures: 3 of 3\n  sample 0: subbasin 'fulda': baseflow layer 'interflow'" in out
    assert "1 task of up to 3" not in out and "Best of the ensemble" not in out


@pytest.mark.parametrize(
    "name, missing", [("calibrate", "scipy.optimize"), ("ensemble", "dask.distributed")]
)
def test_a_missing_dependency_names_the_extra(fulda, name, missing, monkeypatch):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(SystemExit) as exit_info:
        load(name, alias=f"{name}_without_{missing.replace('.', '_')}")
    assert str(exit_info.value) == (f'{name}.py needs {missing}: pip install "tarnwick[examples]"')
