"""The examples' command lines, and the ensemble on clusters whose workers die.

They need the examples extra (`pip install ".[examples]"`); every cluster binds to
the loopback interface only, on free ports.
"""

import importlib.util
import json
import os
import signal
import subprocess
import sys
import sysconfig
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from test_calibration_examples import EXTRA, load

pytestmark = pytest.mark.skipif(
    any(importlib.util.find_spec(name) is None for name in EXTRA),
    reason='needs the examples extra: pip install ".[examples]"',
)


@pytest.fixture(scope="module")
def calibrate():
    return load("calibrate")


@pytest.fixture(scope="module")
def ensemble(calibrate):
    return load("ensemble")


@pytest.fixture(scope="module")
def event_model():
    return load("event_model")


@pytest.mark.parametrize(
    "script, argv, message",
    [
        ("ensemble", ["--workers", "2", "--threads", "2"], "not allowed with argument"),
        ("ensemble", ["--timeout", "5"], "--timeout: applies to --scheduler only"),
        ("ensemble", ["--scheduler", "tcp://127.0.0.1:1", "--timeout", "nan"], "--timeout"),
        ("ensemble", ["--samples", str(10**12)], "would need about 1.8 PiB of memory"),
        ("ensemble", ["--seed", "-1"], "--seed: must be at least 0"),
        ("calibrate", ["--budget", "1", "--seed", "-1"], "--seed: must be at least 0"),
        ("calibrate", ["--budget", "1", "--plot", "missing/fit.png"], "does not exist"),
        ("calibrate", ["--budget", "1", "--plot", "fit.nonsense"], "must end in one of"),
    ],
)
def test_bad_arguments_are_refused_in_one_line_before_any_work(
    request, capsys, monkeypatch, tmp_path, script, argv, message
):
    module = request.getfixturevalue(script)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_info:
        module.main(argv)
    assert exit_info.value.code == 2
    out, err = capsys.readouterr()
    assert out == ""  # nothing loaded, started or run
    assert err.count("\n") == 1 and message in err


@pytest.mark.parametrize("script", ["calibrate", "event_model"])
def test_plot_without_matplotlib_is_refused_before_any_work(
    request, capsys, monkeypatch, tmp_path, script
):
    module = request.getfixturevalue(script)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setattr(sys, "argv", [script, "--plot", str(tmp_path / "fit.png")])
    with pytest.raises(SystemExit) as exit_info:
        module.main()
    assert exit_info.value.code == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and "--plot needs matplotlib" in err


def test_evaluations_lost_to_the_cluster_are_retried_then_reported(
    ensemble, calibrate, tmp_path, capsys
):
    """A task that kills its worker every time: the scheduler gives it up at once
    (no failures allowed), the ensemble resubmits it, then counts its samples lost."""
    import dask
    import numpy as np
    from dask.distributed import Client

    record = calibrate.load_record()
    samples = ensemble.latin_hypercube(12, seed=1)  # those of --samples 12
    doomed = samples[3].tolist()
    deaths = tmp_path / "deaths"
    evaluate = ensemble.evaluate_chunk

    def dies_on_the_doomed_row(rows, *args):
        from distributed import get_worker

        try:
            get_worker()
        except ValueError:  # in this process: evaluate
            return evaluate(rows, *args)
        if doomed in rows:
            with deaths.open("a") as file:
                file.write("x")
            os._exit(1)
        return evaluate(rows, *args)

    settings = {
        "distributed.scheduler.allowed-failures": 0,
        # One task at a time per worker: no other task dies with the doomed one.
        "distributed.scheduler.worker-saturation": 1.0,
    }
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(ensemble, "evaluate_chunk", dies_on_the_doomed_row)
        with (
            dask.config.set(settings),
            ensemble.local_cluster(1) as cluster,
            Client(cluster) as client,
        ):
            serial = ensemble.run_serial(samples, record, chunk=2)
            run = ensemble.run_cluster(client, samples, record, chunk=2, retries=1)
            assert deaths.read_text() == "xx"  # the first try and one retry
            assert run.lost == 2 and run.why.startswith("KilledWorker: ")
            assert run.errors == serial.errors
            kept = np.r_[0:2, 4:12]
            assert np.isnan(run.values[2:4]).all()
            assert np.array_equal(
                run.values[kept].view(np.uint64), serial.values[kept].view(np.uint64)
            )

            patch.setattr(ensemble, "LOST_RETRIES", 0)
            with pytest.raises(SystemExit) as exit_info:
                ensemble.main(
                    ["--samples", "12", "--chunk", "1", "--scheduler", cluster.scheduler_address]
                )
    message = str(exit_info.value)
    assert message.startswith(
        "1 of 12 evaluations were lost to the cluster (tasks resubmitted up to 0 times): "
        "KilledWorker: "
    )
    assert "\n" not in message
    assert "Failures: 0 of 12" in capsys.readouterr().out


