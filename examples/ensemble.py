"""An ensemble of the calibration objective on a dask cluster.

Evaluates 1 - KGE of the runoff chain of `calibrate.py` (same record, same model)
for a Latin hypercube of parameter sets, first in this process, then as dask tasks:

- by default on a `LocalCluster` of `--workers` processes on this machine, bound
  to the loopback interface only, without a dashboard;
- with `--scheduler ADDRESS` on an existing cluster instead (for instance
  tcp://scheduler.example.org:8786), whose workers need tarnwick and numpy;
- with `--threads N` on a thread pool of this process, which runs in parallel on
  an interpreter without the global lock (the module does not need it).

Tasks carry plain data only (parameter rows as lists of floats, the record as
arrays, the area as a float) and build the module's objects inside the worker: the
module's objects are not picklable. Each task evaluates `--chunk` parameter sets;
by default enough that dask's cost per task (a few milliseconds of CPU) stays
under a tenth of the task, fewer for small ensembles so every worker gets several
tasks. A parameter set the module refuses (a baseflow layer too fast to route
stably, for one: the interflow constant is sampled down to one hour, below what a
three-hour step can route) is reported with the module's message and counted; the
rest of the ensemble goes on.

A worker that dies costs time, not results: the record reaches the workers as the
result of a task, which the scheduler runs again when the worker holding it dies,
and a task lost with its worker runs again elsewhere (the scheduler retries it,
then this script resubmits it up to three times). Evaluations still lost after
that are counted, and the script ends with a non-zero exit status and one line
saying how many were lost and why.

Run it as `python3 examples/ensemble.py [--samples N] [--chunk N] [--workers N |
--scheduler ADDRESS | --threads N]`; it needs the optional dependencies:
`pip install "tarnwick[examples]"`.
"""

from __future__ import annotations

import asyncio
import logging
import math
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import CancelledError, Future, ThreadPoolExecutor
from concurrent.futures import as_completed as threads_completed
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import Any

try:
    import cloudpickle
    import dask
    import numpy as np
    from dask.distributed import Client, KilledWorker, LocalCluster
    from dask.distributed import as_completed as dask_completed
    from scipy.stats import qmc
    from tqdm import tqdm
except ImportError as missing:
    raise SystemExit(
        f'{Path(__file__).name} needs {missing.name}: pip install "tarnwick[examples]"'
    ) from None

# The model and its record live in the calibration example beside this file.
sys.path.insert(0, str(Path(__file__).resolve().parent))
import calibrate  # noqa: E402
from arguments import ArgumentParser, duration, natural, positive  # noqa: E402
from calibrate import PARAMETERS, FloatArray, Record, Vector, load_record, objective  # noqa: E402

# The sampled ranges: those of the calibration, except that the interflow
# constant reaches down to one hour.
SAMPLE_BOUNDS = [
    (1.0 / 24.0, high) if p.name == "interflow_k" else (low, high)
    for p, (low, high) in zip(PARAMETERS, calibrate.BOUNDS, strict=True)
]
CONNECT_TIMEOUT = 10.0  # seconds
SHOWN_FAILURES = 10
DEFAULT_WORKERS = 2
# Resubmissions of a task the cluster lost, after the scheduler's own retries.
LOST_RETRIES = 3
# dask's cost per task in CPU seconds (client, scheduler and worker together):
# bench/bench_ensemble.py measures 4.5 ms on an idle machine and up to 8.5 ms on a
# busy one, where the workers' evaluations slow down about as much. Tasks are made
# ten times as long as this at least, measured in serial evaluation time.
TASK_OVERHEAD = 6e-3
# What the script holds per sample and per local worker process, to refuse sizes
# that cannot fit in memory (measured with generous margins).
BYTES_PER_SAMPLE = 2048
BYTES_PER_WORKER = 256 << 20

Outcome = tuple[float, str]  # (1 - KGE, "") or (nan, the error message)


