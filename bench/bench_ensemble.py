"""Benchmark of the calibration objective: serial against dask clusters of 2 workers.

The objective is that of examples/calibrate.py (the calibration problem of the
basin model of examples/fulda.py: loss, Clark unit hydrograph and two baseflow
layers at a three-hour step over ten years, then the KGE), evaluated for a Latin
hypercube of parameter sets with tarnwick_basin's ensemble runner, as in
examples/ensemble.py. Run from the
repository root with the package and its examples extra installed:

    python3 -m pip install ".[examples]"
    python3 bench/bench_ensemble.py [--quick]

Two clusters: the example's LocalCluster (scheduler and nannies in this process,
one thread per worker), and one started the way users start one, with dask's
command-line tools and their default settings (`dask scheduler`, then two
`dask worker ADDRESS`), bound to the loopback interface.

It prints, for the serial run (on the main thread and on one worker thread, the
baseline of the cluster: see tarnwick_basin.ensemble.run_serial) and for each
cluster at several task sizes (parameter sets per task), the example's default
size among them: wall time, evaluations per second, the speed-up over serial, the
CPU time of this process and of the cluster's processes (the workers; for the
command-line cluster also its scheduler and nannies), and the overhead per task
twice: from wall time, (workers x wall - serial wall) / tasks, which only means
something on an idle machine, and from CPU time, (CPU here + CPU of the cluster -
serial CPU) / tasks, which holds up better on a busy one, also as a share of the
task's own serial CPU time. The last column is the
speed-up the CPU times allow at best on an idle machine with one core per worker:
workers x serial CPU / (CPU here + CPU of the cluster), as the client, scheduler
and nannies share the cores with the workers. Each figure is the median of
several rounds; compare figures within one run.

Below each cluster's table, a straight line fitted to the total CPU time (here and
in the cluster) against the number of tasks separates dask's cost per task (the
slope) from the evaluations' own cost on the cluster (the intercept, which the
workers pay at their own speed), and gives that cost per task as a share of a
task of the default size: the example sizes its tasks to keep it under 10%.
"""

import argparse
import contextlib
import importlib.util
import json
import os
import signal
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
WORKERS = 2


def load_example(name):
    source = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(source)
    sys.modules[name] = module
    source.loader.exec_module(module)
    return module


@contextlib.contextmanager
def command_line_cluster(workers):
    """`dask scheduler` and `workers` x `dask worker`, default settings but for the
    loopback interface and no dashboards; yields the address and the processes."""
    dask_cli = Path(sysconfig.get_path("scripts")) / "dask"
    processes = []
    with tempfile.TemporaryDirectory() as folder:
        address_file = Path(folder) / "scheduler.json"

        def start(*argv):
            processes.append(
                subprocess.Popen(
                    [str(dask_cli), *argv],
                    cwd=folder,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                    start_new_session=True,
                )
            )

        try:
            start(
                "scheduler",
                *("--host", "127.0.0.1", "--port", "0", "--no-dashboard"),
                *("--scheduler-file", str(address_file)),
            )
            deadline = time.monotonic() + 60
            while not address_file.exists() or not address_file.read_text().strip():
                if processes[0].poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the dask scheduler did not start")
                time.sleep(0.1)
            address = json.loads(address_file.read_text())["address"]
            for _ in range(workers):
                start("worker", address, "--host", "127.0.0.1", "--no-dashboard")
            yield address, processes
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


def tree_cpu(processes):
    """CPU seconds of processes and their children (psutil comes with distributed)."""
    import psutil

    total = 0.0
    for process in processes:
        with contextlib.suppress(psutil.NoSuchProcess):
            root = psutil.Process(process.pid)
            for each in [root, *root.children(recursive=True)]:
                with contextlib.suppress(psutil.NoSuchProcess):
                    times = each.cpu_times()
                    total += times.user + times.system
    return total


