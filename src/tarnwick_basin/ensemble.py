"""Many parameter sets evaluated at once: on threads, on a local cluster or on a dask cluster.

The evaluation is any picklable callable from a parameter vector to a number (a
calibration `Problem`, for one). Samples travel in tasks of `chunk` rows each. A
parameter set the evaluation refuses with `ValueError` (the module's stability
check, say) is recorded with its message and the rest goes on; a task that fails as
a whole marks each of its rows with the task's error.

On a cluster, a worker that dies costs time, not results: the evaluation reaches the
workers as the result of a task, which the scheduler runs again when the worker
holding it dies, and a task lost with its worker is resubmitted up to `retries`
times after the scheduler's own retries. Evaluations still lost after that raise
`LostEvaluations`, which carries the partial run.

dask, cloudpickle, scipy and tqdm are imported only by the functions that need them.
"""

from __future__ import annotations

import asyncio
import logging
import math
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import CancelledError, Future, ThreadPoolExecutor
from concurrent.futures import as_completed as threads_completed
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
Evaluation = Callable[[Sequence[float]], float]
Outcome = tuple[float, str]  # (value, "") or (nan, the error message)

LOST_RETRIES = 3
CONNECT_TIMEOUT = 10.0  # seconds
# dask's cost per task in CPU seconds (client, scheduler and worker together):
# bench/bench_ensemble.py measures 4.5 ms on an idle machine and up to 8.5 ms on a
# busy one. Tasks are made ten times as long as this at least.
TASK_OVERHEAD = 6e-3
# Settings of the local cluster's workers: they skip the statistical profiler and
# check their event loop once a second rather than fifty times.
WORKER_CONFIG: dict[str, object] = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
}


class ClusterError(RuntimeError):
    """A cluster that cannot be reached or has no workers (a one-line message)."""


@dataclass(frozen=True)
class Run:
    """The outcome of an ensemble, in sample order."""

    values: FloatArray  # one value per sample, NaN where it failed or was lost
    errors: list[str]  # the failure's message per sample, "" where none
    seconds: float  # wall clock
    lost: int = 0  # evaluations the cluster lost (values NaN, errors "")
    why: str = ""  # the last loss's error, when some were lost

    @property
    def rate(self) -> float:
        """Evaluations per second."""
        return len(self.values) / self.seconds if self.seconds > 0 else math.inf

    @property
    def failed(self) -> list[int]:
        """The samples whose evaluation failed."""
        return [i for i, error in enumerate(self.errors) if error]

    def same_as(self, other: Run) -> bool:
        """Bit for bit the same values and the same messages."""
        return self.errors == other.errors and np.array_equal(
            self.values.view(np.uint64), other.values.view(np.uint64)
        )


class LostEvaluations(RuntimeError):
    """Evaluations lost to the cluster after every retry; `run` holds the rest."""

    def __init__(self, run: Run, retries: int) -> None:
        super().__init__(
            f"{run.lost} of {len(run.values)} evaluations were lost to the cluster "
            f"(tasks resubmitted up to {retries} times): {run.why}"
        )
        self.run = run


def latin_hypercube(
    bounds: Sequence[tuple[float, float]], samples: int, seed: int | None = None
) -> FloatArray:
    """`samples` parameter vectors, one per row, spread over `bounds` (needs scipy)."""
    from scipy.stats import qmc

    sampler = qmc.LatinHypercube(d=len(bounds), rng=np.random.default_rng(seed))
    lows, highs = zip(*bounds, strict=True)
    rows: FloatArray = qmc.scale(sampler.random(samples), lows, highs)
    return rows


def evaluate_chunk(evaluate: Evaluation, rows: Sequence[Sequence[float]]) -> list[Outcome]:
    """`evaluate` on each row; a `ValueError` becomes that row's message."""
    outcomes: list[Outcome] = []
    for x in rows:
        try:
            outcomes.append((float(evaluate(x)), ""))
        except ValueError as error:
            outcomes.append((math.nan, str(error)))
    return outcomes


def chunks(samples: FloatArray, size: int) -> list[list[list[float]]]:
    """The samples as plain lists of rows, `size` rows a task."""
    if size < 1:
        raise ValueError(f"a task holds at least one sample, not {size}")
    return [samples[i : i + size].tolist() for i in range(0, len(samples), size)]