def latin_hypercube(samples: int, seed: int) -> FloatArray:
    """`samples` parameter sets, one per row, spread over SAMPLE_BOUNDS."""
    sampler = qmc.LatinHypercube(d=len(PARAMETERS), rng=np.random.default_rng(seed))
    lows, highs = zip(*SAMPLE_BOUNDS, strict=True)
    rows: FloatArray = qmc.scale(sampler.random(samples), lows, highs)
    return rows


def evaluate_chunk(
    rows: list[list[float]],
    rainfall: FloatArray,
    observed: FloatArray,
    area: float,
    initial_baseflow: float,
) -> list[Outcome]:
    """The objective for each row; the module's refusals become messages."""
    outcomes: list[Outcome] = []
    for x in rows:
        try:
            outcomes.append((objective(x, rainfall, observed, area, initial_baseflow), ""))
        except ValueError as error:
            outcomes.append((math.nan, str(error)))
    return outcomes


@dataclass(frozen=True)
class Run:
    values: FloatArray  # 1 - KGE per sample, nan where the evaluation failed
    errors: list[str]  # the failure's message per sample, "" where it succeeded
    seconds: float  # wall clock
    lost: int = 0  # evaluations the cluster lost (values nan, errors "")
    why: str = ""  # the last loss's error, when some were lost

    @property
    def rate(self) -> float:
        return len(self.values) / self.seconds

    def same_as(self, other: Run) -> bool:
        """Bit for bit the same values and the same messages."""
        return self.errors == other.errors and np.array_equal(
            self.values.view(np.uint64), other.values.view(np.uint64)
        )


def chunks(samples: FloatArray, size: int) -> list[list[list[float]]]:
    return [samples[i : i + size].tolist() for i in range(0, len(samples), size)]


def run_serial(samples: FloatArray, record: Record, chunk: int) -> Run:
    """One evaluation after the other on one thread, the baseline of the others.

    That thread is not the main one, because the workers and the pool run their
    tasks on threads of their own, and glibc's allocator treats the main thread's
    heap differently: it hands memory at the top of that heap back to the system
    after large frees, and the chain's buffers of 29,000 steps then cost about
    two thirds more time on the main thread than on any other.
    """

    def evaluate_all() -> list[Outcome]:
        outcomes: list[Outcome] = []
        for rows in chunks(samples, chunk):
            outcomes += evaluate_chunk(
                rows, record.rainfall, record.observed, record.area, record.initial_baseflow
            )
        return outcomes

    with ThreadPoolExecutor(max_workers=1) as pool:
        start = time.perf_counter()
        outcomes = pool.submit(evaluate_all).result()
        seconds = time.perf_counter() - start
    return _run(outcomes, seconds)


def _run(outcomes: list[Outcome], seconds: float, lost: int = 0, why: str = "") -> Run:
    values = np.array([value for value, _ in outcomes], dtype=np.float64)
    return Run(values, [error for _, error in outcomes], seconds, lost, why)


def _collect(
    pending: dict[Any, int],
    completed: Iterable[Any],
    samples: FloatArray,
    chunk: int,
    progress: bool,
    retry: Callable[[int, Any, Exception], Any | None] = lambda first, future, error: None,
) -> tuple[list[Outcome], int, str]:
    """Outcomes in sample order from futures (of dask or of a thread pool) that map
    to the index of their first sample, with the count of evaluations lost and the
    last loss's error. A task that fails as a whole marks each of its samples with
    the task's error. `retry(first, future, error)` decides on a failed task: None
    for an error of the task itself, the future of its resubmission when the
    cluster lost it, or the future itself when it is lost for good."""
    outcomes: list[Outcome] = [(math.nan, "")] * len(samples)
    lost, why = 0, ""
    with tqdm(total=len(samples), disable=not progress, unit="eval") as bar:
        for future in completed:
            first = pending.pop(future)
            count = min(chunk, len(samples) - first)
            try:
                results: list[Outcome] = future.result()
            except Exception as error:  # raised in the task, or the task was lost
                again = retry(first, future, error)
                if again is None:
                    results = [(math.nan, f"the task failed: {error!r}")] * count
                elif again is future:
                    lost, why = lost + count, _one_line(error)
                    bar.update(count)
                    continue
                else:
                    pending[again] = first
                    continue
            outcomes[first : first + count] = results
            bar.update(count)
    return outcomes, lost, why