def median_run(rounds, run):
    """Medians of (wall seconds, CPU seconds of this process, extra) over rounds."""
    walls, cpus, extras, result = [], [], [], None
    for _ in range(rounds):
        cpu = time.process_time()
        result, extra = run()
        cpus.append(time.process_time() - cpu)
        walls.append(result.seconds)
        extras.append(extra)
    return statistics.median(walls), statistics.median(cpus), statistics.median(extras), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer samples, sizes and rounds")
    parser.add_argument(
        "--samples",
        type=int,
        default=None,
        metavar="N",
        help="parameter sets per run (default 1024; an ensemble of several seconds shows the"
        " speed-up a long run gets, 1024 mostly dask's fixed cost per run)",
    )
    args = parser.parse_args()
    samples_count, rounds, sizes = (
        (128, 1, (1, 16)) if args.quick else (1024, 3, (1, 4, 16, 32, 64))
    )
    if args.samples is not None:
        if args.samples < 1:
            parser.error("--samples must be at least 1")
        samples_count = args.samples
        # Sizes that would make thousands of tiny tasks only measure dask.
        sizes = tuple(size for size in sizes if samples_count <= 2048 * size)

    import cloudpickle
    from dask.distributed import Client

    from tarnwick_basin import ensemble

    fulda = load_example("fulda")
    bounds = load_example("ensemble").SAMPLE_BOUNDS
    cloudpickle.register_pickle_by_value(fulda)  # for workers that cannot import it
    problem = fulda.problem(fulda.load_record())
    samples = ensemble.latin_hypercube(bounds, samples_count, seed=11)
    ensemble.run_serial(problem, samples[:4])  # warm-up

    def main_thread():
        # One evaluation after the other on this (the main) thread.
        start = time.perf_counter()
        outcomes = ensemble.evaluate_chunk(problem, samples.tolist())
        return ensemble._run(outcomes, time.perf_counter() - start), 0.0

    print(f"{samples_count} evaluations of the calibration objective, medians of {rounds} rounds")
    print(
        f"{'':<28}{'wall s':>8}{'eval/s':>9}{'speed-up':>10}{'CPU here':>10}{'CPU cluster':>13}"
        f"{'overhead/task: wall':>21}{'CPU':>9}{'share':>8}{'idle ceiling':>14}"
    )
    wall, cpu, _, _ = median_run(rounds, main_thread)
    print(f"{'serial, main thread':<28}{wall:8.2f}{samples_count / wall:9.0f}{'':>10}{cpu:10.2f}")
    serial_wall, serial_cpu, _, serial = median_run(
        rounds, lambda: (ensemble.run_serial(problem, samples), 0.0)
    )
    print(
        f"{'serial, one worker thread':<28}{serial_wall:8.2f}"
        f"{samples_count / serial_wall:9.0f}{'1.00x':>10}{serial_cpu:10.2f}"
    )

    per_evaluation = serial_cpu / samples_count
    default = ensemble.default_chunk(samples_count, WORKERS, per_evaluation)
    sizes = sorted({*sizes, default})

    def cluster_rows(client, cluster_cpu):
        ensemble.run_cluster(client, problem, samples[:8], 1)  # workers import and warm up
        counts, totals = [], []
        for size in sizes:

            def clustered(size=size):
                before = cluster_cpu()
                run = ensemble.run_cluster(client, problem, samples, size)
                return run, cluster_cpu() - before

            wall, cpu, workers_cpu, run = median_run(rounds, clustered)
            assert run.same_as(serial), "the cluster's results differ from the serial run's"
            tasks = -(-samples_count // size)
            wall_overhead = (WORKERS * wall - serial_wall) / tasks
            cpu_overhead = (cpu + workers_cpu - serial_cpu) / tasks
            share = cpu_overhead / (size * per_evaluation)
            counts.append(tasks)
            totals.append(cpu + workers_cpu)
            label = f"{size} per task" + (" (default)" if size == default else "")
            print(
                f"{label:<28}{wall:8.2f}{samples_count / wall:9.0f}"
                f"{serial_wall / wall:9.2f}x{cpu:10.2f}{workers_cpu:13.2f}"
                f"{wall_overhead * 1e3:18.2f} ms{cpu_overhead * 1e3:6.2f} ms{share:8.0%}"
                f"{WORKERS * serial_cpu / (cpu + workers_cpu):13.2f}x"
            )
        if len(set(counts)) > 1:
            per_task, evaluations = statistics.linear_regression(counts, totals)
            cluster_evaluation = evaluations / samples_count
            task = default * cluster_evaluation
            print(
                f"  fit: dask's cost {per_task * 1e3:.2f} ms CPU per task; an evaluation "
                f"{cluster_evaluation * 1e3:.3f} ms on the cluster ({per_evaluation * 1e3:.3f} ms "
                f"serial); {per_task / task:.0%} of a task of {default}"
            )

    start = time.perf_counter()
    with ensemble.local_cluster(WORKERS) as client:
        print(
            f"LocalCluster of {WORKERS} worker processes, one thread each "
            f"(started in {time.perf_counter() - start:.1f} s)"
        )
        cluster_rows(client, lambda: sum(client.run(time.process_time).values()))

    if not (Path(sysconfig.get_path("scripts")) / "dask").exists():
        print("(no dask command-line tool beside this Python: no command-line cluster)")
        return
    start = time.perf_counter()
    with command_line_cluster(WORKERS) as (address, processes), Client(address) as client:
        client.wait_for_workers(WORKERS, timeout=120)
        threads = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values())
        print(
            f"dask scheduler and {WORKERS} x dask worker from the command line, default "
            f"settings, {threads} threads (started in {time.perf_counter() - start:.1f} s)"
        )
        cluster_rows(client, lambda: tree_cpu(processes))


if __name__ == "__main__":
    main()
