"""An ensemble of the calibration objective on a dask cluster or on threads.

Evaluates 1 - KGE of the basin model of `fulda.py` (the record and model of
`calibrate.py`) for a Latin hypercube of parameter sets, first in this process,
then with the ensemble runner of `tarnwick_basin.ensemble`:

- by default on a local cluster of `--workers` processes on this machine, bound
  to the loopback interface only, without a dashboard;
- with `--scheduler ADDRESS` on an existing cluster instead (for instance
  tcp://scheduler.example.org:8786), whose workers need tarnwick and numpy;
- with `--threads N` on a thread pool of this process, which runs in parallel on
  an interpreter without the global lock (the module does not need it).

The calibration problem travels to the workers pickled, and each worker prepares
its own copy of the model's inputs. A parameter set the model refuses (a baseflow
layer too fast to route stably, for one: the interflow constant is sampled down
to one hour, below what a three-hour step can route) is reported with its message
and counted; the rest of the ensemble goes on. A worker that dies costs time, not
results: its tasks run again elsewhere (the scheduler retries them, then the
runner resubmits them up to three times). Evaluations still lost after that are
counted, and the script ends with a non-zero exit status and one line saying how
many were lost and why.

Run it as `python3 examples/ensemble.py [--samples N] [--chunk N] [--workers N |
--scheduler ADDRESS | --threads N]`; it needs the optional dependencies:
`pip install "tarnwick[examples]"`.
"""

from __future__ import annotations

import math
import os
import sys
import time
from collections.abc import Sequence
from contextlib import ExitStack
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fulda  # noqa: E402
from arguments import (  # noqa: E402
    EXTRA,
    ArgumentParser,
    cores,
    duration,
    natural,
    plural,
    positive,
    warn_oversubscribed,
)

try:
    import cloudpickle
    import numpy as np
    from dask.distributed import Client  # noqa: F401 (the extra's check)

    from tarnwick_basin import ensemble
    from tarnwick_basin.calibration import Problem
    from tarnwick_basin.ensemble import LostEvaluations, Run
except ImportError as missing:
    raise SystemExit(f"{Path(__file__).name} needs {missing.name}: {EXTRA}") from None

# The sampled ranges: those of the calibration, except that the interflow
# constant reaches down to one hour.
SAMPLE_BOUNDS = [
    (1.0, p.high) if p.path.endswith("interflow.k_hours") else (p.low, p.high)
    for p in fulda.PARAMETERS
]
SHOWN_FAILURES = 10
DEFAULT_WORKERS = 2
# What the script holds per sample and per local worker process, to refuse sizes
# that cannot fit in memory (measured with generous margins).
BYTES_PER_SAMPLE = 2048
BYTES_PER_WORKER = 256 << 20


def summary(samples: fulda.FloatArray, serial: Run, parallel: Run, label: str) -> None:
    print(
        f"{label}: {plural(len(samples), 'evaluation')} in {parallel.seconds:.2f} s, "
        f"{parallel.rate:.0f} evaluations/s ({parallel.rate / serial.rate:.2f}x serial)"
    )
    print(f"Results bit-identical to the serial run: {'yes' if parallel.same_as(serial) else 'NO'}")
    failed = parallel.failed
    print(f"Failures: {len(failed)} of {len(samples)}")
    for i in failed[:SHOWN_FAILURES]:
        print(f"  sample {i}: {parallel.errors[i]}")
    if len(failed) > SHOWN_FAILURES:
        print(f"  ... and {len(failed) - SHOWN_FAILURES} more")
    values = np.where(np.isnan(parallel.values), np.inf, parallel.values)
    if np.isfinite(values).any():
        best = int(np.argmin(values))
        print(f"Best of the ensemble: sample {best}, KGE {1.0 - values[best]:.4f}")
        print("\n".join(fulda.describe(samples[best])))