def default_chunk(samples: int, parallelism: int, seconds_per_evaluation: float) -> int:
    """Parameter sets per task: enough that dask's cost per task stays under a tenth
    of the task, fewer where a worker would get fewer than four tasks."""
    enough = math.ceil(10.0 * TASK_OVERHEAD / max(seconds_per_evaluation, 1e-9))
    return max(1, min(enough, samples // (4 * max(1, parallelism))))


def _run(outcomes: list[Outcome], seconds: float, lost: int = 0, why: str = "") -> Run:
    values = np.array([value for value, _ in outcomes], dtype=np.float64)
    return Run(values, [error for _, error in outcomes], seconds, lost, why)


def _bar(total: int, progress: bool) -> Any:
    """A tqdm progress bar, or a stand-in when none is wanted or tqdm is missing."""
    if progress:
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            return tqdm(total=total, unit="eval")
    return nullcontext(_NoBar())


class _NoBar:
    def update(self, count: int) -> None:
        pass


Retry = Callable[[int, Any, BaseException], Any]


def _collect(
    pending: dict[Any, int],
    completed: Iterable[Any],
    total: int,
    chunk: int,
    progress: bool,
    retry: Retry | None = None,
) -> tuple[list[Outcome], int, str]:
    """Outcomes in sample order from futures (of dask or of a thread pool) that map
    to the index of their first sample, with the count of evaluations lost and the
    last loss's error. `retry(first, future, error)` decides on a failed task: None
    for an error of the task itself, the future of its resubmission when the
    cluster lost it, or the future itself when it is lost for good."""
    outcomes: list[Outcome] = [(math.nan, "")] * total
    lost, why = 0, ""
    with _bar(total, progress) as bar:
        for future in completed:
            first = pending.pop(future)
            count = min(chunk, total - first)
            try:
                results: list[Outcome] = future.result()
            except Exception as error:  # raised in the task, or the task was lost
                again = None if retry is None else retry(first, future, error)
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


def run_serial(evaluate: Evaluation, samples: FloatArray, chunk: int | None = None) -> Run:
    """One evaluation after the other, the baseline of the others.

    On a thread of its own, not the main one: the pool and the workers run their
    tasks on threads of their own, and glibc's allocator hands memory at the top of
    the main thread's heap back to the system after large frees, which makes the
    model's buffers cost more there than on any other thread.
    """
    rows = chunks(samples, chunk or max(1, len(samples)))

    def evaluate_all() -> list[Outcome]:
        outcomes: list[Outcome] = []
        for group in rows:
            outcomes += evaluate_chunk(evaluate, group)
        return outcomes

    with ThreadPoolExecutor(max_workers=1) as pool:
        start = time.perf_counter()
        outcomes = pool.submit(evaluate_all).result()
        seconds = time.perf_counter() - start
    return _run(outcomes, seconds)


def run_threads(
    evaluate: Evaluation,
    samples: FloatArray,
    threads: int,
    chunk: int = 1,
    progress: bool = False,
) -> Run:
    """The ensemble on a pool of `threads` threads of this process.

    They run in parallel on an interpreter without the global lock only (see
    `threads_note`); the evaluation must then be safe to share between threads.
    """
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=threads) as pool:
        pending: dict[Future[list[Outcome]], int] = {
            pool.submit(evaluate_chunk, evaluate, rows): index * chunk
            for index, rows in enumerate(chunks(samples, chunk))
        }
        outcomes, _, _ = _collect(
            pending, threads_completed(pending), len(samples), chunk, progress
        )
    return _run(outcomes, time.perf_counter() - start)


def threads_note() -> str | None:
    """Why threads will not run in parallel here, or None where they do."""
    gil_enabled: Callable[[], bool] | None = getattr(sys, "_is_gil_enabled", None)
    if gil_enabled is None or gil_enabled():
        return "this interpreter has the global lock: threads will take turns, not run in parallel"
    return None


def lost_to_the_cluster(future: Any, error: BaseException) -> bool:
    """Whether a task's error means the cluster lost it rather than the task failing:
    its worker died with it too often, or data it needed died with a worker."""
    from dask.distributed import KilledWorker

    return isinstance(error, (KilledWorker, CancelledError, asyncio.CancelledError)) or (
        future.status == "cancelled"
    )


class _Client(Protocol):
    def submit(self, function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any: ...


def run_cluster(
    client: _Client,
    evaluate: Evaluation,
    samples: FloatArray,
    chunk: int = 1,
    progress: bool = False,
    retries: int = LOST_RETRIES,
    lost_ok: bool = False,
) -> Run:
    """The ensemble as dask tasks of `chunk` samples each on the cluster of `client`.

    A task the cluster loses is resubmitted up to `retries` times. Evaluations lost
    for good raise `LostEvaluations` (with the partial run), unless `lost_ok`, where
    the run counts them in `Run.lost`.
    """
    import cloudpickle
    from dask.distributed import as_completed

    start = time.perf_counter()
    # The evaluation travels as the result of a task, not scattered: the scheduler
    # keeps the task and runs it again when the worker that holds its result dies,
    # whereas scattered data dies with the worker, and every task that needs it is
    # cancelled. Pickled by value here (closures too) and unpickled by cloudpickle,
    # which every worker can import. A key of its own (pure=False): a run that
    # follows another must not pick up data the scheduler is still releasing.
    packed = cloudpickle.dumps(evaluate)
    shared: list[Any] = []

    def evaluation() -> Any:
        if not shared or shared[0].status in ("error", "cancelled"):
            shared[:] = [client.submit(cloudpickle.loads, packed, pure=False)]
        return shared[0]

    groups = chunks(samples, chunk)

    # The task is `evaluate_chunk` as a local function, which travels by value: dask
    # pickles a function of a module by reference, and a scheduler started
    # elsewhere need not be able to import this package.
    def task(evaluate: Evaluation, rows: list[list[float]]) -> list[Outcome]:
        outcomes: list[Outcome] = []
        for x in rows:
            try:
                outcomes.append((float(evaluate(x)), ""))
            except ValueError as error:
                outcomes.append((float("nan"), str(error)))
        return outcomes

    def submit(index: int) -> Any:
        return client.submit(task, evaluation(), groups[index], pure=False)

    tries: dict[int, int] = {}  # first sample of a task: resubmissions so far
    pending = {submit(index): index * chunk for index in range(len(groups))}
    completed = as_completed(list(pending))

    def retry(first: int, future: Any, error: BaseException) -> Any:
        if not lost_to_the_cluster(future, error):
            return None
        if tries.get(first, 0) >= retries:
            return future
        tries[first] = tries.get(first, 0) + 1
        again = submit(first // chunk)
        completed.add(again)
        return again

    outcomes, lost, why = _collect(pending, completed, len(samples), chunk, progress, retry)
    run = _run(outcomes, time.perf_counter() - start, lost, why)
    if lost and not lost_ok:
        raise LostEvaluations(run, retries)
    return run


def connect(address: str, timeout: float = CONNECT_TIMEOUT) -> Any:
    """A dask client of the scheduler at `address` with at least one worker.

    Raises `ClusterError` with a one-line message within `timeout` seconds (twice
    it when a worker is still to come).
    """
    from dask.distributed import Client

    try:
        client = Client(address, timeout=timeout)
    except ValueError as error:  # not an address
        raise ClusterError(f"cannot use the dask scheduler address {address}: {error}") from None
    except (OSError, TimeoutError, asyncio.TimeoutError) as error:
        raise ClusterError(
            f"cannot reach the dask scheduler at {address} within {timeout:g} s: {error}"
        ) from None
    try:
        client.wait_for_workers(1, timeout=timeout)
    except (TimeoutError, asyncio.TimeoutError):  # distinct types before Python 3.11
        client.close()
        raise ClusterError(
            f"the dask scheduler at {address} has no workers (waited {timeout:g} s)"
        ) from None
    return client


@contextmanager
def local_cluster(workers: int) -> Iterator[Any]:
    """A dask client of `workers` worker processes on this machine, one thread each,
    listening on the loopback interface only, without a dashboard."""
    import dask
    from dask.distributed import Client, LocalCluster

    with dask.config.set(WORKER_CONFIG):
        cluster = LocalCluster(
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
    with cluster, Client(cluster) as client:
        yield client