@pytest.fixture
def cli_cluster(tmp_path):
    """A scheduler and two workers started with dask's command-line tools, as a
    user starts them, on loopback ports the system picks."""
    from dask.distributed import Client

    dask_cli = Path(sysconfig.get_path("scripts")) / "dask"
    if not dask_cli.exists():
        pytest.skip("dask's command-line tool is not installed beside this Python")
    address_file = tmp_path / "scheduler.json"
    log = (tmp_path / "cluster.log").open("w")
    processes = []

    def start(*argv):
        processes.append(
            subprocess.Popen(
                [str(dask_cli), *argv],
                cwd=tmp_path,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,  # a group of their own, to end them with their children
            )
        )

    try:
        start(
            "scheduler",
            *("--host", "127.0.0.1", "--port", "0", "--no-dashboard", "--idle-timeout", "300"),
            *("--scheduler-file", str(address_file)),
        )
        deadline = time.monotonic() + 60
        while not address_file.exists() or not address_file.read_text().strip():
            assert processes[0].poll() is None, "the scheduler ended"
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        address = json.loads(address_file.read_text())["address"]
        for _ in range(2):
            start(
                "worker", address, "--host", "127.0.0.1", "--no-dashboard", "--death-timeout", "60"
            )
        with Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            yield client
    finally:
        for process in processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
        for process in processes:
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        log.close()


def test_killed_workers_cost_time_not_results(ensemble, calibrate, cli_cluster, tmp_path):
    record = calibrate.load_record()
    samples = ensemble.latin_hypercube(240, seed=7)
    serial = ensemble.run_serial(samples, record, chunk=4)
    victims = sorted(cli_cluster.run(os.getpid).values())
    done = tmp_path / "done"
    done.mkdir()
    evaluate = ensemble.evaluate_chunk

    def slow_and_counted(rows, *args):
        # A tenth of a second more per task, so the run lasts past the kills.
        time.sleep(0.1)
        outcomes = evaluate(rows, *args)
        (done / str(uuid.uuid4())).touch()
        return outcomes

    finished = threading.Event()
    killed_while_running = []

    def kill_after_the_first_results():
        while not finished.is_set() and len(list(done.iterdir())) < 2:
            time.sleep(0.02)
        # Both worker processes, one after the other, so no copy of anything the
        # workers held survives; their nannies start new ones.
        for pid in victims:
            os.kill(pid, signal.SIGKILL)
        killed_while_running.append(not finished.is_set())

    killer = threading.Thread(target=kill_after_the_first_results)
    with pytest.MonkeyPatch.context() as patch, ThreadPoolExecutor(1) as runner:
        patch.setattr(ensemble, "evaluate_chunk", slow_and_counted)
        killer.start()
        try:
            run = runner.submit(ensemble.run_cluster, cli_cluster, samples, record, 4)
            run = run.result(timeout=120)  # a hang fails, and the cluster ends
        finally:
            finished.set()
            killer.join()
    assert killed_while_running == [True]
    assert run.lost == 0 and run.same_as(serial)
    cli_cluster.wait_for_workers(2, timeout=60)
    assert not set(cli_cluster.run(os.getpid).values()) & set(victims)
