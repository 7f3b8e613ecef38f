import gc
import importlib.machinery
import importlib.util
import os
import sys
import sysconfig
from contextlib import contextmanager
from datetime import timedelta
from pathlib import Path

import pytest

import tarnwick

HOUR = timedelta(hours=1)
# The panic message of a rating-curve search that meets NaN.
NAN_SEARCH = "called `Option::unwrap()` on a `None` value"

# The module's names that several test files use.
Continuous = tarnwick.utils.ContinuousTimeSeries
Incremental = tarnwick.utils.IncrementalTimeSeries
outlets = tarnwick.reservoir.reservoir_utils
ElevationStorage = outlets.ElevationStorage
ElevationDischarge = outlets.ElevationDischarge
ConstantDischargeInfo = outlets.ConstantDischargeInfo
SpecifiedDischargeInfo = outlets.SpecifiedDischargeInfo
ControlledDischargeInfo = outlets.ControlledDischargeInfo
UnControlledDischargeInfo = outlets.UnControlledDischargeInfo
LinearReservoir = tarnwick.baseflow.LinearReservoir
kge = tarnwick.metrics.calculate_kge
clark = tarnwick.rainfall_transform.run_clark_uh
muskingum = tarnwick.reach.run_muskingum_routing
run_linear_reservoir = tarnwick.baseflow.run_linear_reservoir
route = tarnwick.reservoir.run_level_pool_routing


def message_of(call, error=TypeError):
    """The text of the `error` that `call()` raises."""
    with pytest.raises(error) as info:
        call()
    return str(info.value)


@contextmanager
def panics(message):
    """Expects the module's internal failure, which is no `Exception`, with `message`."""
    with pytest.raises(BaseException) as info:  # noqa: B017 - PanicException is not exported
        yield
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == message


def load_entry(name):
    """Loads the installed library again under one of its further entry names."""
    loader = importlib.machinery.ExtensionFileLoader(name, tarnwick.__file__)
    spec = importlib.util.spec_from_file_location(name, tarnwick.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def installed(module):
    """Whether a module was installed into this environment (rather than built in place)."""
    folder = Path(module.__file__).parent
    return folder in {Path(sysconfig.get_path(name)) for name in ("platlib", "purelib")}


def leaks(call, rounds=2000):
    """Net growth of allocated blocks over many calls (after a warm-up).

    Garbage from earlier tests is collected first, and the smaller of two
    probes is taken, so that only growth proportional to the calls shows.
    What exists before the probes is frozen, so that the collections between
    them look only at the objects the calls made (and take milliseconds).
    """
    for _ in range(50):
        call()
    gc.collect()
    gc.freeze()
    try:
        growth = []
        for _ in range(2):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(rounds):
                call()
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
    finally:
        gc.unfreeze()
    return min(growth)


@pytest.fixture(scope="session", autouse=True)
def shared_mypy_cache(tmp_path_factory):
    """One cache for every type check of the run (tools/test.sh keeps one between runs):
    the stubs of numpy and pandas are then read once, not once per check."""
    if "MYPY_CACHE_DIR" not in os.environ:
        os.environ["MYPY_CACHE_DIR"] = str(tmp_path_factory.mktemp("mypy-cache"))


@pytest.fixture
def hourly():
    def make(data, kind="discharge", cls=tarnwick.utils.ContinuousTimeSeries):
        return cls(data, HOUR, kind)

    return make


@pytest.fixture(scope="module")
def dask_client():
    """A local cluster of two worker processes for a test module, on the loopback
    interface (closed after the module: its threads would disturb the leak checks
    of the modules that follow). The scheduler gives a task up as soon as its
    worker dies with it (no failures allowed) and hands a worker one task at a
    time, so that a test that kills a worker on purpose loses that task only."""
    dask = pytest.importorskip("dask")
    pytest.importorskip("distributed")
    from tarnwick_basin.ensemble import local_cluster

    settings = {
        "distributed.scheduler.allowed-failures": 0,
        "distributed.scheduler.worker-saturation": 1.0,
    }
    with dask.config.set(settings), local_cluster(2) as client:
        yield client
