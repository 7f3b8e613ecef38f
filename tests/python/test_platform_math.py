"""The module's exp rounds like the platform's libm, which Python's math module
calls: a build whose toolchain links another exp differs in the last bit on a
few inputs in a thousand."""

import math
from datetime import timedelta

import pytest

import tarnwick


@pytest.mark.parametrize("minutes", [15, 60])
def test_recovery_fraction_uses_the_platform_exp(minutes):
    # One dry step from an empty deficit towards a maximum of 1 recovers
    # exactly the recovery fraction 1 - exp(-dt / T).
    dry = tarnwick.utils.IncrementalTimeSeries([0.0], timedelta(minutes=minutes), "rainfall")
    dt = minutes * 60.0
    differing = []
    for hours in range(1, 2001):
        result = tarnwick.rainfall_loss.run_deficit_and_constant(
            dry, 0.0, 1.0, 0.0, timedelta(hours=hours)
        )
        expected = 1.0 - math.exp((dt / 3600.0) / (hours * 3600.0 / -3600.0))
        if result.deficit.data[0] != expected:
            differing.append(hours)
    assert differing == []
