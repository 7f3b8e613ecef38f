"""Building a series from a million values, and reading it back.

Prints our figure beside the nearest plain-Python equivalent, with the ratio:
  numpy float64 array -> ContinuousTimeSeries   vs  ndarray.copy()
  list of floats      -> ContinuousTimeSeries   vs  array.array('d', list)
  ContinuousTimeSeries.data                     vs  ndarray.tolist()
"""

import array
import timeit
from datetime import timedelta

import numpy as np

import tarnwick

N = 1_000_000
STEP = timedelta(hours=1)
Series = tarnwick.utils.ContinuousTimeSeries


def best(call, number=5, repeat=7):
    return min(timeit.repeat(call, number=number, repeat=repeat)) / number


def row(label, ours, peer, peer_label, goal):
    ratio = ours / peer
    print(
        f"{label:<34} {ours * 1e3:8.2f} ms   {peer_label:<22} {peer * 1e3:8.2f} ms"
        f"   ratio {ratio:5.2f}x (goal <= {goal}x)"
    )


def main():
    values = np.random.default_rng(7).random(N)
    as_list = values.tolist()
    series = Series(values, STEP, "discharge")
    assert series.data == as_list

    row(
        "ContinuousTimeSeries(ndarray)",
        best(lambda: Series(values, STEP, "discharge")),
        best(values.copy),
        "ndarray.copy()",
        3,
    )
    row(
        "ContinuousTimeSeries(list)",
        best(lambda: Series(as_list, STEP, "discharge")),
        best(lambda: array.array("d", as_list)),
        "array.array('d', list)",
        1.5,
    )
    row(
        "series.data",
        best(lambda: series.data),
        best(values.tolist),
        "ndarray.tolist()",
        1.5,
    )


if __name__ == "__main__":
    main()