def binary_size(count: float) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if count < 1024 or unit == "PiB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def check_size(parser: ArgumentParser, samples: int, workers: int) -> None:
    """Refuses an ensemble (and local cluster) that cannot fit in this machine's memory."""
    needed = samples * BYTES_PER_SAMPLE + workers * BYTES_PER_WORKER
    try:
        available: int | None = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        available = None
    if available is not None and needed > available:
        what = f"--samples {samples}" + (f" on {workers} local workers" if workers else "")
        parser.error(
            f"{what} would need about {binary_size(needed)} of memory; "
            f"this machine has {binary_size(available)}"
        )


def make_parser() -> ArgumentParser:
    parser = ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument(
        "--samples", type=positive, default=1000, metavar="N", help="parameter sets to evaluate"
    )
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
        help=f"connect timeout for --scheduler (default: {ensemble.CONNECT_TIMEOUT:g})",
    )
    return parser


def parse(argv: Sequence[str] | None) -> Any:
    parser = make_parser()
    args = parser.parse_args(argv)
    if args.timeout is not None and not args.scheduler:
        parser.error("argument --timeout: applies to --scheduler only")
    if args.scheduler is None and args.threads is None and args.workers is None:
        args.workers = DEFAULT_WORKERS
    check_size(parser, args.samples, args.workers or 0)
    return args


def main(argv: Sequence[str] | None = None) -> None:
    args = parse(argv)
    problem: Problem = fulda.problem(fulda.load_record())
    samples = ensemble.latin_hypercube(SAMPLE_BOUNDS, args.samples, args.seed)
    # The model's functions (its `derive`) travel to the workers by value, so they
    # need neither this folder nor its files.
    cloudpickle.register_pickle_by_value(fulda)
    with ExitStack() as stack:
        # The pool or cluster first, so that an unreachable scheduler is reported
        # before any work is done.
        client = None
        if args.threads:
            label, parallelism = f"{plural(args.threads, 'thread')}", args.threads
            note = ensemble.threads_note()
            if note:
                print(f"Note: {note}")
            elif args.threads > cores():
                warn_oversubscribed("thread", args.threads, "threads")
        elif args.scheduler:
            try:
                client = ensemble.connect(args.scheduler, args.timeout or ensemble.CONNECT_TIMEOUT)
            except ensemble.ClusterError as error:
                raise SystemExit(str(error)) from None
            stack.enter_context(client)
            parallelism = len(client.scheduler_info()["workers"])
            label = f"Cluster at {args.scheduler} ({plural(parallelism, 'worker')})"
        else:
            warn_oversubscribed("worker process", args.workers, "worker processes")
            start = time.perf_counter()
            client = stack.enter_context(ensemble.local_cluster(args.workers))
            label, parallelism = f"Cluster of {plural(args.workers, 'worker')}", args.workers
            print(
                f"Local cluster of {plural(args.workers, 'worker process', 'worker processes')} "
                "on 127.0.0.1 "
                f"started in {time.perf_counter() - start:.1f} s"
            )

        ensemble.evaluate_chunk(problem, samples[:1].tolist())  # warm-up, untimed
        serial = ensemble.run_serial(problem, samples)
        print(
            f"Serial: {plural(args.samples, 'evaluation')} in {serial.seconds:.2f} s, "
            f"{serial.rate:.0f} evaluations/s"
        )
        chunk = args.chunk or ensemble.default_chunk(args.samples, parallelism, 1.0 / serial.rate)
        tasks = math.ceil(args.samples / chunk)
        print(
            f"{fulda.CATCHMENT}: {plural(args.samples, 'Latin hypercube sample')} of "
            f"{len(SAMPLE_BOUNDS)} parameters in {plural(tasks, 'task')} of up to {chunk}"
        )
        try:
            if client is None:
                parallel = ensemble.run_threads(problem, samples, args.threads, chunk, True)
            else:
                parallel = ensemble.run_cluster(client, problem, samples, chunk, True)
        except LostEvaluations as lost:
            summary(samples, serial, lost.run, label)
            raise SystemExit(str(lost)) from None
    summary(samples, serial, parallel, label)


if __name__ == "__main__":
    main()