def _one_line(error: BaseException) -> str:
    text = f"{type(error).__name__}: {error}".strip()
    return text.splitlines()[0] if text else type(error).__name__


def lost_to_the_cluster(future: Any, error: Exception) -> bool:
    """Whether a task's error means the cluster lost it rather than the task failing:
    its worker died with it too often, or data it needed died with a worker."""
    return isinstance(error, (KilledWorker, CancelledError, asyncio.CancelledError)) or (
        future.status == "cancelled"
    )


def run_cluster(
    client: Client,
    samples: FloatArray,
    record: Record,
    chunk: int,
    progress: bool = False,
    retries: int | None = None,
) -> Run:
    """The ensemble as dask tasks of `chunk` samples each; a task the cluster
    loses is resubmitted up to `retries` times (LOST_RETRIES by default)."""
    limit = LOST_RETRIES if retries is None else retries
    # Functions of these modules travel to the workers by value, so the workers
    # need neither this file nor calibrate.py (when run as a script this module
    # is __main__, which travels by value anyway).
    cloudpickle.register_pickle_by_value(calibrate)
    if __name__ != "__main__":
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    start = time.perf_counter()
    # The record travels as the result of a task, not scattered: the scheduler
    # keeps the task and runs it again when the worker that holds its result dies,
    # whereas scattered data dies with the worker, and every task that needs it is
    # cancelled. Keys of their own (pure=False): a run that follows another must
    # not pick up data the scheduler is still releasing.
    data: dict[str, Any] = {}

    def record_future(name: str, values: FloatArray) -> Any:
        if name not in data or data[name].status in ("error", "cancelled"):
            # numpy's own function, which the scheduler and every worker can
            # import: a function of this file would have to travel by value.
            data[name] = client.submit(np.asarray, values, pure=False)
        return data[name]

    groups = chunks(samples, chunk)

    # The task is a local function: dask pickles a task graph by reference where
    # it can, and a scheduler started elsewhere cannot import this file; a local
    # function travels by value, and with it what it calls from the modules
    # registered above.
    def evaluate(*args: Any) -> list[Outcome]:
        return evaluate_chunk(*args)

    def submit(index: int) -> Any:
        return client.submit(
            evaluate,
            groups[index],
            record_future("rainfall", record.rainfall),
            record_future("observed", record.observed),
            record.area,
            record.initial_baseflow,
            pure=False,
        )

    tries: dict[int, int] = {}  # first sample of a task: resubmissions so far
    pending = {submit(index): index * chunk for index in range(len(groups))}
    completed = dask_completed(list(pending))

    def retry(first: int, future: Any, error: Exception) -> Any | None:
        if not lost_to_the_cluster(future, error):
            return None
        if tries.get(first, 0) >= limit:
            return future
        tries[first] = tries.get(first, 0) + 1
        again = submit(first // chunk)
        completed.add(again)
        return again

    outcomes, lost, why = _collect(pending, completed, samples, chunk, progress, retry)
    return _run(outcomes, time.perf_counter() - start, lost, why)


def run_threads(
    threads: int, samples: FloatArray, record: Record, chunk: int, progress: bool = False
) -> Run:
    """The same tasks on a pool of `threads` threads of this process."""
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=threads) as pool:
        pending: dict[Future[list[Outcome]], int] = {
            pool.submit(
                evaluate_chunk,
                rows,
                record.rainfall,
                record.observed,
                record.area,
                record.initial_baseflow,
            ): index * chunk
            for index, rows in enumerate(chunks(samples, chunk))
        }
        outcomes, _, _ = _collect(pending, threads_completed(pending), samples, chunk, progress)
    return _run(outcomes, time.perf_counter() - start)


