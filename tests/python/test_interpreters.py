"""The module in legacy sub-interpreters that come and go, and in isolated ones;
and interrupts raised from Python code the module runs while probing.

Each sub-interpreter scenario runs in a fresh process under the debug allocator, so an
object used after its interpreter freed it fails the run instead of passing
by luck.
"""

import os
import subprocess
import sys

import pytest

import tarnwick

from conftest import HOUR

try:  # CPython's private interface to sub-interpreters, where it exists
    import _interpreters as subinterpreters
except ImportError:
    try:
        import _xxsubinterpreters as subinterpreters
    except ImportError:
        subinterpreters = None
needs_interpreters = pytest.mark.skipif(
    subinterpreters is None, reason="no sub-interpreters on this Python"
)


class Interrupting:
    """A sequence of two floats whose length query is interrupted."""

    def __len__(self):
        raise KeyboardInterrupt

    def __getitem__(self, index):
        if index < 2:
            return 1.0
        raise IndexError


class Unprintable(TypeError):
    def __str__(self):
        raise KeyboardInterrupt


class Refusing:
    def __float__(self):
        raise Unprintable


class InterruptingModule(type):
    @property
    def __module__(cls):
        raise KeyboardInterrupt


@pytest.mark.parametrize(
    "call",
    [
        lambda: tarnwick.utils.ContinuousTimeSeries(Interrupting(), HOUR, "discharge"),
        lambda: tarnwick.reservoir.reservoir_utils.ConstantDischargeInfo(Refusing()),
        lambda: tarnwick.metrics.calculate_kge([1.0], [1.0], InterruptingModule("Flag", (), {})()),
    ],
    ids=["length", "message", "flag type"],
)
def test_interrupts_while_probing_end_the_call(call):
    with pytest.raises(KeyboardInterrupt):
        call()


# Creates, runs code in and destroys legacy (shared-GIL) and isolated
# interpreters, whichever private module this Python has.
PRELUDE = r"""
import sys
try:
    import _interpreters as interpreters

    def create(isolated=False):
        return interpreters.create("isolated" if isolated else "legacy")

    def run(interpreter, code):
        failure = interpreters.exec(interpreter, code)
        if failure is not None:
            raise RuntimeError(failure.formatted)
except ImportError:
    import _xxsubinterpreters as interpreters

    def create(isolated=False):
        if sys.version_info >= (3, 12):
            return interpreters.create(isolated=isolated)
        assert not isolated
        return interpreters.create()

    def run(interpreter, code):
        interpreters.run_string(interpreter, code)

destroy = interpreters.destroy
"""

# Everything the module keeps: class objects, PanicException, the datetime
# interface (read and created) and the array types it reads directly.
USE = r"""
from array import array
from datetime import timedelta
import tarnwick

HOUR = timedelta(hours=1)
series = tarnwick.utils.ContinuousTimeSeries(array("d", [1.0, 2.0, 4.0]), HOUR, "discharge")
assert series.time_step == HOUR and series.total_duration() == 7200
assert type(series) is tarnwick.utils.ContinuousTimeSeries and series.data == [1.0, 2.0, 4.0]
assert tarnwick.metrics.calculate_kge(array("d", [1.0, 2.0]), [1.0, 2.0]) == 1.0
try:
    tarnwick.reach.run_muskingum_routing(series.__class__([], HOUR, "discharge"), HOUR, 0.2, 1, 0.0)
except BaseException as panic:
    assert type(panic).__name__ == "PanicException", panic
"""

# Classes take numbers from their interpreter for its attribute caches: the
# sub-interpreters first use up many, so that their classes' numbers come
# round again among the decoys created afterwards in the main interpreter,
# which must not be confused with the module's classes.
SCENARIO = (
    PRELUDE
    + f"USE = {USE!r}\n"
    + r"""
if sys.argv[1] == "main-first":
    exec(USE)
for _ in range(3):
    interpreter = create()
    run(interpreter, "for k in range(1000): getattr(type('Used', (), {})(), 'data', None)\n" + USE)
    destroy(interpreter)
exec(USE)
for k in range(3000):
    decoy = type("Decoy", (), {"data": k, "time_step": k, "total_duration": lambda self: 0})
    decoy().data, decoy().time_step, decoy().total_duration()
    assert series.data == [1.0, 2.0, 4.0] and series.total_duration() == 7200, k
print("done")
"""
)


def run_scenario(script, *args):
    env = dict(os.environ, PYTHONMALLOC="debug")
    return subprocess.run(
        [sys.executable, "-c", script, *args], capture_output=True, text=True, env=env, timeout=120
    )


@needs_interpreters
@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_destroyed_legacy_interpreters_leave_nothing_behind(order):
    result = run_scenario(SCENARIO, order)
    assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr


ISOLATED = (
    PRELUDE
    + r"""
interpreter = create(isolated=True)
run(interpreter, '''
try:
    import tarnwick
except ImportError:
    pass
else:
    raise AssertionError("imported in an isolated interpreter")
''')
destroy(interpreter)
import tarnwick
print("done")
"""
)


@needs_interpreters
@pytest.mark.skipif(sys.version_info < (3, 12), reason="no isolated interpreters before 3.12")
def test_isolated_interpreters_refuse_the_import():
    result = run_scenario(ISOLATED)
    assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr
    assert tarnwick  # imported by the parent as well


# A finalizer that calls the module while its interpreter is being cleared,
# after the interpreter's dict (and the module's state in it) is gone: the
# call is refused rather than given a state nobody frees, and the
# interpreters created afterwards (often at the same address) get their own.
LATE_CALL = (
    PRELUDE
    + f"USE = {USE!r}\n"
    + r"""
LATE = '''
import os
import tarnwick


class Late:
    def __call__(self):
        pass

    def __del__(self, write=os.write, kge=tarnwick.metrics.calculate_kge):
        try:
            kge([1.0, 2.0], [1.0, 2.0])
            write(1, b"computed\\n")
        except:  # builtins are gone by now: nothing else can be named
            write(1, b"refused\\n")


os.register_at_fork(before=Late())
'''
for _ in range(3):
    for code in (LATE + USE, USE):
        interpreter = create()
        run(interpreter, code)
        destroy(interpreter)
exec(USE)
print("done")
"""
)


@needs_interpreters
def test_calls_after_an_interpreter_is_cleared_are_refused():
    result = run_scenario(LATE_CALL)
    assert (result.returncode, result.stdout) == (0, "refused\n" * 3 + "done\n"), result.stderr
