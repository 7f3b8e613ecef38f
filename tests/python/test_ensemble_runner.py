"""The ensemble runner of tarnwick_basin: serial, threads and a dask cluster agree;
refused sets are recorded; lost tasks are resubmitted, then reported. And the
ensemble example on the same cluster."""

import math
import os
import socket
import time

import numpy as np
import pytest

pytest.importorskip("distributed")
pytest.importorskip("scipy")
from tarnwick_basin import ensemble  # noqa: E402


def refusing(limit):
    """An evaluation (a closure, so it travels by value) that refuses x[0] > limit."""

    def evaluate(x):
        if x[0] > limit:
            raise ValueError(f"x[0] = {x[0]:.3f} is over {limit}")
        return math.fsum(math.sin(v) / (1.0 + v) for v in x)

    return evaluate


@pytest.fixture(scope="module")
def samples():
    return ensemble.latin_hypercube([(0.0, 1.0), (2.0, 5.0), (-1.0, 1.0)], 30, seed=5)


def test_threads_and_a_cluster_match_a_serial_run_bit_for_bit(samples, dask_client):
    evaluate = refusing(0.8)
    serial = ensemble.run_serial(evaluate, samples, chunk=4)
    assert serial.failed == [i for i, x in enumerate(samples) if x[0] > 0.8] != []
    first = serial.failed[0]
    assert serial.errors[first] == f"x[0] = {samples[first, 0]:.3f} is over 0.8"
    assert np.isnan(serial.values[serial.failed]).all()
    assert np.isfinite(np.delete(serial.values, serial.failed)).all()
    # Chunks of 7 and 3 do not divide the 30 samples.
    assert ensemble.run_cluster(dask_client, evaluate, samples, chunk=7).same_as(serial)
    assert ensemble.run_threads(evaluate, samples, threads=2, chunk=3).same_as(serial)
    # Back to back on one cluster, no run may pick up data of the one before.
    for _ in range(3):
        assert ensemble.run_cluster(dask_client, evaluate, samples[:8], chunk=4).same_as(
            ensemble.run_serial(evaluate, samples[:8])
        )


@pytest.mark.parametrize("where", ["cluster", "threads"])
def test_a_failing_task_marks_its_samples_and_the_rest_goes_on(samples, dask_client, where):
    rows = samples[:6].astype(object)
    rows[2, 0] = None  # the task of samples 2 and 3 fails as a whole, with a TypeError
    evaluate = refusing(2.0)
    if where == "cluster":
        run = ensemble.run_cluster(dask_client, evaluate, rows, chunk=2)
    else:
        run = ensemble.run_threads(evaluate, rows, threads=2, chunk=2)
    assert run.failed == [2, 3] and run.errors[3].startswith("the task failed: TypeError")
    assert np.isfinite(run.values[[0, 1, 4, 5]]).all()


def test_lost_evaluations_are_resubmitted_then_raised(samples, dask_client, tmp_path):
    """A row that kills its worker every time: the scheduler gives the task up at
    once, the runner resubmits it, then reports its samples lost."""
    deaths = tmp_path / "deaths"
    doomed = samples[3].tolist()
    evaluate = refusing(2.0)

    def dies_on_the_doomed_row(x):
        if list(x) == doomed:
            with deaths.open("a") as file:
                file.write("x")
            os._exit(1)
        return evaluate(x)

    serial = ensemble.run_serial(evaluate, samples[:12])
    with pytest.raises(ensemble.LostEvaluations) as lost:
        ensemble.run_cluster(dask_client, dies_on_the_doomed_row, samples[:12], chunk=2, retries=1)
    assert deaths.read_text() == "xx"  # the first try and one resubmission
    message = str(lost.value)
    assert message.startswith(
        "2 of 12 evaluations were lost to the cluster (tasks resubmitted up to 1 times): "
        "KilledWorker: "
    )
    assert "\n" not in message
    run = lost.value.run
    assert run.lost == 2 and run.errors == serial.errors
    assert np.isnan(run.values[2:4]).all()
    kept = np.r_[0:2, 4:12]
    assert np.array_equal(run.values[kept].view(np.uint64), serial.values[kept].view(np.uint64))
    dask_client.wait_for_workers(2, timeout=60)


def test_an_unreachable_scheduler_fails_within_the_timeout():
    with socket.socket() as probe:  # a loopback port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        address = f"tcp://127.0.0.1:{probe.getsockname()[1]}"
    start = time.monotonic()
    with pytest.raises(ensemble.ClusterError) as error:
        ensemble.connect(address, timeout=0.25)
    assert time.monotonic() - start < 15.0
    assert str(error.value).startswith(
        f"cannot reach the dask scheduler at {address} within 0.25 s"
    )
    assert "\n" not in str(error.value)


def test_a_scheduler_without_workers_fails_within_the_timeout():
    with ensemble.local_cluster(0) as empty:
        start = time.monotonic()
        with pytest.raises(ensemble.ClusterError, match="has no workers"):
            ensemble.connect(empty.scheduler.address, timeout=0.25)
        assert time.monotonic() - start < 15.0


def test_ensemble_example_on_an_existing_cluster(dask_client, capsys):
    pytest.importorskip("spotpy")  # the example's record ships with it
    from test_calibration_examples import load

    load("fulda")
    example = load("ensemble")
    example.main(["--samples", "12", "--scheduler", dask_client.scheduler.address])
    out = capsys.readouterr().out
    assert "Results bit-identical to the serial run: yes" in out
    assert "in 12 tasks of up to 1\n" in out  # two workers: at least four tasks each
    assert "Best of the ensemble" in out
