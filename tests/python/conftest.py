import importlib.machinery
import importlib.util
import sys
from datetime import timedelta

import pytest

import tarnwick

HOUR = timedelta(hours=1)


def load_entry(name):
    """Loads the installed library again under one of its further entry names."""
    loader = importlib.machinery.ExtensionFileLoader(name, tarnwick.__file__)
    spec = importlib.util.spec_from_file_location(name, tarnwick.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def leaks(call, rounds=2000):
    """Net growth of allocated blocks over many calls (after a warm-up)."""
    for _ in range(50):
        call()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        call()
    return sys.getallocatedblocks() - before


@pytest.fixture
def hourly():
    def make(data, kind="discharge", cls=tarnwick.utils.ContinuousTimeSeries):
        return cls(data, HOUR, kind)

    return make
