"""The calibration and ensemble examples, in reduced form (small budget, few samples).

They need the examples extra (`pip install ".[examples]"`); the cluster binds to
the loopback interface only.
"""

import importlib.util
import math
import socket
import sys
import time
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXTRA = ("numpy", "scipy", "distributed", "tqdm", "matplotlib", "spotpy")

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
def calibrate():
    return load("calibrate")


@pytest.fixture(scope="module")
def ensemble(calibrate):
    return load("ensemble")  # imports the calibrate module loaded above


@pytest.fixture(scope="module")
def record(calibrate):
    return calibrate.load_record()


@pytest.fixture(scope="module")
def client(ensemble):
    """One local cluster of two worker processes for the whole module."""
    from dask.distributed import Client

    with ensemble.local_cluster(2) as cluster, Client(cluster) as client:
        yield client


def test_record_is_converted_to_the_module_units(calibrate, record):
    assert len(record.rainfall) == len(record.observed) == 3653
    assert str(record.start) == "1979-01-01"
    # First day of the file: 1 mm of rain, 143 m³/s; area 2976.41 km².
    assert record.rainfall[0] == pytest.approx(1.0 / 25.4)
    assert record.observed[0] == pytest.approx(143.0 * 35.3146667)
    assert record.area == pytest.approx(735_487.6, abs=1.0)


def test_calibration_stops_at_the_budget_with_its_best_set(calibrate, record):
    result = calibrate.calibrate(record, budget=40, seed=3, progress=False)
    assert result.evaluations == 40 and not result.converged
    again = calibrate.objective(
        result.x, record.rainfall, record.observed, record.area, record.initial_baseflow
    )
    assert again == result.value
    simulated = calibrate.simulate(result.x, record.rainfall, record.area, record.initial_baseflow)
    scores = calibrate.kge_components(simulated[365:], record.observed[365:])
    assert scores.kge == pytest.approx(1.0 - result.value, abs=1e-12)


def test_calibrate_script_prints_and_plots(calibrate, tmp_path, capsys):
    png = tmp_path / "fit.png"
    calibrate.main(["--budget", "15", "--plot", str(png)])
    out = capsys.readouterr().out
    assert "Calibrated parameters (15 evaluations" in out
    assert "agrees with numpy's" in out
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_spotpy_calibration_keeps_to_the_budget_and_reports_its_best(calibrate, record, capsys):
    sceua = load("calibrate_spotpy")
    # Fewer evaluations than SCE-UA's first population: it would overrun them.
    result = sceua.calibrate_sceua(record, budget=25, seed=2, progress=False)
    assert result.evaluations == 25 and not result.converged
    again = calibrate.objective(
        result.x, record.rainfall, record.observed, record.area, record.initial_baseflow
    )
    assert again == result.value
    sceua.main(["--budget", "12"])
    out = capsys.readouterr().out
    assert "Calibrated parameters (12 evaluations, the budget is spent)" in out
    assert "agrees with numpy's" in out


def test_cluster_and_threads_match_a_serial_run_bit_for_bit(ensemble, record, client):
    samples = ensemble.latin_hypercube(30, seed=5)
    k = [p.name for p in ensemble.PARAMETERS].index("interflow_k")
    samples[[4, 11], k] = 1.0 / 48.0  # half an hour: too fast for a three-hour step
    serial = ensemble.run_serial(samples, record, chunk=4)
    failed = [i for i, error in enumerate(serial.errors) if error]
    # Exactly the sets whose layer is faster than half a step (90 minutes) fail.
    assert failed == [i for i, x in enumerate(samples) if x[k] * 24.0 < 1.5]
    assert {4, 11} <= set(failed)
    assert serial.errors[4].startswith("Stability Error: k_per_res (0.5000) < 0.5*dt (1.5000).")
    assert all(math.isfinite(v) for i, v in enumerate(serial.values) if i not in failed)
    # Chunks of 7 and 3 do not divide the 30 samples.
    assert ensemble.run_cluster(client, samples, record, chunk=7).same_as(serial)
    assert ensemble.run_threads(2, samples, record, chunk=3).same_as(serial)


def test_back_to_back_runs_on_one_cluster_keep_their_data(ensemble, record, client):
    # Each run scatters the same record; none may lose it to the previous run's
    # release ("lost dependencies").
    samples = ensemble.latin_hypercube(8, seed=1)
    serial = ensemble.run_serial(samples, record, chunk=4)
    for _ in range(6):
        assert ensemble.run_cluster(client, samples, record, chunk=4).same_as(serial)


@pytest.mark.parametrize("where", ["cluster", "threads"])
def test_a_failing_task_is_reported_and_the_rest_goes_on(ensemble, record, client, where):
    import numpy as np

    samples = ensemble.latin_hypercube(6, seed=2).astype(object)
    samples[2, 0] = None  # the whole task of samples 2 and 3 fails with a TypeError
    if where == "cluster":
        run = ensemble.run_cluster(client, samples, record, chunk=2)
    else:
        run = ensemble.run_threads(2, samples, record, chunk=2)
    assert [bool(error) for error in run.errors] == [False, False, True, True, False, False]
    assert "TypeError" in run.errors[3]
    assert np.isfinite(run.values[[0, 1, 4, 5]]).all()


def test_ensemble_script_on_an_existing_cluster(ensemble, client, capsys):
    ensemble.main(["--samples", "12", "--scheduler", client.scheduler.address])
    out = capsys.readouterr().out
    assert "Results bit-identical to the serial run: yes" in out
    assert "in 12 tasks of up to 1\n" in out  # two workers: at least four tasks each
    assert "Best of the ensemble" in out


def test_an_unreachable_scheduler_fails_within_the_timeout(ensemble):
    with socket.socket() as probe:  # a loopback port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        address = f"tcp://127.0.0.1:{probe.getsockname()[1]}"
    start = time.monotonic()
    with pytest.raises(SystemExit) as exit_info:
        ensemble.connect(address, timeout=1.0)
    assert time.monotonic() - start < 15.0
    assert str(exit_info.value).startswith(
        f"cannot reach the dask scheduler at {address} within 1 s"
    )
    assert "\n" not in str(exit_info.value)


def test_a_scheduler_without_workers_fails_within_the_timeout(ensemble):
    with ensemble.local_cluster(0) as empty:
        start = time.monotonic()
        with pytest.raises(SystemExit, match="has no workers"):
            ensemble.connect(empty.scheduler_address, timeout=1.0)
        assert time.monotonic() - start < 15.0


@pytest.mark.parametrize(
    "name, missing", [("calibrate", "scipy.optimize"), ("ensemble", "dask.distributed")]
)
def test_a_missing_dependency_names_the_extra(calibrate, name, missing, monkeypatch):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(SystemExit) as exit_info:
        load(name, alias=f"{name}_without_{missing.replace('.', '_')}")
    assert str(exit_info.value) == (f'{name}.py needs {missing}: pip install "tarnwick[examples]"')
