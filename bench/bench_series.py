"""Building a series from many values, and reading it back.

Run from the repository root:

    python3 -m pip install ".[bench]" && python3 bench/bench_series.py

Races tarnwick against the nearest plain equivalent:
  numpy float64 array -> ContinuousTimeSeries   vs  ndarray.copy()  (10**6 and 10**7 values)
  list of floats      -> ContinuousTimeSeries   vs  array.array('d', list)
  ContinuousTimeSeries.data                     vs  ndarray.tolist()
  np.asarray(series)                            vs  np.frombuffer(ndarray)
and counts the page faults of building a series against those of the copy.
"""

import array
from datetime import timedelta

import numpy as np
from harness import growth, minor_faults, options, race, report

import tarnwick

STEP = timedelta(hours=1)
Series = tarnwick.utils.ContinuousTimeSeries


def main():
    args = options(__doc__)
    small, large = (10**3, 10**4) if args.quick else (10**6, 10**7)
    rng = np.random.default_rng(7)

    def from_array(n):
        values = rng.random(n)
        assert Series(values, STEP, "discharge").data == values.tolist()
        return {
            "ContinuousTimeSeries(ndarray)": lambda: Series(values, STEP, "discharge"),
            "ndarray.copy()": values.copy,
        }

    growth(
        "Series from a float64 array (goal: within 1.5x of the copy)",
        from_array,
        (small, large),
        args.repeat,
    )

    values = rng.random(large)
    print(
        f"page faults building from {large:,} values: series "
        f"{minor_faults(lambda: Series(values, STEP, 'discharge')):,}, "
        f"ndarray.copy() {minor_faults(values.copy):,}\n"
    )

    values = rng.random(small)
    as_list = values.tolist()
    series = Series(values, STEP, "discharge")
    timings = race(
        {
            "ContinuousTimeSeries(list)": lambda: Series(as_list, STEP, "discharge"),
            "array.array('d', list)": lambda: array.array("d", as_list),
        },
        args.repeat,
    )
    report(f"Series from a list of {small:,} floats (goal: within 1.5x)", timings)
    timings = race(
        {"series.data": lambda: series.data, "ndarray.tolist()": values.tolist}, args.repeat
    )
    report(f"Reading {small:,} values back as a list (goal: within 1.5x)", timings)

    # A series exports its values in place: numpy wraps them, whatever their
    # number, as it wraps another array's buffer.
    values = rng.random(large)
    series = Series(values, STEP, "discharge")
    timings = race(
        {
            "np.asarray(series)": lambda: np.asarray(series),
            "np.frombuffer(ndarray)": lambda: np.frombuffer(values),
        },
        args.repeat,
        number=1000,
    )
    report(f"A series of {large:,} values into numpy (goal: within 1.5x)", timings)


if __name__ == "__main__":
    main()
