"""Level pool routing of a year of hourly inflow, one internal step per second.

Case: 8,760 hourly inflow values (31,528,801 one-second steps), a 20-point
elevation-storage curve, a controlled outlet and a spillway, each on a
10-point rating curve. Prints the internal steps per second of

  tarnwick.reservoir.run_level_pool_routing (the whole call, conversions included)
  a numba-compiled loop of the same algorithm, with the fixed-step binary search
  a numba-compiled loop of the same algorithm, searching from the last bracket
  pure-Python loops of the same algorithm, hand-inlined with the curves
  checked once, and a plain reading with interp1d's checks on every lookup (on ten
  12-hour windows spread over the year, each starting from the level
  tarnwick reached there)

and checks that every peer's recorded values equal ours bit for bit. Then
the growth of the per-value time from 10**6 to 10**7 values of a one-second
series (one internal step per value).

Run from the repository root:

    python3 -m pip install ".[bench]" && python3 bench/bench_level_pool.py
"""

import math
import statistics
from array import array
from datetime import timedelta

import numpy as np
from harness import growth, optional, options, race, report

import tarnwick

HOURS = 8760
STEP = 3600
utils = tarnwick.reservoir.reservoir_utils

# --- The case ------------------------------------------------------------------

ELEVATION = [100.0 + k for k in range(20)]
STORAGE = [2.0e6 * k + 1.5e5 * k * k for k in range(20)]
GATE_ELEVATION = [100.0 + 2.0 * k for k in range(10)]
GATE_DISCHARGE = [0.0, 40.0, 90.0, 140.0, 180.0, 215.0, 245.0, 270.0, 290.0, 305.0]
GATE_MINIMUM, GATE_RELEASE = 101.0, 260.0
SPILL_ELEVATION = [112.0 + 0.8 * k for k in range(10)]
SPILL_DISCHARGE = [0.0, 60.0, 170.0, 320.0, 500.0, 700.0, 930.0, 1180.0, 1450.0, 1750.0]
INITIAL_ELEVATION = 106.0


def hourly_inflow():
    """A year of base flow with a daily cycle and a few flood hydrographs."""
    values = []
    for hour in range(HOURS):
        flow = 120.0 + 25.0 * math.sin(2.0 * math.pi * hour / 24.0)
        for peak, height, width in ((900, 900.0, 40.0), (3100, 1400.0, 60.0), (6400, 700.0, 30.0)):
            flow += height * math.exp(-(((hour - peak) / width) ** 2))
        values.append(flow)
    return values


def ours(inflow, initial_elevation=INITIAL_ELEVATION, step=STEP, read=True, build=False):
    """The routing as a call; `build` builds the inflow series in every call."""
    step = timedelta(seconds=step)
    series = tarnwick.utils.ContinuousTimeSeries(inflow, step, "discharge")
    curve = utils.ElevationStorage(ELEVATION, STORAGE)
    outlets = {
        "gate": utils.ControlledDischargeInfo(
            utils.ElevationDischarge(GATE_ELEVATION, GATE_DISCHARGE),
            minimum_elevation=GATE_MINIMUM,
            maximum_release=GATE_RELEASE,
        ),
        "spillway": utils.UnControlledDischargeInfo(
            utils.ElevationDischarge(SPILL_ELEVATION, SPILL_DISCHARGE)
        ),
    }

    def run():
        inflow_series = (
            tarnwick.utils.ContinuousTimeSeries(inflow, step, "discharge") if build else series
        )
        result = tarnwick.reservoir.run_level_pool_routing(
            inflow_series, initial_elevation, curve, outlets
        )
        if not read:
            return result
        flows = result.reservoir_individual_outflows
        return (
            result.reservoir_storage.data,
            result.reservoir_elevation.data,
            result.reservoir_total_outflow.data,
            flows["gate"].data,
            flows["spillway"].data,
        )

    return run


# --- Pure Python -----------------------------------------------------------------


def py_interp(xs, ys, x, below):
    base, size = 0, len(xs)
    while size > 1:
        half = size // 2
        if xs[base + half] <= x:
            base += half
        size -= half
    if xs[base] == x:
        return ys[base]
    i = base + 1 if xs[base] < x else base
    if i == 0:
        return below
    if i == len(xs):
        return None
    x0, x1, y0, y1 = xs[i - 1], xs[i], ys[i - 1], ys[i]
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0)


def py_interp_checked(xs, ys, x, below):
    # interp1d as the method states it: the curve is checked on every lookup.
    if len(xs) != len(ys):
        raise RuntimeError("length of `x_values` and `y_values` should be same.")
    if len(xs) < 2:
        raise RuntimeError("x_values and y_values each must have at least 2 elements.")
    for a, b in zip(xs[:-1], xs[1:], strict=True):
        if not a < b:
            raise RuntimeError("`x_values` must must be sorted and can't have duplicates")
    for a, b in zip(ys[:-1], ys[1:], strict=True):
        if not a <= b:
            raise RuntimeError("`y_values` must must be sorted")
    return py_interp(xs, ys, x, below)


