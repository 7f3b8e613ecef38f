"""Timing shared by the benchmarks.

Each race times its contestants in turn, round-robin, so that a change in the
machine's load falls on all of them alike. Every sample is measured in CPU
time (time.process_time) and wall time; a figure is the median of the
samples, printed with their spread (smallest to largest, relative to the
median). Ratios are taken between CPU medians of one race.

Every benchmark takes ``--quick``: tiny sizes and one repetition, to check in
a few seconds that it still runs, not to judge its figures.
"""

import argparse
import gc
import importlib
import resource
import statistics
import time
from dataclasses import dataclass

REPEAT = 7


def options(description, repeat=REPEAT):
    """Parses the command line shared by every benchmark (`repeat`: the default
    number of samples, for a benchmark whose figure needs more than most)."""
    parser = argparse.ArgumentParser(description=description.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="tiny sizes and one repetition: does it run?"
    )
    parser.add_argument("--repeat", type=int, default=repeat, help="samples per contestant")
    args = parser.parse_args()
    if args.quick:
        args.repeat = 1
    return args


def optional(name):
    """The module `name`, or None with a line saying its contestants are skipped."""
    try:
        return importlib.import_module(name)
    except ImportError:
        print(f"{name} is not installed: its contestants are skipped")
        return None


@dataclass
class Timing:
    cpu: list  # seconds per call, one entry per sample
    wall: list

    @property
    def median(self):
        return statistics.median(self.cpu)

    @property
    def spread(self):
        """Smallest to largest CPU sample as a fraction of the median."""
        return (max(self.cpu) - min(self.cpu)) / self.median if self.median > 0 else 0.0


def race(contestants, repeat, number=1):
    """Times every contestant (name -> call) `repeat` times, round-robin.

    Each sample runs a call `number` times; each contestant is called once
    before timing starts (numba compiles then).
    """
    for call in contestants.values():
        call()
    samples = {name: Timing([], []) for name in contestants}
    for _ in range(repeat):
        for name, call in contestants.items():
            gc.collect()
            cpu, wall = time.process_time(), time.perf_counter()
            for _ in range(number):
                call()
            samples[name].cpu.append((time.process_time() - cpu) / number)
            samples[name].wall.append((time.perf_counter() - wall) / number)
    return samples


def scaled(seconds, per):
    """Seconds per call as text, or per unit of work when `per` is given."""
    if per is not None:
        return f"{seconds / per[0] * 1e9:9.2f} ns/{per[1]}"
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.2f} us    "
    return f"{seconds * 1e3:9.2f} ms    "


def report(title, timings, per=None):
    """Prints a race: CPU and wall medians, spread, and each contestant's CPU
    time relative to the first one's (above 1: the first is faster)."""
    print(title)
    names = list(timings)
    first = timings[names[0]].median
    for name in names:
        t = timings[name]
        ratio = "" if name == names[0] else f"   {t.median / first:6.2f}x of {names[0]}'s time"
        print(
            f"  {name:<38} cpu {scaled(t.median, per)} spread {t.spread:4.0%}"
            f"   wall {scaled(statistics.median(t.wall), per)}{ratio}"
        )


def growth(title, make, sizes, repeat):
    """Per-value time of every contestant at each size, and its growth.

    `make(n)` returns the contestants (name -> call) for n values; the growth
    is the per-value CPU time at the last size over that at the first.
    """
    per_value = {}
    for n in sizes:
        timings = race(make(n), repeat)
        report(f"{title}, {n:,} values", timings, per=(n, "value"))
        for name, t in timings.items():
            per_value.setdefault(name, []).append(t.median / n)
    for name, values in per_value.items():
        print(
            f"  growth {name:<31} {values[-1] / values[0]:5.2f}x per value "
            f"from {sizes[0]:,} to {sizes[-1]:,}"
        )
    print()


def minor_faults(call):
    """Page faults (minor, first touch of fresh memory) during one call."""
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    result = call()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    del result
    return faults
