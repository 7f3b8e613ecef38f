import math
import os
import random
import subprocess
import sys
from datetime import timedelta

import pytest

import tarnwick

from conftest import HOUR, leaks, load_entry

clark = tarnwick.rainfall_transform.run_clark_uh
Rain = tarnwick.utils.IncrementalTimeSeries


def reference(rain, dt, area, tc, r):
    """Clark unit hydrograph written out plainly."""
    m = math.ceil(tc / dt)
    th, previous = [], 0.0
    for i in range(1, m + 1):
        t = min((dt * i) / tc, 1.0)
        a = 1.414 * t**1.5 if t < 0.5 else 1.0 - 1.414 * (1.0 - t) ** 1.5
        th.append(((a - previous) * area * 1.00833) / (dt / 3600.0))
        previous = a
    d = dt + (r + r)
    c0, c2 = (dt - 0.0) / d, ((r + r) - dt) / d
    u = [0.0]
    for j in range(1, m):
        u.append((c0 * th[j] + c0 * th[j - 1]) + c2 * u[-1])
    q = [0.0] * (len(rain) + m - 1)
    for k, p in enumerate(rain):
        if p != 0.0:
            for j in range(m):
                q[k + j] = q[k + j] + p * u[j]
    return q


def test_registration_and_docs():
    assert tarnwick.rainfall_transform.__all__ == ["run_clark_uh"]
    assert clark.__text_signature__ == "(rainfall, basin_area, tc, storage_r)"
    assert clark.__doc__.endswith("at the same time step as `rainfall`.")
    assert load_entry("init_transform").run_clark_uh is not clark


@pytest.mark.parametrize(
    "rain, area, tc, r, expected",
    [
        ([1.0], 100, 2 * HOUR, HOUR, [0.0, 33.611]),
        ([0.5, 1.0, 0.0], 640, 3 * HOUR, 2 * HOUR, [0.0, 46.9721, 169.0995, 150.3107, 0.0]),
    ],
)
def test_worked_examples(rain, area, tc, r, expected):
    result = clark(Rain(rain, HOUR, "volume"), area, tc, r)
    assert result.data == pytest.approx(expected, abs=1e-4)
    assert type(result) is tarnwick.utils.ContinuousTimeSeries
    assert (result.kind, result.time_step) == ("discharge", HOUR)


@pytest.mark.parametrize(
    "step, tc, r",
    [
        (HOUR, 7 * HOUR, 3 * HOUR),
        (timedelta(minutes=15), timedelta(hours=6, minutes=7), timedelta(0)),
        (timedelta(minutes=1), timedelta(hours=1), timedelta(hours=2, microseconds=3)),
    ],
)
def test_random_storms_bit_for_bit(step, tc, r):
    rng = random.Random(str(tc))
    rain = [0.0 if rng.random() < 1 / 3 else rng.uniform(0, 0.5) for _ in range(300)]
    rain[100:180] = [0.0] * 80  # a dry spell longer than some unit hydrographs
    result = clark(Rain(rain, step, "rainfall"), 640.0, tc, r).data
    m = math.ceil(tc.total_seconds() / step.total_seconds())
    assert len(result) == len(rain) + m - 1
    assert result[0] == 0.0
    assert result == reference(
        rain, step.total_seconds(), 640.0, tc.total_seconds(), r.total_seconds()
    )


def test_too_long_tc_is_refused_not_allocated():
    # A billion days on a one-second step: 8.6e13 ordinates.
    rain = Rain([1.0], timedelta(seconds=1), "rainfall")
    with pytest.raises(
        ValueError, match=r"^tc is too long for the rainfall's time step: .* ordinates"
    ):
        clark(rain, 640, timedelta(days=999_999_999), HOUR)
    with pytest.raises(ValueError, match="more than can be allocated"):
        clark(rain, 640, timedelta(days=365 * 1_000_000 // 1000 * 1000), HOUR)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's shadow memory does not fit an address-space limit",
)
def test_too_long_tc_is_measured_against_the_address_space_limit():
    # Under a 4 GiB RLIMIT_AS, 2**29 ordinates (4 GiB on their own) are
    # refused as too long, not attempted as an allocation.
    code = (
        "import resource, tarnwick\n"
        "from datetime import timedelta\n"
        "resource.setrlimit(resource.RLIMIT_AS, (2**32, 2**32))\n"
        "rain = tarnwick.utils.IncrementalTimeSeries([1.0], timedelta(seconds=1), 'rainfall')\n"
        "try:\n"
        "    tarnwick.rainfall_transform.run_clark_uh(rain, 1.0, timedelta(seconds=2**29), "
        "timedelta(seconds=1))\n"
        "except BaseException as error:\n"
        "    print(type(error).__name__, error)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout.startswith("ValueError tc is too long"), run.stdout + run.stderr


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("R", 1.0, -HOUR, -HOUR), ValueError, "a negative timedelta cannot be converted"),
        (("R", 1.0, 2.0, -HOUR), TypeError, "argument 'tc': 'float' object is not an instance"),
        (("R", 1.0, HOUR, 7), TypeError, "argument 'storage_r': 'int' object"),
        (("R", None, HOUR, HOUR), TypeError, "argument 'basin_area': "),
    ],
)
def test_bad_arguments(args, error, message):
    rain = Rain([0.5], HOUR, "rainfall")
    args = tuple(rain if a == "R" else a for a in args)
    with pytest.raises(error) as info:
        clark(*args)
    assert str(info.value).startswith(message)


def test_no_leaks():
    rain = Rain([0.2, 0.0, 0.4, 0.1] * 10, HOUR, "rainfall")
    tiny_step = Rain([1.0], timedelta(seconds=1), "rainfall")

    def refused():
        try:
            clark(tiny_step, 640, timedelta(days=999_999_999), HOUR)
        except ValueError:
            return
        raise AssertionError("no error")

    assert leaks(lambda: clark(rain, 640, 5 * HOUR, 2 * HOUR)) < 100
    assert leaks(refused) < 100
