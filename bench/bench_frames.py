"""Data frames in: pandas Series and xarray DataArrays against the same values as an ndarray.

Run from the repository root:

    python3 -m pip install ".[bench]" pandas xarray && python3 bench/bench_frames.py

Races, at 10**6 values (goal: a Series within 1.5x of the ndarray):
  ContinuousTimeSeries(Series) and (DataArray)  vs  ContinuousTimeSeries(ndarray)
  ContinuousTimeSeries(int64 Series)            vs  the same from an int64 ndarray
  calculate_kge(Series, Series)                 vs  calculate_kge(ndarray, ndarray)
pandas and xarray are optional: without them their contestants are skipped.
"""

from datetime import timedelta

import numpy as np
from harness import optional, options, race, report

import tarnwick

STEP = timedelta(hours=1)
Series = tarnwick.utils.ContinuousTimeSeries
kge = tarnwick.metrics.calculate_kge


def main():
    args = options(__doc__)
    n = 10**3 if args.quick else 10**6
    pd, xr = optional("pandas"), optional("xarray")
    if pd is None:
        return
    rng = np.random.default_rng(7)
    values = rng.random(n)
    obs = values * 1.1 + 0.01
    ints = rng.integers(-(2**62), 2**62, n)
    s, s_obs, s_ints = pd.Series(values), pd.Series(obs), pd.Series(ints)
    assert Series(s, STEP, "discharge").data == Series(values, STEP, "discharge").data

    contestants = {
        "ContinuousTimeSeries(ndarray)": lambda: Series(values, STEP, "discharge"),
        "ContinuousTimeSeries(Series)": lambda: Series(s, STEP, "discharge"),
    }
    if xr is not None:
        da = xr.DataArray(values, dims="t")
        contestants["ContinuousTimeSeries(DataArray)"] = lambda: Series(da, STEP, "discharge")
    report(f"Series from {n:,} float64 values", race(contestants, args.repeat))

    timings = race(
        {
            "ContinuousTimeSeries(int64 ndarray)": lambda: Series(ints, STEP, "discharge"),
            "ContinuousTimeSeries(int64 Series)": lambda: Series(s_ints, STEP, "discharge"),
        },
        args.repeat,
    )
    report(f"Series from {n:,} int64 values", timings)

    timings = race(
        {
            "calculate_kge(ndarray, ndarray)": lambda: kge(values, obs),
            "calculate_kge(Series, Series)": lambda: kge(s, s_obs),
        },
        args.repeat,
    )
    report(f"KGE of {n:,} values", timings)


if __name__ == "__main__":
    main()
