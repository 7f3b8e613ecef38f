"""Instances made without their class's constructor are refused, never used.

object.__new__(cls), once the class's __new__ has been swapped for a Python
function, makes an instance whose value was never built. Every attribute,
method and function that meets one raises TypeError "'{type}' object is not
initialised" (with the argument's prefix where it is an argument), and a
buffer export of one raises BufferError with the same text. The probes run in
a child process, where a crash ends only the child; swapping __new__ also
leaves the class unusable for the rest of that process.
"""

import json
import re
import subprocess
import sys
import textwrap

import pytest

PROBES = """
    import json
    from datetime import timedelta

    import tarnwick

    HOUR = timedelta(hours=1)
    utils, pool, outlets = tarnwick.utils, tarnwick.reservoir, tarnwick.reservoir.reservoir_utils
    base, loss = tarnwick.baseflow, tarnwick.rainfall_loss

    class Subseries(utils.IncrementalTimeSeries):
        pass

    # Working instances for the other arguments, made before any __new__ is swapped.
    flow = utils.ContinuousTimeSeries([0.0, 10.0, 5.0], HOUR, "discharge")
    rain = utils.IncrementalTimeSeries([0.5, 1.0], HOUR, "rainfall")
    curve = outlets.ElevationStorage([100.0, 110.0], [0.0, 1e7])
    rating = outlets.ElevationDischarge([100.0, 110.0], [0.0, 100.0])
    layer = base.LinearReservoir(10 * HOUR, 0.5, 1.0)

    def bare(cls):
        cls.__new__ = lambda c: object.__new__(c)
        return cls()

    # Probed one class at a time, the outlets last: a class whose __new__ was
    # swapped cannot be called any more, and the series and rating curves are
    # probed as arguments of the outlets' constructors.
    CLASSES = [
        utils.ContinuousTimeSeries, utils.IncrementalTimeSeries, Subseries,
        outlets.ElevationStorage, outlets.ElevationDischarge, base.LinearReservoir,
        pool.LevelPoolResult, loss.DeficitConstantResult, outlets.ConstantDischargeInfo,
        outlets.SpecifiedDischargeInfo, outlets.ControlledDischargeInfo,
        outlets.UnControlledDischargeInfo,
    ]
    METHOD_ARGS = {"disaggregate": (1800,), "get_storage": (105.0,), "get_elevation": (1e6,)}

    def uses(name, obj):
        '''Every attribute and method of an instance, and every function taking it.'''
        cls = type(obj)
        for klass in cls.__mro__[:-1]:
            for attr, member in vars(klass).items():
                if type(member).__name__ == "getset_descriptor" and not attr.startswith("__"):
                    yield f"{name}.{attr}", lambda: getattr(obj, attr)
                    if name == "LinearReservoir" and attr != "k_duration":
                        yield f"{name}.{attr} = 1", lambda: setattr(obj, attr, 1)
                elif type(member).__name__ == "method_descriptor":
                    args = METHOD_ARGS.get(attr, ())
                    yield f"{name}.{attr}()", lambda: getattr(obj, attr)(*args)
        if hasattr(cls, "total_duration"):
            yield f"memoryview({name})", lambda: memoryview(obj)
        as_outlet = {"o": obj}
        calls = {
            "ContinuousTimeSeries": [
                lambda: outlets.SpecifiedDischargeInfo(obj),
                lambda: pool.run_level_pool_routing(obj, 105.0, curve, {}),
                lambda: tarnwick.reach.run_muskingum_routing(obj, HOUR, 0.2, 1, 0.0),
            ],
            "IncrementalTimeSeries": [
                lambda: loss.run_deficit_and_constant(obj, 0.1, 1.0, 0.1, 10 * HOUR),
                lambda: tarnwick.rainfall_transform.run_clark_uh(obj, 100.0, HOUR, HOUR),
                lambda: base.run_linear_reservoir(100.0, obj, {"a": layer}),
            ],
            "ElevationStorage": [lambda: pool.run_level_pool_routing(flow, 105.0, obj, {})],
            "ElevationDischarge": [
                lambda: outlets.ControlledDischargeInfo(obj),
                lambda: outlets.UnControlledDischargeInfo(obj),
            ],
            "LinearReservoir": [lambda: base.run_linear_reservoir(100.0, rain, {"a": obj})],
        }
        calls["Subseries"] = calls["IncrementalTimeSeries"]
        for outlet in ("Constant", "Specified", "Controlled", "UnControlled"):
            calls[f"{outlet}DischargeInfo"] = [
                lambda: pool.run_level_pool_routing(flow, 105.0, curve, as_outlet)
            ]
        for k, call in enumerate(calls.get(name, [])):
            yield f"{name} into call {k}", call

    outcomes = {}
    for cls in CLASSES:
        name, obj = cls.__name__, bare(cls)
        for use, call in uses(name, obj):
            try:
                outcomes[use] = [name, "returned " + repr(call())]
            except BaseException as error:
                outcomes[use] = [name, f"{type(error).__name__}: {error}"]
    print(json.dumps(outcomes))
"""


@pytest.fixture(scope="module")
def outcomes():
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(PROBES)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_every_use_of_a_bare_instance_is_refused(outcomes):
    assert len(outcomes) > 60
    wrong = {}
    for use, (name, outcome) in outcomes.items():
        error = "BufferError" if use.startswith("memoryview") else "TypeError"
        refusal = re.fullmatch(
            f"{error}: (argument '\\w+': )?'{name}' object is not initialised", outcome
        )
        if not refusal or (" into " in use) != bool(refusal[1]):
            wrong[use] = outcome
    assert not wrong
