"""The examples' command lines, and the ensemble on a cluster whose workers die.

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
def fulda():
    return load("fulda")


@pytest.fixture(scope="module")
def calibrate(fulda):
    return load("calibrate")


@pytest.fixture(scope="module")
def calibrate_spotpy(calibrate):
    return load("calibrate_spotpy")


@pytest.fixture(scope="module")
def ensemble(fulda):
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
        ("calibrate", ["--budget", "1.5"], "--budget: 1.5 is not a whole number"),
        ("calibrate", ["--budget", "0e3"], "--budget: must be at least 1"),
        ("calibrate_spotpy", ["--budget", "ten"], "--budget: invalid positive value: 'ten'"),
        ("calibrate_spotpy", ["--plot", "missing/fit.png"], "does not exist"),
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


@pytest.mark.parametrize("script", ["calibrate", "calibrate_spotpy", "event_model"])
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


@pytest.mark.parametrize(
    "script, defaults", [("calibrate", 2), ("calibrate_spotpy", 2), ("ensemble", 5)]
)
def test_help_shows_every_option_with_its_text_and_default(request, script, defaults):
    module = request.getfixturevalue(script)
    parser = (
        module.make_parser() if script == "ensemble" else module.fulda.search_parser(module.__doc__)
    )
    assert all(action.help for action in parser._actions)
    assert parser.format_help().count("(default: ") == defaults


def test_more_workers_than_cores_are_warned_of(ensemble, capsys, monkeypatch):
    arguments = sys.modules["arguments"]
    monkeypatch.setattr(arguments, "cores", lambda: 2)
    arguments.warn_oversubscribed("worker process", 2, "worker processes")
    assert capsys.readouterr().err == ""
    arguments.warn_oversubscribed("worker process", 16, "worker processes")
    assert capsys.readouterr().err.startswith(
        "warning: 16 worker processes on 2 cores: they will take turns"
    )


def test_evaluations_lost_to_the_cluster_end_the_script_with_a_message(
    ensemble, capsys, monkeypatch
):
    from contextlib import nullcontext

    from tarnwick_basin.ensemble import LostEvaluations

    class Client(nullcontext):
        def scheduler_info(self):
            return {"workers": {"a": {}, "b": {}}}

    def loses_three(client, evaluate, samples, chunk, progress):
        run = ensemble.ensemble.run_serial(evaluate, samples)
        run.values[:3] = float("nan")
        lost = type(run)(run.values, run.errors, run.seconds, 3, "KilledWorker: gone")
        raise LostEvaluations(lost, 3)

    monkeypatch.setattr(ensemble.ensemble, "connect", lambda address, timeout: Client())
    monkeypatch.setattr(ensemble.ensemble, "run_cluster", loses_three)
    with pytest.raises(SystemExit) as exit_info:
        ensemble.main(["--samples", "12", "--scheduler", "tcp://127.0.0.1:8786"])
    assert str(exit_info.value) == (
        "3 of 12 evaluations were lost to the cluster (tasks resubmitted up to 3 times): "
        "KilledWorker: gone"
    )
    out = capsys.readouterr().out
    assert "Cluster at tcp://127.0.0.1:8786 (2 workers): 12 evaluations" in out
    assert "Failures: 0 of 12" in out


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


@pytest.mark.slow
def test_killed_workers_cost_time_not_results(ensemble, fulda, cli_cluster, tmp_path):
    import cloudpickle

    runner = ensemble.ensemble
    problem = fulda.problem(fulda.load_record())
    samples = runner.latin_hypercube(ensemble.SAMPLE_BOUNDS, 240, seed=7)
    serial = runner.run_serial(problem, samples)
    victims = sorted(cli_cluster.run(os.getpid).values())
    done = tmp_path / "done"
    done.mkdir()

    def slow_and_counted(x):
        # A tenth of a second more per task of four, so the run lasts past the kills.
        time.sleep(0.025)
        value = problem(x)
        (done / str(uuid.uuid4())).touch()
        return value

    finished = threading.Event()
    killed_while_running = []

    def kill_after_the_first_results():
        while not finished.is_set() and len(list(done.iterdir())) < 8:
            time.sleep(0.02)
        # Both worker processes, one after the other, so no copy of anything the
        # workers held survives; their nannies start new ones.
        for pid in victims:
            os.kill(pid, signal.SIGKILL)
        killed_while_running.append(not finished.is_set())

    killer = threading.Thread(target=kill_after_the_first_results)
    cloudpickle.register_pickle_by_value(fulda)  # the workers cannot import the examples
    with ThreadPoolExecutor(1) as pool:
        killer.start()
        try:
            run = pool.submit(runner.run_cluster, cli_cluster, slow_and_counted, samples, 4)
            run = run.result(timeout=120)  # a hang fails, and the cluster ends
        finally:
            finished.set()
            killer.join()
    assert killed_while_running == [True]
    assert run.lost == 0 and run.same_as(serial)
    cli_cluster.wait_for_workers(2, timeout=60)
    assert not set(cli_cluster.run(os.getpid).values()) & set(victims)
