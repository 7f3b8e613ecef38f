"""Prints the results of a fixed set of calls to the installed tarnwick, so that
two builds (two compilers, two standard libraries) can be compared bit for bit:

    python tools/compare_builds.py > a.txt     (with one build installed)
    python tools/compare_builds.py > b.txt     (with the other)
    cmp a.txt b.txt

Every function, constructor, method and attribute of the module is called on
inputs drawn from a seeded generator, mostly valid with now and then a zero, a
negative, an infinity or a NaN, so that error messages (and the numbers written
into them) are compared too. One line per case: the case's name and number,
then every float of the result as its 64 bits in hexadecimal (any NaN as
"nan"), or the exception's type and message. The output does not depend on the Python version.
"""

import math
import random
import struct
import sys
import warnings
from datetime import timedelta

import tarnwick

CASES = 250  # per callable
u = tarnwick.utils
ru = tarnwick.reservoir.reservoir_utils
rng = random.Random(20261207)


def bits(x):
    # A NaN's sign and payload are no part of a result: the arithmetic leaves
    # them to the order of the operands, and libm's entry points differ there.
    if math.isnan(x):
        return "nan"
    return format(struct.unpack("<Q", struct.pack("<d", x))[0], "016x")


def text(value):
    """A result as text that differs whenever one bit of it does."""
    if isinstance(value, float):
        return bits(value)
    if isinstance(value, bool | int | str | type(None)):
        return repr(value)
    if isinstance(value, timedelta):
        return f"td({value.days},{value.seconds},{value.microseconds})"
    if isinstance(value, list | tuple):
        return "[" + ",".join(text(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ",".join(f"{k}:{text(value[k])}" for k in sorted(value)) + "}"
    if isinstance(value, u.ContinuousTimeSeries | u.IncrementalTimeSeries):
        return f"{type(value).__name__}({value.kind},{text(value.time_step)},{text(value.data)})"
    fields = [getattr(value, name) for name in dir(value) if not name.startswith("_")]
    shown = ",".join(text(f) for f in fields if not callable(f))
    return f"{type(value).__name__}({shown})"


def unusual(x):
    return rng.choice([0.0, -0.0, -x, math.inf, -math.inf, math.nan])


def odd(x):
    """x, or now and then a value that the computations must survive or reject."""
    return unusual(x) if rng.random() < 0.05 else x


def floats(n, low, high):
    """n values, one of which is now and then odd."""
    values = [rng.uniform(low, high) for _ in range(n)]
    if rng.random() < 0.2:
        values[rng.randrange(n)] = unusual(values[0])
    return values


def rising(n, start, step_high):
    values, v = [], start
    for _ in range(n):
        values.append(v)
        v += rng.uniform(0.01, step_high)
    return values


def step(choices=(15, 30, 60, 120, 360)):
    return timedelta(minutes=rng.choice(choices))


def hours(low, high):
    return timedelta(seconds=round(rng.uniform(low, high) * 3600))


def rainfall():
    return u.IncrementalTimeSeries(
        floats(rng.randint(1, 96), 0.0, 0.8), timedelta(hours=1), "rainfall"
    )


def inflow():
    return u.ContinuousTimeSeries(floats(rng.randint(2, 96), 0.0, 900.0), step(), "discharge")


def rating():
    n = rng.randint(2, 12)
    return ru.ElevationDischarge(rising(n, 100.0, 4.0), rising(n, 0.0, 200.0))


def outlet():
    kind = rng.randrange(4)
    if kind == 0:
        return ru.ConstantDischargeInfo(rng.uniform(0.0, 50.0), odd(100.0), None)
    if kind == 1:
        flows = u.ContinuousTimeSeries(floats(200, 0.0, 80.0), timedelta(minutes=15), "discharge")
        return ru.SpecifiedDischargeInfo(flows, maximum_release=rng.uniform(10.0, 90.0))
    if kind == 2:
        return ru.ControlledDischargeInfo(rating(), maximum_release=odd(rng.uniform(50.0, 400.0)))
    return ru.UnControlledDischargeInfo(rating(), elevation_offset=rng.uniform(0.0, 3.0))


def series_calls():
    data = floats(rng.randint(1, 64), 0.0, 5.0)
    time_step = timedelta(hours=rng.choice([1, 2, 3]))
    incr = u.IncrementalTimeSeries(data, time_step, "rainfall")
    cont = u.ContinuousTimeSeries(data, time_step, "discharge")
    target = rng.choice([20, 600, 900, 1000, 1800, 3600])
    return [incr, cont, incr.total_duration(), cont.total_duration(), incr.disaggregate(target)]


def attempt(function, *args):
    try:
        return function(*args)
    except ValueError as error:
        return str(error)


def curve_calls():
    n = rng.randint(2, 20)
    curve = ru.ElevationStorage(rising(n, 100.0, 1.5), rising(n, 0.0, 1e6))
    elevations = floats(8, 99.9, 100.0 + 0.5 * n)
    storages = floats(8, -1e4, 4e5 * n)
    return [
        curve,
        [attempt(curve.get_storage, e) for e in elevations],
        [attempt(curve.get_elevation, s) for s in storages],
    ]


def level_pool():
    n = rng.randint(4, 16)
    curve = ru.ElevationStorage(rising(n, 100.0, 1.0), rising(n, 0.0, 2e7))
    outlets = {f"outlet{i}": outlet() for i in range(rng.randint(1, 3))}
    result = tarnwick.reservoir.run_level_pool_routing(
        u.ContinuousTimeSeries(
            floats(rng.randint(2, 48), 0.0, 300.0), step((15, 30, 60)), "discharge"
        ),
        odd(rng.uniform(100.0, 100.0 + n / 4)),
        curve,
        outlets,
    )
    return [outlets, result]


def muskingum():
    return tarnwick.reach.run_muskingum_routing(
        inflow(), hours(0.5, 12.0), odd(rng.uniform(0.0, 0.5)), rng.randint(1, 6), odd(50.0)
    )


def clark():
    return tarnwick.rainfall_transform.run_clark_uh(
        rainfall(), odd(rng.uniform(1.0, 5e4)), hours(0.5, 24.0), hours(0.5, 36.0)
    )


def deficit_and_constant():
    return tarnwick.rainfall_loss.run_deficit_and_constant(
        rainfall(),
        odd(rng.uniform(0.0, 2.0)),
        odd(rng.uniform(0.5, 3.0)),
        odd(rng.uniform(0.0, 0.5)),
        hours(0.0, 240.0) if rng.random() < 0.95 else timedelta(0),
    )


def linear_reservoir():
    layers = {}
    for i in range(rng.randint(1, 3)):
        layer = tarnwick.baseflow.LinearReservoir(
            hours(0.5, 480.0), odd(rng.uniform(0.0, 0.5)), rng.uniform(0.0, 10.0), rng.randint(1, 4)
        )
        if rng.random() < 0.2:
            layer.gw_fraction = odd(rng.uniform(0.0, 0.5))
            layer.initial_q = rng.uniform(0.0, 5.0)
            layer.num_reservoir = rng.randint(1, 4)
        layers[f"layer{i}"] = layer
    return [
        layers,
        tarnwick.baseflow.run_linear_reservoir(odd(rng.uniform(1.0, 5e4)), rainfall(), layers),
    ]


def kge():
    n = rng.randint(1, 200)
    sim, obs = floats(n, 0.0, 300.0), floats(n, 0.0, 300.0)
    return tarnwick.metrics.calculate_kge(sim, obs, use_log=rng.random() < 0.5)


CALLS = [
    series_calls,
    curve_calls,
    level_pool,
    muskingum,
    clark,
    deficit_and_constant,
    linear_reservoir,
    kge,
]


def main():
    out = sys.stdout
    for call in CALLS:
        for case in range(CASES):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    result = text(call())
                except (KeyboardInterrupt, SystemExit):
                    raise
                except BaseException as error:  # the module's internal failures too
                    result = f"{type(error).__name__}: {error}"
            result += "".join(f" {w.category.__name__}: {w.message}" for w in caught)
            out.write(f"{call.__name__}#{case} {result}\n")


if __name__ == "__main__":
    main()