def threads_note() -> str | None:
    """Why threads will not help here, or None where they run in parallel."""
    gil_enabled: Callable[[], bool] | None = getattr(sys, "_is_gil_enabled", None)
    if gil_enabled is None or gil_enabled():
        return "this interpreter has the global lock: threads will not run in parallel"
    return None


def connect(address: str, timeout: float = CONNECT_TIMEOUT) -> Client:
    """A client of the scheduler at `address` with at least one worker, or a
    one-line exit within `timeout` (twice it when a worker is still to come)."""
    try:
        client = Client(address, timeout=timeout)
    except ValueError as error:  # not an address
        raise SystemExit(f"cannot use the dask scheduler address {address}: {error}") from None
    except (OSError, TimeoutError, asyncio.TimeoutError) as error:
        raise SystemExit(
            f"cannot reach the dask scheduler at {address} within {timeout:g} s: {error}"
        ) from None
    try:
        client.wait_for_workers(1, timeout=timeout)
    except (TimeoutError, asyncio.TimeoutError):  # distinct types before Python 3.11
        client.close()
        raise SystemExit(
            f"the dask scheduler at {address} has no workers (waited {timeout:g} s)"
        ) from None
    return client


# Settings of the local cluster's workers: they skip the statistical profiler and
# check their event loop once a second rather than fifty times, which saves them a
# few per cent of a core. (Dask's allocator settings stay as they are: tarnwick
# reuses its buffers whatever they are.)
WORKER_CONFIG: dict[str, object] = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
}


def local_cluster(workers: int) -> LocalCluster:
    """Worker processes on this machine, listening on the loopback interface only."""
    with dask.config.set(WORKER_CONFIG):
        return LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            # Without a dashboard the scheduler still serves health checks over
            # HTTP; on a free loopback port, not on the dashboard's 8787.
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            silence_logs=logging.ERROR,
        )


def parameter_set(x: Vector) -> str:
    return ", ".join(f"{p.name}={v:.4g}" for p, v in zip(PARAMETERS, x, strict=True))


def summary(samples: FloatArray, serial: Run, parallel: Run, label: str) -> None:
    print(
        f"{label}: {len(samples)} evaluations in {parallel.seconds:.2f} s, "
        f"{parallel.rate:.0f} evaluations/s ({parallel.rate / serial.rate:.2f}x serial)"
    )
    print(f"Results bit-identical to the serial run: {'yes' if parallel.same_as(serial) else 'NO'}")
    failed = [i for i, error in enumerate(parallel.errors) if error]
    print(f"Failures: {len(failed)} of {len(samples)}")
    for i in failed[:SHOWN_FAILURES]:
        print(f"  sample {i} ({parameter_set(samples[i])}): {parallel.errors[i]}")
    if len(failed) > SHOWN_FAILURES:
        print(f"  ... and {len(failed) - SHOWN_FAILURES} more")
    values = np.where(np.isnan(parallel.values), np.inf, parallel.values)
    if np.isfinite(values).any():
        best = int(np.argmin(values))
        print(f"Best of the ensemble: sample {best}, KGE {1.0 - values[best]:.4f}")
        print("\n".join(calibrate.describe(samples[best])))