def py_rating(xs, ys, h, interp):
    if h > xs[-1]:
        raise ValueError(f"elevation {h} is above the maximum of the elevation-discharge curve")
    if h < xs[0]:
        return 0.0
    return interp(xs, ys, h, 0.0)


def py_routing(inflow, step, e0, interp=py_interp, checked=False):
    n = len(inflow)
    span = float(step * (n - 1))
    s = interp(ELEVATION, STORAGE, e0, None)
    e = e0
    storage, elevation, total, gate, spill = [s], [e], [], [], []
    i_prev = inflow[0]
    for t in range(step, step * (n - 1) + 1):
        record = t % step == 0
        q_gate = 0.0 if e < GATE_MINIMUM else py_rating(GATE_ELEVATION, GATE_DISCHARGE, e, interp)
        q_gate = min(q_gate, GATE_RELEASE) if e >= GATE_MINIMUM else q_gate
        q_spill = py_rating(SPILL_ELEVATION, SPILL_DISCHARGE, e + 0.0, interp)
        o = (0.0 + q_gate) + q_spill
        if record:
            gate.append(q_gate)
            spill.append(q_spill)
            total.append(o)
        if t == step:
            continue
        if checked and not -1e-6 <= t <= span + 1e-6:
            raise ValueError(f"`duration` {t} is out of range (max {span})")
        pos = min(float(t), span) / step
        i = int(pos)
        i_now = inflow[i] + (pos - i) * (inflow[i + 1] - inflow[i]) if i + 1 < n else inflow[-1]
        s_new = (s + ((i_prev + i_now) * 0.5) * 1.0) - o * 1.0
        s = s_new if s_new > 0.0 else 0.0
        e = interp(STORAGE, ELEVATION, s, None)
        if e is None:
            raise ValueError(f"`storage` {s} is outside the range of the elevation-storage curve.")
        if record:
            storage.append(s)
            elevation.append(e)
        i_prev = i_now
    return storage, elevation, total, gate, spill


# --- numba ----------------------------------------------------------------------


def numba_peers():
    import numba

    @numba.njit(inline="always")
    def binary_locate(xs, x, hint):
        # Fixed-step binary search: the number of abscissae at or below x.
        base, size = 0, xs.shape[0]
        while size > 1:
            half = size // 2
            if xs[base + half] <= x:
                base += half
            size -= half
        if xs[base] <= x:
            return base + 1
        return base

    @numba.njit(inline="always")
    def bracket_locate(xs, x, hint):
        # From the last bracket: one step either way, else a binary search.
        n = xs.shape[0]
        i = hint
        if i < n and xs[i] <= x:
            i += 1
            if i < n and xs[i] <= x:
                i = np.searchsorted(xs, x, side="right")
        elif i > 0 and x < xs[i - 1]:
            i -= 1
            if i > 0 and x < xs[i - 1]:
                i = np.searchsorted(xs, x, side="right")
        return i

    def make(locate):
        @numba.njit(inline="always")
        def within(xs, ys, x, hint):
            # y at x inside the curve (nan outside) and the new bracket.
            i = locate(xs, x, hint)
            if i > 0 and xs[i - 1] == x:
                return ys[i - 1], i
            if i == 0 or i == xs.shape[0]:
                return math.nan, i
            x0, x1, y0, y1 = xs[i - 1], xs[i], ys[i - 1], ys[i]
            return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0), i

        @numba.njit
        def routing(inflow, step, el, st, ge, gq, g_min, g_cap, se, sq, e0):
            n = inflow.shape[0]
            span = float(step * (n - 1))
            storage = np.empty(n - 1)
            elevation = np.empty(n - 1)
            total = np.empty(n - 1)
            gate = np.empty(n - 1)
            spill = np.empty(n - 1)
            s, _ = within(el, st, e0, 0)
            e = e0
            storage[0], elevation[0] = s, e
            i_prev = inflow[0]
            h_gate = h_spill = h_curve = 0
            k = 0  # last recorded storage
            j = 0  # next recorded outflow
            for t in range(step, step * (n - 1) + 1):
                if e < g_min:
                    q_gate = 0.0
                else:
                    if e > ge[-1]:
                        return None
                    q_gate = 0.0
                    if not e < ge[0]:
                        q_gate, h_gate = within(ge, gq, e, h_gate)
                    if g_cap < q_gate:
                        q_gate = g_cap
                h = e + 0.0
                if h > se[-1]:
                    return None
                q_spill = 0.0
                if not h < se[0]:
                    q_spill, h_spill = within(se, sq, h, h_spill)
                o = (0.0 + q_gate) + q_spill
                record = t % step == 0
                if record:
                    gate[j], spill[j], total[j] = q_gate, q_spill, o
                    j += 1
                if t == step:
                    continue
                pos = min(float(t), span) / step
                i = int(pos)
                if i + 1 < n:
                    i_now = inflow[i] + (pos - i) * (inflow[i + 1] - inflow[i])
                else:
                    i_now = inflow[n - 1]
                s_new = (s + ((i_prev + i_now) * 0.5) * 1.0) - o * 1.0
                s = s_new if s_new > 0.0 else 0.0
                e, h_curve = within(st, el, s, h_curve)
                if math.isnan(e):
                    return None
                if record:
                    k += 1
                    storage[k], elevation[k] = s, e
                i_prev = i_now
            return storage, elevation, total, gate, spill

        def run(inflow, step=STEP, read=True):
            arrays = [np.asarray(v, dtype=np.float64) for v in (ELEVATION, STORAGE)]
            gate = [np.asarray(v, dtype=np.float64) for v in (GATE_ELEVATION, GATE_DISCHARGE)]
            spill = [np.asarray(v, dtype=np.float64) for v in (SPILL_ELEVATION, SPILL_DISCHARGE)]
            values = np.asarray(inflow, dtype=np.float64)

            def call():
                out = routing(
                    values,
                    step,
                    *arrays,
                    *gate,
                    GATE_MINIMUM,
                    GATE_RELEASE,
                    *spill,
                    INITIAL_ELEVATION,
                )
                return tuple(a.tolist() for a in out) if read else out

            return call

        return run

    return make(binary_locate), make(bracket_locate)