def default_chunk(samples: int, parallelism: int, seconds_per_evaluation: float) -> int:
    """Parameter sets per task: enough that dask's cost per task stays under a
    tenth of the task, fewer where that would leave a worker fewer than four tasks
    (which keep them all busy to the end)."""
    enough = math.ceil(10.0 * TASK_OVERHEAD / max(seconds_per_evaluation, 1e-9))
    return max(1, min(enough, samples // (4 * max(1, parallelism))))


def binary_size(count: float) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if count < 1024 or unit == "PiB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def physical_memory() -> int | None:
    """The machine's memory in bytes, where the system tells."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return None


def check_size(parser: ArgumentParser, samples: int, workers: int) -> None:
    """Refuses an ensemble (and local cluster) that cannot fit in this machine's memory."""
    needed = samples * BYTES_PER_SAMPLE + workers * BYTES_PER_WORKER
    available = physical_memory()
    if available is not None and needed > available:
        what = f"--samples {samples}" + (f" on {workers} local workers" if workers else "")
        parser.error(
            f"{what} would need about {binary_size(needed)} of memory; "
            f"this machine has {binary_size(available)}"
        )


def main(argv: Sequence[str] | None = None) -> None:
    doc = __doc__ or ""
    parser = ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--samples", type=positive, default=1000, metavar="N")
    parser.add_argument(
        "--chunk",
        type=positive,
        metavar="N",
        help="parameter sets per task (default: ten times dask's cost per task in "
        "evaluation time, at least four tasks per worker)",
    )
    parser.add_argument("--seed", type=natural, default=1, help="seed of the Latin hypercube")
    where = parser.add_mutually_exclusive_group()
    # No default here: argparse lets an option of a mutually exclusive group
    # through when its value equals the default, so --workers 2 --threads 2 would
    # pass. The default applies below.
    where.add_argument(
        "--workers",
        type=positive,
        metavar="N",
        help=f"local worker processes (default: {DEFAULT_WORKERS})",
    )
    where.add_argument("--scheduler", metavar="ADDRESS", help="use an existing dask cluster")
    where.add_argument("--threads", type=positive, metavar="N", help="use a thread pool")
    parser.add_argument(
        "--timeout",
        type=duration,
        metavar="SECONDS",
        help=f"connect timeout for --scheduler (default: {CONNECT_TIMEOUT:g})",
    )
    args = parser.parse_args(argv)
    if args.timeout is not None and not args.scheduler:
        parser.error("argument --timeout: applies to --scheduler only")
    if args.scheduler is None and args.threads is None and args.workers is None:
        args.workers = DEFAULT_WORKERS
    check_size(parser, args.samples, args.workers or 0)

    record = load_record()
    samples = latin_hypercube(args.samples, args.seed)
    with ExitStack() as stack:
        # The pool or cluster first, so that an unreachable scheduler is reported
        # before any work is done.
        client = None
        if args.threads:
            label, parallelism = f"{args.threads} threads", args.threads
            note = threads_note()
            if note:
                print(f"Note: {note}")
        elif args.scheduler:
            client = stack.enter_context(connect(args.scheduler, args.timeout or CONNECT_TIMEOUT))
            parallelism = len(client.scheduler_info()["workers"])
            label = f"Cluster at {args.scheduler} ({parallelism} workers)"
        else:
            start = time.perf_counter()
            cluster = stack.enter_context(local_cluster(args.workers))
            client = stack.enter_context(Client(cluster))
            label, parallelism = f"Cluster of {args.workers} workers", args.workers
            print(
                f"Local cluster of {args.workers} worker processes on 127.0.0.1 "
                f"started in {time.perf_counter() - start:.1f} s"
            )

        evaluate_chunk(
            samples[:1].tolist(),
            record.rainfall,
            record.observed,
            record.area,
            record.initial_baseflow,
        )  # warm-up, untimed
        serial = run_serial(samples, record, args.samples)
        print(
            f"Serial: {args.samples} evaluations in {serial.seconds:.2f} s, "
            f"{serial.rate:.0f} evaluations/s"
        )
        chunk = args.chunk or default_chunk(args.samples, parallelism, 1.0 / serial.rate)
        print(
            f"{calibrate.CATCHMENT}: {args.samples} Latin hypercube samples of "
            f"{len(PARAMETERS)} parameters in {math.ceil(args.samples / chunk)} tasks "
            f"of up to {chunk}"
        )
        if client is None:
            parallel = run_threads(args.threads, samples, record, chunk, progress=True)
        else:
            parallel = run_cluster(client, samples, record, chunk, progress=True)
    summary(samples, serial, parallel, label)
    if parallel.lost:
        raise SystemExit(
            f"{parallel.lost} of {args.samples} evaluations were lost to the cluster "
            f"(tasks resubmitted up to {LOST_RETRIES} times): {parallel.why}"
        )


if __name__ == "__main__":
    main()