# --- Timing ---------------------------------------------------------------------


def steps(n, step=STEP):
    return (n - 2) * step + 1


def bits(outputs):
    return [array("d", v).tobytes() for v in outputs]


def main():
    args = options(__doc__)
    hours = 48 if args.quick else HOURS
    inflow = hourly_inflow()[:hours]
    run = ours(inflow)
    result = run()
    print(
        f"case: {hours} hourly values, {steps(hours):,} one-second steps; peak inflow "
        f"{max(inflow):.1f}, peak outflow {max(result[2]):.1f}, peak elevation {max(result[1]):.3f}"
    )
    per_step = (steps(hours), "step")
    runs = {"tarnwick": run}
    numba = optional("numba")
    if numba is not None:
        binary, bracket = numba_peers()
        runs["numba, binary search"] = binary(inflow)
        runs["numba, from last bracket"] = bracket(inflow)
        for label in list(runs)[1:]:
            assert bits(runs[label]()) == bits(result), label  # also compiles
    report(
        "Level pool routing (goal: numba's time at least 1.5x)", race(runs, args.repeat), per_step
    )

    # Pure Python is too slow for the whole year: time windows spread over
    # it, so that quiet spells and floods weigh as they do in the year.
    window_hours, count = (2, 2) if args.quick else (12, 10)
    starts = range(0, hours - window_hours, hours // count)
    windows = [(start, result[1][start]) for start in starts]
    for start, e0 in windows:
        window = inflow[start : start + window_hours]
        expected = bits(ours(window, e0)())
        assert bits(py_routing(window, STEP, e0)) == expected
        assert bits(py_routing(window, STEP, e0, py_interp_checked, True)) == expected

    def python_windows(*variant):
        def call():
            for start, e0 in windows:
                py_routing(inflow[start : start + window_hours], STEP, e0, *variant)

        return call

    python = {
        "pure Python, curves checked once": python_windows(),
        "pure Python, checks every lookup": python_windows(py_interp_checked, True),
    }
    timings = race(python, min(args.repeat, 3))
    n_steps = len(windows) * steps(window_hours)
    report(
        f"Pure Python on {len(windows)} windows of {window_hours} hours", timings, (n_steps, "step")
    )
    ours_per_step = statistics.median(race({"tarnwick": run}, 1)["tarnwick"].cpu) / steps(hours)
    for name, t in timings.items():
        print(
            f"  tarnwick is {t.median / n_steps / ours_per_step:6.0f}x faster per step than {name}"
        )
    print()

    # Growth: a one-second series, one internal step per value, so that the
    # cost of the series themselves (in and out) shows.
    pattern = np.array(hourly_inflow())

    def make(n):
        values = np.resize(pattern, n)
        contestants = {"tarnwick": ours(values, step=1, read=False)}
        if numba is not None:
            contestants["numba, binary search"] = binary(values, step=1, read=False)
        return contestants

    sizes = (10**3, 10**4) if args.quick else (10**6, 10**7)
    growth("Level pool routing at a one-second step", make, sizes, args.repeat)


if __name__ == "__main__":
    main()
